#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tresor::posix {

// The earlier form of a state file: the archive records of a file system that can keep none itself (no user
// extended attributes, no DOS bits of its own: exFAT through FUSE, some network shares), kept in a file of
// the user's, one per file system, and rewritten whole at every batch. The state file is a database now
// (Zustandsbank.h); a file of this form is read once, when the store first uses it, and taken over
// (ZustandsAblage.h).
//
// Text, one record a line, after a head line:
//   "tresor-ix-zustand 1\n"
//   "<name>\t<record>\n" ...                   name: the file's path within its file system, every byte
//                                               below 0x21, 0x7f and '%' written as %XX (upper-case hex);
//                                               record: the archive record's stored value (Archivvermerk.h)
//   "ende <count> <fnv-1a of all bytes before this line, 16 hex digits>\n"
// A file that is torn, cut short, of another version or of any other form holds nothing: every file of
// its file system then reads as archive set, so the next run copies everything once. Never less.
using Zustandsbestand = std::map<std::string, std::string>;

std::string ZustandsText(const Zustandsbestand& bestand);
// The records of a state file's text, or nothing when it is not wholly of the form above.
std::optional<Zustandsbestand> LiesZustand(std::string_view text);

} // namespace tresor::posix
