// Where the versions of the entries a run did not copy live, and what a stopped run takes from the newest
// earlier record (see Bestandsliste.h): that record is read alongside the entries as they are written.
#include "engine/bestand/Bestandsliste.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "fs/FsFehler.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <limits>

namespace tresor {

namespace {

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

void Bestandsliste::Fruehere() {
    if (fruehereGesucht_)
        return;
    fruehereGesucht_ = true;
    for (const std::string& n : Sicherungsordnernamen(kopien_, ziel_))
        if (n < ordnername_)
            frueher_.push_back(n);
}

Bestandsleser* Bestandsliste::Vorher() {
    if (!vorherGesucht_) {
        vorherGesucht_ = true;
        Fruehere();
        const std::string posix = laufwerke_.ZuPosix(quelle_).value_or("");
        for (auto it = frueher_.rbegin(); it != frueher_.rend() && !vorher_; ++it) {
            Bestandsfund fund;
            auto leser = LiesBestandsleser(kopien_, ziel_, *it, &fund);
            if (leser && GleicheQuelle(leser->Kopf(), quelle_, posix))
                vorher_ = std::move(leser);
            else if (fund.Unlesbar)
                unlesbar_.try_emplace(*it, fund.Fehler);
        }
    }
    if (vorher_ && !vBegonnen_) {
        v_ = vorher_->Naechster();
        vBegonnen_ = true;
    }
    return vorher_ ? &*vorher_ : nullptr;
}

const Bestandseintrag* Bestandsliste::BisZu(const Bestandseintrag& e) {
    if (Vorher() == nullptr)
        return nullptr;
    // The earlier record's entries before this one: not met by this run.
    while (v_ != nullptr && Wegordnung(*v_, e) < 0)
        v_ = vorher_->Naechster();
    return v_ != nullptr && Wegordnung(*v_, e) == 0 ? v_ : nullptr;
}

bool Bestandsliste::Passt(const Bestandseintrag& e, const Eintragsstand& kopie) const {
    if (ArtAus(kopie) != e.Art || kopie.Groesse != e.Groesse || !GleicheZeit(e.MtimeNs, kopie.MtimeNs))
        return false;
    return e.Art != Eintragsart::Verweis || kopie.Verweisziel == e.Verweisziel;
}

std::optional<Eintragsstand> Bestandsliste::Kopie(const std::string& ordner, const std::string& relativ) {
    try {
        return kopienblick_.Stand(ordner, relativ);
    } catch (const FsFehler& f) {
        // A backup folder whose blocks no longer read, or that this user may not read: no version is taken from
        // it, and the run names it.
        if (ordner == ordnername_ || !Uebergehbar(f.Ursache()))
            throw;
        unlesbar_.try_emplace(ordner, Unlesbarkeit(f.Ursache()));
        return std::nullopt;
    }
}

bool Bestandsliste::NochDa(const Bestandseintrag& v, Kopiebefund befund) {
    // The record's word is taken once the copy it names is still there, of that kind and size (a link also of that
    // target): a copy cut short or replaced on the target since makes the version missing now, where the listing
    // of the point says so, rather than at the restore, years later. (The folder's listing would tell a copy's
    // kind for all the files of a folder at once, but not its size.)
    if (v.Ort == OrtFehlt || v.Ort >= ordnername_)
        return false;
    // The index's reading of the record looked at the copy a moment ago, on its own thread (Zielindex.h). Nothing
    // in this run changes an earlier backup folder, so that look tells what one taken now would: a copy that goes
    // after either is gone after the record was written as well.
    if (befund != Kopiebefund::Ungesehen)
        return befund == Kopiebefund::Da;
    try {
        return kopienblick_.Da(v);
    } catch (const FsFehler& f) {
        // A copy in a backup folder whose blocks no longer read, or that this user may not read, is no version
        // this run can vouch for.
        if (!Uebergehbar(f.Ursache()))
            throw;
        unlesbar_.try_emplace(v.Ort, Unlesbarkeit(f.Ursache()));
        return false;
    }
}

void Bestandsliste::Verorte(Bestandseintrag& e, const Bestandseintrag* v, Kopiebefund befund) {
    e.Ort = OrtFehlt;
    e.Inhalt.reset();
    if (v != nullptr && v->Art == e.Art && v->Groesse == e.Groesse && v->MtimeNs == e.MtimeNs &&
        v->Verweisziel == e.Verweisziel && NochDa(*v, befund)) {
        e.Ort = v->Ort;
        // The copy is the one that record names: its checksum is that record's, where it holds one.
        e.Inhalt = v->Inhalt;
        // The exact state stays only where the earlier record held that very state: else the version found is
        // of the same size and time, but perhaps not of this content, and the next run is to back the file up
        // (Zielindex.h).
        if (v->CtimeNs == 0 || v->CtimeNs != e.CtimeNs || v->Inode != e.Inode)
            e.CtimeNs = 0;
        return;
    }
    // A copy found by its size and time alone comes with no checksum: none is made up for it.
    e.CtimeNs = 0;
    Fruehere();
    for (auto it = frueher_.rbegin(); it != frueher_.rend(); ++it) {
        const auto k = Kopie(*it, e.Pfad);
        if (k && Passt(e, *k)) {
            e.Ort = *it;
            break;
        }
    }
}

void Bestandsliste::NimmUebrige() {
    // A stopped run did not reach the entries after the last one it wrote: those are taken from the earlier
    // record, with the version that one names where its copy is still there, else "fehlt"; what that one could
    // not back up stays named. The earlier record lists every folder before its content, so each folder comes
    // first here too, and nothing is taken below a folder this run does not hold.
    if (Vorher() == nullptr)
        return;
    const auto erreicht = letzter_;
    // Whether this run passed the folder of that path, and whether it met a file or link of that path.
    auto alsOrdnerErreicht = [&](const std::string& pfad) {
        return erreicht && Wegordnung(pfad, true, erreicht->first, erreicht->second) <= 0;
    };
    auto alsDateiGetroffen = [&](const std::string& pfad) {
        return erreicht && Wegordnung(pfad, false, erreicht->first, erreicht->second) <= 0 && AlsDateiGeschrieben(pfad);
    };
    for (const Auslassung& a : vorher_->Kopf().Ausgelassen)
        if (!alsOrdnerErreicht(a.Pfad) && !alsDateiGetroffen(a.Pfad))
            Ausgelassen(Unterpfad(quelle_, a.Pfad), a.Grund);
    // The earlier record's mount points, by name: those among the folders taken from it stay named.
    const std::vector<std::string>& einhaengepunkte = vorher_->Kopf().Einhaengepunkte;
    std::vector<std::pair<std::string_view, std::size_t>> punkte;
    for (std::size_t i = 0; i < einhaengepunkte.size(); ++i)
        punkte.emplace_back(einhaengepunkte[i], i);
    const auto nachName = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::sort(punkte.begin(), punkte.end(), nachName);
    std::vector<bool> genommen(einhaengepunkte.size());
    for (; v_ != nullptr; v_ = vorher_->Naechster()) {
        const Bestandseintrag& v = *v_;
        // Out of order or twice in the earlier record, reached by this run, or met by it as a file where the
        // earlier record has a folder: not taken.
        if (letzter_ && Wegordnung(v.Pfad, v.Art == Eintragsart::Ordner, letzter_->first, letzter_->second) <= 0)
            continue;
        if (v.Pfad == "." || !OrdnerVerzeichnet(Oberordner(v.Pfad)))
            continue;
        if (v.Art == Eintragsart::Ordner && AlsDateiGeschrieben(v.Pfad))
            continue;
        Bestandseintrag e = v;
        if (e.Art != Eintragsart::Ordner && !NochDa(v)) {
            e.Ort = OrtFehlt;
            e.Inhalt.reset();
        }
        if (e.Art == Eintragsart::Ordner)
            for (auto [p, bis] = std::equal_range(punkte.begin(), punkte.end(),
                                                  std::pair(std::string_view(e.Pfad), std::size_t{0}), nachName);
                 p != bis; ++p)
                genommen[p->second] = true;
        e.Verbund = e.Art == Eintragsart::Datei && v.Verbund != 0
                        ? Gruppe(e.Inode, std::numeric_limits<std::uint64_t>::max())
                        : 0;
        Schreib(e);
    }
    for (std::size_t i = 0; i < einhaengepunkte.size(); ++i)
        if (genommen[i])
            einhaengepunkte_.push_back(einhaengepunkte[i]);
}

} // namespace tresor
