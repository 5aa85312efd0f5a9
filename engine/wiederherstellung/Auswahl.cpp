// The entries a restore takes and where they land (see Auswahl.h).
#include "engine/wiederherstellung/Auswahl.h"

#include "engine/bestand/Sicherungsfolge.h"
#include "engine/wiederherstellung/Rueckholauftrag.h"

#include <algorithm>
#include <fstream>

namespace tresor {

std::string Elternpfad(const std::string& pfad) {
    return std::string(Oberordner(pfad));
}

std::string Letzter(const std::string& pfad) {
    const std::size_t schnitt = pfad.rfind('/');
    return schnitt == std::string::npos ? pfad : pfad.substr(schnitt + 1);
}

namespace {

std::string Verbinde(const std::string& ordner, const std::string& name) {
    return ordner == "." ? name : ordner + "/" + name;
}

} // namespace

bool Unter(const std::string& pfad, const std::string& ordner) {
    return ordner == "." || pfad == ordner ||
           (pfad.size() > ordner.size() && pfad.starts_with(ordner) && pfad[ordner.size()] == '/');
}

Auswahl::Auswahl(std::vector<std::string> pfade, bool ursprung) : pfade_(std::move(pfade)) {
    ganz_ = pfade_.empty() || std::find(pfade_.begin(), pfade_.end(), ".") != pfade_.end();
    if (ganz_ || ursprung)
        return;
    basis_ = Elternpfad(pfade_.front());
    for (const std::string& p : pfade_)
        while (!Unter(Elternpfad(p), basis_) && basis_ != ".")
            basis_ = Elternpfad(basis_);
}

bool Auswahl::Enthaelt(const std::string& pfad) const {
    // A folder on the way from the deepest folder that holds every chosen path to one of them comes along, else
    // what is chosen below it would have no folder to go into.
    return ganz_ || std::any_of(pfade_.begin(), pfade_.end(), [&](const std::string& p) {
               return Unter(pfad, p) || (pfad != p && Unter(p, pfad) && pfad != basis_ && Unter(pfad, basis_));
           });
}

std::string Auswahl::Unbekannt(const std::set<std::string>& gefunden) const {
    for (const std::string& p : pfade_)
        if (!gefunden.contains(p))
            return p;
    return {};
}

std::string Auswahl::Relativ(const std::string& pfad) const {
    return basis_ == "." ? pfad : pfad.substr(basis_.size() + 1);
}

std::string Ortswahl::Relativ(const Bestandseintrag& e) const {
    const auto it = orte_.find(Elternpfad(e.Pfad));
    return it != orte_.end() ? Verbinde(it->second, Letzter(e.Pfad)) : auswahl_.Relativ(e.Pfad);
}

void Ortswahl::Setze(const Bestandseintrag& e, const std::string& relativ, bool gemacht) {
    orte_[e.Pfad] = relativ;
    if (gemacht)
        gemacht_.insert(e.Pfad);
}

const std::string* Ortswahl::Gemacht(const std::string& pfad) const {
    if (!gemacht_.contains(pfad))
        return nullptr;
    return &orte_.at(pfad);
}

void Ortswahl::Verlasse(const std::string& pfad) {
    orte_.erase(pfad);
    gemacht_.erase(pfad);
    weg_.erase(pfad);
}

void Ortswahl::Ueberspringe(const Bestandseintrag& e) {
    if (e.Art == Eintragsart::Ordner)
        weg_.insert(e.Pfad);
}

bool Ortswahl::Uebersprungen(const Bestandseintrag& e) {
    if (e.Pfad == "." || !weg_.contains(Elternpfad(e.Pfad)))
        return false;
    Ueberspringe(e);
    return true;
}

std::string Ortswahl::Frei(const std::string& relativ, const std::function<bool(const Pfad&)>& da,
                           const Pfad& nach) const {
    const std::string eltern = Elternpfad(relativ);
    for (int nummer = 1;; ++nummer) {
        const std::string kandidat = Verbinde(eltern, DatierterName(Letzter(relativ), zeit_, nummer));
        if (!da(Unterpfad(nach, kandidat)))
            return kandidat;
    }
}

std::string DatierterName(const std::string& name, const std::string& zeit, int nummer) {
    std::string datum = zeit;
    if (const std::size_t trenner = datum.find("--"); trenner != std::string::npos)
        datum.replace(trenner, 2, " ");
    const std::size_t punkt = name.rfind('.');
    const bool endung = punkt != std::string::npos && punkt > 0;
    const std::string stamm = endung ? name.substr(0, punkt) : name;
    return stamm + " (Stand " + datum + (nummer > 1 ? ", " + std::to_string(nummer) : std::string()) + ")" +
           (endung ? name.substr(punkt) : std::string());
}

std::uint32_t Umask() {
    std::ifstream status("/proc/self/status");
    std::string zeile;
    while (std::getline(status, zeile))
        if (zeile.starts_with("Umask:"))
            return static_cast<std::uint32_t>(std::stoul(zeile.substr(6), nullptr, 8));
    return 022;
}

} // namespace tresor
