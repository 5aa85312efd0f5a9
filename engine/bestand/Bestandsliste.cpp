// The record of the source, written during a backup run (see Bestandsliste.h).
#include "engine/bestand/Bestandsliste.h"

#include "engine/bestand/Sicherungsfolge.h"
#include "engine/bestand/Zielindex.h"

#include <algorithm>
#include <functional>

namespace tresor {

namespace {

std::string_view Letzter(std::string_view pfad) {
    const std::size_t schnitt = pfad.rfind('/');
    return schnitt == std::string_view::npos ? pfad : pfad.substr(schnitt + 1);
}

// Whether `pfad` lies below the folder `ordner` (both as in the record).
bool Darunter(std::string_view pfad, std::string_view ordner) {
    if (ordner == ".")
        return pfad != ".";
    return pfad.size() > ordner.size() && pfad.starts_with(ordner) && pfad[ordner.size()] == '/';
}

std::uint64_t Streuwert(std::string_view name) {
    return Fnv1a(name);
}

} // namespace

Eintragsart Bestandsliste::ArtAus(const Eintragsstand& stand) {
    return stand.Typ == Eintragsstand::Art::Verweis  ? Eintragsart::Verweis
           : stand.Typ == Eintragsstand::Art::Ordner ? Eintragsart::Ordner
                                                     : Eintragsart::Datei;
}

Bestandsliste::Bestandsliste(const Laufwerkstabelle& laufwerke, Pfad quelle, Pfad ziel, std::string ordnername,
                             std::size_t fenster)
    : laufwerke_(laufwerke), zugriff_(laufwerke), kopien_(laufwerke), quelle_(std::move(quelle)),
      ziel_(std::move(ziel)), ordnername_(std::move(ordnername)), fenstergroesse_(fenster),
      kopienblick_(kopien_, ziel_, quelle_, ordnername_) {
    kopf_.Ordner = ordnername_;
    kopf_.Quelle = quelle_;
    kopf_.QuellePosix = laufwerke_.ZuPosix(quelle_).value_or("");
    kopf_.Zeit = ordnername_.size() > 10 ? ordnername_.substr(10) : ordnername_;
}

Bestandsliste::~Bestandsliste() = default;

std::string Bestandsliste::Relativ(const Pfad& quelle) const {
    return RelativZurQuelle(quelle_, quelle);
}

std::optional<std::size_t> Bestandsliste::Eintrag(const Pfad& quelle, Eintragsart art, const Eintragsstand& stand,
                                                  std::string ort, bool verorten) {
    // An entry below a folder the record does not hold (one whose mirror clashed with another's) is only
    // named as not backed up: a record lists every folder before its content.
    std::string pfad = Relativ(quelle);
    if (pfad != "." && !OrdnerVerzeichnet(Oberordner(pfad)))
        return std::nullopt;
    Fenstereintrag g;
    Bestandseintrag& e = g.E;
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
        g.Namen = art == Eintragsart::Datei ? stand.Namen : 1;
    }
    g.Verorten = verorten;
    const auto platz = Halte(std::move(g));
    if (platz && art == Eintragsart::Ordner) {
        const std::string& ordner = fenster_[*platz].E.Pfad;
        while (!ordnerweg_.empty() && !Darunter(ordner, ordnerweg_.back()))
            ordnerweg_.pop_back();
        ordnerweg_.push_back(ordner);
    }
    return platz;
}

bool Bestandsliste::OrdnerVerzeichnet(std::string_view ordner) const {
    // Where the walk is: the folder of its entries is the last one taken, or one on the way to it.
    for (auto it = ordnerweg_.rbegin(); it != ordnerweg_.rend(); ++it)
        if (*it == ordner)
            return true;
    // An entry that comes late (a copy named as failed at the end of its batch): its folder is still in the
    // window, or was written, and then, the entry coming after the last one written, on the way to that.
    for (auto it = weg_.rbegin(); it != weg_.rend(); ++it)
        if (it->Pfad == ordner)
            return true;
    const auto it = std::lower_bound(fenster_.begin(), fenster_.end(), ordner, [](const Fenstereintrag& a, auto b) {
        return Wegordnung(a.E.Pfad, a.E.Art == Eintragsart::Ordner, b, true) < 0;
    });
    return it != fenster_.end() && it->E.Art == Eintragsart::Ordner && it->E.Pfad == ordner;
}

