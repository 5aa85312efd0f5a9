// The record of the source, collected during a backup run (see Bestandsliste.h).
#include "engine/bestand/Bestandsliste.h"

#include "engine/bestand/Sicherungsfolge.h"
#include "engine/bestand/Zielindex.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
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

void Bestandsliste::Ordne() {
    // The record lists its entries in the walk's order, so that the next run can read it alongside its walk
    // (Zielindex.h). A failed copy may be named after the entries that follow it: they are put in their places,
    // and the marks of the entries still to be placed and of the files of several names go along.
    auto vorher = [this](std::size_t a, std::size_t b) {
        const Bestandseintrag& x = eintraege_[a];
        const Bestandseintrag& y = eintraege_[b];
        return Wegordnung(x.Pfad, x.Art == Eintragsart::Ordner, y.Pfad, y.Art == Eintragsart::Ordner) < 0;
    };
    const std::size_t n = eintraege_.size();
    bool geordnet = true;
    for (std::size_t i = 1; i < n && geordnet; ++i)
        geordnet = !vorher(i, i - 1);
    if (geordnet)
        return;
    std::vector<std::size_t> folge(n);
    for (std::size_t i = 0; i < n; ++i)
        folge[i] = i;
    std::stable_sort(folge.begin(), folge.end(), vorher);
    std::vector<std::size_t> neuerPlatz(n);
    for (std::size_t i = 0; i < n; ++i)
        neuerPlatz[folge[i]] = i;
    std::vector<Bestandseintrag> geordnete;
    geordnete.reserve(n);
    for (const std::size_t i : folge)
        geordnete.push_back(std::move(eintraege_[i]));
    eintraege_ = std::move(geordnete);
    for (std::size_t& i : offen_)
        i = neuerPlatz[i];
    for (std::size_t& i : mehrnamig_)
        i = neuerPlatz[i];
    kopiert_.clear();
}

