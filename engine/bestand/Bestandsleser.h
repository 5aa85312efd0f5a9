#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "fs/posix/Eintragszugriff.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace tresor {

// Where a reader takes a record's bytes from: a text in memory, or a file held open, read in pieces.
class Bestandsquelle {
public:
    virtual ~Bestandsquelle() = default;
    [[nodiscard]] virtual std::uint64_t Groesse() const = 0;
    // Up to `n` bytes from the place `ab` into `ziel`; fewer only at the end. Throws FsFehler when it cannot.
    virtual std::size_t Lies(std::uint64_t ab, char* ziel, std::size_t n) = 0;
};
std::unique_ptr<Bestandsquelle> Textquelle(std::string text);
std::unique_ptr<Bestandsquelle> Dateiquelle(Lesedatei datei);

class Bestandszeilen;

// Reads a record of the source (Bestandsformat.h) one entry at a time, in the record's own order, so that a
// walk of the source can go through it alongside. It keeps a buffer of a few pieces of the file and the entry
// in hand, never the record's text, a list or a map of its entries: its memory does not grow with the record
// (but for the lines after the entries, which Kopf holds).
//
// Opening reads the record once from its first byte to its last: its last line's count and checksum, the head,
// the lines after the entries and the counts, so a torn or changed record gives no entry at all. Then each
// entry is read again from the file as Naechster asks, and checked as it is read: its fields, its place (a
// backup folder of the same target not newer than the record's, "fehlt", or "-" for a folder) and its path
// (names of one level each; the first entry is the source folder "."). At the first malformed entry the
// reader stops and names it; the entries before it were given already. A file that changed between the two
// readings stops the reader at its last entry with Fehler set (one cut short also where it is read again
// without the checksum, VonVorn). Whether each folder comes before its content
// and no path comes twice is not checked here: LiesBestand checks it for a restore, and a walk that goes
// through the record alongside meets an entry out of order as one the record does not hold.
class Bestandsleser {
public:
    // The reader of `text` (tests and small records), placed before its first entry, or why the text is no
    // record (German).
    static std::variant<Bestandsleser, std::string> Oeffne(std::string text);
    // The same of a record read in pieces from `quelle` (a file held open: Dateiquelle).
    static std::variant<Bestandsleser, std::string> Oeffne(std::unique_ptr<Bestandsquelle> quelle);
    // Only what a listing shows: the head, how the run ended and the counts (Bestand::Zahlen), read from the
    // record's first and last lines; Eintraege, Ausgelassen and Einhaengepunkte stay empty. The checksum is
    // checked over the whole file read a piece at a time, its lines not taken apart. A record of an earlier
    // form, which has no counts, is read through as Oeffne does to count them.
    static std::variant<Bestand, std::string> LiesKopf(std::unique_ptr<Bestandsquelle> quelle);

    Bestandsleser(Bestandsleser&&) noexcept;
    Bestandsleser& operator=(Bestandsleser&&) noexcept;
    ~Bestandsleser();

    // The head: what Bestand holds besides its entries, with the mount points, the entries not backed up
    // and the counts.
    [[nodiscard]] const Bestand& Kopf() const { return kopf_; }

    // The next entry, valid until the next call; nullptr after the last one or at a malformed one.
    const Bestandseintrag* Naechster();
    // Why the reader stopped early (German, "Die Bestandsliste ist fehlerhaft: Eintrag N."), empty when not.
    [[nodiscard]] const std::string& Fehler() const { return fehler_; }
    // How many entries were given since the first.
    [[nodiscard]] std::size_t Gegeben() const { return gegeben_; }

    // Back before the first entry, for another walk. Without `nachgeprueft` the entries are read again without
    // the checksum over them: each is still checked as it is read, and a file cut short since still stops the
    // reader with Fehler set, but a file changed since to entries of the same count is not told at the end.
    // For a reader that takes each entry as it comes and never asks Fehler at the end (the target's index,
    // Zielindex.h), where the checksum's second reading is half of its processor time.
    void VonVorn(bool nachgeprueft = true);

private:
    Bestandsleser();
    bool LiesEintrag(std::string_view zeile);

    std::unique_ptr<Bestandszeilen> zeilen_; // the record's lines, read in pieces
    Bestand kopf_;
    std::uint64_t anfang_ = 0;        // where the entries begin
    std::uint64_t eintraegeEnde_ = 0; // and end
    std::uint64_t stand_ = 0;         // the checksum over the head, to read the entries again
    std::uint64_t standEnde_ = 0;     // and over the entries
    std::size_t gegeben_ = 0;
    bool nachgeprueft_ = true;
    bool ende_ = false;
    Bestandseintrag eintrag_;
    std::string guterOrt_; // a backup folder's name an entry named before, checked then
    std::string fehler_;
};

// The whole record of the reader's (from its first entry), as LiesBestand reads a text.
std::variant<Bestand, std::string> LiesBestand(Bestandsleser& leser);

// The whole text as a number in `basis`: nothing before or after it, not empty.
template <class T> bool LiesZahl(std::string_view text, T& wert, int basis = 10) {
    if (text.empty())
        return false;
    const auto [ende, fehler] = std::from_chars(text.data(), text.data() + text.size(), wert, basis);
    return fehler == std::errc() && ende == text.data() + text.size();
}

// Whether the text is a relative path of proper names: each one level, never empty, ".", ".." or holding NUL.
bool GuterPfad(std::string_view pfad);

} // namespace tresor