std::optional<std::size_t> Bestandsliste::Halte(Fenstereintrag g) {
    // The record is in the walk's order. What comes in after entries that follow it (a copy named as failed
    // at the end of its batch, whose entry was not taken before) goes to its place among the entries held; one
    // whose place was written already, or that is there already, is left out (the "X" line names it).
    if (letzter_ && Wegordnung(g.E.Pfad, g.E.Art == Eintragsart::Ordner, letzter_->first, letzter_->second) <= 0)
        return std::nullopt;
    if (fenster_.empty() || Wegordnung(fenster_.back().E, g.E) < 0) {
        fenster_.push_back(std::move(g));
        return fenster_.size() - 1;
    }
    const auto it = std::lower_bound(fenster_.begin(), fenster_.end(), g.E,
                                     [](const Fenstereintrag& a, const auto& b) { return Wegordnung(a.E, b) < 0; });
    if (it != fenster_.end() && Wegordnung(it->E, g.E) == 0)
        return std::nullopt;
    const auto platz = static_cast<std::size_t>(it - fenster_.begin());
    fenster_.insert(it, std::move(g));
    for (auto& [pfad, i] : kopiert_)
        if (i >= platz)
            ++i;
    return platz;
}

void Bestandsliste::Leere() {
    // Every entry is final while no copy waits for its check: the window is written out.
    if (!kopiert_.empty())
        return;
    for (Fenstereintrag& g : fenster_)
        Ausschreiben(g);
    fenster_.clear();
}

void Bestandsliste::Abgeschlossen() {
    kopiert_.clear();
    Leere();
}

void Bestandsliste::Ordner(const Pfad& quellordner) {
    const auto stand = zugriff_.Stand(quellordner);
    // A folder that went away between the walk's listing and here has nothing to record.
    if (stand && stand->Typ == Eintragsstand::Art::Ordner &&
        Eintrag(quellordner, Eintragsart::Ordner, *stand, "-", false))
        Leere();
}

void Bestandsliste::Kopiert(const Pfad& quelle, const Quellstand& kopie, const Eintragsstand& gesehen) {
    // The walk's own look saw the very state the copy was taken from: the same inode, size and times, and the
    // ctime moves with every change of mode, owner or names as well. That look needs no second one.
    const bool derselbe = gesehen.Typ == Eintragsstand::Art::Datei && kopie.Gueltig && gesehen.Inode == kopie.Inode &&
                          gesehen.CtimeNs == kopie.CtimeNs && gesehen.MtimeNs == kopie.MtimeNs &&
                          gesehen.Groesse == kopie.Groesse;
    auto stand = derselbe ? std::optional(gesehen) : zugriff_.Stand(quelle);
    if (!stand || (stand->Typ != Eintragsstand::Art::Datei && stand->Typ != Eintragsstand::Art::Verweis)) {
        // Gone or replaced since its copy: the copy itself tells what was backed up.
        stand = Kopie(ordnername_, Relativ(quelle));
        if (!stand)
            return;
    }
    const bool alsKopie = stand->Typ == Eintragsstand::Art::Datei && kopie.Gueltig;
    if (alsKopie) {
        // The copy holds the state it was taken from, not what the file may have become since.
        stand->Groesse = kopie.Groesse;
        stand->MtimeNs = kopie.MtimeNs;
        stand->Inode = kopie.Inode;
        stand->CtimeNs = kopie.CtimeNs;
    }
    // Held until its batch is through (Abgeschlossen): its check may still fail, and its mark gives the ctime.
    if (const auto platz = Eintrag(quelle, ArtAus(*stand), *stand, ordnername_, false)) {
        kopiert_[quelle] = *platz;
        // The checksum of the bytes the copy holds, where the entry is of the state they were taken from.
        if (alsKopie)
            fenster_[*platz].E.Inhalt = kopie.Inhalt;
    }
}

