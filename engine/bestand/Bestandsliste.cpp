// The record of the source, collected during a backup run (see Bestandsliste.h).
#include "engine/bestand/Bestandsliste.h"

#include "engine/bestand/Sicherungsfolge.h"

#include <cstdlib>
#include <map>
#include <memory>

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
    if (quelle == quelle_)
        return ".";
    const std::size_t anfang = quelle_.size() == 3 ? 3 : quelle_.size() + 1;
    return NamenAusPosix(quelle.substr(anfang));
}

void Bestandsliste::Eintrag(const Pfad& quelle, Eintragsart art, const Eintragsstand& stand, std::string ort) {
    Bestandseintrag e;
    e.Art = art;
    e.Ort = std::move(ort);
    e.Groesse = art == Eintragsart::Ordner ? 0 : stand.Groesse;
    e.MtimeNs = stand.MtimeNs;
    e.Modus = stand.Modus;
    e.Uid = stand.Uid;
    e.Gid = stand.Gid;
    e.Pfad = Relativ(quelle);
    e.Verweisziel = art == Eintragsart::Verweis ? stand.Verweisziel : std::string();
    eintraege_.push_back(std::move(e));
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
    }
    kopiert_[quelle] = eintraege_.size();
    Eintrag(quelle, ArtAus(*stand), *stand, ordnername_);
}

void Bestandsliste::Gelassen(const Pfad& quelle, const Eintragsstand& gesehen) {
    // A regular file as the walk's own look saw it a moment ago needs no second look.
    const auto stand = gesehen.Typ == Eintragsstand::Art::Datei ? std::optional(gesehen) : zugriff_.Stand(quelle);
    if (!stand || (stand->Typ != Eintragsstand::Art::Datei && stand->Typ != Eintragsstand::Art::Verweis))
        return;
    offen_.push_back(eintraege_.size());
    Eintrag(quelle, ArtAus(*stand), *stand, OrtFehlt);
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

void Bestandsliste::Verorte() {
    if (offen_.empty())
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
    for (const std::size_t i : offen_) {
        Bestandseintrag& e = eintraege_[i];
        e.Ort = OrtFehlt;
        if (const auto it = vorherige.find(e.Pfad); it != vorherige.end()) {
            const Bestandseintrag& v = *it->second;
            if (v.Art == e.Art && v.Groesse == e.Groesse && v.MtimeNs == e.MtimeNs && v.Verweisziel == e.Verweisziel &&
                v.Ort != OrtFehlt && v.Ort < ordnername_) {
                // The record's word is taken once the copy it names is still there, of that kind and size.
                const auto k = kopie(v.Ort, e.Pfad);
                if (k && ArtAus(*k) == e.Art && k->Groesse == e.Groesse &&
                    (e.Art != Eintragsart::Verweis || k->Verweisziel == e.Verweisziel)) {
                    e.Ort = v.Ort;
                    continue;
                }
            }
        }
        for (auto it = frueher.rbegin(); it != frueher.rend(); ++it) {
            const auto k = kopie(*it, e.Pfad);
            if (k && Passt(e, *k)) {
                e.Ort = *it;
                break;
            }
        }
    }
    offen_.clear();
}

std::string Bestandsliste::Schreibe(std::uint64_t dateien, std::uint64_t bytes) {
    Verorte();
    Bestand b;
    b.Ordner = ordnername_;
    b.Quelle = quelle_;
    b.QuellePosix = laufwerke_.ZuPosix(quelle_).value_or("");
    b.Zeit = ordnername_.size() > 10 ? ordnername_.substr(10) : ordnername_;
    b.KopierteDateien = dateien;
    b.KopierteBytes = bytes;
    b.Eintraege = std::move(eintraege_);
    const std::string text = SchreibeBestand(b);
    eintraege_ = std::move(b.Eintraege);
    return kopien_.SchreibeDauerhaft(Unterpfad(ziel_, ordnername_), Bestandsdateiname, text);
}

} // namespace tresor
