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
    // Inode and ctime identify the state: false on a file system whose inode numbers need not survive a
    // remount and whose records are kept apart from the files (exFAT through FUSE, FAT, NTFS), where
    // size and times do.
    bool Genau = true;
    std::string Verweisziel; // the target text of a symbolic link, else empty
    // The file's archive bit is set only for its ctime: its record matches in all else, and the file is
    // backed up unless the target holds exactly this state (Archivvermerk.h). Told by DateiZuSichern.
    bool BisAufCtime = false;
};

// The state an lstat gives, the link target left empty.
Eintragsstand EintragsstandAus(const struct stat& st);

} // namespace tresor