void Bestandsliste::Gelassen(const Pfad& quelle, const Eintragsstand& gesehen, const Zielindex* index) {
    // A regular file as the walk's own look saw it a moment ago needs no second look.
    const auto stand = gesehen.Typ == Eintragsstand::Art::Datei ? std::optional(gesehen) : zugriff_.Stand(quelle);
    if (!stand || (stand->Typ != Eintragsstand::Art::Datei && stand->Typ != Eintragsstand::Art::Verweis))
        return;
    const auto platz = Eintrag(quelle, ArtAus(*stand), *stand, OrtFehlt, true);
    if (!platz)
        return;
    // The index reads the newest record of the source in the target; where that is older than this run's folder,
    // it is the newest earlier one, which the entry's version is found in (Verorte): its answer for this very
    // path is that record's entry, or that the record holds none.
    // A file's entry and a link's (with its target) are taken so; an entry of another kind there holds no
    // version of this one. So that record is read once in the run, whatever the source holds.
    Fenstereintrag& g = fenster_[*platz];
    const Bestandseintrag* frueh = index != nullptr ? index->Gefunden() : nullptr;
    if (index != nullptr && !index->Ordner().empty() && index->Ordner() < ordnername_ &&
        index->Beantwortet() != nullptr && *index->Beantwortet() == g.E.Pfad) {
        g.FruehBekannt = true;
        if (frueh != nullptr && frueh->Art == g.E.Art) {
            const auto [ort, neu] = ortnummern_.try_emplace(frueh->Ort, static_cast<std::uint32_t>(orte_.size()));
            if (neu)
                orte_.push_back(frueh->Ort);
            g.Frueh = Frueheintrag{frueh->Groesse, frueh->MtimeNs,     frueh->CtimeNs,   frueh->Inode,
                                   ort->second,    frueh->Verweisziel, index->KopieDa(), frueh->Inhalt};
        }
    }
    Leere();
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
    Fenstereintrag& g = fenster_[it->second];
    g.E.Ort = OrtFehlt;
    g.E.Inhalt.reset();
    g.Verorten = true;
}

void Bestandsliste::Unspeicherbar(const Pfad& quelle) {
    auto stand = zugriff_.Stand(quelle);
    if (!stand || (stand->Typ != Eintragsstand::Art::Datei && stand->Typ != Eintragsstand::Art::Verweis))
        return;
    // No version: no exact state either (as Verorte leaves an entry it finds none for).
    stand->CtimeNs = 0;
    (void)Eintrag(quelle, ArtAus(*stand), *stand, OrtFehlt, false);
    Leere();
}

void Bestandsliste::Vermerkt(const Pfad& quelle, const Quellstand& danach) {
    const auto it = kopiert_.find(quelle);
    if (it == kopiert_.end() || !danach.Gueltig)
        return;
    Bestandseintrag& e = fenster_[it->second].E;
    // The state the archive record was written for, with the ctime that its own write gave the file.
    if (e.Art == Eintragsart::Datei && e.Inode == danach.Inode && e.Groesse == danach.Groesse &&
        e.MtimeNs == danach.MtimeNs)
        e.CtimeNs = danach.CtimeNs;
}

void Bestandsliste::Ausgelassen(const Pfad& quelle, const std::string& grund) {
    ausgelassen_.Neu(Relativ(quelle), grund);
}

void Bestandsliste::Einhaengepunkt(const Pfad& quellordner) {
    einhaengepunkte_.push_back(Relativ(quellordner));
}

std::uint64_t Bestandsliste::Gruppe(std::uint64_t inode, std::uint64_t namen) {
    // The names of one file share the number given at the first of them; the file is forgotten once all its
    // names were met.
    const auto it = gruppen_.find(inode);
    if (it == gruppen_.end()) {
        ++gruppe_;
        if (namen > 1)
            gruppen_.emplace(inode, std::pair(gruppe_, namen - 1));
        return gruppe_;
    }
    const std::uint64_t nummer = it->second.first;
    if (--it->second.second == 0)
        gruppen_.erase(it);
    return nummer;
}

