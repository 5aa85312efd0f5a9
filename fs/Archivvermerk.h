#pragma once

#include "fs/Dateisystem.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tresor::posix {

// The archive record: what a file was when it was backed up. The archive bit of a file reads as cleared
// while its record matches it; a file whose time, size or inode has moved on since (written, truncated,
// replaced through a rename, restored, copied) reads as archive set.
//
// It is kept in the extended attribute user.tresor-ix.archiv. Its value is ASCII text without a trailing
// NUL: the format version "1", then the modification time in nanoseconds since the epoch, the size in bytes
// and the inode number, all in decimal and separated by single blanks, e.g.
// "1 1700000000123456789 4096 1835012". A file of several names (hard links) shares one record among them
// and is backed up under each name: its record goes on with a blank and, joined by commas, one key for each
// name it was backed up under (16 hex digits, see Namenskennung), and it reads as archive set under every
// name that is not among them. A value of any other form counts as missing.
struct Archivvermerk {
    Quellstand Stand;
    std::vector<std::uint64_t> Namen;
};

inline constexpr const char* ArchivvermerkName = "user.tresor-ix.archiv";

// The stored value of a record.
std::string ArchivvermerkText(const Archivvermerk& vermerk);
// The record a stored value holds, or nothing when the value is of any other form.
std::optional<Archivvermerk> LiesArchivvermerk(std::string_view text);

// The key of one name of a file in its archive record: FNV-1a of the absolute POSIX path, begun from the
// value 1469598103934665603 rather than the usual offset basis. Records written so far carry keys of that
// start, so it stays.
std::uint64_t Namenskennung(std::string_view posix);

// The modification time in nanoseconds since the epoch.
std::int64_t MtimeNs(const struct stat& st);
// The state of a file as its lstat data tells it.
Quellstand StandAus(const struct stat& st);
// The same time, size and inode.
bool Gleich(const Quellstand& a, const Quellstand& b);

} // namespace tresor::posix
