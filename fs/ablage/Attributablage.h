#pragma once

#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/Verweisvermerk.h"
#include "fs/system/Ort.h"

#include <cstdint>
#include <optional>

namespace tresor::posix {

// Where a file system keeps what Linux lacks: the DOS bits of its files and folders (read-only where it keeps
// it apart from the permission bits, hidden, system, archive) and the archive records of its files and
// symbolic links. Each kind of file system gets one implementation: the extended attributes of ext4 and its
// kind (XattrAblage); file systems with DOS bits of their own and a state file of the user's are further
// ones. The operations decide what the bits mean (Attributwert); a store only keeps them.
//
// Every call names the entry through an Ort and never follows a symbolic link. Reads answer nothing where
// the entry has no such value (or one of no known form); writes return false and leave errno set where the
// value could not be stored (no permission, no room, not supported), and change nothing then.
class Attributablage {
public:
    virtual ~Attributablage() = default;

    // The DOS attribute bits stored for a file or folder (bit values as in the attribute value: 1, 2, 4, 32),
    // or nothing when none are stored.
    [[nodiscard]] virtual std::optional<std::uint32_t> LiesDos(const Ort& ort) = 0;
    // Stores the DOS attribute bits `wert` for a file or folder.
    [[nodiscard]] virtual bool SchreibeDos(const Ort& ort, std::uint32_t wert) = 0;

    // The archive record of a file, or nothing.
    [[nodiscard]] virtual std::optional<Archivvermerk> LiesVermerk(const Ort& ort) = 0;
    [[nodiscard]] virtual bool SchreibeVermerk(const Ort& ort, const Archivvermerk& vermerk) = 0;
    // Removes the record; true also when there was none.
    [[nodiscard]] virtual bool LoescheVermerk(const Ort& ort) = 0;

    // The record of the symbolic links of a folder, or nothing.
    [[nodiscard]] virtual std::optional<Verweisvermerk> LiesVerweisvermerk(const Ort& ordner) = 0;
    [[nodiscard]] virtual bool SchreibeVerweisvermerk(const Ort& ordner, const Verweisvermerk& vermerk) = 0;
    // Removes the record; true also when there was none.
    [[nodiscard]] virtual bool LoescheVerweisvermerk(const Ort& ordner) = 0;

    // True when the DOS bits are the file system's own (NTFS, FAT): then they are the bits, read-only and
    // archive included, and no archive record is kept; clearing the archive bit writes the DOS bits.
    [[nodiscard]] virtual bool EigeneBits() const { return false; }
};

} // namespace tresor::posix
