#pragma once

#include "app/Befehlszeile.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Dateisystemhuelle.h"
#include "tests/Testhilfen.h"
#include "tests/cli/Aufruf.h"
#include "tests/zuverlaessigkeit/Bestand.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

namespace tresor::test {

// A clock that moves on by one second at every run, so each run gets a backup folder of its own.
class Sekundenuhr : public Uhr {
public:
    Datum Date() override { return {2002, 2, 7}; }
    Zeit Time() override { return {13, 42, sekunde++ % 60}; }
    int sekunde = 0;
};

// Backup runs through the command line on drives C: and D: of a temporary folder, with the source C:\Q and
// the target D:\Z. The file-system objects of the run are wrapped, so a test can make an operation fail or
// change the disk behind the run's back. Each run is recorded with the source as it was when the run
// started, so the checks know what each copy must hold.
class Laufumgebung : public ::testing::Test {
protected:
    Laufumgebung() : laufwerke(TestLaufwerke(temp)) {
        std::filesystem::create_directories(Q());
        std::filesystem::create_directories(Z());
    }

    std::filesystem::path Q() const { return cWurzel_ / "Q"; }
    std::filesystem::path Z() const { return dWurzel_ / "Z"; }

    // Drive D: is the folder `wurzel` from now on (a mounted network share), with the target D:\Z in it.
    void ZielLaufwerk(const std::filesystem::path& wurzel) {
        dWurzel_ = wurzel;
        std::filesystem::create_directories(Z());
        Laufwerke();
    }
    // Drive C: is the folder `wurzel` from now on (a file system of its own), with the source C:\Q in it.
    void QuellLaufwerk(const std::filesystem::path& wurzel) {
        cWurzel_ = wurzel;
        std::filesystem::create_directories(Q());
        Laufwerke();
    }

    // One run; returns its exit status. Standard output and error are in `aus` and `fehler`.
    int Lauf() {
        VorLauf();
        const int status = Rufe({"--quelle", "C:\\Q", "--ziel", "D:\\Z"}, [this] {
            auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke, kopierhaken), &protokoll);
            h->vorher = vorher_;
            h->nachKopie = nachKopie;
            h->waehrendKopie = waehrendKopie;
            return std::unique_ptr<Dateisystem>(std::move(h));
        });
        (void)Nachtragen();
        return status;
    }

    // The command line with any arguments (a restore, a check), through the file-system objects of `fabrik`
    // (plain ones when empty); returns its exit status, with its output in `aus` and `fehler`.
    int Rufe(const std::vector<std::string>& argumente, Dateisystemfabrik fabrik = {}) {
        return RufeBefehlszeile(argumente, aus, fehler, laufwerke, uhr, temp / "C", std::move(fabrik));
    }

    // Notes the source and the backup folders before a run (Lauf does; a test that runs the program itself
    // calls it, then Nachtragen).
    void VorLauf() {
        letzterStand_ = Bestand(Q().string());
        alteOrdner_.clear();
        for (const auto& e : std::filesystem::directory_iterator(Z()))
            alteOrdner_.insert(e.path().filename().string());
    }

    // Records the backup folder of the last run with the source it read; false while the target cannot be
    // listed (a network share whose connection dropped), so that a test calls it again once it can.
    bool Nachtragen() {
        std::error_code f;
        std::filesystem::directory_iterator ordner(Z(), f);
        if (f)
            return false;
        for (const auto& e : ordner)
            if (!alteOrdner_.contains(e.path().filename().string()))
                fassung[e.path().filename().string()] = letzterStand_;
        return true;
    }

    // Checks that nothing is lost (see PruefeSicherungen); a fault never leaves a partial copy behind, not even
    // under a temporary name unless `restErlaubt` (a connection that went before the copy could be removed).
    Verluste Pruefe(bool restErlaubt = false) {
        std::vector<Sicherungsstand> staende;
        for (const auto& [name, f] : fassung)
            staende.push_back({(Z() / name / "Q").string(), [&f](const std::string& rel) -> std::optional<Inhalt> {
                                   const auto it = f.find(rel);
                                   return it == f.end() ? std::nullopt : std::optional<Inhalt>(it->second);
                               }});
        return PruefeSicherungen(Q().string(), staende, restErlaubt);
    }

    bool Archiv(const std::string& rel) { return ArchivGesetzt((Q() / rel).string()); }

    // Sets the hook that runs before each operation of the run with its record line ("Copy C:\Q\a D:\...").
    void Vorher(Dateisystemhuelle::Vorher v) { vorher_ = std::move(v); }

    TempOrdner temp;
    Laufwerkstabelle laufwerke;
    Sekundenuhr uhr;
    std::ostringstream aus, fehler;
    std::vector<std::string> protokoll;
    Dateisystemhuelle::NachKopie nachKopie;
    Dateisystemhuelle::WaehrendKopie waehrendKopie;
    Kopierhaken kopierhaken; // inside each copy of a file's content (PosixDateisystem.h)
    std::map<std::string, std::map<std::string, Inhalt>> fassung; // backup folder -> the source it read

private:
    void Laufwerke() {
        laufwerke = Laufwerkstabelle({Laufwerk{'C', cWurzel_.string(), {}}, Laufwerk{'D', dWurzel_.string(), {}}});
    }

    Dateisystemhuelle::Vorher vorher_;
    std::filesystem::path cWurzel_ = temp / "C";
    std::filesystem::path dWurzel_ = temp / "D";
    std::map<std::string, Inhalt> letzterStand_;
    std::set<std::string> alteOrdner_;
};

} // namespace tresor::test
