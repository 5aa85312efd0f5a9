#pragma once

#include "fs/Dateisystem.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tresor::posix {

// The archive record of a file of one name: what the file was when it was backed up, and under which name.
// The archive bit of the file reads as cleared while the record matches it (below); a file that was written,
// truncated, replaced, restored, copied, renamed, moved, lies in a folder that was renamed or moved, or was
// rewritten with its old size and its modification time set back, reads as archive set.
//
// It is kept in the extended attribute user.tresor-ix.archiv, in 49 bytes, so that it fits with its name into
// the room an ext4 inode of the default 256 bytes keeps for attributes (a larger value takes a disk block of
// its own for every file backed up): the form (one byte, 3), then, each 8 bytes little-endian, the
// modification time in nanoseconds since the epoch, the size in bytes, the inode number, the status-change
// time (ctime) in nanoseconds, the moment the record was written in nanoseconds (the clock read right before
// the write), and the key of the name the file was backed up under (Namenskennung).
// Records of the earlier text form are read as well, and written in the binary form the next time the file is
// marked: ASCII without a trailing NUL, the form "2", then the same six numbers in decimal (the key in 16 hex
// digits), separated by single blanks, e.g.
// "2 1765188000123456789 4096 1835012 1765188000123456789 1765188001000000000 9f3c2a1b4d5e6f70".
// (The user's state file, which keeps records apart from the files, kept that text form; it keeps the binary
// form now, and reads both.) A value of any other form, or cut short, counts as missing: records of the first
// form "1 ..." read as set, so the first run after that change of form backed every file up once.
//
// Exact, not windowed. Writing the record moves the file's ctime on, and the record cannot hold the ctime its
// own write gives: it holds the state before its write, and the moment of the write. So a record matches its
// file exactly (Passt) only where writing it left the ctime as it was (a store that keeps records apart from
// the files); on the file itself it matches only "but for the ctime" (PasstBisAufCtime), and the ctime read
// back right after the write is what tells the file's state from every later one. That ctime is kept where the
// file's bit is asked for: by the file-system object that wrote the record (Vermerkte, Attributwert.h), in
// the folder's map (Ordnerkarte.h), and in the target's record of the source. A file whose record matches but
// for the ctime, and whose exact state none of them holds, reads archive set: a change made at any moment
// after the record was written, whatever it does to size and times, is caught. (What remains is a change made
// between the look at the file right before the record's write and that write, through the same descriptor's
// few system calls.)
//
// A record is only as certain as the stamps it holds (Zeitraster.h): one written before the step of its
// ctime was over (a stick stamping whole seconds, a file written and backed up within one second) cannot
// tell the state it describes from a later one of the same size, so it counts as missing. The copy waits for
// that step before it looks at the source, so the records it leads to are all certain; the rule catches
// records written without that wait.
struct Archivvermerk {
    Quellstand Stand;               // time, size, inode and ctime as the copy was taken
    std::int64_t SchreibzeitNs = 0; // the clock right before the record was written
    std::uint64_t Name = 0;         // Namenskennung of the name it was backed up under
};

inline constexpr const char* ArchivvermerkName = "user.tresor-ix.archiv";

// The stored value of a record on the file: the binary form.
std::string ArchivvermerkWert(const Archivvermerk& vermerk);
// The text form (the state file's).
std::string ArchivvermerkText(const Archivvermerk& vermerk);
// The record a stored value of either form holds, or nothing when the value is of any other form.
std::optional<Archivvermerk> LiesArchivvermerk(std::string_view wert);

// True when the file whose lstat data is `st` and whose name has the key `name` is exactly what the record
// describes: same modification time, size, inode, name and ctime; and the record certain: written once the
// step of its ctime was over.
bool Passt(const Archivvermerk& vermerk, const struct stat& st, std::uint64_t name);
// The same, but for the ctime: what a file shows whose record was written on itself and which has not been
// written, truncated, replaced or renamed since. Whether nothing else changed only its exact ctime can tell.
bool PasstBisAufCtime(const Archivvermerk& vermerk, const struct stat& st, std::uint64_t name);

// The key of a name: FNV-1a (64 bits) of its path within its file system (Einhaengungen.h), so that a medium
// mounted at another place keeps its records.
std::uint64_t Namenskennung(std::string_view imDateisystem);

// The modification time and the ctime in nanoseconds since the epoch.
std::int64_t MtimeNs(const struct stat& st);
std::int64_t CtimeNs(const struct stat& st);
// The state of a file as its lstat data tells it.
Quellstand StandAus(const struct stat& st);
// The same time, size, inode and ctime.
bool Gleich(const Quellstand& a, const Quellstand& b);

} // namespace tresor::posix
