// The listing of the backups in a target (see Wiederherstellung.h): read one name at a time from the target,
// never through a link; a version counts as there only in a real backup folder of the target.
#include "engine/ausduennung/Ausduennung.h"
#include "engine/bestand/Anzeigetext.h"
#include "engine/bestand/Quellzuordnung.h"
#include "engine/wiederherstellung/Sicherungspunkt.h"
#include "fs/FsFehler.h"

#include <algorithm>
#include <map>
#include <set>

namespace tresor {

std::string Listenpunkt::Zeit() const {
    return Zeitteil(Ordner);
}

namespace {

// The row's state without its owner.
std::string Stand(const Listenpunkt& p) {
    using Zustand = Listenpunkt::Zustand;
    switch (p.Art) {
    case Zustand::Vollstaendig:
        return "vollständig";
    case Zustand::Unvollstaendig:
        return "unvollständig (" + std::to_string(p.Fehlen) + " fehlen)";
    case Zustand::Abgebrochen:
        return "unvollständig (abgebrochen)";
    case Zustand::Kaputt:
        return p.Andere.empty() ? "Bestandsliste beschädigt" : "Bestandsliste beschädigt; " + AndereQuellen(p.Andere);
    case Zustand::OhneBestand:
        break;
    }
    return p.Andere.empty() ? "ohne Bestandsliste" : "ohne Bestandsliste; " + AndereQuellen(p.Andere);
}

} // namespace

std::string Listenpunkt::Zustandstext() const {
    const std::string text = Stand(*this);
    return Besitzer ? text + "; gehört " + FremderBenutzer(*Besitzer) : text;
}

std::string FremderBenutzer(std::uint32_t uid) {
    return "einem anderen Benutzer (Nummer " + std::to_string(uid) + ")";
}

std::string AndereQuellen(const std::set<std::string>& andere) {
    std::string namen;
    for (const std::string& q : andere)
        namen += (namen.empty() ? "" : ", ") + Anzeigetext(q);
    return andere.size() == 1
               ? "kann ebenso zur Quelle " + namen + " gehören, die im Ziel an derselben Stelle gespiegelt wird"
               : "kann ebenso zu den Quellen " + namen + " gehören, die im Ziel an derselben Stelle gespiegelt werden";
}

std::string AndereQuellenWarnung(const std::set<std::string>& andere) {
    return "Warnung: Jede dieser Sicherungen " + AndereQuellen(andere) +
           (andere.size() == 1 ? "; ihre Dateien können die jener Quelle sein.\n"
                               : "; ihre Dateien können die jener Quellen sein.\n");
}

Quellangabe Listenpunkt::Angabe() const {
    if (!Quelle)
        return {};
    return Verzeichnet ? Quellangabe(*Quelle, *Verzeichnet) : Quellangabe(*Quelle);
}

std::string Listenpunkt::Quelltext() const {
    if (!Quelle)
        return "?";
    return tresor::Quelltext(*Quelle, Verdeckt ? Verzeichnet : std::nullopt);
}

std::string Listenpunkt::Zeile() const {
    std::string zeile = Zeit() + "  " + Quelltext() + "  ";
    if (Art != Zustand::OhneBestand && Art != Zustand::Kaputt)
        zeile += std::to_string(Dateien) + " Dateien, " + std::to_string(Bytes) + " Bytes kopiert  ";
    return zeile + Zustandstext();
}

std::vector<Listenpunkt> Wiederherstellung::Punkte(const Pfad& ziel, const std::optional<Quellangabe>& quelle,
                                                   Reihenfolge reihenfolge) {
    const std::optional<Quellzuordnung> zuordnung =
        quelle ? std::optional<Quellzuordnung>(std::in_place, laufwerke_, *quelle) : std::nullopt;
    std::vector<Listenpunkt> punkte;
    const std::vector<std::string> namen = Sicherungsordnernamen(zugriff_, ziel);
    const std::set<std::string> sicherungen(namen.begin(), namen.end());
    // The other sources mirrored where this one is: a folder without a usable record may be theirs.
    std::set<std::string> andere;
    const Sicherungsbesitz besitz(zugriff_, ziel);
    for (const std::string& name : namen) {
        // The head and the counts are all a row shows: the entries are not read.
        const Bestandsfund fund = LesbarerKopf(zugriff_, ziel, name);
        Listenpunkt p;
        p.Ordner = name;
        if (fund.Zustand == Bestandsfund::Art::Gelesen) {
            const Bestand& b = *fund.Liste;
            if (zuordnung && !zuordnung->Nimmt(b)) {
                if (SpiegelUeberdecken(b.Quelle, quelle->Quelle))
                    andere.insert(b.Quelle);
                continue;
            }
            // Files and links without a version, or with one in a backup folder that is gone since; entries
            // not backed up and mounted file systems not entered are missing as well. Whether each copy is
            // still there and whole is for the check (`--pruefen`) to find.
            long fehlen = 0;
            for (const auto& [ort, anzahl] : b.Zahlen.Orte)
                if (ort == OrtFehlt || !sicherungen.contains(ort))
                    fehlen += static_cast<long>(anzahl);
            fehlen += static_cast<long>(b.Zahlen.Ausgelassene + b.Zahlen.Einhaengepunkte);
            p.Quelle = QuelleHeute(laufwerke_, b.Quelle, b.QuellePosix); // what a restore of it is asked for
            if (!HeuteErreichbar(laufwerke_, b)) {
                p.Verzeichnet = b.QuellePosix;
                p.Verdeckt = laufwerke_.ZuPosix(b.Quelle).has_value();
            }
            p.Dateien = b.KopierteDateien;
            p.Bytes = b.KopierteBytes;
            p.Fehlen = fehlen;
            p.Art = b.Abgebrochen ? Listenpunkt::Zustand::Abgebrochen
                    : fehlen == 0 ? Listenpunkt::Zustand::Vollstaendig
                                  : Listenpunkt::Zustand::Unvollstaendig;
        } else {
            if (zuordnung) {
                if (!zuordnung->MitOrdnernOhneBestand() || !SpiegelDa(zugriff_, ziel, name, quelle->Quelle))
                    continue;
                p.Quelle = quelle->Quelle;
            }
            p.Art = fund.Zustand == Bestandsfund::Art::Kaputt ? Listenpunkt::Zustand::Kaputt
                                                              : Listenpunkt::Zustand::OhneBestand;
            p.Grund = fund.Fehler;
        }
        if (const auto ordner = zugriff_.Stand(Unterpfad(ziel, name)); ordner && !besitz.Eigen(*ordner))
            p.Besitzer = ordner->Uid;
        punkte.push_back(std::move(p));
    }
    for (Listenpunkt& p : punkte)
        if (zuordnung && (p.Art == Listenpunkt::Zustand::OhneBestand || p.Art == Listenpunkt::Zustand::Kaputt))
            p.Andere = andere;
    if (reihenfolge == Reihenfolge::NeuesteZuerst)
        std::reverse(punkte.begin(), punkte.end());
    return punkte;
}

Befund Wiederherstellung::Liste(const Pfad& ziel, const std::optional<Quellangabe>& quelle) {
    std::vector<Listenpunkt> punkte = Punkte(ziel, quelle);
    // The bytes only a point holds are weighed among the backups of a source by its path today; a source taken as
    // its records name it is not thinned, and its figures are not given.
    if (quelle && !quelle->WieVerzeichnet && !punkte.empty()) {
        std::map<std::string, std::optional<std::uint64_t>> eigen;
        try {
            for (auto& [ordner, bytes] : Ausduennung(laufwerke_).EigeneBytes(ziel, quelle->Quelle))
                eigen[ordner] = bytes;
        } catch (const FsFehler&) {
            // A backup folder that cannot be read: what each point alone holds is not known, the rows are.
            eigen.clear();
        }
        for (Listenpunkt& p : punkte)
            if (const auto it = eigen.find(p.Ordner); it != eigen.end())
                p.NurHier = it->second;
    }
    // What removing a point alone would free, on a line of its own below it.
    for (const Listenpunkt& p : punkte) {
        aus_ << p.Zeile() << "\n";
        if (p.NurHier)
            aus_ << "  nur in diesem Stand: " << *p.NurHier << " Bytes\n";
    }
    if (!punkte.empty())
        return Befund::Vollstaendig;
    aus_ << "Keine Sicherungen" << (quelle ? " dieser Quelle" : "") << " im Ziel " << Anzeigetext(ziel) << ".\n";
    // Asked for by its path today and none found: a source of that name whose disk is not there is asked for as
    // its records name it, and the user is told so, as a restore tells it.
    if (quelle) {
        const Quellzuordnung zuordnung(laufwerke_, *quelle);
        for (const std::string& name : Sicherungsordnernamen(zugriff_, ziel)) {
            const Bestandsfund fund = LesbarerKopf(zugriff_, ziel, name);
            if (fund.Zustand == Bestandsfund::Art::Gelesen && zuordnung.Verdeckt(*fund.Liste)) {
                aus_ << HinweisWieVerzeichnet(fund.Liste->Quelle, fund.Liste->QuellePosix);
                break;
            }
        }
    }
    return Befund::Vollstaendig;
}

} // namespace tresor
