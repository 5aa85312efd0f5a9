// What a target holds of a source (see Zielindex.h).
#include "engine/bestand/Zielindex.h"

#include "engine/bestand/Sicherungsfolge.h"
#include "fs/FsFehler.h"
#include "fs/posix/Eintragszugriff.h"

namespace tresor {

void RelativZurQuelleIn(const Pfad& quelle, const Pfad& pfad, std::string& in) {
    in.clear();
    if (pfad == quelle) {
        in += '.';
        return;
    }
    const std::size_t anfang = quelle.size() == 3 ? 3 : quelle.size() + 1;
    NamenAusPosixAn(std::string_view(pfad).substr(anfang), in);
}

std::string RelativZurQuelle(const Pfad& quelle, const Pfad& pfad) {
    std::string relativ;
    RelativZurQuelleIn(quelle, pfad, relativ);
    return relativ;
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
    for (auto it = namen.rbegin(); it != namen.rend() && !leser_; ++it) {
        auto leser = LiesBestandsleser(zugriff, ziel, *it);
        if (leser && GleicheQuelle(leser->Kopf(), quelle, posix)) {
            leser_ = std::move(leser);
            ordner_ = *it;
        }
    }
}

void Zielindex::Neu() {
    // The index takes each entry as it is read, checked field by field; the checksum was checked over the whole
    // file when it was opened, and its second reading would only tell at the end of the walk.
    if (leser_)
        leser_->VonVorn(false);
    eintrag_ = nullptr;
    begonnen_ = false;
    zuletzt_.clear();
    beantwortet_ = false;
    gefunden_ = nullptr;
}

bool Zielindex::Haelt(const Pfad& pfad, const Eintragsstand& jetzt) {
    beantwortet_ = false;
    gefunden_ = nullptr;
    if (!leser_)
        return false;
    // Into the buffer of the question before, so that a file asked costs no string of its own.
    RelativZurQuelleIn(quelle_, pfad, frage_);
    const std::string& relativ = frage_;
    // The walk never asks for a file before the one it asked for last; a question that does is answered
    // without moving, so the entries still ahead stay there for the walk.
    if (begonnen_ && Wegordnung(relativ, false, zuletzt_, false) <= 0)
        return false;
    if (!begonnen_) {
        eintrag_ = leser_->Naechster();
        begonnen_ = true;
    }
    // Past the entries before this file: those the walk did not meet are no longer in the source.
    int ordnung = 1; // of the entry in hand against this file
    for (; eintrag_ != nullptr; eintrag_ = leser_->Naechster()) {
        ordnung = Wegordnung(eintrag_->Pfad, eintrag_->Art == Eintragsart::Ordner, relativ, false);
        if (ordnung >= 0)
            break;
    }
    zuletzt_.swap(frage_);
    beantwortet_ = true;
    if (eintrag_ == nullptr || ordnung != 0)
        return false;
    gefunden_ = eintrag_;
    const Bestandseintrag& e = *eintrag_;
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
