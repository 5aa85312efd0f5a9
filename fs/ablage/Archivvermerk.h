#pragma once

#include "fs/Dateisystem.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tresor::posix {

// The archive record of a file of one name: what the file was when it was backed up, and under which name.
// The archive bit of the file reads as cleared while the record matches it (Passt); a file that was written,
// truncated, replaced, restored, copied, renamed, moved, lies in a folder that was renamed or moved, or was
// rewritten with its old size and its modification time set back, reads as archive set.
//
// It is kept in the extended attribute user.tresor-ix.archiv. Its value is ASCII text without a trailing NUL:
// the format version "2", then in decimal the modification time in nanoseconds since the epoch, the size in
// bytes, the inode number, the status-change time (ctime) in nanoseconds, the moment the record was written
// in nanoseconds (the clock read right before the write), and last the key of the name the file was backed
// up under in 16 hex digits (Namenskennung), all separated by single blanks, e.g.
// "2 1765188000123456789 4096 1835012 1765188000123456789 1765188001000000000 9f3c2a1b4d5e6f70".
// A value of any other form counts as missing: records of the earlier form "1 ..." read as set, so the first
// run after the change of form backs every file up once.
//
// The ctime window. Writing the record moves the file's ctime on to the moment of the write, and the record
// cannot hold the ctime its own write gives. So it holds the moment of the write instead, and a file matches
// while its ctime is the recorded one or lies within [Schreibzeit - Vorlauf, Schreibzeit + Nachlauf]. The
// writer checks that the file's state right before the write is the recorded one and that its ctime right
// after the write (and after the permission bits lent for it were given back) lies in the window, and tries
// again otherwise. What the window lets pass: a change made between that check and Nachlauf after the write
// that leaves modification time, size, inode and name as they were, that is, a change of permission bits
// other than the owner's write bit (which is the read-only bit and read from the mode), of owner, group or
// extended attributes, or a rewrite whose modification time was set back, all within those few milliseconds.
// A change of content moves the modification time and is caught at any moment.
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

// How far the ctime of the record's own write may lie before the clock read taken right before it (the
// kernel stamps times from a coarse clock that runs behind: a tick, 4 to 10 ms, and more on a busy machine;
// 7.4 ms were seen at a tick of 4 ms) and after it (the write and the return of lent permission bits). A
// longer lead does not widen the window in time: a change made before the check of the state right before the
// write is caught by that check, whatever its stamp.
inline constexpr std::int64_t VorlaufNs = 100'000'000;
inline constexpr std::int64_t NachlaufNs = 50'000'000;

// The stored value of a record.
std::string ArchivvermerkText(const Archivvermerk& vermerk);
// The record a stored value holds, or nothing when the value is of any other form.
std::optional<Archivvermerk> LiesArchivvermerk(std::string_view text);

// True when the file whose lstat data is `st` and whose name has the key `name` is still what the record
// describes: same modification time, size, inode and name, and its ctime the recorded one or within the
// window of the record's write; and the record certain: written once the step of its ctime was over.
bool Passt(const Archivvermerk& vermerk, const struct stat& st, std::uint64_t name);
// True when the ctime `ctimeNs` is one the record allows.
bool CtimePasst(const Archivvermerk& vermerk, std::int64_t ctimeNs);

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
