// Records read side by side in the walk's order (see Zusammenfuehrung.h).
#include "engine/ausduennung/Zusammenfuehrung.h"

#include <algorithm>

namespace tresor::ausduennung {

std::optional<Eintragsstrom> Eintragsstrom::Oeffne(Eintragszugriff& zugriff, const Aufnahme& aufnahme,
                                                   const Punkt& punkt) {
    auto leser = LiesBestandVon(zugriff, aufnahme, punkt);
    if (!leser)
        return std::nullopt;
    Eintragsstrom s;
    s.name_ = punkt.Name;
    if (!punkt.Ganz && leser->Kopf().Version >= 3) {
        s.leser_ = std::move(leser);
        return s;
    }
    // Earlier forms need not list their entries in the walk's order.
    auto ganz = LiesBestand(*leser);
    if (auto* fehler = std::get_if<std::string>(&ganz)) {
        s.ganz_ = std::make_shared<Bestand>(leser->Kopf());
        s.fehler_ = *fehler;
        s.stelle_ = 0;
        return s;
    }
    s.ganz_ = std::make_shared<Bestand>(std::move(std::get<Bestand>(ganz)));
    std::vector<Bestandseintrag>& e = s.ganz_->Eintraege;
    std::sort(e.begin(), e.end(),
              [](const Bestandseintrag& a, const Bestandseintrag& b) { return Wegordnung(a, b) < 0; });
    return s;
}

const Bestandseintrag* Eintragsstrom::Naechster() {
    if (!leser_) {
        if (!fehler_.empty() || !ganz_ || stelle_ >= ganz_->Eintraege.size())
            return nullptr;
        return &ganz_->Eintraege[stelle_++];
    }
    const Bestandseintrag* e = leser_->Naechster();
    if (e == nullptr) {
        fehler_ = leser_->Fehler();
        return nullptr;
    }
    const bool ordner = e->Art == Eintragsart::Ordner;
    if (!erster_ && Wegordnung(vorig_, vorigOrdner_, e->Pfad, ordner) >= 0)
        throw Ungeordnet{name_};
    erster_ = false;
    vorig_ = e->Pfad;
    vorigOrdner_ = ordner;
    return e;
}

void Eintragsstrom::VonVorn() {
    stelle_ = 0;
    erster_ = true;
    vorig_.clear();
    if (leser_) {
        fehler_.clear();
        leser_->VonVorn();
    }
}

void MitGanzen(Aufnahme& aufnahme, const std::function<void()>& tu) {
    for (;;) {
        try {
            tu();
            return;
        } catch (const Ungeordnet& u) {
            auto it = std::find_if(aufnahme.Punkte.begin(), aufnahme.Punkte.end(),
                                   [&u](const Punkt& p) { return p.Name == u.Punkt; });
            if (it == aufnahme.Punkte.end() || it->Ganz)
                throw;
            it->Ganz = true;
        }
    }
}

Zusammenfuehrung::Zusammenfuehrung(std::vector<Eintragsstrom*> stroeme)
    : stroeme_(std::move(stroeme)), jetzt_(stroeme_.size(), nullptr), bei_(stroeme_.size(), false) {}

void Zusammenfuehrung::Hole(std::size_t i) {
    const Bestandseintrag* e = nullptr;
    do
        e = stroeme_[i]->Naechster();
    while (e != nullptr && e->Art == Eintragsart::Ordner);
    jetzt_[i] = e;
}

bool Zusammenfuehrung::Weiter() {
    for (std::size_t i = 0; i < stroeme_.size(); ++i)
        if (!begonnen_ || bei_[i])
            Hole(i);
    begonnen_ = true;
    const Bestandseintrag* erster = nullptr;
    for (const Bestandseintrag* e : jetzt_)
        if (e != nullptr && (erster == nullptr || Wegordnung(e->Pfad, false, erster->Pfad, false) < 0))
            erster = e;
    if (erster == nullptr) {
        std::fill(bei_.begin(), bei_.end(), false);
        return false;
    }
    pfad_ = erster->Pfad;
    for (std::size_t i = 0; i < jetzt_.size(); ++i)
        bei_[i] = jetzt_[i] != nullptr && jetzt_[i]->Pfad == pfad_;
    return true;
}

bool Nebeneinander(Eintragszugriff& zugriff, Aufnahme& aufnahme, const std::vector<Punkt*>& punkte,
                   const std::function<void(const std::string& pfad, const Pfadeintraege& eintraege)>& beiPfad) {
    std::vector<std::optional<Eintragsstrom>> stroeme;
    for (Punkt* p : punkte)
        stroeme.push_back(Eintragsstrom::Oeffne(zugriff, aufnahme, *p));
    std::vector<Eintragsstrom*> offen;
    std::vector<Punkt*> offenePunkte;
    for (std::size_t i = 0; i < stroeme.size(); ++i)
        if (stroeme[i]) {
            offen.push_back(&*stroeme[i]);
            offenePunkte.push_back(punkte[i]);
        }
    Zusammenfuehrung z(offen);
    Pfadeintraege hier;
    while (z.Weiter()) {
        hier.clear();
        for (std::size_t i = 0; i < z.Anzahl(); ++i)
            if (const Bestandseintrag* e = z.Bei(i))
                hier.emplace_back(offenePunkte[i], e);
        beiPfad(z.Pfad(), hier);
    }
    bool kaputt = false;
    for (std::size_t i = 0; i < stroeme.size(); ++i)
        if (!stroeme[i] || !stroeme[i]->Fehler().empty()) {
            punkte[i]->Art = Bestandsart::Kaputt;
            kaputt = true;
        }
    return kaputt;
}

} // namespace tresor::ausduennung
