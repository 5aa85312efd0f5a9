// Planning a thinning and what each point alone holds (see Ausduennung.h).
#include "engine/ausduennung/Ausduennung.h"

#include "engine/ausduennung/Bestandsaufnahme.h"
#include "engine/bestand/Anzeigetext.h"
#include "fs/posix/Zielbaum.h"

#include <map>

namespace tresor {

using namespace ausduennung;

namespace {

bool IstKopie(const std::optional<Eintragsstand>& stand) {
    return stand && (stand->Typ == Eintragsstand::Art::Datei || stand->Typ == Eintragsstand::Art::Verweis);
}

} // namespace

Ausduennung::Ausduennung(Laufwerkstabelle laufwerke) : laufwerke_(std::move(laufwerke)) {}

std::uint64_t ausduennung::ZaehleFreie(Zielbaum& baum, const Punkt& punkt, const Pfad& quelle,
                                       const std::function<bool(const std::string&)>& auslassen,
                                       std::vector<Rest>* reste, bool entfernen) {
    std::vector<Zielbaum::Uebrig> uebrig;
    std::uint64_t bytes = 0;
    const std::string spiegel = Spiegel(punkt.Name, quelle);
    // The record first: a point half removed never looks like a whole one.
    if (spiegel != punkt.Name && !punkt.Bestandsdatei.empty())
        bytes += baum.Entferne(punkt.Name + "/" + punkt.Bestandsdatei, !entfernen, {}, uebrig);
    bytes += baum.Entferne(spiegel, !entfernen, auslassen, uebrig);
    if (reste)
        for (Zielbaum::Uebrig& u : uebrig)
            reste->push_back({punkt.Name, u.Pfad, u.Grund});
    return bytes;
}

std::variant<Ausduennungsplan, std::string> Ausduennung::Plane(const Pfad& ziel, const Pfad& quelle,
                                                               const Behalteregel& regel) {
    Eintragszugriff zugriff(laufwerke_);
    Aufnahme a = NimmAuf(zugriff, laufwerke_, ziel, quelle);
    if (a.Punkte.empty())
        return "Im Ziel " + Anzeigetext(ziel) + " gibt es keine Sicherung der Quelle " + Anzeigetext(quelle) + ".";
    std::vector<std::string> namen;
    for (const Punkt& p : a.Punkte)
        namen.push_back(p.Name);
    std::vector<bool> bleibt = Behaltene(namen, regel);
    std::map<std::string, std::vector<Rest>> gehalten; // the points that stay against the rule, and why
    Zielbaum baum(laufwerke_, ziel);
    Bedarf bedarf;
    for (;;) {
        const std::vector<bool> halten = UnbekannterBedarf(a, bleibt);
        for (std::size_t i = 0; i < halten.size(); ++i)
            if (halten[i]) {
                bleibt[i] = true;
                gehalten[namen[i]].push_back(
                    {namen[i], "",
                     "Eine spätere Sicherung ohne brauchbare Bestandsliste braucht vielleicht Dateien daraus."});
            }
        bool veraendert = false;
        bedarf = Brauchen(zugriff, a, bleibt, veraendert);
        if (veraendert)
            continue;
        bool blockiert = false;
        for (const auto& [von, pfade] : bedarf.Kopien)
            for (const auto& [pfad, nach] : pfade) {
                const auto alt = baum.Stand(Kopieort(von, quelle, pfad));
                const auto neu = baum.Stand(Kopieort(nach, quelle, pfad));
                std::string grund;
                if (!IstKopie(alt))
                    grund = "Die Kopie fehlt, die die Sicherung " + Anzeigetext(nach) + " braucht.";
                else if (neu)
                    grund = "Die Kopie kann nicht in die Sicherung " + Anzeigetext(nach) +
                            " verschoben werden: dort liegt schon etwas unter diesem Namen.";
                if (grund.empty())
                    continue;
                const std::size_t i = static_cast<std::size_t>(a.Finde(von) - a.Punkte.data());
                bleibt[i] = true;
                gehalten[von].push_back({von, pfad, grund});
                blockiert = true;
            }
        if (!blockiert)
            break;
    }

    Ausduennungsplan plan;
    plan.Ziel = ziel;
    plan.Quelle = quelle;
    for (std::size_t i = 0; i < namen.size(); ++i)
        (bleibt[i] ? plan.Bleiben : plan.Gehen).push_back(namen[i]);
    for (const auto& [ordner, reste] : gehalten)
        plan.Reste.insert(plan.Reste.end(), reste.begin(), reste.end());
    for (const auto& [von, pfade] : bedarf.Kopien)
        for (const auto& [pfad, nach] : pfade) {
            const auto alt = baum.Stand(Kopieort(von, quelle, pfad));
            plan.Verschiebungen.push_back(
                {von, nach, pfad,
                 alt && alt->Typ == Eintragsstand::Art::Datei ? static_cast<std::uint64_t>(alt->Groesse) : 0});
        }
    plan.NeueBestaende.assign(bedarf.Nennende.begin(), bedarf.Nennende.end());
    for (const std::string& g : plan.Gehen) {
        const auto it = bedarf.Kopien.find(g);
        const auto auslassen = [&](const std::string& rel) {
            return it != bedarf.Kopien.end() && it->second.contains(rel);
        };
        plan.FreieBytes += ZaehleFreie(baum, *a.Finde(g), quelle, auslassen, &plan.Reste, false);
    }
    return plan;
}

std::vector<std::pair<std::string, std::optional<std::uint64_t>>> Ausduennung::EigeneBytes(const Pfad& ziel,
                                                                                           const Pfad& quelle) {
    Eintragszugriff zugriff(laufwerke_);
    Aufnahme a = NimmAuf(zugriff, laufwerke_, ziel, quelle);
    std::vector<std::pair<std::string, std::optional<std::uint64_t>>> bytes;
    if (a.Punkte.empty())
        return bytes;
    // The copies each point's folder holds for other points.
    std::map<std::string, std::set<std::string>> fuerAndere;
    for (Punkt& p : a.Punkte) {
        if (p.Art != Bestandsart::Gelesen)
            continue;
        auto leser = LiesBestandVon(zugriff, a, p);
        while (const Bestandseintrag* e = leser ? leser->Naechster() : nullptr)
            if (e->Art != Eintragsart::Ordner && e->Ort != p.Name && a.Finde(e->Ort) != nullptr)
                fuerAndere[e->Ort].insert(e->Pfad);
        if (!leser || !leser->Fehler().empty())
            p.Art = Bestandsart::Kaputt;
    }
    Zielbaum baum(laufwerke_, ziel);
    bool unbekannt = false;
    for (std::size_t i = a.Punkte.size(); i-- > 0;) {
        const Punkt& p = a.Punkte[i];
        std::optional<std::uint64_t> eigen;
        if (!unbekannt) {
            const auto it = fuerAndere.find(p.Name);
            eigen = ZaehleFreie(
                baum, p, quelle,
                [&](const std::string& rel) { return it != fuerAndere.end() && it->second.contains(rel); }, nullptr,
                false);
        }
        bytes.emplace_back(p.Name, eigen);
        if (p.Art != Bestandsart::Gelesen)
            unbekannt = true;
    }
    return {bytes.rbegin(), bytes.rend()};
}

} // namespace tresor
