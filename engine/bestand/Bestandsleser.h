#pragma once

#include "engine/bestand/Bestandsformat.h"

#include <charconv>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

namespace tresor {

// Reads a record of the source (Bestandsformat.h) one entry at a time, in the record's own order, so that a
// walk of the source can go through it alongside: it keeps the record's text and the entry in hand, never a
// list or map of all entries.
//
// Opening checks the record as a whole first, its last line's count and checksum, so a torn or changed record
// gives no entry at all, and reads the head. Each entry is checked as it is read: its fields, its place
// (a backup folder of the same target not newer than the record's, "fehlt", or "-" for a folder) and its
// path (names of one level each; the first entry is the source folder "."). At the first malformed entry the
// reader stops and names it; the entries before it were given already. Whether each folder comes before its
// content and no path comes twice is not checked here: LiesBestand checks it for a restore, and a walk that
// goes through the record alongside meets an entry out of order as one the record does not hold.
class Bestandsleser {
public:
    // The reader of `text`, placed before its first entry, or why the text is no record (German).
    static std::variant<Bestandsleser, std::string> Oeffne(std::string text);

    // The head: what Bestand holds besides its entries, mount points and entries not backed up.
    [[nodiscard]] const Bestand& Kopf() const { return kopf_; }

    // The next entry, valid until the next call; nullptr after the last one or at a malformed one.
    const Bestandseintrag* Naechster();
    // Why the reader stopped early (German, "Die Bestandsliste ist fehlerhaft: Eintrag N."), empty when not.
    [[nodiscard]] const std::string& Fehler() const { return fehler_; }
    // How many entries were given since the first.
    [[nodiscard]] std::size_t Gegeben() const { return gegeben_; }
    // Once Naechster gave nullptr without a Fehler: the lines after the entries (version 2: "E" and "X"
    // lines, each ended by "\n"), without the last line.
    [[nodiscard]] std::string_view Schluss() const;

    // Back before the first entry, for another walk.
    void VonVorn();

private:
    Bestandsleser() = default;
    bool LiesEintrag(std::string_view zeile);

    std::string text_; // the record without its last line
    Bestand kopf_;
    std::size_t anfang_ = 0; // where the entries begin in text_
    std::size_t pos_ = 0;    // where the next line begins
    std::size_t gegeben_ = 0;
    bool ende_ = false;
    Bestandseintrag eintrag_;
    std::string fehler_;
};

// The lines after a record's entries (Bestandsleser::Schluss; `nummer` entries before them): its mount points
// into `b.Einhaengepunkte`, each of which `istOrdner` must call a folder of the record, and its entries not
// backed up into `b.Ausgelassen`. Empty, or why they are malformed (German).
std::string LiesSchluss(std::string_view schluss, std::size_t nummer,
                        const std::function<bool(const std::string&)>& istOrdner, Bestand& b);

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
