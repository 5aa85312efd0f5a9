#pragma once

#include "fs/ablage/Attributablage.h"
#include "fs/ablage/Zustandsdatei.h"

#include <string>

namespace tresor::posix {

// The store of a file system that keeps neither user extended attributes nor DOS bits of its own (exFAT
// through FUSE, some network shares): the archive records live in a state file of the user's
// (Zustandsdatei.h), one per file system, named after its UUID (Ablagen.h says where). A record is keyed by
// the file's path within its file system, so a stick mounted at another place keeps its records. Inode
// numbers of such file systems do not survive a remount (through FUSE not even another lookup), so a record
// holds none: it holds name, size and times, and the entry's present inode number is handed back with it.
//
// The records are read once, when the store is made; changes are kept in memory and written by
// Festschreiben, which replaces the file atomically (a temporary file in the same folder, flushed, renamed
// over the old one, the folder flushed). A kill at any moment leaves the old file or the new one; a torn or
// missing file holds nothing, so every file then reads as archive set. No DOS bits are kept (hidden follows
// the name; hidden and system cannot be stored: ENOTSUP), and the file systems this store is for have no
// symbolic links.
class ZustandsAblage final : public Attributablage {
public:
    // `datei`: the state file's absolute path; `einhaengepunkt`: the absolute POSIX folder where the file
    // system is mounted (its root).
    ZustandsAblage(std::string datei, std::string einhaengepunkt);

    std::optional<std::uint32_t> LiesDos(const Ort& ort) override;
    bool SchreibeDos(const Ort& ort, std::uint32_t wert) override;
    std::optional<Archivvermerk> LiesVermerk(const Ort& ort) override;
    bool SchreibeVermerk(const Ort& ort, const Archivvermerk& vermerk) override;
    bool LoescheVermerk(const Ort& ort) override;
    std::optional<Verweisvermerk> LiesVerweisvermerk(const Ort& ordner) override;
    bool SchreibeVerweisvermerk(const Ort& ordner, const Verweisvermerk& vermerk) override;
    bool LoescheVerweisvermerk(const Ort& ordner) override;

    // Writes the records when they changed since the last write. False with errno set when the file could
    // not be written; the old file is then unchanged.
    [[nodiscard]] bool Festschreiben();
    const std::string& Datei() const noexcept { return datei_; }

private:
    // The entry's path within its file system, or nothing when it lies outside the mount point.
    std::optional<std::string> Name(const Ort& ort) const;

    std::string datei_;
    std::string einhaengepunkt_;
    Zustandsbestand bestand_;
    bool geaendert_ = false;
};

} // namespace tresor::posix
