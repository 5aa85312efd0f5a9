#pragma once

#include "engine/sicherung/Sicherung.h"
#include "fs/Attribute.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Dateisystemhuelle.h"
#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tresor::test {

// A message box as the window was asked to show it, with the mouse pointer at that moment.
struct Meldung {
    std::string Prompt;
    int Stil = 0;
    std::optional<std::string> Titel;
    int ZeigerDabei = -1;
};

// Records what the backup run does to the window.
class Testfenster : public Fensterschnittstelle {
public:
    Pfad quellPfad;
    Pfad zielPfad;
    std::string zielOrdner = "Ordner";
    std::vector<int> zeiger;
    std::vector<Meldung> meldungen;
    int refreshs = 0;
    int fortschritte = 0;
    std::vector<tresor::Fortschritt> staende; // every report of progress, when `staendeMerken`
    bool staendeMerken = false;
    std::function<bool()> abbruch; // answers AbbruchVerlangt; never when unset

    Pfad QuellPfadPath() override { return quellPfad; }
    Pfad ZielPfadPath() override { return zielPfad; }
    void SetZielOrdnerText(const std::string& text) override { zielOrdner = text; }
    std::string ZielOrdnerText() override { return zielOrdner; }
    void SetMousePointer(int z) override { zeiger.push_back(z); }
    int MsgBox(const std::string& prompt, int stil, const std::optional<std::string>& titel) override {
        meldungen.push_back({prompt, stil, titel, zeiger.empty() ? -1 : zeiger.back()});
        return vbOK;
    }
    void ZielPfadRefresh() override { ++refreshs; }
    // The files whose check failed, with the reason, in order.
    std::vector<std::pair<Pfad, std::string>> pruefungen;
    void PruefungFehlgeschlagen(const Pfad& datei, const std::string& grund) override {
        pruefungen.emplace_back(datei, grund);
    }
    void Fortschritt(const tresor::Fortschritt& stand) override {
        ++fortschritte;
        if (staendeMerken)
            staende.push_back(stand);
    }
    bool AbbruchVerlangt() override { return abbruch && abbruch(); }
};

// A clock that shows a set moment and records the order of its readings.
class Testuhr : public Uhr {
public:
    Datum datum{2002, 2, 7};
    Zeit zeit{13, 42, 27};
    std::string lesungen;

    Datum Date() override {
        lesungen += 'D';
        return datum;
    }
    Zeit Time() override {
        lesungen += 'T';
        return zeit;
    }
};

// Drives C: and D: on temporary folders, a recording window, a test clock and an engine whose file-system
// objects are wrapped so that tests can watch and interfere.
class Engineumgebung : public ::testing::Test {
protected:
    Engineumgebung()
        : laufwerke(TestLaufwerke(temp)), sicherung(fenster, uhr, [this] {
              auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(
                                                               laufwerke,
                                                               [this](const Pfad& p, int versuch) {
                                                                   if (kopierhaken)
                                                                       kopierhaken(p, versuch);
                                                               },
                                                               {}, {},
                                                               [this](const std::string& name) {
                                                                   if (blickhaken)
                                                                       blickhaken(name);
                                                               },
                                                               einzelflush),
                                                           &protokoll);
              h->vorher = vorher;
              h->nachKopie = nachKopie;
              h->attributfilter = attributfilter;
              h->waehrendKopie = waehrendKopie;
              return std::unique_ptr<Dateisystem>(std::move(h));
          }) {}

    // The POSIX path of a path in program form.
    std::filesystem::path Posix(const Pfad& pfad) const { return *laufwerke.ZuPosix(pfad); }
    // A file system object for the test's own reads and writes of attribute values.
    std::unique_ptr<Dateisystem> Fs() const { return ErzeugePosixDateisystem(laufwerke); }
    int Wert(const Pfad& datei) { return Fs()->Attributes(Fs()->GetFile(datei)); }
    void SetzeWert(const Pfad& datei, int wert) { Fs()->SetFileAttr(datei, wert); }
    void Schreibe(const Pfad& datei, std::string_view inhalt) { SchreibeDatei(Posix(datei), inhalt); }
    // Creates the file with the attribute value.
    void Schreibe(const Pfad& datei, std::string_view inhalt, int wert) {
        Schreibe(datei, inhalt);
        SetzeWert(datei, wert);
    }
    bool Existiert(const Pfad& pfad) const {
        std::error_code ec;
        return std::filesystem::exists(std::filesystem::symlink_status(Posix(pfad), ec));
    }
    std::size_t Zaehle(const std::string& anfang) const {
        std::size_t n = 0;
        for (const auto& z : protokoll)
            n += z.rfind(anfang, 0) == 0;
        return n;
    }

    TempOrdner temp;
    Laufwerkstabelle laufwerke;
    Testfenster fenster;
    Testuhr uhr;
    std::vector<std::string> protokoll;
    Dateisystemhuelle::Vorher vorher;
    Dateisystemhuelle::NachKopie nachKopie;
    Dateisystemhuelle::Attributfilter attributfilter;
    // Called inside each copy of a file's content (Kopierhaken).
    Kopierhaken kopierhaken;
    // Called on the other thread after it looked at a file ahead of a walk, before the walk may take that look
    // (Blickhaken); set before the run, it must not change while a walk goes.
    Blickhaken blickhaken;
    // Where set, each copy is flushed by itself through it, as on a network target (Rueckschreibflush).
    Rueckschreibflush einzelflush;
    Dateisystemhuelle::WaehrendKopie waehrendKopie;
    Sicherung sicherung;
};

} // namespace tresor::test
