// Carrying a plan out, and finishing one left in the target (see Ausduennung.h).
#include "engine/ausduennung/Ausduennung.h"

#include "engine/ausduennung/Bestandsaufnahme.h"
#include "engine/bestand/Anzeigetext.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "fs/FsFehler.h"

#include <cerrno>
#include <map>
#include <set>

namespace tresor {

using namespace ausduennung;

namespace {

std::function<void(std::size_t, Ausduennung::Schritt)>& Haltepunkt() {
    static std::function<void(std::size_t, Ausduennung::Schritt)> haltepunkt;
    return haltepunkt;
}

// The steps of one carrying out: asks before each whether to go on, reports after each.
struct Lauf {
    Lauf(const Ausduennungsfortschritt& fortschritt, const std::atomic<bool>* halt)
        : Fortschritt(fortschritt), Halt(halt) {}
    const Ausduennungsfortschritt& Fortschritt;
    const std::atomic<bool>* Halt;
    std::size_t Gesamt = 0;
    std::size_t Schritt = 0;
    Ausduennungsergebnis Ergebnis;

    bool Weiter(Ausduennung::Schritt art) {
        if (Halt != nullptr && Halt->load()) {
            Ergebnis.Angehalten = true;
            return false;
        }
        if (Haltepunkt())
            Haltepunkt()(Schritt, art);
        return true;
    }
    void Getan() {
        ++Schritt;
        if (Fortschritt)
            Fortschritt(std::min(Schritt, Gesamt), Gesamt);
    }
    void Rest(const std::string& ordner, const std::string& pfad, const std::string& grund) {
        Ergebnis.Reste.push_back({ordner, pfad, grund});
    }
};

std::string Eltern(const std::string& pfad) {
    const std::size_t schnitt = pfad.rfind('/');
    return schnitt == std::string::npos ? std::string() : pfad.substr(0, schnitt);
}

} // namespace

void Ausduennung::SetzeHaltepunkt(std::function<void(std::size_t, Schritt)> haltepunkt) {
    Haltepunkt() = std::move(haltepunkt);
}

bool Ausduennung::Offen(const Pfad& ziel) {
    try {
        Zielbaum baum(laufwerke_, ziel);
        return baum.Stand(Plandateiname).has_value();
    } catch (const FsFehler& f) {
        if (f.Ursache().value() == ENOENT)
            return false;
        throw;
    }
}

namespace {

// Moves, rewrites, removes: every step checked against the target as it is now, so that a plan from the
// target (or one made a while ago) never takes from a point that stays what it needs.
void Durchfuehre(const Laufwerkstabelle& laufwerke, Zielbaum& baum, const Ausduennungsplan& plan, Lauf& lauf) {
    Eintragszugriff zugriff(laufwerke);
    Aufnahme a = NimmAuf(zugriff, laufwerke, plan.Ziel, plan.Quelle);
    const std::string neuester = a.Punkte.empty() ? std::string() : a.Punkte.back().Name;
    std::set<std::string> gehen;
    for (const std::string& g : plan.Gehen)
        if (a.Finde(g) != nullptr && g != neuester)
            gehen.insert(g);
        else if (a.Finde(g) != nullptr)
            lauf.Rest(g, "", "Die neueste Sicherung bleibt immer.");

    std::map<std::string, std::map<std::string, std::string>> erledigt;
    std::set<std::string> blockiert;
    for (const Verschiebung& v : plan.Verschiebungen) {
        if (!lauf.Weiter(Ausduennung::Schritt::Verschieben))
            return;
        if (!gehen.contains(v.Von) || a.Finde(v.Nach) == nullptr || gehen.contains(v.Nach)) {
            if (a.Finde(v.Von) != nullptr)
                lauf.Rest(v.Von, v.Pfad, "Der Plan nennt eine Verschiebung, die nicht zu diesen Sicherungen passt.");
        } else {
            switch (baum.Verschiebe(Kopieort(v.Von, plan.Quelle, v.Pfad), Kopieort(v.Nach, plan.Quelle, v.Pfad))) {
            case Zielbaum::Zug::Erledigt:
                erledigt[v.Von][v.Pfad] = v.Nach;
                break;
            case Zielbaum::Zug::Besetzt:
                lauf.Rest(v.Von, v.Pfad,
                          "Die Kopie kann nicht in die Sicherung " + Anzeigetext(v.Nach) +
                              " verschoben werden: dort liegt schon etwas unter diesem Namen.");
                blockiert.insert(v.Von);
                break;
            case Zielbaum::Zug::Fehlt:
                lauf.Rest(v.Von, v.Pfad, "Die Kopie fehlt, die die Sicherung " + Anzeigetext(v.Nach) + " braucht.");
                blockiert.insert(v.Von);
                break;
            }
        }
        lauf.Getan();
    }
    // The new names are on the medium before any record names them.
    baum.Sichere("");

    std::vector<bool> bleibt;
    for (const Punkt& p : a.Punkte)
        bleibt.push_back(!gehen.contains(p.Name));
    const std::vector<bool> halten = UnbekannterBedarf(a, bleibt);
    for (std::size_t i = 0; i < halten.size(); ++i)
        if (halten[i] && blockiert.insert(a.Punkte[i].Name).second)
            lauf.Rest(a.Punkte[i].Name, "",
                      "Eine spätere Sicherung ohne brauchbare Bestandsliste braucht vielleicht Dateien daraus.");
    for (const Punkt& p : a.Punkte) {
        if (gehen.contains(p.Name) || p.Art != Bestandsart::Gelesen)
            continue;
        auto leser = LiesBestandVon(zugriff, a, p);
        // The new place of an entry's copy that moved, or nothing.
        const auto neuerOrt = [&](const Bestandseintrag& e) -> const std::string* {
            if (e.Art == Eintragsart::Ordner || !gehen.contains(e.Ort))
                return nullptr;
            const auto ort = erledigt.find(e.Ort);
            if (ort == erledigt.end())
                return nullptr;
            const auto it = ort->second.find(e.Pfad);
            return it == ort->second.end() ? nullptr : &it->second;
        };
        // Once through the record: whether anything moved, and which copies it needs that stay where they are.
        bool geaendert = false;
        while (const Bestandseintrag* e = leser ? leser->Naechster() : nullptr) {
            if (e->Art == Eintragsart::Ordner || !gehen.contains(e->Ort))
                continue;
            if (neuerOrt(*e) != nullptr)
                geaendert = true;
            else if (blockiert.insert(e->Ort).second)
                lauf.Rest(e->Ort, e->Pfad, "Die Sicherung " + Anzeigetext(p.Name) + " braucht diese Kopie.");
        }
        if (!leser || !leser->Fehler().empty()) {
            for (const std::string& g : gehen)
                if (g < p.Name && blockiert.insert(g).second)
                    lauf.Rest(g, "",
                              "Die Bestandsliste der Sicherung " + Anzeigetext(p.Name) + " ist nicht mehr lesbar.");
            continue;
        }
        if (!geaendert)
            continue;
        if (!lauf.Weiter(Ausduennung::Schritt::Bestand))
            return;
        // Then written anew, entry by entry as it is read again, under a temporary name until it is whole.
        const Pfad datei = Unterpfad(Unterpfad(a.Ziel, p.Name), p.Bestandsdatei);
        baum.Ersetze(p.Name + "/" + p.Bestandsdatei, [&](const Zielbaum::Stueckweise& aus) {
            Bestandsschreiber schreiber(aus);
            schreiber.Kopf(leser->Kopf());
            Bestandseintrag neu;
            for (leser->VonVorn(); const Bestandseintrag* e = leser->Naechster();) {
                const std::string* ort = neuerOrt(*e);
                if (ort == nullptr) {
                    schreiber.Eintrag(*e);
                    continue;
                }
                neu = *e;
                neu.Ort = *ort;
                schreiber.Eintrag(neu);
            }
            // A record that changed since it was read once is not written: the old one stays.
            if (!leser->Fehler().empty())
                throw FsFehler("Lesen", datei, std::make_error_code(std::errc::io_error));
            schreiber.Ende(leser->Kopf());
            // The old record is let go before the new one takes its name: a share refuses to rename over a
            // file that is still open (EBUSY).
            leser.reset();
        });
        lauf.Getan();
    }

    for (const std::string& g : plan.Gehen) {
        if (a.Finde(g) != nullptr && !gehen.contains(g))
            continue;
        if (!lauf.Weiter(Ausduennung::Schritt::Entfernen))
            return;
        if (blockiert.contains(g)) {
            lauf.Getan();
            continue;
        }
        if (const Punkt* p = a.Finde(g))
            lauf.Ergebnis.FreieBytes += ZaehleFreie(baum, *p, plan.Quelle, {}, &lauf.Ergebnis.Reste, true);
        // The folders above the mirror, up to the backup folder, when nothing else is in them.
        for (std::string o = Eltern(Spiegel(g, plan.Quelle)); !o.empty() && baum.EntferneLeer(o); o = Eltern(o)) {
        }
        if (baum.Stand(Spiegel(g, plan.Quelle)) || (a.Finde(g) != nullptr && baum.Stand(g)))
            lauf.Rest(g, "", "Der Sicherungsordner konnte nicht ganz entfernt werden.");
        else if (baum.Stand(g))
            lauf.Rest(g, "", "Der Sicherungsordner enthält noch anderes und bleibt.");
        lauf.Getan();
    }

    if (!lauf.Weiter(Ausduennung::Schritt::PlanEntfernen))
        return;
    std::vector<Zielbaum::Uebrig> uebrig;
    baum.Entferne(Plandateiname, false, {}, uebrig);
    baum.Sichere("");
    lauf.Getan();
    lauf.Ergebnis.Fertig = lauf.Ergebnis.Reste.empty();
}

} // namespace

Ausduennungsergebnis Ausduennung::Fuehreaus(const Ausduennungsplan& plan, const Ausduennungsfortschritt& fortschritt,
                                            const std::atomic<bool>* halt) {
    Ausduennungsergebnis vorher;
    if (Offen(plan.Ziel)) {
        vorher = Vollende(plan.Ziel, {}, halt);
        if (Offen(plan.Ziel))
            return vorher;
    }
    Lauf lauf(fortschritt, halt);
    // Nothing to remove: the target is not touched.
    if (plan.Gehen.empty()) {
        lauf.Ergebnis = vorher;
        lauf.Ergebnis.Fertig = vorher.Reste.empty();
        return lauf.Ergebnis;
    }
    Zielbaum baum(laufwerke_, plan.Ziel);
    lauf.Gesamt = plan.Schritte();
    if (!lauf.Weiter(Schritt::Plan))
        return lauf.Ergebnis;
    baum.Ersetze(Plandateiname, SchreibePlan(plan, laufwerke_.ZuPosix(plan.Quelle).value_or("")));
    lauf.Getan();
    Durchfuehre(laufwerke_, baum, plan, lauf);
    lauf.Ergebnis.Reste.insert(lauf.Ergebnis.Reste.begin(), vorher.Reste.begin(), vorher.Reste.end());
    lauf.Ergebnis.FreieBytes += vorher.FreieBytes;
    return lauf.Ergebnis;
}

Ausduennungsergebnis Ausduennung::Vollende(const Pfad& ziel, const Ausduennungsfortschritt& fortschritt,
                                           const std::atomic<bool>* halt) {
    Lauf lauf(fortschritt, halt);
    if (!Offen(ziel)) {
        lauf.Ergebnis.Fertig = true;
        return lauf.Ergebnis;
    }
    Zielbaum baum(laufwerke_, ziel);
    const auto stand = baum.Stand(Plandateiname);
    const std::string bleibt = " Sie bleibt unberührt.";
    if (!stand || stand->Typ != Eintragsstand::Art::Datei) {
        lauf.Rest("", Plandateiname, "Unter dem Namen des Plans liegt keine Datei." + bleibt);
        return lauf.Ergebnis;
    }
    auto gelesen = LiesPlan(baum.LiesDatei(Plandateiname).value_or(""));
    if (auto* fehler = std::get_if<std::string>(&gelesen)) {
        lauf.Rest("", Plandateiname, *fehler + bleibt);
        return lauf.Ergebnis;
    }
    GelesenerPlan& g = std::get<GelesenerPlan>(gelesen);
    g.Plan.Ziel = ziel;
    // Which backups are the source's follows from the source's POSIX form today; a plan made where it was
    // another could take a record that stays for another source's.
    if (g.QuellePosix.empty() || laufwerke_.ZuPosix(g.Plan.Quelle).value_or("") != g.QuellePosix) {
        lauf.Rest("", Plandateiname, "Die Quelle des Plans ist hier nicht dieselbe wie beim Planen." + bleibt);
        return lauf.Ergebnis;
    }
    lauf.Gesamt = g.Plan.Schritte();
    lauf.Schritt = 1;
    Durchfuehre(laufwerke_, baum, g.Plan, lauf);
    return lauf.Ergebnis;
}

} // namespace tresor
