// The steps of a restore for one entry: a file or link copied, linked to its group's first name or passed over,
// given its state; a folder finished (see Wiederherstellung.h).
#include "engine/bestand/Anzeigetext.h"
#include "engine/wiederherstellung/Besitzregel.h"
#include "engine/wiederherstellung/WiederherstellungIntern.h"
#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"

#include <sys/stat.h>

#include <chrono>

namespace tresor {

// Why the entry `k` (a copy in a backup, or what a restore made of it) is not the record's version of `e`,
// or "" when it is.
std::string Abweichung(const std::optional<Eintragsstand>& k, const Bestandseintrag& e) {
    if (!k)
        return "nicht da";
    if (ArtAus(*k) != e.Art)
        return std::string("keine ") + Artname(e.Art);
    if (e.Art == Eintragsart::Datei && k->Groesse != e.Groesse)
        return std::to_string(k->Groesse) + " statt " + std::to_string(e.Groesse) + " Bytes";
    if (e.Art == Eintragsart::Verweis && k->Verweisziel != e.Verweisziel)
        return "die Verknüpfung zeigt woandershin";
    return {};
}

namespace {

// The state of a copy as the copy told it (Quellstand::KopieBekannt).
std::optional<Eintragsstand> KopieAus(const Quellstand& s) {
    Eintragsstand k;
    k.Typ = Eintragsstand::Art::Datei;
    k.Groesse = s.Groesse;
    k.MtimeNs = s.MtimeNs;
    k.Modus = s.KopieModus;
    k.Uid = s.KopieUid;
    k.Gid = s.KopieGid;
    k.Geraet = s.KopieGeraet;
    k.Inode = s.KopieInode;
    return k;
}

std::string Besitz(std::uint32_t uid, std::uint32_t gid) {
    return std::to_string(uid) + ":" + std::to_string(gid);
}

} // namespace

bool Wiederherstellung::Verknuepft(Dateisystem& fso, const Bestandseintrag& e, const Pfad& wohin, Lauf& lauf) {
    if (e.Art != Eintragsart::Datei || e.Verbund == 0)
        return false;
    const auto it = lauf.Verbuende.find(e.Verbund);
    if (it == lauf.Verbuende.end()) {
        // The first name of the group: restored as any file, and once it is there, the others link to it.
        lauf.Verbuende.emplace(e.Verbund, Lauf::Erster{e.Ort, e.Groesse, e.MtimeNs, wohin});
        return false;
    }
    const Lauf::Erster& erster = it->second;
    // Only a name whose version is the very one of the first (same backup folder, size and time) shares it.
    if (erster.Beschaedigt || erster.Ort != e.Ort || erster.Groesse != e.Groesse || erster.MtimeNs != e.MtimeNs ||
        e.Ort == OrtFehlt)
        return false;
    try {
        const auto da = fso.Stand(erster.Wohin);
        if (!da || da->Typ != Eintragsstand::Art::Datei || da->Groesse != e.Groesse)
            return false; // the first name could not be restored: this one is restored on its own
        fso.Verknuepfe(erster.Wohin, wohin);
    } catch (const FsFehler&) {
        return false; // a file system without hard links: a copy of its own
    }
    lauf.Dateien += 1;
    return true;
}

void Wiederherstellung::StelleHer(Dateisystem& fso, const Punkt& p, const Bestandseintrag& e, const Pfad& wohin,
                                  bool mitBestand, Lauf& lauf) {
    if (e.Ort == OrtFehlt) {
        lauf.Melde(e.Pfad, "keine Sicherung enthält diesen Stand der " + std::string(Artname(e.Art)));
        return;
    }
    if (!p.Sicherungen.contains(e.Ort)) {
        // Gone, or no real backup folder (a link, a file) under that name.
        lauf.Melde(e.Pfad, "nicht mehr in " + Anzeigetext(e.Ort));
        return;
    }
    const Pfad woher = Unterpfad(p.Spiegel(e.Ort), e.Pfad);
    auto nichtDieser = [&](const std::string& grund) {
        lauf.Melde(e.Pfad, "die Kopie in " + Anzeigetext(e.Ort) + " ist nicht dieser Stand (" + grund + ")");
    };
    try {
        // Only a regular file of the recorded size, or a link, is copied at all; what the copy made is held
        // against the record again, for the backup may have changed in between, and goes when it is not that
        // version.
        if (const std::string grund = Abweichung(fso.Stand(woher), e); !grund.empty())
            return nichtDieser(grund);
        // Just looked at as a file or link: the copy opens it without following a link and takes only
        // a regular file or a link, so it is not looked at once more here.
        // The copy as made, where the file-system object tells it (a regular file of the size it read); else
        // looked at.
        const Quellstand s = fso.Copy(Datei{woher, posix::LetzterName(woher)}, wohin, kopierbegleitung_);
        const auto neu = s.KopieBekannt ? KopieAus(s) : fso.Stand(wohin);
        if (const std::string grund = Abweichung(neu, e); !grund.empty()) {
            if (neu && neu->Typ != Eintragsstand::Art::Ordner)
                fso.Entferne(wohin);
            return nichtDieser(grund);
        }
        // A copy whose content is not the one backed up (a block gone bad, a write to the medium since) stays: a
        // photo with one bad block is better than none. It is named, and it keeps the time of this restore instead
        // of the recorded one, so that a later restore to the same place does not take it for that version.
        Bestandseintrag gesetzt;
        const bool beschaedigt = e.Art == Eintragsart::Datei && e.Inhalt && s.Inhalt != e.Inhalt;
        if (beschaedigt) {
            lauf.MeldeBeschaedigt(e.Pfad, InhaltAbweichend(e.Ort));
            if (const auto it = lauf.Verbuende.find(e.Verbund); e.Verbund != 0 && it != lauf.Verbuende.end())
                it->second.Beschaedigt = it->second.Beschaedigt || it->second.Wohin == wohin;
            gesetzt = e;
            gesetzt.MtimeNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
        }
        // In place under its name from here on: restored, whatever of its state could not be given to it.
        if (mitBestand)
            try {
                Setze(fso, wohin, beschaedigt ? gesetzt : e, neu, lauf);
            } catch (const FsFehler& f) {
                lauf.MeldeOhneStand(e.Pfad, f.Operation() + ": " + Fehlertext(f.Ursache()));
            }
        (e.Art == Eintragsart::Verweis ? lauf.Verweise : lauf.Dateien) += 1;
        lauf.Bytes += static_cast<std::uint64_t>(s.Groesse > 0 ? s.Groesse : 0);
    } catch (const FsFehler& f) {
        lauf.Melde(e.Pfad, "aus " + Anzeigetext(e.Ort) + " nicht lesbar oder nicht schreibbar (" + f.Operation() +
                               ": " + Fehlertext(f.Ursache()) + ")");
    }
}

bool Wiederherstellung::KopieBeschaedigt(const Punkt& p, const Bestandseintrag& e) {
    if (e.Art != Eintragsart::Datei || !e.Inhalt || !p.Sicherungen.contains(e.Ort))
        return false;
    Summierer summierer;
    try {
        const auto gelesen =
            zugriff_.LiesDurch(Unterpfad(p.Spiegel(e.Ort), e.Pfad), static_cast<std::uint64_t>(e.Groesse), &summierer);
        return gelesen == static_cast<std::uint64_t>(e.Groesse) && summierer.Summe() != *e.Inhalt;
    } catch (const FsFehler&) {
        return false; // not there, or not that file: the copy names it
    }
}

void Wiederherstellung::SchliesseOrdner(Dateisystem& fso, const Punkt& p, const struct Vorlage& v,
                                        const Bestandseintrag& e, const Pfad& wohin, Lauf& lauf) {
    try {
        const std::string& ort = v.Ort(e, p.Name());
        std::optional<Eintragsstand> spiegel;
        const Pfad spiegelpfad = Unterpfad(p.Spiegel(ort), e.Pfad);
        if (p.Sicherungen.contains(ort))
            spiegel = fso.Stand(spiegelpfad);
        if (spiegel && spiegel->Typ != Eintragsstand::Art::Ordner)
            spiegel.reset();
        if (spiegel)
            fso.OrdnerAbschliessen(spiegelpfad, wohin);
        if (v.MitBestand)
            Setze(fso, wohin, e, spiegel, lauf);
    } catch (const FsFehler& f) {
        lauf.MeldeOhneStand(e.Pfad, Fehlertext(f.Ursache())); // made when the walk entered it
    }
}

void Wiederherstellung::Setze(Dateisystem& fso, const Pfad& wohin, const Bestandseintrag& e,
                              const std::optional<Eintragsstand>& kopie, Lauf& lauf) {
    const Zuteilung z = Zuteile(e, kopie, lauf.Verwalter, lauf.Uid, lauf.Gid);
    if (z.Fremd) {
        fehler_ << "Besitzer der Kopie: " << Anzeigepfad(e.Pfad) << ": die Bestandsliste nennt " << Besitz(e.Uid, e.Gid)
                << ", die Kopie gehört " << (kopie ? Besitz(kopie->Uid, kopie->Gid) : std::string("niemandem")) << "\n";
        ++lauf.Fremde;
    }
    // What the copy has already (its backup's bits, time and owner) is not set again.
    const bool gleich = kopie && kopie->MtimeNs == z.Stand.MtimeNs &&
                        (e.Art == Eintragsart::Verweis || kopie->Modus == z.Stand.Modus) &&
                        (!lauf.Verwalter || (kopie->Uid == z.Stand.Uid && kopie->Gid == z.Stand.Gid));
    if (!gleich || e.Art == Eintragsart::Ordner)
        fso.SetzeStand(wohin, z.Stand, lauf.Verwalter);
}

} // namespace tresor
