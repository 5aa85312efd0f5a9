#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tresor::posix {

// The record of a folder's symbolic links and files of several names (hard links) that were backed up. Linux
// allows no user extended attributes on a link, and a file of several names has one inode for all of them, so
// neither can hold a record per name; the record of those names lives on the folder that holds them, in
// user.tresor-ix.verweise, and is of fixed size whatever the folder holds.
//
// Its value is binary, 40 bytes, all numbers 64-bit little-endian: the format version 2, the folder's inode
// number, the key of the folder's path within its file system (Namenskennung), and a digest over all such
// entries of the folder as they were backed up (Pruefsumme over their Eintragskennung, in byte order of their
// names), then the user's seal over those 32 bytes (Siegel.h): the digest is one anyone can compute, so a
// record of a folder another user owns is taken only where the running user wrote it. A value of any other
// form (the earlier list of keys, version 1, an unsealed one or one of another user's seal) counts as missing.
//
// Such an entry reads archive set unless the record exists and matches the folder as it is now: same inode and
// path, and the same digest over its present links and files of several names. So making, replacing, renaming,
// touching or removing any of them, any change of content or status of a file of several names, and renaming
// or moving the folder make all of them read set once: they are copied again together, which costs little.
// The record is written when the last of them was backed up (Ordnertafeln.h).
struct Verweisvermerk {
    std::uint64_t OrdnerInode = 0;
    std::uint64_t OrdnerName = 0;
    std::uint64_t Pruefsumme = 0;
};

inline constexpr const char* VerweisvermerkName = "user.tresor-ix.verweise";

// The stored value of a record.
std::string VerweisvermerkWert(const Verweisvermerk& vermerk);
// The record a stored value holds, or nothing when it is of any other form.
std::optional<Verweisvermerk> LiesVerweisvermerk(std::string_view wert);

// The key of one entry in its folder's digest: FNV-1a over the bytes of its name on disk, then its inode
// number, modification time, size and ctime in nanoseconds, each as 8 bytes little-endian. A link or file made
// anew, renamed, touched, written or changed in its status gets another key.
std::uint64_t Eintragskennung(std::string_view name, std::uint64_t inode, std::int64_t mtimeNs, std::int64_t groesse,
                              std::int64_t ctimeNs);

// Adds the key of the next entry (in byte order of names) to a digest begun with FnvAnfang.
std::uint64_t Pruefsumme(std::uint64_t bisher, std::uint64_t eintragskennung);

} // namespace tresor::posix
