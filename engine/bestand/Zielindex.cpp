// What a target holds of a source (see Zielindex.h).
#include "engine/bestand/Zielindex.h"

#include "engine/bestand/Sicherungsfolge.h"
#include "fs/FsFehler.h"
#include "fs/posix/Eintragszugriff.h"

namespace tresor {

std::string RelativZurQuelle(const Pfad& quelle, const Pfad& pfad) {
    if (pfad == quelle)
        return ".";
    const std::size_t anfang = quelle.size() == 3 ? 3 : quelle.size() + 1;
    return NamenAusPosix(pfad.substr(anfang));
}

Zielindex::Zielindex(const Laufwerkstabelle& laufwerke, const Pfad& ziel, const Pfad& quelle) : quelle_(quelle) {
    Eintragszugriff zugriff(laufwerke);
    std::vector<std::string> namen;
    try {
        namen = Sicherungsordnernamen(zugriff, ziel);
    } catch (const FsFehler&) {
        return; // nothing known of the target: everything is to be backed up, and the run names what fails
    }
    sicherungen_.insert(namen.begin(), namen.end());
    const std::string posix = laufwerke.ZuPosix(quelle).value_or("");
    for (auto it = namen.rbegin(); it != namen.rend() && !bestand_; ++it) {
        const Bestandsfund fund = LiesBestandsfund(zugriff, ziel, *it);
        if (fund.Zustand == Bestandsfund::Art::Gelesen && GleicheQuelle(*fund.Liste, quelle, posix))
            bestand_ = fund.Liste;
    }
    if (!bestand_)
        return;
    nachPfad_.reserve(bestand_->Eintraege.size());
    for (const Bestandseintrag& e : bestand_->Eintraege)
        nachPfad_.emplace(e.Pfad, &e);
}

bool Zielindex::Haelt(const Pfad& pfad, const Eintragsstand& jetzt) const {
    if (!bestand_)
        return false;
    const auto it = nachPfad_.find(RelativZurQuelle(quelle_, pfad));
    if (it == nachPfad_.end())
        return false;
    const Bestandseintrag& e = *it->second;
    if (e.Ort == OrtFehlt || !sicherungen_.contains(e.Ort))
        return false;
    if (jetzt.Typ == Eintragsstand::Art::Anderes || jetzt.Typ == Eintragsstand::Art::Verweis)
        return e.Art == Eintragsart::Verweis;
    // The exact state: a record without ctimes (the first form) holds none. Where inode numbers do not last
    // (Eintragsstand::Genau), size and times are the state, as the file system's own records take it.
    if (jetzt.Typ != Eintragsstand::Art::Datei || e.Art != Eintragsart::Datei || e.CtimeNs == 0 ||
        e.Groesse != jetzt.Groesse || e.MtimeNs != jetzt.MtimeNs)
        return false;
    return !jetzt.Genau || (e.CtimeNs == jetzt.CtimeNs && e.Inode == jetzt.Inode);
}

} // namespace tresor
