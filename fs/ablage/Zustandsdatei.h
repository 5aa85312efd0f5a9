#pragma once

#include <cstdint>
#include <functional>
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
// Takes one record (the name unmasked); false stops the reading.
using Zustandsempfaenger = std::function<bool(std::string_view name, std::string_view vermerk)>;

std::string ZustandsText(const Zustandsbestand& bestand);
// The records of a state file's text, or nothing when it is not wholly of the form above (a name twice
// included).
std::optional<Zustandsbestand> LiesZustand(std::string_view text);
// Hands each record of the text to `je` in the file's order; true when the text was wholly of the form above.
// Where it is not, the records handed on are to be dropped.
bool LiesZustand(std::string_view text, const Zustandsempfaenger& je);

// Reads a state file a piece at a time, as it comes: each record goes to the receiver as its line is known not
// to be the last; one line at a time is held (a line longer than any record is a fault).
class Zustandsleser {
public:
    explicit Zustandsleser(Zustandsempfaenger je);
    // False once the text is not of the form above (or the receiver said stop).
    bool Lies(std::string_view stueck);
    // True when everything read was wholly of the form above: the closing line's count and checksum match.
    bool Ende();

private:
    static constexpr std::size_t MaxZeile = 3 * 4096 + 256;
    void Zeile();

    Zustandsempfaenger je_;
    std::string zeile_;                   // the line being read
    std::optional<std::string> gehalten_; // the last whole line, which may be the closing one
    bool kopf_ = false;
    bool gut_ = true;
    std::size_t anzahl_ = 0;
    std::uint64_t summe_;
};

} // namespace tresor::posix
