// The record of the source, collected during a backup run (see Bestandsliste.h).
#include "engine/bestand/Bestandsliste.h"

#include "engine/bestand/Sicherungsfolge.h"
#include "engine/bestand/Zielindex.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

namespace tresor {

namespace {

Eintragsart ArtAus(const Eintragsstand& stand) {
    return stand.Typ == Eintragsstand::Art::Verweis  ? Eintragsart::Verweis
           : stand.Typ == Eintragsstand::Art::Ordner ? Eintragsart::Ordner
                                                     : Eintragsart::Datei;
}

// Whether a copy's time is the entry's: exact, or as a file system of coarser times (whole seconds, or
// FAT's two seconds) keeps it.
bool GleicheZeit(std::int64_t eintrag, std::int64_t kopie) {
    if (eintrag == kopie)
        return true;
    constexpr std::int64_t Sekunde = 1'000'000'000;
    if (kopie % Sekunde != 0)
        return false;
    return std::llabs(eintrag - kopie) < 2 * Sekunde;
}

} // namespace

Bestandsliste::Bestandsliste(const Laufwerkstabelle& laufwerke, Pfad quelle, Pfad ziel, std::string ordnername)
    : laufwerke_(laufwerke), zugriff_(laufwerke), kopien_(laufwerke), quelle_(std::move(quelle)),
      ziel_(std::move(ziel)), ordnername_(std::move(ordnername)) {}

std::string Bestandsliste::Relativ(const Pfad& quelle) const {
    return RelativZurQuelle(quelle_, quelle);
}

bool Bestandsliste::Eintrag(const Pfad& quelle, Eintragsart art, const Eintragsstand& stand, std::string ort) {
    // An entry below a folder the record does not hold (one whose mirror clashed with another's) is only
    // named as not backed up: a record lists every folder before its content.
    std::string pfad = Relativ(quelle);
    const std::size_t schnitt = pfad.rfind('/');
    if (pfad != "." && !ordner_.contains(schnitt == std::string::npos ? std::string(".") : pfad.substr(0, schnitt)))
        return false;
    if (art == Eintragsart::Ordner)
        ordner_.insert(pfad);
    Bestandseintrag e;
    e.Art = art;
    e.Ort = std::move(ort);
    e.Groesse = art == Eintragsart::Ordner ? 0 : stand.Groesse;
    e.MtimeNs = stand.MtimeNs;
    e.Modus = stand.Modus;
    e.Uid = stand.Uid;
    e.Gid = stand.Gid;
    e.Pfad = std::move(pfad);
    e.Verweisziel = art == Eintragsart::Verweis ? stand.Verweisziel : std::string();
    if (art != Eintragsart::Ordner) {
        e.Inode = stand.Inode;
        e.CtimeNs = stand.CtimeNs;
        if (art == Eintragsart::Datei && stand.Namen > 1)
            mehrnamig_.push_back(eintraege_.size());
    }
    eintraege_.push_back(std::move(e));
    return true;
}

void Bestandsliste::Ordner(const Pfad& quellordner) {
    const auto stand = zugriff_.Stand(quellordner);
    // A folder that went away between the walk's listing and here has nothing to record.
    if (stand && stand->Typ == Eintragsstand::Art::Ordner)
        Eintrag(quellordner, Eintragsart::Ordner, *stand, "-");
}

void Bestandsliste::Kopiert(const Pfad& quelle, const Quellstand& kopie) {
    auto stand = zugriff_.Stand(quelle);
    if (!stand || (stand->Typ != Eintragsstand::Art::Datei && stand->Typ != Eintragsstand::Art::Verweis)) {
        // Gone or replaced since its copy: the copy itself tells what was backed up.
        stand = kopien_.Stand(Unterpfad(Spiegelpfad(Unterpfad(ziel_, ordnername_), quelle_), Relativ(quelle)));
        if (!stand)
            return;
    }
    if (stand->Typ == Eintragsstand::Art::Datei && kopie.Gueltig) {
        // The copy holds the state it was taken from, not what the file may have become since.
        stand->Groesse = kopie.Groesse;
        stand->MtimeNs = kopie.MtimeNs;
        stand->Inode = kopie.Inode;
        stand->CtimeNs = kopie.CtimeNs;
    }
    const std::size_t index = eintraege_.size();
    if (Eintrag(quelle, ArtAus(*stand), *stand, ordnername_))
        kopiert_[quelle] = index;
}

void Bestandsliste::Gelassen(const Pfad& quelle, const Eintragsstand& gesehen) {
    // A regular file as the walk's own look saw it a moment ago needs no second look.
    const auto stand = gesehen.Typ == Eintragsstand::Art::Datei ? std::optional(gesehen) : zugriff_.Stand(quelle);
    if (!stand || (stand->Typ != Eintragsstand::Art::Datei && stand->Typ != Eintragsstand::Art::Verweis))
        return;
    const std::size_t index = eintraege_.size();
    if (Eintrag(quelle, ArtAus(*stand), *stand, OrtFehlt))
        offen_.push_back(index);
}

void Bestandsliste::Fehlgeschlagen(const Pfad& quelle) {
    const auto it = kopiert_.find(quelle);
    if (it == kopiert_.end()) {
        // No copy was made (unreadable, changing during its copy, a clash, a link the target cannot hold): the
        // source holds the entry all the same, so the record names it, with the version an earlier backup
        // holds or "fehlt". One that is gone has nothing to record.
        Gelassen(quelle);
        return;
    }
    eintraege_[it->second].Ort = OrtFehlt;
    offen_.push_back(it->second);
}

bool Bestandsliste::Passt(const Bestandseintrag& e, const Eintragsstand& kopie) const {
    if (ArtAus(kopie) != e.Art || kopie.Groesse != e.Groesse || !GleicheZeit(e.MtimeNs, kopie.MtimeNs))
        return false;
    return e.Art != Eintragsart::Verweis || kopie.Verweisziel == e.Verweisziel;
}

void Bestandsliste::Verorte(bool abgebrochen) {
    if (offen_.empty() && !abgebrochen)
        return;
    std::vector<std::string> frueher;
    for (const std::string& n : Sicherungsordnernamen(kopien_, ziel_))
        if (n < ordnername_)
            frueher.push_back(n);
    const std::string posix = laufwerke_.ZuPosix(quelle_).value_or("");

    // The newest earlier record of this source.
    std::shared_ptr<const Bestand> vorher;
    for (auto it = frueher.rbegin(); it != frueher.rend() && !vorher; ++it) {
        const Bestandsfund fund = LiesBestandsfund(kopien_, ziel_, *it);
        if (fund.Zustand == Bestandsfund::Art::Gelesen && GleicheQuelle(*fund.Liste, quelle_, posix))
            vorher = fund.Liste;
    }
    std::unordered_map<std::string, const Bestandseintrag*> vorherige;
    if (vorher)
        for (const Bestandseintrag& e : vorher->Eintraege)
            vorherige.emplace(e.Pfad, &e);

    auto kopie = [this](const std::string& ordner, const std::string& relativ) {
        return kopien_.Stand(Unterpfad(Spiegelpfad(Unterpfad(ziel_, ordner), quelle_), relativ));
    };
    // The record's word is taken once the copy it names is still there, of that kind and size.
    auto nochDa = [&](const Bestandseintrag& v) {
        if (v.Ort == OrtFehlt || v.Ort >= ordnername_)
            return false;
        const auto k = kopie(v.Ort, v.Pfad);
        return k && ArtAus(*k) == v.Art && k->Groesse == v.Groesse &&
               (v.Art != Eintragsart::Verweis || k->Verweisziel == v.Verweisziel);
    };
    for (const std::size_t i : offen_) {
        Bestandseintrag& e = eintraege_[i];
        e.Ort = OrtFehlt;
        if (const auto it = vorherige.find(e.Pfad); it != vorherige.end()) {
            const Bestandseintrag& v = *it->second;
            if (v.Art == e.Art && v.Groesse == e.Groesse && v.MtimeNs == e.MtimeNs && v.Verweisziel == e.Verweisziel &&
                nochDa(v)) {
                e.Ort = v.Ort;
                // The exact state stays only where the earlier record held that very state: else the version
                // found is of the same size and time, but perhaps not of this content, and the next run is to
                // back the file up (Zielindex.h).
                if (v.CtimeNs == 0 || v.CtimeNs != e.CtimeNs || v.Inode != e.Inode)
                    e.CtimeNs = 0;
                continue;
            }
        }
        e.CtimeNs = 0;
        for (auto it = frueher.rbegin(); it != frueher.rend(); ++it) {
            const auto k = kopie(*it, e.Pfad);
            if (k && Passt(e, *k)) {
                e.Ort = *it;
                break;
            }
        }
    }
    offen_.clear();

    if (!abgebrochen || !vorher)
        return;
    // A stopped run did not reach every entry: those it did not reach are taken from the earlier record, with
    // the version that one names where its copy is still there, else "fehlt"; what that one could not back up
    // stays named. The earlier record lists every folder before its content, so each folder comes first here
    // too, and nothing is taken below a folder this run does not hold.
    std::set<std::string> ordner, erreicht;
    for (const Bestandseintrag& e : eintraege_) {
        erreicht.insert(e.Pfad);
        if (e.Art == Eintragsart::Ordner)
            ordner.insert(e.Pfad);
    }
    for (const Bestandseintrag& v : vorher->Eintraege) {
        if (erreicht.contains(v.Pfad))
            continue;
        const std::size_t schnitt = v.Pfad.rfind('/');
        if (!ordner.contains(schnitt == std::string::npos ? std::string(".") : v.Pfad.substr(0, schnitt)))
            continue;
        Bestandseintrag e = v;
        if (e.Art != Eintragsart::Ordner && !nochDa(v))
            e.Ort = OrtFehlt;
        if (e.Art == Eintragsart::Ordner)
            ordner.insert(e.Pfad);
        if (e.Art == Eintragsart::Datei && e.Verbund != 0)
            mehrnamig_.push_back(eintraege_.size());
        eintraege_.push_back(std::move(e));
    }
    for (const Auslassung& a : vorher->Ausgelassen)
        if (!erreicht.contains(a.Pfad))
            Ausgelassen(Unterpfad(quelle_, a.Pfad), a.Grund);
    for (const std::string& p : vorher->Einhaengepunkte)
        if (!erreicht.contains(p) && ordner.contains(p))
            einhaengepunkte_.push_back(p);
}

void Bestandsliste::Vermerkt(const Pfad& quelle, const Quellstand& danach) {
    const auto it = kopiert_.find(quelle);
    if (it == kopiert_.end() || !danach.Gueltig)
        return;
    Bestandseintrag& e = eintraege_[it->second];
    // The state the archive record was written for, with the ctime that its own write gave the file.
    if (e.Art == Eintragsart::Datei && e.Inode == danach.Inode && e.Groesse == danach.Groesse &&
        e.MtimeNs == danach.MtimeNs)
        e.CtimeNs = danach.CtimeNs;
}

void Bestandsliste::Ausgelassen(const Pfad& quelle, const std::string& grund) {
    const std::string pfad = Relativ(quelle);
    for (const Auslassung& a : ausgelassen_)
        if (a.Pfad == pfad)
            return;
    ausgelassen_.push_back({pfad, grund});
}

void Bestandsliste::Einhaengepunkt(const Pfad& quellordner) {
    einhaengepunkte_.push_back(Relativ(quellordner));
}

void Bestandsliste::Verbuende() {
    // The names of one file (same inode) that the record holds more than once share a group number.
    std::map<std::uint64_t, std::vector<std::size_t>> nachInode;
    for (const std::size_t i : mehrnamig_)
        nachInode[eintraege_[i].Inode].push_back(i);
    std::uint64_t gruppe = 0;
    for (const auto& [inode, namen] : nachInode) {
        if (namen.size() < 2)
            continue;
        ++gruppe;
        for (const std::size_t i : namen)
            eintraege_[i].Verbund = gruppe;
    }
}

std::string Bestandsliste::Schreibe(std::uint64_t dateien, std::uint64_t bytes, bool abgebrochen) {
    Verorte(abgebrochen);
    Verbuende();
    // The record lists its entries in the walk's order, so that the next run can read it alongside its walk
    // (Zielindex.h). A stopped run adds the entries it did not reach after the others, and a failed copy may
    // be named after the entries that follow it: they are put in their places.
    auto vorher = [](const Bestandseintrag& a, const Bestandseintrag& b) {
        return Wegordnung(a.Pfad, a.Art == Eintragsart::Ordner, b.Pfad, b.Art == Eintragsart::Ordner) < 0;
    };
    if (!std::is_sorted(eintraege_.begin(), eintraege_.end(), vorher))
        std::stable_sort(eintraege_.begin(), eintraege_.end(), vorher);
    Bestand b;
    b.Ordner = ordnername_;
    b.Quelle = quelle_;
    b.QuellePosix = laufwerke_.ZuPosix(quelle_).value_or("");
    b.Zeit = ordnername_.size() > 10 ? ordnername_.substr(10) : ordnername_;
    b.KopierteDateien = dateien;
    b.KopierteBytes = bytes;
    b.Eintraege = std::move(eintraege_);
    b.Abgebrochen = abgebrochen;
    b.Ausgelassen = ausgelassen_;
    b.Einhaengepunkte = einhaengepunkte_;
    const std::string text = SchreibeBestand(b);
    eintraege_ = std::move(b.Eintraege);
    return kopien_.SchreibeDauerhaft(Unterpfad(ziel_, ordnername_), Bestandsdateiname, text);
}

} // namespace tresor
