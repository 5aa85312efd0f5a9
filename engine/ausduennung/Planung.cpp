// Planning a thinning and what each point alone holds (see Ausduennung.h).
#include "engine/ausduennung/Ausduennung.h"

#include "engine/ausduennung/Bestandsaufnahme.h"
#include "engine/ausduennung/Restsammlung.h"
#include "engine/ausduennung/Zusammenfuehrung.h"
#include "engine/bestand/Anzeigetext.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "fs/FsFehler.h"
#include "fs/posix/Zielbaum.h"

#include <algorithm>
#include <map>
#include <set>

namespace tresor {

using namespace ausduennung;

namespace {

bool IstKopie(const std::optional<Eintragsstand>& stand) {
    return stand && (stand->Typ == Eintragsstand::Art::Datei || stand->Typ == Eintragsstand::Art::Verweis);
}

} // namespace

Ausduennung::Ausduennung(Laufwerkstabelle laufwerke) : laufwerke_(std::move(laufwerke)) {}

std::uint64_t ausduennung::ZaehleFreie(Zielbaum& baum, const Punkt& punkt, const Pfad& quelle,
                                       const std::function<bool(const std::string&)>& auslassen, Restsammlung* reste,
                                       bool entfernen, const std::function<void()>& zwischen) {
    const Zielbaum::Uebrige uebrig = [&](const Zielbaum::Uebrig& u) {
        if (reste)
            reste->Neu(punkt.Name, u.Pfad, u.Grund);
    };
    std::uint64_t bytes = 0;
    const std::string spiegel = Spiegel(punkt.Name, quelle);
    const std::string abgang = punkt.Name + "/" + Abgangsname;
    bool mitAbgang = punkt.Abgang;
    // The record first: a point half removed never looks like a whole one. Where it is removed for good it is
    // kept under Abgangsname until the mirror is gone (a second name first, so that it is never without one).
    if (entfernen && punkt.Art == Bestandsart::Gelesen && !punkt.Bestandsdatei.empty()) {
        const std::string bestand = punkt.Name + "/" + punkt.Bestandsdatei;
        try {
            Zielbaum::Zug zug = baum.Verschiebe(bestand, abgang);
            if (zug == Zielbaum::Zug::Besetzt) {
                // Something left under that name from before: the folder goes whole anyway.
                baum.Entferne(abgang, false, {}, uebrig);
                zug = baum.Verschiebe(bestand, abgang);
            }
            mitAbgang = zug == Zielbaum::Zug::Erledigt;
        } catch (const FsFehler&) {
            // Not kept then: the record goes first all the same.
        }
        bytes += baum.Entferne(bestand, false, {}, uebrig);
    } else if (spiegel != punkt.Name && !punkt.Bestandsdatei.empty()) {
        bytes += baum.Entferne(punkt.Name + "/" + punkt.Bestandsdatei, !entfernen, {}, uebrig);
    }
    if (zwischen)
        zwischen();
    // Where the mirror is the backup folder itself (a drive root), the record under Abgangsname lies in it.
    const auto ohneAbgang = [&](const std::string& relativ) {
        return (mitAbgang && spiegel == punkt.Name && relativ == Abgangsname) || (auslassen && auslassen(relativ));
    };
    bytes += baum.Entferne(spiegel, !entfernen, ohneAbgang, uebrig);
    if (!mitAbgang)
        return bytes;
    // The record goes once nothing of the mirror is left; else it stays to say whose the rest is.
    const auto rest = spiegel == punkt.Name ? baum.Namen(spiegel) : std::nullopt;
    if (!entfernen || (spiegel != punkt.Name ? !baum.Stand(spiegel) : rest && rest->size() == 1)) {
        bytes += baum.Entferne(abgang, !entfernen, {}, uebrig);
        if (entfernen && spiegel == punkt.Name)
            baum.EntferneLeer(spiegel);
    }
    return bytes;
}

std::variant<Ausduennungsplan, std::string> Ausduennung::Plane(const Pfad& ziel, const Pfad& quelle,
                                                               const Behalteregel& regel) {
    Eintragszugriff zugriff(laufwerke_);
    Aufnahme a = NimmAuf(zugriff, laufwerke_, ziel, quelle);
    // A source whose drive is not there (its records are found by their source line alone) has no POSIX form for
    // the plan to be checked against when it is carried out: its backups are only read, never thinned.
    if (a.QuellePosix.empty())
        return "Die Quelle " + Anzeigetext(quelle) +
               " liegt auf keinem Laufwerk; ihre Sicherungen werden nicht ausgedünnt.";
    if (a.Punkte.empty())
        return "Im Ziel " + Anzeigetext(ziel) + " gibt es keine Sicherung der Quelle " + Anzeigetext(quelle) + ".";
    std::vector<std::string> namen;
    for (const Punkt& p : a.Punkte)
        namen.push_back(p.Name);
    // A point whose removal began (its record put aside, its mirror perhaps in part gone: a removal that could
    // not finish) is no point the rule may keep; the rule goes by the others.
    std::vector<std::string> ganze;
    for (const Punkt& p : a.Punkte)
        if (!p.Abgang || &p == &a.Punkte.back())
            ganze.push_back(p.Name);
    const std::vector<bool> ganzeBleiben = Behaltene(ganze, regel);
    std::vector<bool> bleibt(namen.size(), false);
    for (std::size_t i = 0, j = 0; i < namen.size(); ++i)
        if (j < ganze.size() && ganze[j] == namen[i])
            bleibt[i] = ganzeBleiben[j++];
    std::vector<Rest> gehalten; // the points that stay against the rule, and why
    Restsammlung festgehalten(gehalten);
    // A point whose backup folder cannot be read stays, whatever the rule says: nothing is removed or moved on the
    // word of what could not be read, and a later point may need copies that lie only there.
    for (std::size_t i = 0; i < namen.size(); ++i)
        if (!a.Punkte[i].Unlesbar.empty()) {
            bleibt[i] = true;
            festgehalten.Neu(namen[i], "", a.Punkte[i].Unlesbar + ".");
        }
    for (std::size_t i = 0; i < namen.size(); ++i)
        if (!bleibt[i] && a.Punkte[i].Mehrdeutig) {
            bleibt[i] = true;
            festgehalten.Neu(namen[i], "", MehrdeutigGrund);
        }
    Zielbaum baum(laufwerke_, ziel);
    std::set<std::string> nennende;
    std::size_t zuege = 0;
    std::uint64_t verschoben = 0; // bytes of the copies that move and would have been freed
    for (;;) {
        const std::vector<bool> halten = UnbekannterBedarf(a, bleibt);
        for (std::size_t i = 0; i < halten.size(); ++i)
            if (halten[i]) {
                bleibt[i] = true;
                festgehalten.Neu(
                    namen[i], "",
                    "Eine spätere Sicherung ohne brauchbare Bestandsliste braucht vielleicht Dateien daraus.");
            }
        bool veraendert = false;
        bool blockiert = false;
        MitGanzen(a, [&] {
            nennende.clear();
            zuege = 0;
            verschoben = 0;
            Brauchen(zugriff, a, bleibt, veraendert, nennende, [&](const Verschiebung& v) {
                const auto alt = baum.Stand(Kopieort(v.Von, quelle, v.Pfad));
                const auto neu = baum.Stand(Kopieort(v.Nach, quelle, v.Pfad));
                std::string grund;
                if (!IstKopie(alt))
                    grund = "Die Kopie fehlt, die die Sicherung " + Anzeigetext(v.Nach) + " braucht.";
                else if (neu)
                    grund = "Die Kopie kann nicht in die Sicherung " + Anzeigetext(v.Nach) +
                            " verschoben werden: dort liegt schon etwas unter diesem Namen.";
                if (grund.empty()) {
                    ++zuege;
                    if (alt->Typ == Eintragsstand::Art::Datei && alt->Namen == 1)
                        verschoben += static_cast<std::uint64_t>(alt->Groesse);
                    return;
                }
                const std::size_t i = static_cast<std::size_t>(a.Finde(v.Von) - a.Punkte.data());
                bleibt[i] = true;
                festgehalten.Neu(v.Von, v.Pfad, grund);
                blockiert = true;
            });
        });
        if (veraendert)
            continue;
        if (!blockiert)
            break;
    }

    Ausduennungsplan plan;
    plan.Ziel = ziel;
    plan.Quelle = quelle;
    for (std::size_t i = 0; i < namen.size(); ++i)
        (bleibt[i] ? plan.Bleiben : plan.Gehen).push_back(namen[i]);
    // Point by point, oldest first.
    std::stable_sort(gehalten.begin(), gehalten.end(),
                     [](const Rest& x, const Rest& y) { return x.Ordner < y.Ordner; });
    plan.Reste = std::move(gehalten);
    plan.Verschiebungen = zuege;
    plan.NeueBestaende.assign(nennende.begin(), nennende.end());
    for (const Punkt& p : a.Punkte)
        if (p.Ganz)
            plan.Ungeordnet.push_back(p.Name);
    // What goes with the folders, but for the copies that move: they keep their bytes.
    std::uint64_t frei = 0;
    Restsammlung bleibend(plan.Reste);
    for (const std::string& g : plan.Gehen)
        frei += ZaehleFreie(baum, *a.Finde(g), quelle, {}, &bleibend, false);
    plan.FreieBytes = frei - std::min(frei, verschoben);
    return plan;
}

void ausduennung::Zuege(const Laufwerkstabelle& laufwerke, const Ausduennungsplan& plan,
                        const std::function<void(const Verschiebung&)>& zug) {
    Eintragszugriff zugriff(laufwerke);
    Aufnahme a = NimmAuf(zugriff, laufwerke, plan.Ziel, plan.Quelle);
    const std::set<std::string> gehen(plan.Gehen.begin(), plan.Gehen.end());
    const std::set<std::string> ungeordnet(plan.Ungeordnet.begin(), plan.Ungeordnet.end());
    std::vector<bool> bleibt;
    for (Punkt& p : a.Punkte) {
        bleibt.push_back(!gehen.contains(p.Name));
        p.Ganz = ungeordnet.contains(p.Name);
    }
    Zielbaum baum(laufwerke, plan.Ziel);
    bool veraendert = false;
    std::set<std::string> nennende;
    Verschiebung mit;
    Brauchen(zugriff, a, bleibt, veraendert, nennende, [&](const Verschiebung& v) {
        const auto alt = baum.Stand(Kopieort(v.Von, plan.Quelle, v.Pfad));
        mit = v;
        mit.Bytes = alt && alt->Typ == Eintragsstand::Art::Datei ? static_cast<std::uint64_t>(alt->Groesse) : 0;
        zug(mit);
    });
}

void Ausduennung::Zuege(const Ausduennungsplan& plan, const std::function<void(const Verschiebung&)>& zug) {
    try {
        ausduennung::Zuege(laufwerke_, plan, zug);
    } catch (const Ungeordnet& u) {
        throw FsFehler("Lesen", Unterpfad(plan.Ziel, u.Punkt), std::make_error_code(std::errc::illegal_byte_sequence));
    }
}

std::vector<std::pair<std::string, std::optional<std::uint64_t>>> Ausduennung::EigeneBytes(const Pfad& ziel,
                                                                                           const Pfad& quelle) {
    Eintragszugriff zugriff(laufwerke_);
    Aufnahme a = NimmAuf(zugriff, laufwerke_, ziel, quelle);
    std::vector<std::pair<std::string, std::optional<std::uint64_t>>> bytes;
    if (a.Punkte.empty())
        return bytes;
    Zielbaum baum(laufwerke_, ziel);
    // For each point, the bytes of the copies in its folder that other points name: those stay when it goes.
    std::map<std::string, std::uint64_t, std::less<>> fuerAndere;
    MitGanzen(a, [&] {
        fuerAndere.clear();
        std::vector<Punkt*> punkte;
        for (Punkt& p : a.Punkte)
            if (p.Art == Bestandsart::Gelesen)
                punkte.push_back(&p);
        std::vector<const std::string*> genannt;
        Nebeneinander(zugriff, a, punkte, [&](const std::string& pfad, const Pfadeintraege& hier) {
            genannt.clear();
            for (const auto& bei : hier) {
                Punkt* const punkt = bei.first;
                const Bestandseintrag* const e = bei.second;
                if (e->Ort == punkt->Name || a.Finde(e->Ort) == nullptr ||
                    std::any_of(genannt.begin(), genannt.end(), [e](const std::string* g) { return *g == e->Ort; }))
                    continue;
                genannt.push_back(&e->Ort);
                const auto kopie = baum.Stand(Kopieort(e->Ort, quelle, pfad));
                if (kopie && kopie->Typ == Eintragsstand::Art::Datei && kopie->Namen == 1)
                    fuerAndere[e->Ort] += static_cast<std::uint64_t>(kopie->Groesse);
            }
        });
    });
    bool unbekannt = false;
    for (std::size_t i = a.Punkte.size(); i-- > 0;) {
        const Punkt& p = a.Punkte[i];
        std::optional<std::uint64_t> eigen;
        if (!unbekannt) {
            const std::uint64_t alle = ZaehleFreie(baum, p, quelle, {}, nullptr, false);
            const auto it = fuerAndere.find(p.Name);
            eigen = alle - std::min(alle, it == fuerAndere.end() ? 0 : it->second);
        }
        bytes.emplace_back(p.Name, eigen);
        if (p.Art != Bestandsart::Gelesen)
            unbekannt = true;
    }
    return {bytes.rbegin(), bytes.rend()};
}

} // namespace tresor
