// Carrying a plan out, and finishing one left in the target (see Ausduennung.h).
#include "engine/ausduennung/Ausduennung.h"

#include "engine/ausduennung/Bestandsaufnahme.h"
#include "engine/ausduennung/Restsammlung.h"
#include "engine/ausduennung/Zusammenfuehrung.h"
#include "engine/bestand/Anzeigetext.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "fs/FsFehler.h"

#include <unistd.h>

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
    // What is left, named: the first few paths of each backup folder, the further ones counted.
    ausduennung::Restsammlung Reste{Ergebnis.Reste};
    void Rest(const std::string& ordner, const std::string& pfad, const std::string& grund) {
        Reste.Neu(ordner, pfad, grund);
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

// The moves of a plan at the entries of a record, as the record is read in the walk's order: the plan lists
// its moves in that order of their paths, so it is read alongside, a path's moves at a time. Each move is known
// by its place in the plan.
class Zugsuche {
public:
    explicit Zugsuche(Planleser& plan) : plan_(plan) {
        plan_.VonVorn();
        naechste_ = plan_.Naechste();
    }
    // The move of the copy of `pfad` out of the backup folder `von` and its place, or nullptr.
    const Verschiebung* Bei(const std::string& pfad, const std::string& von, std::size_t& stelle) {
        if (gruppe_.empty() || gruppe_.front().first.Pfad != pfad) {
            gruppe_.clear();
            while (naechste_ != nullptr && Wegordnung(naechste_->Pfad, false, pfad, false) < 0)
                Weiter();
            while (naechste_ != nullptr && naechste_->Pfad == pfad) {
                gruppe_.emplace_back(*naechste_, gelesen_);
                Weiter();
            }
        }
        for (const auto& [v, s] : gruppe_)
            if (v.Von == von) {
                stelle = s;
                return &v;
            }
        return nullptr;
    }

private:
    void Weiter() {
        naechste_ = plan_.Naechste();
        ++gelesen_;
    }

    Planleser& plan_;
    const Verschiebung* naechste_ = nullptr;
    std::size_t gelesen_ = 0;                                  // the place of naechste_
    std::vector<std::pair<Verschiebung, std::size_t>> gruppe_; // the moves at the last path asked for
};

// Moves, rewrites, removes: every step checked against the target as it is now, so that a plan from the
// target (or one made a while ago) never takes from a point that stays what it needs.
// `planBesitzer`: the owner of the plan's file. A plan that another user wrote into the target removes no backup
// folder but one of that user's own (on a medium that keeps no owners, every entry has the one the mount gives).
void Durchfuehre(const Laufwerkstabelle& laufwerke, Zielbaum& baum, Planleser& leser, std::uint32_t planBesitzer,
                 Lauf& lauf) {
    const Ausduennungsplan& plan = leser.Plan().Plan;
    Eintragszugriff zugriff(laufwerke);
    Aufnahme a = NimmAuf(zugriff, laufwerke, plan.Ziel, plan.Quelle);
    const std::string neuester = a.Punkte.empty() ? std::string() : a.Punkte.back().Name;
    // What rewrites of an earlier thinning that was killed left: the plan's in the target folder, a record's in
    // its backup folder. A rewrite under way in another thinning keeps its own. A drive root's backup folder is its
    // mirror, where such a name may be the copy of a file of the source: there the leftover stays.
    baum.RaeumeAuf("");
    for (const Punkt& p : a.Punkte)
        if (Spiegel(p.Name, plan.Quelle) != p.Name)
            baum.RaeumeAuf(p.Name);
    const auto fremd = [&](const std::string& g) {
        if (planBesitzer == ::geteuid())
            return false;
        const auto ordner = baum.Stand(g);
        return !ordner || ordner->Uid != planBesitzer;
    };
    const Sicherungsbesitz besitz(zugriff, plan.Ziel);
    std::set<std::string, std::less<>> gehen;
    for (const std::string& g : plan.Gehen)
        if (const Punkt* p = a.Finde(g); p != nullptr && !p->Unlesbar.empty())
            lauf.Rest(g, "", p->Unlesbar + ".");
        else if (p != nullptr && p->Mehrdeutig)
            lauf.Rest(g, "", MehrdeutigGrund);
        else if (p != nullptr && fremd(g))
            lauf.Rest(g, "", "Der Plan stammt von einem anderen Benutzer als diese Sicherung.");
        else if (p != nullptr && g != neuester)
            gehen.insert(g);
        else if (p != nullptr)
            lauf.Rest(g, "", "Die neueste Sicherung bleibt immer.");
    // Whether a move fits these points: out of one that goes into one that stays.
    const auto passt = [&](const Verschiebung& v) {
        return gehen.contains(v.Von) && a.Finde(v.Nach) != nullptr && !gehen.contains(v.Nach);
    };
    const auto geaendert = [&] { lauf.Rest("", Plandateiname, "Der Plan hat sich während der Ausdünnung geändert."); };

    std::set<std::string> blockiert;
    // Which moves are done, by their place in the plan: a bit each.
    std::vector<bool> erledigt;
    leser.VonVorn();
    while (const Verschiebung* v = leser.Naechste()) {
        if (!lauf.Weiter(Ausduennung::Schritt::Verschieben))
            return;
        erledigt.push_back(false);
        if (!passt(*v)) {
            if (a.Finde(v->Von) != nullptr)
                lauf.Rest(v->Von, v->Pfad, "Der Plan nennt eine Verschiebung, die nicht zu diesen Sicherungen passt.");
        } else {
            switch (baum.Verschiebe(Kopieort(v->Von, plan.Quelle, v->Pfad), Kopieort(v->Nach, plan.Quelle, v->Pfad))) {
            case Zielbaum::Zug::Erledigt:
                erledigt.back() = true;
                break;
            case Zielbaum::Zug::Besetzt:
                lauf.Rest(v->Von, v->Pfad,
                          "Die Kopie kann nicht in die Sicherung " + Anzeigetext(v->Nach) +
                              " verschoben werden: dort liegt schon etwas unter diesem Namen.");
                blockiert.insert(v->Von);
                break;
            case Zielbaum::Zug::Fehlt:
                lauf.Rest(v->Von, v->Pfad, "Die Kopie fehlt, die die Sicherung " + Anzeigetext(v->Nach) + " braucht.");
                blockiert.insert(v->Von);
                break;
            }
        }
        lauf.Getan();
    }
    if (!leser.Fehler().empty()) {
        geaendert();
        return;
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
    // The new place of an entry's copy, when the plan moves it and the move is done; else nothing.
    const auto neuerOrt = [&](Zugsuche& suche, const Bestandseintrag& e) -> const std::string* {
        std::size_t stelle = 0;
        const Verschiebung* v = suche.Bei(e.Pfad, e.Ort, stelle);
        return v != nullptr && passt(*v) && stelle < erledigt.size() && erledigt[stelle] ? &v->Nach : nullptr;
    };
    for (Punkt& p : a.Punkte) {
        if (gehen.contains(p.Name) || p.Art != Bestandsart::Gelesen)
            continue;
        std::optional<Eintragsstrom> strom;
        // Once through the record, alongside the plan: whether anything moved, and which copies it needs that
        // stay where they are. Begun again, the record read whole, when it is out of the walk's order.
        bool aenderung = false;
        bool lesbar = false;
        MitGanzen(a, [&] {
            aenderung = false;
            strom = Eintragsstrom::Oeffne(zugriff, a, p);
            if (!strom)
                return;
            Zugsuche suche(leser);
            while (const Bestandseintrag* e = strom->Naechster()) {
                if (e->Art == Eintragsart::Ordner || !gehen.contains(e->Ort))
                    continue;
                if (neuerOrt(suche, *e) != nullptr)
                    aenderung = true;
                else if (blockiert.insert(e->Ort).second)
                    lauf.Rest(e->Ort, e->Pfad, "Die Sicherung " + Anzeigetext(p.Name) + " braucht diese Kopie.");
            }
            lesbar = strom->Fehler().empty();
        });
        if (!leser.Fehler().empty()) {
            geaendert();
            return;
        }
        if (!strom || !lesbar) {
            for (const std::string& g : gehen)
                if (g < p.Name && blockiert.insert(g).second)
                    lauf.Rest(g, "",
                              "Die Bestandsliste der Sicherung " + Anzeigetext(p.Name) + " ist nicht mehr lesbar.");
            continue;
        }
        if (!aenderung)
            continue;
        if (!lauf.Weiter(Ausduennung::Schritt::Bestand))
            return;
        // Then written anew, entry by entry as it is read again, under a temporary name until it is whole.
        const Pfad datei = Unterpfad(Unterpfad(a.Ziel, p.Name), p.Bestandsdatei);
        baum.Ersetze(p.Name + "/" + p.Bestandsdatei, [&](const Zielbaum::Stueckweise& aus) {
            Bestandsschreiber schreiber(aus);
            schreiber.Kopf(strom->Kopf());
            Bestandseintrag neu;
            Zugsuche suche(leser);
            strom->VonVorn();
            while (const Bestandseintrag* e = strom->Naechster()) {
                const std::string* ort =
                    e->Art == Eintragsart::Ordner || !gehen.contains(e->Ort) ? nullptr : neuerOrt(suche, *e);
                if (ort == nullptr) {
                    // Named where it was: that folder stays.
                    if (e->Art != Eintragsart::Ordner && gehen.contains(e->Ort) && blockiert.insert(e->Ort).second)
                        lauf.Rest(e->Ort, e->Pfad, "Die Sicherung " + Anzeigetext(p.Name) + " braucht diese Kopie.");
                    schreiber.Eintrag(*e);
                    continue;
                }
                neu = *e;
                neu.Ort = *ort;
                schreiber.Eintrag(neu);
            }
            // A record or plan that changed since it was read once is not written: the old record stays.
            if (!strom->Fehler().empty() || !leser.Fehler().empty())
                throw FsFehler("Lesen", datei, std::make_error_code(std::errc::io_error));
            schreiber.Ende(strom->Kopf());
            // The old record is let go before the new one takes its name: a share refuses to rename over a
            // file that is still open (EBUSY).
            strom->Schliesse();
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
        if (const Punkt* p = a.Finde(g)) {
            lauf.Ergebnis.FreieBytes += ZaehleFreie(baum, *p, plan.Quelle, {}, &lauf.Reste, true, [&] {
                if (Haltepunkt())
                    Haltepunkt()(lauf.Schritt, Ausduennung::Schritt::Spiegel);
            });
        } else if (const auto ordner = baum.Stand(g); ordner && besitz.Eigen(*ordner) && !fremd(g) &&
                                                      AbgangPasst(zugriff, a.Ziel, g, plan.Quelle, a.QuellePosix)) {
            // Its mirror is gone already: the record kept until then goes now.
            lauf.Ergebnis.FreieBytes += baum.Entferne(
                g + "/" + Abgangsname, false, {}, [&](const Zielbaum::Uebrig& u) { lauf.Rest(g, u.Pfad, u.Grund); });
        }
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
    // The plan's file is let go before it is removed: a share removes no file held open.
    leser.Schliesse();
    baum.Entferne(Plandateiname, false, {}, [](const Zielbaum::Uebrig&) {});
    baum.Sichere("");
    lauf.Getan();
    lauf.Ergebnis.Fertig = lauf.Ergebnis.Reste.empty();
}

// The plan in the target, opened to be read a piece at a time; the reason (German) when it is none.
// `besitzer` receives the owner of its file.
std::variant<Planleser, std::string> OeffnePlan(const Laufwerkstabelle& laufwerke, Zielbaum& baum, const Pfad& ziel,
                                                std::uint32_t& besitzer) {
    const auto stand = baum.Stand(Plandateiname);
    if (!stand || stand->Typ != Eintragsstand::Art::Datei)
        return "Unter dem Namen des Plans liegt keine Datei.";
    besitzer = stand->Uid;
    Eintragszugriff zugriff(laufwerke);
    auto datei = zugriff.OeffneDatei(Unterpfad(ziel, Plandateiname));
    if (!datei)
        return "Unter dem Namen des Plans liegt keine Datei.";
    return Planleser::Oeffne(Dateiquelle(std::move(*datei)));
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
    // The moves are found again as the plan is written, a line at a time, and read back from the target.
    try {
        baum.Ersetze(Plandateiname, [&](const Zielbaum::Stueckweise& aus) {
            Planschreiber schreiber(aus);
            schreiber.Kopf(plan, laufwerke_.ZuPosix(plan.Quelle).value_or(""));
            ausduennung::Zuege(laufwerke_, plan, [&schreiber](const Verschiebung& v) { schreiber.Zug(v); });
            schreiber.Ende(plan);
        });
    } catch (const Ungeordnet& u) {
        // Rewritten out of the walk's order since the plan was made: nothing is done.
        lauf.Rest(u.Punkt, "", "Die Bestandsliste dieser Sicherung hat sich seit dem Planen geändert.");
        lauf.Ergebnis.Reste.insert(lauf.Ergebnis.Reste.begin(), vorher.Reste.begin(), vorher.Reste.end());
        return lauf.Ergebnis;
    }
    lauf.Getan();
    std::uint32_t besitzer = 0;
    auto gelesen = OeffnePlan(laufwerke_, baum, plan.Ziel, besitzer);
    if (auto* fehler = std::get_if<std::string>(&gelesen)) {
        lauf.Rest("", Plandateiname, *fehler + " Sie bleibt unberührt.");
    } else {
        Planleser& leser = std::get<Planleser>(gelesen);
        leser.Plan().Plan.Ziel = plan.Ziel;
        Durchfuehre(laufwerke_, baum, leser, besitzer, lauf);
    }
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
    const std::string bleibt = " Sie bleibt unberührt.";
    std::uint32_t besitzer = 0;
    auto gelesen = OeffnePlan(laufwerke_, baum, ziel, besitzer);
    if (auto* fehler = std::get_if<std::string>(&gelesen)) {
        lauf.Rest("", Plandateiname, *fehler + bleibt);
        return lauf.Ergebnis;
    }
    Planleser& leser = std::get<Planleser>(gelesen);
    GelesenerPlan& g = leser.Plan();
    g.Plan.Ziel = ziel;
    // Which backups are the source's follows from the source's POSIX form and its path below its drive; a plan
    // made where either was another could take a record that stays for another source's. The drive's letter may
    // have moved since (GleicheQuelle): the source goes by today's.
    g.Plan.Quelle = QuelleHeute(laufwerke_, g.Plan.Quelle, g.QuellePosix);
    if (g.QuellePosix.empty() || laufwerke_.ZuPosix(g.Plan.Quelle).value_or("") != g.QuellePosix) {
        lauf.Rest("", Plandateiname, "Die Quelle des Plans ist hier nicht dieselbe wie beim Planen." + bleibt);
        return lauf.Ergebnis;
    }
    lauf.Gesamt = g.Plan.Schritte();
    lauf.Schritt = 1;
    Durchfuehre(laufwerke_, baum, leser, besitzer, lauf);
    return lauf.Ergebnis;
}

} // namespace tresor
