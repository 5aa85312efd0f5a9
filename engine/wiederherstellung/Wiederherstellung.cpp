// Restoring a point in time (see Wiederherstellung.h).
//
// The target may be writable by others, and the folder restored into may lie in a folder others can write:
// both are held by descriptors from the start. The folder restored into is made (or, when it exists empty,
// taken) and held before anything else, private to the restoring user; the target folder is held next, and
// every version is read from it one name at a time, never through a link (Dateisystem: the held folders).
// Every folder, file and link restored is made below the held folder, which gets its own bits last: nothing
// is open to anyone before the whole tree is written. Each folder inside gets its bits and owner once the
// walk has left it, after every folder inside it (Ordnerweg).
#include "engine/wiederherstellung/Wiederherstellung.h"
#include "engine/wiederherstellung/WiederherstellungIntern.h"

#include "engine/bestand/Anzeigetext.h"
#include "engine/wiederherstellung/Auswahl.h"
#include "engine/wiederherstellung/Besitzregel.h"
#include "engine/wiederherstellung/Ordnerweg.h"
#include "engine/wiederherstellung/Sicherungspunkt.h"
#include "fs/FsFehler.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/Pfadteile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

namespace tresor {

namespace {

// The name of the record entry `pfad` (a relative POSIX path) is one the target cannot store: a share through
// smbnetfs, a FAT or exFAT medium (Dateisystem::NurWindowsNamen). Such a name is never asked for there, as a share
// through smbnetfs answers every call with an input/output error for a while after it refused one.
bool Namenfremd(std::string_view pfad) {
    const std::size_t schnitt = pfad.rfind('/');
    return !WindowsName(NamenAusPosix(schnitt == std::string_view::npos ? pfad : pfad.substr(schnitt + 1)));
}

} // namespace

Wiederherstellung::Wiederherstellung(const Laufwerkstabelle& laufwerke, Dateisystemfabrik fabrik, std::ostream& aus,
                                     std::ostream& fehler)
    : laufwerke_(laufwerke), fabrik_(std::move(fabrik)), aus_(aus), fehler_(fehler), zugriff_(laufwerke) {}

Wiederherstellung::~Wiederherstellung() = default;

Befund Wiederherstellung::Wiederherstellen(const Pfad& ziel, const Quellangabe& quelle,
                                           const std::optional<std::string>& stand, const Pfad& nach) {
    Rueckholauftrag auftrag;
    auftrag.Ziel = ziel;
    auftrag.Quelle = quelle;
    auftrag.Stand = stand;
    auftrag.Nach = nach;
    return Zurueckholen(auftrag);
}

bool Wiederherstellung::PruefeNach(const Pfad& nach, const std::optional<Eintragsstand>& nachStand,
                                   const std::set<std::pair<std::uint64_t, std::uint64_t>>& sicherungen, bool leer) {
    if (nachStand) {
        if (nachStand->Typ != Eintragsstand::Art::Ordner) {
            fehler_ << Anzeigetext(nach) << " ist kein Ordner.\n";
            return false;
        }
        // Its names only where it must be empty: the original place may hold very many.
        const auto namen = leer ? zugriff_.Namen(nach) : std::nullopt;
        if (namen && !namen->empty()) {
            fehler_ << "Der Ordner " << Anzeigetext(nach) << " ist nicht leer; wiederhergestellt wird nur in einen"
                    << " neuen oder leeren Ordner.\n";
            return false;
        }
    }
    // Every folder on the way to the restore folder, by device and inode: no other path to a backup
    // (a second mount, a link on the way) gets past.
    for (std::size_t schnitt = 2; schnitt != std::string::npos && schnitt <= nach.size();
         schnitt = nach.find('\\', schnitt + 1)) {
        const Pfad stufe = schnitt == 2 ? nach.substr(0, 3) : nach.substr(0, schnitt);
        const auto s = zugriff_.Stand(stufe);
        if (s && sicherungen.contains({s->Geraet, s->Inode})) {
            fehler_ << "Der Ordner " << Anzeigetext(nach) << " liegt in einer Sicherung des Ziels; in die Sicherungen"
                    << " wird nie geschrieben.\n";
            return false;
        }
        if (schnitt == nach.size())
            break;
    }
    if (const auto s = zugriff_.Stand(nach); s && sicherungen.contains({s->Geraet, s->Inode})) {
        fehler_ << "Der Ordner " << Anzeigetext(nach) << " ist eine Sicherung des Ziels.\n";
        return false;
    }
    if (!nachStand) {
        const std::size_t schnitt = nach.rfind('\\');
        const Pfad eltern = schnitt <= 2 ? nach.substr(0, 3) : nach.substr(0, schnitt);
        const auto e = zugriff_.Stand(eltern);
        if (!e || e->Typ != Eintragsstand::Art::Ordner) {
            fehler_ << "Der Ordner " << Anzeigetext(eltern) << ", in dem " << Anzeigetext(nach)
                    << " angelegt werden soll, existiert nicht.\n";
            return false;
        }
    }
    return true;
}

Befund Wiederherstellung::Zurueckholen(const Rueckholauftrag& a) {
    bericht_ = {};
    auto punkt = WaehlePunkt(a.Ziel, a.Quelle, a.Stand);
    if (!punkt)
        return Befund::Abgelehnt;
    const bool ursprung = !a.Nach;
    // A source that is not there has no original place: the folder its path names today, if any, is another's.
    if (ursprung && punkt->WieVerzeichnet) {
        fehler_ << "Die Quelle " << Quelltext(a.Quelle)
                << " ist nicht da; ihre Sicherungen werden nur in einen neuen oder leeren Ordner wiederhergestellt.\n";
        return Befund::Abgelehnt;
    }
    const Pfad nach = ursprung ? a.Quelle.Quelle : *a.Nach;
    const auto nachStand = zugriff_.Stand(nach);
    std::set<std::pair<std::uint64_t, std::uint64_t>> sicherungen;
    for (const std::string& name : punkt->Sicherungen)
        if (const auto s = zugriff_.Stand(Unterpfad(a.Ziel, name)))
            sicherungen.insert({s->Geraet, s->Inode});
    // The folder to restore into: new, or an empty folder (any folder at the original place), and never
    // inside a backup of the target.
    if (!PruefeNach(nach, nachStand, sicherungen, !ursprung))
        return Befund::Abgelehnt;

    std::optional<struct Vorlage> vorlage = Bereite(*punkt);
    if (!vorlage) {
        fehler_ << "Nichts wurde wiederhergestellt.\n";
        return Befund::Probleme;
    }
    const Auswahl auswahl(a.Auswahl, ursprung);
    // What is to be restored, for the progress, and whether each path chosen is in the point.
    Rueckholstand stand;
    const std::set<std::string> gewaehlt(a.Auswahl.begin(), a.Auswahl.end());
    std::set<std::string> gefunden;
    // The whole point of a record gone through is counted already.
    const bool gezaehlt = a.Auswahl.empty() && vorlage->Gezaehlt;
    if (gezaehlt) {
        stand.DateienGesamt = vorlage->DateienGesamt;
        stand.BytesGesamt = vorlage->BytesGesamt;
    }
    for (vorlage->VonVorn(); const Bestandseintrag* e = gezaehlt ? nullptr : vorlage->Naechster();) {
        if (gewaehlt.contains(e->Pfad))
            gefunden.insert(e->Pfad);
        if (e->Art != Eintragsart::Ordner && auswahl.Enthaelt(e->Pfad)) {
            ++stand.DateienGesamt;
            stand.BytesGesamt += e->Art == Eintragsart::Datei ? static_cast<std::uint64_t>(e->Groesse) : 0;
        }
    }
    if (!vorlage->Fehler.empty()) {
        fehler_ << "Die Bestandsliste des Sicherungsordners " << Anzeigetext(punkt->Name())
                << " hat sich beim Lesen geändert: " << vorlage->Fehler << "\nNichts wurde wiederhergestellt.\n";
        return Befund::Probleme;
    }
    if (const std::string fremd = auswahl.Unbekannt(gefunden); !fremd.empty()) {
        fehler_ << "Im Stand " << Zeitteil(punkt->Name()) << " gibt es " << Anzeigepfad(fremd) << " nicht.\n";
        return Befund::Abgelehnt;
    }
    if (!vorlage->MitBestand)
        fehler_ << "Warnung: Die Sicherungen bis zum Stand " << Zeitteil(punkt->Name())
                << " haben keine Bestandsliste. Wiederhergestellt wird die neueste Kopie jeder Datei bis zu"
                   " diesem Stand; seither gelöschte Dateien können wiederkehren.\n";
    if (!vorlage->Andere.empty())
        fehler_ << AndereQuellenWarnung(vorlage->Andere);

    auto fso = fabrik_();
    fso->KopienVergessen();
    // Each version is looked at and copied through the same held folder, and its copy held against the record.
    fso->QuellordnerHalten();
    const bool neu = !nachStand;
    if (ursprung && !neu) {
        // The source folder as it is: held, never made private, its own bits untouched.
        (void)fso->GetFolder(nach);
        const auto s = fso->Stand(nach);
        if (!s || s->Typ != Eintragsstand::Art::Ordner || sicherungen.contains({s->Geraet, s->Inode})) {
            fehler_ << "Der Ordner " << Anzeigetext(nach) << " ist kein Ordner außerhalb der Sicherungen.\n";
            return Befund::Abgelehnt;
        }
    } else if (!HalteNach(*fso, nach, neu, sicherungen)) {
        return Befund::Abgelehnt;
    }
    // Held after the folder restored into, which may lie inside it: each stays a held folder of its own.
    (void)fso->GetFolder(a.Ziel);
    Lauf lauf(fehler_);
    const bool nurWindowsNamen = fso->NurWindowsNamen(nach);
    if (a.Auswahl.empty() && vorlage->MitBestand)
        lauf.Probleme += NenneLuecken(vorlage->Kopf, fehler_);
    auto melde = [&](std::uint64_t dazu) {
        if (a.Fortschritt) {
            Rueckholstand jetzt = stand;
            jetzt.Bytes += dazu;
            a.Fortschritt(jetzt);
        }
    };
    auto halt = [&] { return a.Stopp != nullptr && a.Stopp->load(); };
    kopierbegleitung_ = [&](std::uint64_t kopiert, std::uint64_t) {
        if (halt())
            throw Anhalt{};
        melde(kopiert);
    };
    auto fertig = [&](const Bestandseintrag& e) {
        ++stand.Dateien;
        stand.Bytes += e.Art == Eintragsart::Datei ? static_cast<std::uint64_t>(e.Groesse) : 0;
        melde(0);
    };
    // An entry that is not restored, named with its reason: a folder's entries then count as without their folder.
    auto uebergehe = [&](const Bestandseintrag& e, const char* grund) {
        if (e.Art == Eintragsart::Ordner)
            lauf.Fehlende.insert(e.Pfad);
        lauf.Melde(e.Pfad, grund);
        if (e.Art != Eintragsart::Ordner)
            fertig(e);
    };
    melde(0);

    Ortswahl orte(auswahl, Zeitteil(punkt->Name()));
    // Folders get their bits and times once the walk has left them: nothing more is written into them then.
    // Only those this restore made: a folder that was there keeps its own.
    Ordnerweg weg(
        vorlage->Wegordnung(),
        [&](const Bestandseintrag& o) {
            std::optional<Ordnerweg::Abschluss> abschluss;
            if (!lauf.Fehlende.contains(o.Pfad))
                if (const std::string* rel = orte.Gemacht(o.Pfad))
                    abschluss = Ordnerweg::Abschluss{*rel, (o.Modus & S_IXUSR) == 0};
            lauf.Fehlende.erase(o.Pfad);
            orte.Verlasse(o.Pfad);
            return abschluss;
        },
        [&](const Bestandseintrag& o, const std::string& rel) {
            SchliesseOrdner(*fso, *punkt, *vorlage, o, Unterpfad(nach, rel), lauf);
        });
    std::optional<Konfliktantwort> fuerAlle;
    try {
        for (vorlage->VonVorn(); const Bestandseintrag* eintrag = vorlage->Naechster();) {
            const Bestandseintrag& e = *eintrag;
            weg.Weiter(e.Pfad);
            if (!auswahl.Enthaelt(e.Pfad))
                continue;
            if (e.Art == Eintragsart::Ordner)
                weg.Betrete(e);
            if (halt())
                throw Anhalt{};
            if (orte.Uebersprungen(e)) {
                if (e.Art != Eintragsart::Ordner)
                    fertig(e);
                continue;
            }
            if (lauf.ElternFehlt(e.Pfad)) {
                uebergehe(e, "sein Ordner fehlt");
                continue;
            }
            if (e.Pfad == ".") {
                orte.Setze(e, ".", !ursprung || neu);
                continue;
            }
            if (nurWindowsNamen && Namenfremd(e.Pfad)) {
                uebergehe(e, "das Ziel kann diesen Namen nicht speichern");
                continue;
            }
            std::string rel = orte.Relativ(e);
            Pfad wohin = Unterpfad(nach, rel);
            if (const auto da = ursprung ? fso->Stand(wohin) : std::nullopt) {
                if (e.Art == Eintragsart::Ordner && da->Typ == Eintragsstand::Art::Ordner) {
                    orte.Setze(e, rel, false); // what is restored goes into the folder that is there
                    continue;
                }
                if (e.Art != Eintragsart::Ordner && Abweichung(da, e).empty() &&
                    (e.Art == Eintragsart::Verweis || da->MtimeNs == e.MtimeNs)) {
                    ++bericht_.Gleich;
                    fertig(e);
                    continue;
                }
                Konfliktantwort w;
                if (fuerAlle)
                    w = *fuerAlle;
                else if (a.Frage)
                    w = a.Frage(Konflikt{e.Pfad, wohin, e.Art, e.Groesse, e.MtimeNs, *da});
                if (w.FuerAlle)
                    fuerAlle = w;
                // A folder is never replaced by a file or link: what is in it would go.
                if (w.Wahl == Konfliktwahl::Ersetzen && da->Typ == Eintragsstand::Art::Ordner)
                    w.Wahl = Konfliktwahl::BeideBehalten;
                if (w.Wahl == Konfliktwahl::Ueberspringen) {
                    ++bericht_.Uebersprungen;
                    orte.Ueberspringe(e);
                    if (e.Art != Eintragsart::Ordner)
                        fertig(e);
                    continue;
                }
                if (w.Wahl == Konfliktwahl::BeideBehalten) {
                    rel = orte.Frei(
                        rel, [&](const Pfad& p) { return fso->Stand(p).has_value(); }, nach);
                    wohin = Unterpfad(nach, rel);
                    ++bericht_.Beide;
                } else if (KopieBeschaedigt(*punkt, e)) {
                    // A good file is never replaced by a copy whose content went bad: the copy goes beside it.
                    rel = orte.Frei(
                        rel, [&](const Pfad& p) { return fso->Stand(p).has_value(); }, nach);
                    wohin = Unterpfad(nach, rel);
                    ++bericht_.Beide;
                    fehler_ << "Nicht ersetzt: " << Anzeigepfad(e.Pfad) << ": " << InhaltAbweichend(e.Ort)
                            << "; die Kopie kommt daneben als " << Anzeigepfad(rel) << "\n";
                } else {
                    ++bericht_.Ersetzt;
                    if (e.Art == Eintragsart::Ordner)
                        fso->Entferne(wohin); // a file or link where the folder was
                }
            }
            if (e.Art != Eintragsart::Ordner) {
                const long vorher = lauf.Dateien + lauf.Verweise;
                if (ursprung || !Verknuepft(*fso, e, wohin, lauf))
                    StelleHer(*fso, *punkt, e, wohin, vorlage->MitBestand, lauf);
                bericht_.Dateien += static_cast<std::uint64_t>(lauf.Dateien + lauf.Verweise - vorher);
                fertig(e);
                continue;
            }
            try {
                fso->MakeDir(wohin, Anlage::Privat);
                ++lauf.Ordner;
                orte.Setze(e, rel, true);
            } catch (const FsFehler& f) {
                lauf.Fehlende.insert(e.Pfad);
                lauf.Melde(e.Pfad, "Ordner nicht angelegt: " + Fehlertext(f.Ursache()));
            }
        }
        if (!vorlage->Fehler.empty()) {
            // Checked whole before, the record was changed while it was read: what follows is not restored.
            fehler_ << "Die Bestandsliste des Sicherungsordners " << Anzeigetext(punkt->Name())
                    << " hat sich beim Lesen geändert: " << vorlage->Fehler << "\n";
            ++lauf.Probleme;
        }
    } catch (const Anhalt&) {
        bericht_.Angehalten = true;
    }
    kopierbegleitung_ = {};
    // The folders still waiting, the deepest first; the folder restored into last.
    weg.Ende();
    // A folder that took a part of the point only is the user's: private no longer.
    if (!ursprung && !auswahl.Ganz())
        try {
            Eintragsstand s = *fso->Stand(nach);
            s.Modus = nachStand ? nachStand->Modus & 07777 : 0777 & ~Umask();
            fso->SetzeStand(nach, s, false);
        } catch (const FsFehler& f) {
            lauf.MeldeOhneStand(".", Fehlertext(f.Ursache()));
        }
    // What was written is on the medium before the restore says it is done: a write that the disk failed after
    // its file was closed shows only here.
    std::string nichtDauerhaft;
    try {
        fso->Sync(nach);
    } catch (const FsFehler& f) {
        nichtDauerhaft = Fehlertext(f.Ursache());
    }
    // A stopped restore does not say that it restored the point: what it did goes beside the stop's message.
    std::ostream& bilanz = bericht_.Angehalten ? fehler_ : aus_;
    if (bericht_.Angehalten)
        fehler_ << "Angehalten: " << (stand.DateienGesamt - stand.Dateien)
                << " Dateien und Verknüpfungen wurden nicht mehr wiederhergestellt; keine ist halb geschrieben.\n"
                << "Bis dahin ";
    else
        aus_ << "Stand " << Zeitteil(punkt->Name()) << " ";
    if (ursprung)
        bilanz << "an den ursprünglichen Ort " << Anzeigetext(nach) << " zurückgeholt: " << lauf.Ordner << " Ordner, "
               << lauf.Dateien << " Dateien, " << lauf.Verweise << " Verknüpfungen, " << lauf.Bytes << " Bytes; "
               << bericht_.Ersetzt << " ersetzt, " << bericht_.Beide << " neben dem Vorhandenen, "
               << bericht_.Uebersprungen << " übersprungen, " << bericht_.Gleich << " schon so vorhanden.\n";
    else
        bilanz << "wiederhergestellt in " << Anzeigetext(nach) << ": " << lauf.Ordner << " Ordner, " << lauf.Dateien
               << " Dateien, " << lauf.Verweise << " Verknüpfungen, " << lauf.Bytes << " Bytes.\n";
    // A folder of a stopped restore is not taken again: once its bits are given back, what is in it may have
    // been changed or added by others, and a second restore could not tell that from what the first one wrote.
    if (bericht_.Angehalten && !ursprung)
        fehler_ << "Der Ordner " << Anzeigetext(nach) << " enthält nur einen Teil des Standes "
                << Zeitteil(punkt->Name())
                << ". Wiederhergestellt wird nur in einen neuen oder leeren Ordner: ihn löschen oder leeren, oder einen"
                   " anderen angeben, und die Wiederherstellung erneut starten.\n";
    if (lauf.Fremde > 0)
        fehler_ << lauf.Fremde << (lauf.Fremde == 1 ? " Eintrag hat" : " Einträge haben")
                << " den Besitzer der Kopie statt des in der Bestandsliste genannten, ohne Sonderrechte.\n";
    if (lauf.Probleme > 0)
        fehler_ << lauf.Probleme << (lauf.Probleme == 1 ? " Eintrag wurde" : " Einträge wurden")
                << " nicht wiederhergestellt.\n";
    if (lauf.Beschaedigte > 0)
        fehler_ << lauf.Beschaedigte
                << (lauf.Beschaedigte == 1 ? " Datei wurde wiederhergestellt, obwohl ihr"
                                           : " Dateien wurden wiederhergestellt, obwohl ihr")
                << " Inhalt von der Sicherung abweicht.\n";
    if (lauf.OhneStand > 0)
        fehler_ << lauf.OhneStand
                << (lauf.OhneStand == 1 ? " Eintrag wurde wiederhergestellt, ohne dass seine"
                                        : " Einträge wurden wiederhergestellt, ohne dass ihre")
                << " Rechte oder Zeit gesetzt werden konnten.\n";
    if (!nichtDauerhaft.empty())
        fehler_ << "Nicht dauerhaft geschrieben: Was in " << Anzeigetext(nach)
                << " wiederhergestellt wurde, hat der Datenträger nicht vollständig aufgenommen (" << nichtDauerhaft
                << "); es kann beschädigt sein.\n";
    return lauf.Probleme > 0 || lauf.Fremde > 0 || lauf.OhneStand > 0 || lauf.Beschaedigte > 0 || bericht_.Angehalten ||
                   !nichtDauerhaft.empty()
               ? Befund::Probleme
               : Befund::Vollstaendig;
}

bool Wiederherstellung::HalteNach(Dateisystem& fso, const Pfad& nach, bool neu,
                                  const std::set<std::pair<std::uint64_t, std::uint64_t>>& sicherungen) {
    // Made here, it is held from its making (MakeDir holds a new folder that no held folder covers); found
    // empty, it is held from now on and looked at again through that hold: whatever its path names later,
    // everything restored goes into this folder.
    if (neu)
        fso.MakeDir(nach, Anlage::Privat);
    else
        (void)fso.GetFolder(nach);
    const auto s = fso.Stand(nach);
    std::string grund;
    if (!s || s->Typ != Eintragsstand::Art::Ordner)
        grund = " ist kein Ordner.";
    else if (sicherungen.contains({s->Geraet, s->Inode}))
        grund = " ist eine Sicherung des Ziels.";
    else if (s->Uid != ::geteuid())
        grund = " gehört einem anderen Benutzer; wiederhergestellt wird nur in einen eigenen Ordner.";
    else if (!neu) {
        const Ordner o{nach, {}};
        if (!fso.SubFolders(o).empty() || !fso.Files(o).empty())
            grund = " ist nicht leer; wiederhergestellt wird nur in einen neuen oder leeren Ordner.";
    }
    if (!grund.empty()) {
        fehler_ << "Der Ordner " << Anzeigetext(nach) << grund << "\n";
        return false;
    }
    // Private until the tree is complete; its own bits come last.
    Eintragsstand privat = *s;
    privat.Modus = 0700;
    fso.SetzeStand(nach, privat, false);
    return true;
}

} // namespace tresor
