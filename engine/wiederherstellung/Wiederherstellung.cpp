// Restoring a point in time (see Wiederherstellung.h).
//
// The target may be writable by others, and the folder restored into may lie in a folder others can write:
// both are held by descriptors from the start. The folder restored into is made (or, when it exists empty,
// taken) and held before anything else, private to the restoring user; the target folder is held next, and
// every version is read from it one name at a time, never through a link (Dateisystem: the held folders).
// Every folder, file and link restored is made below the held folder, and the folders get their bits and
// owners last, the deepest first, so that nothing is open to anyone before the whole tree is written.
#include "engine/wiederherstellung/Wiederherstellung.h"

#include "engine/bestand/Anzeigetext.h"
#include "engine/wiederherstellung/Besitzregel.h"
#include "engine/wiederherstellung/Sicherungspunkt.h"
#include "fs/FsFehler.h"

#include <unistd.h>

#include <set>

namespace tresor {

namespace {

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

std::string Besitz(std::uint32_t uid, std::uint32_t gid) {
    return std::to_string(uid) + ":" + std::to_string(gid);
}

} // namespace

// What one restore has done so far, and how it tells of an entry.
struct Wiederherstellung::Lauf {
    explicit Lauf(std::ostream& fehler) : Fehler(fehler) {}
    std::ostream& Fehler;
    const bool Verwalter = Eintragszugriff::Verwalter();
    const std::uint32_t Uid = ::geteuid();
    const std::uint32_t Gid = ::getegid();
    long Probleme = 0, Fremde = 0, Ordner = 0, Dateien = 0, Verweise = 0;
    std::uint64_t Bytes = 0;
    std::set<std::string> Fehlende; // folders that could not be made: nothing goes below them
    void Melde(const std::string& relativ, const std::string& grund) {
        Fehler << "Nicht wiederhergestellt: " << Anzeigepfad(relativ) << ": " << grund << "\n";
        ++Probleme;
    }
    bool ElternFehlt(const std::string& relativ) const {
        const std::size_t schnitt = relativ.rfind('/');
        return schnitt != std::string::npos && Fehlende.contains(relativ.substr(0, schnitt));
    }
};

Wiederherstellung::Wiederherstellung(const Laufwerkstabelle& laufwerke, Dateisystemfabrik fabrik, std::ostream& aus,
                                     std::ostream& fehler)
    : laufwerke_(laufwerke), fabrik_(std::move(fabrik)), aus_(aus), fehler_(fehler), zugriff_(laufwerke) {}

Wiederherstellung::~Wiederherstellung() = default;

Befund Wiederherstellung::Wiederherstellen(const Pfad& ziel, const Pfad& quelle,
                                           const std::optional<std::string>& stand, const Pfad& nach) {
    const auto punkt = WaehlePunkt(ziel, quelle, stand);
    if (!punkt)
        return Befund::Abgelehnt;

    // The folder to restore into: new, or an empty folder, and never inside a backup of the target.
    const auto nachStand = zugriff_.Stand(nach);
    if (nachStand) {
        if (nachStand->Typ != Eintragsstand::Art::Ordner) {
            fehler_ << Anzeigetext(nach) << " ist kein Ordner.\n";
            return Befund::Abgelehnt;
        }
        const auto namen = zugriff_.Namen(nach);
        if (namen && !namen->empty()) {
            fehler_ << "Der Ordner " << Anzeigetext(nach) << " ist nicht leer; wiederhergestellt wird nur in einen"
                    << " neuen oder leeren Ordner.\n";
            return Befund::Abgelehnt;
        }
    }
    std::set<std::pair<std::uint64_t, std::uint64_t>> sicherungen;
    for (const std::string& name : punkt->Sicherungen)
        if (const auto s = zugriff_.Stand(Unterpfad(ziel, name)))
            sicherungen.insert({s->Geraet, s->Inode});
    // Every folder on the way to the restore folder, by device and inode: no other path to a backup
    // (a second mount, a link on the way) gets past.
    for (std::size_t schnitt = 2; schnitt != std::string::npos && schnitt <= nach.size();
         schnitt = nach.find('\\', schnitt + 1)) {
        const Pfad stufe = schnitt == 2 ? nach.substr(0, 3) : nach.substr(0, schnitt);
        const auto s = zugriff_.Stand(stufe);
        if (s && sicherungen.contains({s->Geraet, s->Inode})) {
            fehler_ << "Der Ordner " << Anzeigetext(nach) << " liegt in einer Sicherung des Ziels; in die Sicherungen"
                    << " wird nie geschrieben.\n";
            return Befund::Abgelehnt;
        }
        if (schnitt == nach.size())
            break;
    }
    if (const auto s = zugriff_.Stand(nach); s && sicherungen.contains({s->Geraet, s->Inode})) {
        fehler_ << "Der Ordner " << Anzeigetext(nach) << " ist eine Sicherung des Ziels.\n";
        return Befund::Abgelehnt;
    }
    if (!nachStand) {
        const std::size_t schnitt = nach.rfind('\\');
        const Pfad eltern = schnitt <= 2 ? nach.substr(0, 3) : nach.substr(0, schnitt);
        const auto e = zugriff_.Stand(eltern);
        if (!e || e->Typ != Eintragsstand::Art::Ordner) {
            fehler_ << "Der Ordner " << Anzeigetext(eltern) << ", in dem " << Anzeigetext(nach)
                    << " angelegt werden soll, existiert nicht.\n";
            return Befund::Abgelehnt;
        }
    }

    std::optional<struct Vorlage> vorlage;
    {
        auto leser = fabrik_();
        (void)leser->GetFolder(ziel);
        vorlage = Bereite(*punkt, *leser);
    }
    if (!vorlage) {
        fehler_ << "Nichts wurde wiederhergestellt.\n";
        return Befund::Probleme;
    }
    if (!vorlage->MitBestand)
        fehler_ << "Warnung: Die Sicherungen bis zum Stand " << Zeitteil(punkt->Name())
                << " haben keine Bestandsliste. Wiederhergestellt wird die neueste Kopie jeder Datei bis zu"
                   " diesem Stand; seither gelöschte Dateien können wiederkehren.\n";

    auto fso = fabrik_();
    if (!HalteNach(*fso, nach, !nachStand, sicherungen))
        return Befund::Abgelehnt;
    // Held after the folder restored into, which may lie inside it: each stays a held folder of its own.
    (void)fso->GetFolder(ziel);
    Lauf lauf(fehler_);
    lauf.Probleme += NenneLuecken(punkt->Funde[punkt->Index], fehler_);
    for (const Bestandseintrag& e : vorlage->Eintraege()) {
        if (lauf.ElternFehlt(e.Pfad)) {
            if (e.Art == Eintragsart::Ordner)
                lauf.Fehlende.insert(e.Pfad);
            lauf.Melde(e.Pfad, "sein Ordner fehlt");
            continue;
        }
        if (e.Art != Eintragsart::Ordner) {
            StelleHer(*fso, *punkt, e, Unterpfad(nach, e.Pfad), vorlage->MitBestand, lauf);
            continue;
        }
        if (e.Pfad == ".")
            continue;
        try {
            fso->MakeDir(Unterpfad(nach, e.Pfad), Anlage::Privat);
            ++lauf.Ordner;
        } catch (const FsFehler& f) {
            lauf.Fehlende.insert(e.Pfad);
            lauf.Melde(e.Pfad, "Ordner nicht angelegt: " + Fehlertext(f.Ursache()));
        }
    }
    // Folders last, the deepest first: their bits and times once nothing more is written into them.
    for (auto it = vorlage->Eintraege().rbegin(); it != vorlage->Eintraege().rend(); ++it)
        if (it->Art == Eintragsart::Ordner && !lauf.Fehlende.contains(it->Pfad))
            SchliesseOrdner(*fso, *punkt, *vorlage, *it, Unterpfad(nach, it->Pfad), lauf);
    aus_ << "Stand " << Zeitteil(punkt->Name()) << " wiederhergestellt in " << Anzeigetext(nach) << ": " << lauf.Ordner
         << " Ordner, " << lauf.Dateien << " Dateien, " << lauf.Verweise << " Verknüpfungen, " << lauf.Bytes
         << " Bytes.\n";
    if (lauf.Fremde > 0)
        fehler_ << lauf.Fremde << (lauf.Fremde == 1 ? " Eintrag hat" : " Einträge haben")
                << " den Besitzer der Kopie statt des in der Bestandsliste genannten, ohne Sonderrechte.\n";
    if (lauf.Probleme > 0)
        fehler_ << lauf.Probleme << (lauf.Probleme == 1 ? " Eintrag wurde" : " Einträge wurden")
                << " nicht wiederhergestellt.\n";
    return lauf.Probleme > 0 || lauf.Fremde > 0 ? Befund::Probleme : Befund::Vollstaendig;
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
        // Only a regular file of the recorded size, or a link, is copied at all; what the copy made is looked
        // at again, for the backup may have changed in between, and goes when it is not that version.
        if (const std::string grund = Abweichung(fso.Stand(woher), e); !grund.empty())
            return nichtDieser(grund);
        const Quellstand s = fso.Copy(fso.GetFile(woher), wohin);
        const auto neu = fso.Stand(wohin);
        if (const std::string grund = Abweichung(neu, e); !grund.empty()) {
            if (neu && neu->Typ != Eintragsstand::Art::Ordner)
                fso.Entferne(wohin);
            return nichtDieser(grund);
        }
        if (mitBestand)
            Setze(fso, wohin, e, neu, lauf);
        (e.Art == Eintragsart::Verweis ? lauf.Verweise : lauf.Dateien) += 1;
        lauf.Bytes += static_cast<std::uint64_t>(s.Groesse > 0 ? s.Groesse : 0);
    } catch (const FsFehler& f) {
        lauf.Melde(e.Pfad, "aus " + Anzeigetext(e.Ort) + " nicht lesbar oder nicht schreibbar (" + f.Operation() +
                               ": " + Fehlertext(f.Ursache()) + ")");
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
        lauf.Melde(e.Pfad, "Rechte oder Zeit des Ordners nicht gesetzt (" + Fehlertext(f.Ursache()) + ")");
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
