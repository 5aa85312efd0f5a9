#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "fs/Pfad.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tresor {

// The entries of a point that a restore takes, and where each lands below the folder restored into.

// Thrown out of a restore's step (and out of a copy, which then leaves nothing under its name) once the
// restore is asked to stop.
struct Anhalt {};

// The chosen paths of a point: the whole point when none is chosen or the source folder is.
class Auswahl {
public:
    // At the original place every entry keeps its path; into a folder the chosen ones land below it with
    // their paths below the deepest folder that holds all of them.
    Auswahl(std::vector<std::string> pfade, bool ursprung);
    [[nodiscard]] bool Ganz() const noexcept { return ganz_; }
    // Whether the entry is chosen, lies in a chosen folder, or is a folder on the way to a chosen path below
    // the deepest folder that holds all of them (it is made, without its other content).
    [[nodiscard]] bool Enthaelt(const std::string& pfad) const;
    // The first chosen path that is not among `gefunden` (the chosen paths met among the point's entries),
    // or "".
    [[nodiscard]] std::string Unbekannt(const std::set<std::string>& gefunden) const;
    // The path below the folder restored into of a chosen entry (or one in a chosen folder).
    [[nodiscard]] std::string Relativ(const std::string& pfad) const;

private:
    std::vector<std::string> pfade_;
    bool ganz_ = false;
    std::string basis_ = "."; // the deepest folder that holds every chosen path
};

// Where the entries of one restore land: a folder's content goes where the folder went (a folder kept
// beside an existing one takes its content along), and nothing goes below a folder that was skipped.
class Ortswahl {
public:
    Ortswahl(const Auswahl& auswahl, std::string zeit) : auswahl_(auswahl), zeit_(std::move(zeit)) {}
    // The entry's path below the folder restored into.
    [[nodiscard]] std::string Relativ(const Bestandseintrag& e) const;
    // A folder's place; `gemacht` when this restore made it (it gets its bits at the end).
    void Setze(const Bestandseintrag& e, const std::string& relativ, bool gemacht);
    // The place of a folder this restore made, or null.
    [[nodiscard]] const std::string* Gemacht(const std::string& pfad) const;
    // The walk has left the folder `pfad`: what is known of it goes.
    void Verlasse(const std::string& pfad);
    // A skipped entry: nothing below it is restored.
    void Ueberspringe(const Bestandseintrag& e);
    // True for an entry below a skipped folder (a folder among them is skipped as well).
    [[nodiscard]] bool Uebersprungen(const Bestandseintrag& e);
    // The first free name with the point's date beside `relativ` (DatierterName), `da` telling what is taken.
    [[nodiscard]] std::string Frei(const std::string& relativ, const std::function<bool(const Pfad&)>& da,
                                   const Pfad& nach) const;

private:
    const Auswahl& auswahl_;
    std::string zeit_;
    std::map<std::string, std::string> orte_;
    std::set<std::string> gemacht_;
    std::set<std::string> weg_;
};

// Whether the relative path `pfad` is the folder `ordner` or lies in it ("." holds every path).
bool Unter(const std::string& pfad, const std::string& ordner);

// The folder of a relative path ("." for a name of the source folder) and its last name.
std::string Elternpfad(const std::string& pfad);
std::string Letzter(const std::string& pfad);

// The process's file mode creation mask.
std::uint32_t Umask();

} // namespace tresor
