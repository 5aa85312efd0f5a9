#pragma once

#include "fs/Dateisystem.h"
#include "fs/Laufwerkstabelle.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tresor {

// What a dry run found: the folders a real run would create and the files it would copy, in the order
// the run meets them.
struct Probeergebnis {
    std::vector<Pfad> Ordner;
    std::vector<Pfad> Dateien; // source paths
    std::uint64_t Bytes = 0;
};

// A file-system object for a dry run: it reads the source as the real one does but creates, copies and
// changes nothing. Folders it would create and copies it would make are remembered, so that the run's
// later lookups find them as they would find the real ones.
class Probedateisystem final : public Dateisystem {
public:
    Probedateisystem(std::unique_ptr<Dateisystem> innen, Laufwerkstabelle laufwerke, Probeergebnis& ergebnis);

    Ordner GetFolder(const Pfad& pfad) override { return innen_->GetFolder(pfad); }
    std::vector<Ordner> SubFolders(const Ordner& ordner) override { return innen_->SubFolders(ordner); }
    Ordnerdateien Files(const Ordner& ordner) override { return innen_->Files(ordner); }
    void VorausSchauen() override { innen_->VorausSchauen(); }
    Datei GetFile(const Pfad& pfad) override { return innen_->GetFile(pfad); }
    int Attributes(const Datei& datei) override;
    bool ArchivGesetzt(const Datei& datei) override;
    std::optional<Datei> DateiZuSichern(const Pfad& pfad, Eintragsstand* gesehen) override;
    Quellstand Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt = {}) override;
    std::string Dir(const Pfad& pfad, int maske) override;
    void MakeDir(const Pfad& pfad, Anlage anlage) override;
    Quellstand SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) override;
    void Sync(const Pfad&) override {}
    void OrdnerAbschliessen(const Pfad&, const Pfad&) override {}
    void Ausschliessen(const Pfad&) override {}
    // The dry run makes no copy that could meet another, and clears no bit whose record must be written.
    bool GrossKleinBlind(const Pfad&) override { return false; }
    // As the real run's file-system object would answer for the target, asked without a write.
    bool NurWindowsNamen(const Pfad& ordner) override;
    void Festschreiben() override {}

private:
    std::unique_ptr<Dateisystem> innen_;
    Laufwerkstabelle laufwerke_;
    Probeergebnis& ergebnis_;
    std::set<Pfad> angelegt_;  // folders and copies the dry run pretends to have made
    std::set<Pfad> geloescht_; // sources whose archive bit the dry run pretends to have cleared
};

} // namespace tresor
