#pragma once

#include "engine/ausduennung/Bestandsaufnahme.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tresor::ausduennung {

// Every record lists its entries in the walk's order (Wegordnung), so the records of several points can be
// read side by side, each as a stream, and what one point needs of another is found path by path: the
// thinning and the listing hold a few entries at a time, never a list of paths.

// A record's entries were found out of the walk's order: the point named is read whole from then on
// (Punkt::Ganz), and the pass begins again.
struct Ungeordnet {
    std::string Punkt;
};

// The entries of one point's record in the walk's order, one at a time. A record read as a stream is checked
// to be in that order as it goes: an entry that is not after the one before throws Ungeordnet. A point marked
// Ganz (a record of an earlier form, or one found out of order) is read whole and put in that order; a whole
// record whose paths come twice or lie in no folder listed is unreadable.
class Eintragsstrom {
public:
    // Nothing when the record is no longer the source's or cannot be read at all.
    static std::optional<Eintragsstrom> Oeffne(Eintragszugriff& zugriff, const Aufnahme& aufnahme, const Punkt& punkt);

    // The head (what Bestand holds besides its entries).
    [[nodiscard]] const Bestand& Kopf() const { return leser_ ? leser_->Kopf() : *ganz_; }
    // The next entry, valid until the next call; nullptr after the last one or where the record turns out
    // unreadable (Fehler says why).
    const Bestandseintrag* Naechster();
    [[nodiscard]] const std::string& Fehler() const { return fehler_; }
    // Back before the first entry.
    void VonVorn();
    // Lets the record's file go.
    void Schliesse() { leser_.reset(); }

private:
    Eintragsstrom() = default;

    std::string name_;
    std::optional<Bestandsleser> leser_;
    std::shared_ptr<Bestand> ganz_; // a record read whole, in the walk's order
    std::size_t stelle_ = 0;
    std::string vorig_;
    bool vorigOrdner_ = false;
    bool erster_ = true;
    std::string fehler_;
};

// Runs `tu` again each time it throws Ungeordnet, with that point read whole; a point already read whole
// that throws it goes on to the caller.
void MitGanzen(Aufnahme& aufnahme, const std::function<void()>& tu);

// Several records side by side, files and links only: path after path in the walk's order, the entry each
// record holds at it.
class Zusammenfuehrung {
public:
    explicit Zusammenfuehrung(std::vector<Eintragsstrom*> stroeme);
    // On to the next path that any record holds; false after the last.
    bool Weiter();
    [[nodiscard]] const std::string& Pfad() const { return pfad_; }
    // The entry of the `i`th record at this path, or nullptr.
    [[nodiscard]] const Bestandseintrag* Bei(std::size_t i) const { return bei_[i] ? jetzt_[i] : nullptr; }
    [[nodiscard]] std::size_t Anzahl() const { return stroeme_.size(); }

private:
    void Hole(std::size_t i);

    std::vector<Eintragsstrom*> stroeme_;
    std::vector<const Bestandseintrag*> jetzt_; // each record's next file or link
    std::vector<bool> bei_;                     // whether it is at the path
    std::string pfad_;
    bool begonnen_ = false;
};

// The files and links at one path of the records read side by side: each point whose record holds an entry
// there, with that entry, in the order of the points given.
using Pfadeintraege = std::vector<std::pair<Punkt*, const Bestandseintrag*>>;

// Reads the records of `punkte` side by side and calls `beiPfad` for each path any of them holds, in the walk's
// order. Afterwards each point whose record could not be opened or turned out unreadable is Kaputt; returns
// whether any is. Ungeordnet goes on to the caller (MitGanzen).
bool Nebeneinander(Eintragszugriff& zugriff, Aufnahme& aufnahme, const std::vector<Punkt*>& punkte,
                   const std::function<void(const std::string& pfad, const Pfadeintraege& eintraege)>& beiPfad);

} // namespace tresor::ausduennung
