#pragma once

#include "fs/Dateisystem.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tresor::test {

// Wraps a file-system object: records every operation as a line ("Dir D:\x 16", "MakeDir D:\x") and lets a
// test step in before or after an operation (to fail it, or to change the disk behind the engine's back).
class Dateisystemhuelle : public Dateisystem {
public:
    // Called before each operation with its record line; may throw to make the operation fail.
    using Vorher = std::function<void(const std::string& zeile)>;
    // Called after Copy with the file and the destination.
    using NachKopie = std::function<void(const Datei& datei, const Pfad& ziel)>;
    // May replace the attribute value that Attributes reports.
    using Attributfilter = std::function<int(const Datei& datei, int wert)>;
    // Called at every report of progress from inside Copy, before the caller hears of it: to slow each piece
    // of a copy down, or to act in the middle of one. May throw like the caller's own callback.
    using WaehrendKopie = std::function<void(const Datei& datei, std::uint64_t kopiert, std::uint64_t groesse)>;
    // Called after SetFileAttr has written the file's record and read its state back: a change made here is
    // one made right after the file was marked as backed up.
    using NachVermerk = std::function<void(const Pfad& pfad)>;

    Dateisystemhuelle(std::unique_ptr<Dateisystem> innen, std::vector<std::string>* protokoll);

    Vorher vorher;
    NachKopie nachKopie;
    Attributfilter attributfilter;
    WaehrendKopie waehrendKopie;
    NachVermerk nachVermerk;

    Ordner GetFolder(const Pfad& pfad) override;
    std::vector<Ordner> SubFolders(const Ordner& ordner) override;
    Ordnerdateien Files(const Ordner& ordner) override;
    Datei GetFile(const Pfad& pfad) override;
    int Attributes(const Datei& datei) override;
    // Recorded as "Attributes <path>", the same lookup; the attribute filter applies to it as well.
    bool ArchivGesetzt(const Datei& datei) override;
    // Recorded as "GetFile <path>" and "Attributes <path>", the two lookups it stands for.
    std::optional<Datei> DateiZuSichern(const Pfad& pfad, Eintragsstand* gesehen) override;
    Quellstand Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt = {}) override;
    std::string Dir(const Pfad& pfad, int maske) override;
    // Recorded as one "Dir <path> <mask>" line per mask, all before the one look of the object inside.
    std::vector<std::string> DirJeMaske(const Pfad& pfad, std::span<const int> masken) override;
    void MakeDir(const Pfad& pfad, Anlage anlage) override;
    Quellstand SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) override;
    // ArchivbitLoeschen is the general way of Dateisystem, through the two operations above (recorded, filtered
    // and hooked as they are), never the one look of the object inside.
    void Sync(const Pfad& pfad) override;
    void OrdnerAbschliessen(const Pfad& quelle, const Pfad& ziel) override;
    void Ausschliessen(const Pfad& ordner) override;
    // Passed on without a record line: they neither read nor change what the engine sees.
    bool GrossKleinBlind(const Pfad& ordner) override { return innen_->GrossKleinBlind(ordner); }
    bool NurWindowsNamen(const Pfad& ordner) override { return innen_->NurWindowsNamen(ordner); }
    std::optional<bool> NurWindowsNamenBekannt(const Pfad& ordner) override {
        return innen_->NurWindowsNamenBekannt(ordner);
    }
    void Festschreiben() override { innen_->Festschreiben(); }
    void FestschreibenZuletzt() override { innen_->FestschreibenZuletzt(); }
    void KopienVergessen() override { innen_->KopienVergessen(); }
    void QuellordnerHalten() override { innen_->QuellordnerHalten(); }
    void VorausSchauen() override { innen_->VorausSchauen(); }
    // Mirrors made ahead: passed on, without record lines, only where `vorausAnlegen` is set (else the walk makes
    // each mirror by MakeDir, as the records of the other tests expect). `vorausGenommen` counts the mirrors taken.
    bool vorausAnlegen = false;
    int vorausGenommen = 0;
    void OrdnerVoraus(const Pfad& ordner, std::span<const std::string> namen) override {
        if (vorausAnlegen)
            innen_->OrdnerVoraus(ordner, namen);
    }
    bool VorausAngelegt(const Pfad& pfad) override {
        const bool genommen = vorausAnlegen && innen_->VorausAngelegt(pfad);
        vorausGenommen += genommen ? 1 : 0;
        return genommen;
    }
    void VorausVerwerfen(const Pfad& pfad) noexcept override { innen_->VorausVerwerfen(pfad); }
    // Recorded as "Stand <path>", "SetzeStand <path>" and "Entferne <path>".
    std::optional<Eintragsstand> Stand(const Pfad& pfad) override;
    void SetzeStand(const Pfad& pfad, const Eintragsstand& stand, bool besitzer) override;
    void Entferne(const Pfad& pfad) override;
    // Recorded as "Verknuepfe <path> <path>".
    void Verknuepfe(const Pfad& vorhanden, const Pfad& neu) override;

private:
    void Notiere(const std::string& zeile);

    std::unique_ptr<Dateisystem> innen_;
    std::vector<std::string>* protokoll_;
};

} // namespace tresor::test
