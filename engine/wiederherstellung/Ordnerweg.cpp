// The folders of a restore that wait for their bits and times (see Ordnerweg.h).
#include "engine/wiederherstellung/Ordnerweg.h"

#include "engine/wiederherstellung/Auswahl.h"

namespace tresor {

Ordnerweg::Ordnerweg(bool wegordnung, std::function<std::optional<Abschluss>(const Bestandseintrag&)> verlasse,
                     std::function<void(const Bestandseintrag&, const std::string&)> schliesse)
    : wegordnung_(wegordnung), verlasse_(std::move(verlasse)), schliesse_(std::move(schliesse)) {}

void Ordnerweg::Weiter(const std::string& pfad) {
    if (!wegordnung_)
        return;
    // Every entry lies in the source folder "."; the folders it does not lie in are behind the walk for good.
    while (!weg_.empty() && !Unter(Elternpfad(pfad), weg_.back().Ordner.Pfad))
        Verlasse(false);
}

void Ordnerweg::Betrete(const Bestandseintrag& ordner) {
    weg_.push_back(Stufe{ordner, false});
}

void Ordnerweg::Verlasse(bool ende) {
    Stufe stufe = std::move(weg_.back());
    weg_.pop_back();
    const std::optional<Abschluss> abschluss = verlasse_(stufe.Ordner);
    const bool wartet = !ende && (stufe.Haelt || (abschluss && abschluss->Wartet));
    if (!wartet) {
        if (abschluss)
            schliesse_(stufe.Ordner, abschluss->Relativ);
        return;
    }
    // Whatever lies around it waits as well: it is finished after this one.
    if (!weg_.empty())
        weg_.back().Haelt = true;
    if (abschluss)
        warten_.emplace_back(std::move(stufe.Ordner), abschluss->Relativ);
}

void Ordnerweg::Ende() {
    // What waited was left before every folder around it that waited too, and lies inside the folders still
    // on the way, never around one of them: those come after it.
    for (const auto& [ordner, relativ] : warten_)
        schliesse_(ordner, relativ);
    warten_.clear();
    while (!weg_.empty())
        Verlasse(true);
}

} // namespace tresor
