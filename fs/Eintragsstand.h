#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace tresor {

// What one entry is, as lstat sees it: never through a symbolic link.
struct Eintragsstand {
    enum class Art { Ordner, Datei, Verweis, Anderes };
    Art Typ = Art::Anderes;
    std::int64_t Groesse = 0;
    std::int64_t MtimeNs = 0;
    std::uint32_t Modus = 0; // permission bits with set-user-ID, set-group-ID and sticky (07777)
    std::uint32_t Uid = 0;
    std::uint32_t Gid = 0;
    std::uint64_t Geraet = 0;
    std::uint64_t Inode = 0;
    std::int64_t CtimeNs = 0; // the status-change time in nanoseconds
    std::uint64_t Namen = 1;  // how many names (hard links) the entry has
    std::string Verweisziel;  // the target text of a symbolic link, else empty
};

// The state an lstat gives, the link target left empty.
Eintragsstand EintragsstandAus(const struct stat& st);

} // namespace tresor
