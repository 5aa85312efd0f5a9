#include "tests/Dateisystemhuelle.h"

namespace tresor::test {

Dateisystemhuelle::Dateisystemhuelle(std::unique_ptr<Dateisystem> innen, std::vector<std::string>* protokoll)
    : innen_(std::move(innen)), protokoll_(protokoll) {}

void Dateisystemhuelle::Notiere(const std::string& zeile) {
    if (protokoll_ != nullptr)
        protokoll_->push_back(zeile);
    if (vorher)
        vorher(zeile);
}

Ordner Dateisystemhuelle::GetFolder(const Pfad& pfad) {
    Notiere("GetFolder " + pfad);
    return innen_->GetFolder(pfad);
}

std::vector<Ordner> Dateisystemhuelle::SubFolders(const Ordner& ordner) {
    Notiere("SubFolders " + ordner.Path);
    return innen_->SubFolders(ordner);
}

Ordnerdateien Dateisystemhuelle::Files(const Ordner& ordner) {
    Notiere("Files " + ordner.Path);
    return innen_->Files(ordner);
}

Datei Dateisystemhuelle::GetFile(const Pfad& pfad) {
    Notiere("GetFile " + pfad);
    return innen_->GetFile(pfad);
}

int Dateisystemhuelle::Attributes(const Datei& datei) {
    Notiere("Attributes " + datei.Path);
    const int wert = innen_->Attributes(datei);
    return attributfilter ? attributfilter(datei, wert) : wert;
}

bool Dateisystemhuelle::ArchivGesetzt(const Datei& datei) {
    Notiere("Attributes " + datei.Path);
    if (attributfilter)
        return attributfilter(datei, innen_->Attributes(datei)) >= 32;
    return innen_->ArchivGesetzt(datei);
}

std::optional<Datei> Dateisystemhuelle::DateiZuSichern(const Pfad& pfad, Eintragsstand* gesehen) {
    Notiere("GetFile " + pfad);
    Notiere("Attributes " + pfad);
    if (attributfilter) {
        Datei datei = innen_->GetFile(pfad);
        if (attributfilter(datei, innen_->Attributes(datei)) < 32)
            return std::nullopt;
        return datei;
    }
    return innen_->DateiZuSichern(pfad, gesehen);
}

Quellstand Dateisystemhuelle::Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt) {
    Notiere("Copy " + datei.Path + " " + ziel);
    Kopierfortschritt weiter = fortschritt;
    if (waehrendKopie)
        weiter = [this, &datei, &fortschritt](std::uint64_t kopiert, std::uint64_t groesse) {
            waehrendKopie(datei, kopiert, groesse);
            if (fortschritt)
                fortschritt(kopiert, groesse);
        };
    Quellstand stand = innen_->Copy(datei, ziel, weiter);
    if (nachKopie)
        nachKopie(datei, ziel);
    return stand;
}

std::string Dateisystemhuelle::Dir(const Pfad& pfad, int maske) {
    Notiere("Dir " + pfad + " " + std::to_string(maske));
    return innen_->Dir(pfad, maske);
}

std::vector<std::string> Dateisystemhuelle::DirJeMaske(const Pfad& pfad, std::span<const int> masken) {
    for (const int maske : masken)
        Notiere("Dir " + pfad + " " + std::to_string(maske));
    return innen_->DirJeMaske(pfad, masken);
}

void Dateisystemhuelle::MakeDir(const Pfad& pfad, Anlage anlage) {
    Notiere("MakeDir " + pfad);
    innen_->MakeDir(pfad, anlage);
}

Quellstand Dateisystemhuelle::SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) {
    Notiere("SetFileAttr " + pfad + " " + std::to_string(wert));
    const Quellstand danach = innen_->SetFileAttr(pfad, wert, stand);
    if (nachVermerk)
        nachVermerk(pfad);
    return danach;
}

void Dateisystemhuelle::Sync(const Pfad& pfad) {
    Notiere("Sync " + pfad);
    innen_->Sync(pfad);
}

void Dateisystemhuelle::OrdnerAbschliessen(const Pfad& quelle, const Pfad& ziel) {
    Notiere("OrdnerAbschliessen " + quelle + " " + ziel);
    innen_->OrdnerAbschliessen(quelle, ziel);
}

void Dateisystemhuelle::Ausschliessen(const Pfad& ordner) {
    Notiere("Ausschliessen " + ordner);
    innen_->Ausschliessen(ordner);
}

std::optional<Eintragsstand> Dateisystemhuelle::Stand(const Pfad& pfad) {
    Notiere("Stand " + pfad);
    return innen_->Stand(pfad);
}

void Dateisystemhuelle::SetzeStand(const Pfad& pfad, const Eintragsstand& stand, bool besitzer) {
    Notiere("SetzeStand " + pfad);
    innen_->SetzeStand(pfad, stand, besitzer);
}

void Dateisystemhuelle::Entferne(const Pfad& pfad) {
    Notiere("Entferne " + pfad);
    innen_->Entferne(pfad);
}

void Dateisystemhuelle::Verknuepfe(const Pfad& vorhanden, const Pfad& neu) {
    Notiere("Verknuepfe " + vorhanden + " " + neu);
    innen_->Verknuepfe(vorhanden, neu);
}

} // namespace tresor::test