void Bestandsliste::Verorte(bool abgebrochen) {
    Ordne();
    if (offen_.empty() && !abgebrochen)
        return;
    std::vector<std::string> frueher;
    for (const std::string& n : Sicherungsordnernamen(kopien_, ziel_))
        if (n < ordnername_)
            frueher.push_back(n);
    const std::string posix = laufwerke_.ZuPosix(quelle_).value_or("");

    // The newest earlier record of this source, read alongside this run's entries: both are in the walk's
    // order, so neither is held whole nor looked up in a map.
    std::optional<Bestandsleser> vorher;
    for (auto it = frueher.rbegin(); it != frueher.rend() && !vorher; ++it) {
        auto leser = LiesBestandsleser(kopien_, ziel_, *it);
        if (leser && GleicheQuelle(leser->Kopf(), quelle_, posix))
            vorher = std::move(leser);
    }

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
    auto verorte = [&](Bestandseintrag& e, const Bestandseintrag* v) {
        e.Ort = OrtFehlt;
        if (v != nullptr && v->Art == e.Art && v->Groesse == e.Groesse && v->MtimeNs == e.MtimeNs &&
            v->Verweisziel == e.Verweisziel && nochDa(*v)) {
            e.Ort = v->Ort;
            // The exact state stays only where the earlier record held that very state: else the version
            // found is of the same size and time, but perhaps not of this content, and the next run is to
            // back the file up (Zielindex.h).
            if (v->CtimeNs == 0 || v->CtimeNs != e.CtimeNs || v->Inode != e.Inode)
                e.CtimeNs = 0;
            return;
        }
        e.CtimeNs = 0;
        for (auto it = frueher.rbegin(); it != frueher.rend(); ++it) {
            const auto k = kopie(*it, e.Pfad);
            if (k && Passt(e, *k)) {
                e.Ort = *it;
                break;
            }
        }
    };
    auto vergleiche = [](const Bestandseintrag& a, const Bestandseintrag& b) {
        return Wegordnung(a.Pfad, a.Art == Eintragsart::Ordner, b.Pfad, b.Art == Eintragsart::Ordner);
    };

    std::vector<char> offen(eintraege_.size(), 0);
    for (const std::size_t i : offen_)
        offen[i] = 1;
    offen_.clear();
    // A stopped run did not reach every entry: those it did not reach are taken from the earlier record, with
    // the version that one names where its copy is still there, else "fehlt"; what that one could not back up
    // stays named. The earlier record lists every folder before its content, so each folder comes first here
    // too, and nothing is taken below a folder this run does not hold.
    const bool nehmen = abgebrochen && vorher;
    std::vector<Bestandseintrag> alle; // this run's entries (copied: they are looked up until the end) and those taken
    std::set<std::string> ordner;
    std::vector<char> mehrnamig;
    if (nehmen) {
        mehrnamig.assign(eintraege_.size(), 0);
        for (const std::size_t i : mehrnamig_)
            mehrnamig[i] = 1;
        mehrnamig_.clear();
    }
    // Whether this run met the path (as a folder or as a file or link).
    auto erreicht = [&](const std::string& pfad) {
        for (const bool alsOrdner : {true, false}) {
            const auto it = std::lower_bound(
                eintraege_.begin(), eintraege_.end(), pfad, [&](const Bestandseintrag& e, const std::string& p) {
                    return Wegordnung(e.Pfad, e.Art == Eintragsart::Ordner, p, alsOrdner) < 0;
                });
            if (it != eintraege_.end() && it->Pfad == pfad)
                return true;
        }
        return false;
    };
    auto nimm = [&](const Bestandseintrag& v) {
        // Out of order or twice in the earlier record, or met by this run as another kind: not taken.
        if ((!alle.empty() && vergleiche(v, alle.back()) <= 0) || erreicht(v.Pfad))
            return;
        const std::size_t schnitt = v.Pfad.rfind('/');
        if (v.Pfad == "." ||
            !ordner.contains(schnitt == std::string::npos ? std::string(".") : v.Pfad.substr(0, schnitt)))
            return;
        Bestandseintrag e = v;
        if (e.Art != Eintragsart::Ordner && !nochDa(v))
            e.Ort = OrtFehlt;
        if (e.Art == Eintragsart::Ordner)
            ordner.insert(e.Pfad);
        if (e.Art == Eintragsart::Datei && e.Verbund != 0)
            mehrnamig_.push_back(alle.size());
        alle.push_back(std::move(e));
    };
    const Bestandseintrag* v = vorher ? vorher->Naechster() : nullptr;
    for (std::size_t i = 0; i < eintraege_.size(); ++i) {
        Bestandseintrag& e = eintraege_[i];
        // The earlier record's entries before this one: not met by this run.
        while (v != nullptr && vergleiche(*v, e) < 0) {
            if (nehmen)
                nimm(*v);
            v = vorher->Naechster();
        }
        const Bestandseintrag* gleich = v != nullptr && vergleiche(*v, e) == 0 ? v : nullptr;
        if (offen[i] != 0)
            verorte(e, gleich);
        if (gleich != nullptr)
            v = vorher->Naechster();
        if (!nehmen)
            continue;
        if (e.Art == Eintragsart::Ordner)
            ordner.insert(e.Pfad);
        if (mehrnamig[i] != 0)
            mehrnamig_.push_back(alle.size());
        alle.push_back(e);
    }
    if (!nehmen)
        return;
    while (v != nullptr) {
        nimm(*v);
        v = vorher->Naechster();
    }
    for (const Auslassung& a : vorher->Kopf().Ausgelassen)
        if (!erreicht(a.Pfad))
            Ausgelassen(Unterpfad(quelle_, a.Pfad), a.Grund);
    for (const std::string& p : vorher->Kopf().Einhaengepunkte)
        if (!erreicht(p) && ordner.contains(p))
            einhaengepunkte_.push_back(p);
    eintraege_ = std::move(alle);
    kopiert_.clear();
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
    Bestand b;
    b.Ordner = ordnername_;
    b.Quelle = quelle_;
    b.QuellePosix = laufwerke_.ZuPosix(quelle_).value_or("");
    b.Zeit = ordnername_.size() > 10 ? ordnername_.substr(10) : ordnername_;
    b.KopierteDateien = dateien;
    b.KopierteBytes = bytes;
    b.Abgebrochen = abgebrochen;
    b.Ausgelassen = ausgelassen_;
    b.Einhaengepunkte = einhaengepunkte_;
    // Written into the file as it is made, never held as one text.
    return kopien_.SchreibeDauerhaft(Unterpfad(ziel_, ordnername_), Bestandsdateiname,
                                     [&](const Eintragszugriff::Stueckweise& aus) {
                                         Bestandsschreiber schreiber(aus);
                                         schreiber.Kopf(b);
                                         for (const Bestandseintrag& e : eintraege_)
                                             schreiber.Eintrag(e);
                                         schreiber.Ende(b);
                                     });
}

} // namespace tresor
