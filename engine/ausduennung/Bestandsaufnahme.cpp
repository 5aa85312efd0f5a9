// The points of one source in a target (see Bestandsaufnahme.h).
#include "engine/ausduennung/Bestandsaufnahme.h"

#include "engine/bestand/Sicherungsfolge.h"

#include <algorithm>

namespace tresor::ausduennung {

const Punkt* Aufnahme::Finde(const std::string& name) const {
    const auto it = std::lower_bound(Punkte.begin(), Punkte.end(), name,
                                     [](const Punkt& p, const std::string& n) { return p.Name < n; });
    return it != Punkte.end() && it->Name == name ? &*it : nullptr;
}

Aufnahme NimmAuf(Eintragszugriff& zugriff, const Laufwerkstabelle& laufwerke, const Pfad& ziel, const Pfad& quelle) {
    Aufnahme a;
    a.Ziel = ziel;
    a.Quelle = quelle;
    a.QuellePosix = laufwerke.ZuPosix(quelle).value_or("");
    for (const std::string& name : Sicherungsordnernamen(zugriff, ziel)) {
        // The head says whose point it is; its entries are read where they are needed.
        const Bestandsfund fund = LiesBestandskopf(zugriff, ziel, name);
        Punkt p;
        p.Name = name;
        p.Bestandsdatei = fund.Dateiname;
        if (fund.Zustand == Bestandsfund::Art::Gelesen) {
            if (!GleicheQuelle(*fund.Liste, quelle, a.QuellePosix))
                continue;
            p.Art = Bestandsart::Gelesen;
        } else {
            const auto spiegel = zugriff.Stand(Spiegelpfad(Unterpfad(ziel, name), quelle));
            if (!spiegel || spiegel->Typ != Eintragsstand::Art::Ordner)
                continue;
            p.Art = fund.Zustand == Bestandsfund::Art::Kaputt ? Bestandsart::Kaputt : Bestandsart::Keiner;
        }
        a.Punkte.push_back(std::move(p));
    }
    return a;
}

std::optional<Bestandsleser> LiesBestandVon(Eintragszugriff& zugriff, const Aufnahme& aufnahme, const Punkt& punkt) {
    Bestandsfund fund;
    auto leser = LiesBestandsleser(zugriff, aufnahme.Ziel, punkt.Name, &fund);
    if (!leser || fund.Dateiname != punkt.Bestandsdatei ||
        !GleicheQuelle(leser->Kopf(), aufnahme.Quelle, aufnahme.QuellePosix))
        return std::nullopt;
    return leser;
}

std::string Spiegel(const std::string& ordner, const Pfad& quelle) {
    return quelle.size() <= 3 ? ordner : ordner + "/" + NamenAusPosix(quelle.substr(3));
}

std::string Kopieort(const std::string& ordner, const Pfad& quelle, const std::string& pfad) {
    return Spiegel(ordner, quelle) + "/" + pfad;
}

std::vector<bool> UnbekannterBedarf(const Aufnahme& aufnahme, const std::vector<bool>& bleibt) {
    std::vector<bool> halten(aufnahme.Punkte.size(), false);
    bool spaeter = false;
    for (std::size_t i = aufnahme.Punkte.size(); i-- > 0;) {
        if (!bleibt[i] && spaeter)
            halten[i] = true;
        if ((bleibt[i] || halten[i]) && aufnahme.Punkte[i].Art != Bestandsart::Gelesen)
            spaeter = true;
    }
    return halten;
}

Bedarf Brauchen(Eintragszugriff& zugriff, Aufnahme& aufnahme, const std::vector<bool>& bleibt, bool& veraendert) {
    veraendert = false;
    Bedarf bedarf;
    std::set<std::string> gehen;
    for (std::size_t i = 0; i < aufnahme.Punkte.size(); ++i)
        if (!bleibt[i])
            gehen.insert(aufnahme.Punkte[i].Name);
    if (gehen.empty())
        return bedarf;
    for (std::size_t i = 0; i < aufnahme.Punkte.size(); ++i) {
        Punkt& p = aufnahme.Punkte[i];
        if (!bleibt[i] || p.Art != Bestandsart::Gelesen)
            continue;
        auto leser = LiesBestandVon(zugriff, aufnahme, p);
        while (const Bestandseintrag* e = leser ? leser->Naechster() : nullptr)
            if (e->Art != Eintragsart::Ordner && gehen.contains(e->Ort)) {
                bedarf.Kopien[e->Ort].emplace(e->Pfad, p.Name); // the oldest that names it comes first
                bedarf.Nennende.insert(p.Name);
            }
        if (!leser || !leser->Fehler().empty()) {
            p.Art = Bestandsart::Kaputt;
            veraendert = true;
        }
    }
    return bedarf;
}

} // namespace tresor::ausduennung
