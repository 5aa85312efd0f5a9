#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tresor::posix {

// The record of the symbolic links of one folder that were backed up. Linux allows no user extended
// attributes on a link, so a link's archive record lives on the folder that holds it, in
// user.tresor-ix.verweise.
//
// Its value is binary, all numbers 64-bit little-endian: the format version 1, the folder's modification time
// in nanoseconds and its inode number when the record was begun, then in ascending order one key for each
// link backed up in that state of the folder (see Verweiskennung). A value of any other form counts as
// missing. A link reads archive set unless the record exists, its folder state equals the folder's present
// one and it holds the link's key. Making, replacing, renaming or removing any entry of the folder changes
// the folder's time, so a new or changed link reads set, and so do the other links of that folder once: they
// are copied again with it, which costs little. Writing the record touches only the folder's ctime, never its
// time, so the record does not spoil itself. Clearing the bit adds the key of the state the copy was taken
// from, read with the folder's state before the copy: a folder changed during the run leaves its links set for
// the next run. A record of another folder state is replaced, not merged. Setting the bit removes the link's
// key.
struct Verweisvermerk {
    std::int64_t OrdnerMtimeNs = 0;
    std::uint64_t OrdnerInode = 0;
    std::vector<std::uint64_t> Kennungen; // ascending, each once
};

inline constexpr const char* VerweisvermerkName = "user.tresor-ix.verweise";

// The stored value of a record.
std::string VerweisvermerkWert(const Verweisvermerk& vermerk);
// The record a stored value holds, or nothing when it is of any other form.
std::optional<Verweisvermerk> LiesVerweisvermerk(std::string_view wert);

// The key of a symbolic link in its folder's record: FNV-1a over the bytes of its name on disk, then its
// inode number and its modification time in nanoseconds, each as 8 bytes little-endian. A link made anew,
// renamed or touched gets another key.
std::uint64_t Verweiskennung(std::string_view name, std::uint64_t inode, std::int64_t mtimeNs);

} // namespace tresor::posix