void Bestandsliste::Ausschreiben(Fenstereintrag& g) {
    Bestandseintrag& e = g.E;
    if (g.Verorten && g.FruehBekannt) {
        std::optional<Bestandseintrag> v;
        if (g.Frueh) {
            v.emplace();
            v->Art = e.Art;
            v->Ort = orte_[g.Frueh->Ort];
            v->Groesse = g.Frueh->Groesse;
            v->MtimeNs = g.Frueh->MtimeNs;
            v->CtimeNs = g.Frueh->CtimeNs;
            v->Inode = g.Frueh->Inode;
            v->Pfad = e.Pfad;
            v->Verweisziel = std::move(g.Frueh->Verweisziel);
            v->Inhalt = g.Frueh->Inhalt;
        }
        Verorte(e, v ? &*v : nullptr, g.Frueh ? g.Frueh->Befund : Kopiebefund::Ungesehen);
    } else if (g.Verorten) {
        const Bestandseintrag* gleich = BisZu(e);
        Verorte(e, gleich);
        if (gleich != nullptr)
            v_ = vorher_->Naechster();
    }
    e.Verbund = e.Art == Eintragsart::Datei && g.Namen > 1 ? Gruppe(e.Inode, g.Namen) : 0;
    Schreib(e);
}

void Bestandsliste::Beginne() {
    // The temporary file, made at the first entry in the backup folder, which exists by then.
    if (schreiber_)
        return;
    datei_.emplace(kopien_.BeginneDauerhaft(Unterpfad(ziel_, ordnername_)));
    schreiber_ = std::make_unique<Bestandsschreiber>([this](std::string_view stueck) { datei_->Schreibe(stueck); });
    schreiber_->Kopf(kopf_);
}

void Bestandsliste::Schreib(Bestandseintrag& e) {
    Beginne();
    // The folders on the walk's way, with the names of the files written in each (a stopped run asks them).
    if (e.Art == Eintragsart::Ordner) {
        while (!weg_.empty() && !Darunter(e.Pfad, weg_.back().Pfad))
            weg_.pop_back();
        weg_.push_back({e.Pfad, {}});
    } else if (!weg_.empty() && weg_.back().Pfad == Oberordner(e.Pfad)) {
        weg_.back().Hinzu(Streuwert(Letzter(e.Pfad)));
    }
    schreiber_->Eintrag(e);
    letzter_ = std::pair(e.Pfad, e.Art == Eintragsart::Ordner);
}

bool Bestandsliste::AlsDateiGeschrieben(const std::string& pfad) const {
    const std::string_view ordner = Oberordner(pfad);
    for (auto it = weg_.rbegin(); it != weg_.rend(); ++it)
        if (it->Pfad == ordner)
            return it->Enthaelt(Streuwert(Letzter(pfad)));
    return false;
}

void Bestandsliste::Wegordner::Hinzu(std::uint64_t streuwert) {
    if (!Dateien.empty() && streuwert < Dateien.back())
        Sortiert = false;
    Dateien.push_back(streuwert);
}

bool Bestandsliste::Wegordner::Enthaelt(std::uint64_t streuwert) const {
    if (!Sortiert) {
        std::sort(Dateien.begin(), Dateien.end());
        Sortiert = true;
    }
    return std::binary_search(Dateien.begin(), Dateien.end(), streuwert);
}

std::string Bestandsliste::Schreibe(std::uint64_t dateien, std::uint64_t bytes, bool abgebrochen) {
    Abgeschlossen();
    if (abgebrochen)
        NimmUebrige();
    Beginne();
    Bestand b = kopf_;
    b.KopierteDateien = dateien;
    b.KopierteBytes = bytes;
    b.Abgebrochen = abgebrochen;
    ausgelassen_.Gib([this](const Auslassung& a) { schreiber_->Ausgelassen(a); });
    b.Einhaengepunkte = einhaengepunkte_;
    schreiber_->Ende(b);
    std::string name = datei_->Vollende(Bestandsdateiname);
    schreiber_.reset();
    datei_.reset();
    return name;
}

} // namespace tresor
