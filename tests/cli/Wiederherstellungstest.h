#pragma once

// A source and a target on the real disk with a clock that steps one second per backup run, for the tests
// that bring backups back through the command line and the engine.
#include "app/Befehlszeile.h"
#include "engine/bestand/Bestandsformat.h"
#include "fs/posix/PosixDateisystem.h"
#include "fs/system/Inhaltssumme.h"
#include "tests/Dateisystemhuelle.h"
#include "tests/Testhilfen.h"
#include "tests/cli/Aufruf.h"
#include "tests/cli/Schnappschuss.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace tresor::test {

namespace fs = std::filesystem;

class Stellbar : public Uhr {
public:
    Datum Date() override { return {2026, 3, 14}; }
    Zeit Time() override { return {9, 0, sekunde}; }
    int sekunde = 0;
};

inline void Schreibe(const fs::path& p, std::string_view inhalt) {
    SchreibeDatei(p, inhalt);
}

// Writes `bytes` into the file at `stelle`, in place.
inline void Ueberschreibe(const fs::path& datei, std::streamoff stelle, std::string_view bytes) {
    std::fstream f(datei, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(stelle);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string SummeVon(const fs::path& datei) {
    const std::string inhalt = LiesDatei(datei);
    Summierer s;
    s.Dazu(inhalt.data(), inhalt.size());
    return InhaltssummeText(s.Summe());
}

// The record of the backup folder `sicherung` (of C:\Daten) written anew: each file with the checksum of its copy
// as it is now, or in form 3, without checksums.
inline void MitSummen(const fs::path& sicherung, bool form3) {
    const fs::path datei = sicherung / "tresor-ix-bestand.txt";
    std::istringstream ein(LiesDatei(datei));
    std::string text;
    std::size_t zeilen = 0;
    for (std::string z; std::getline(ein, z) && !z.starts_with("ende ");) {
        std::vector<std::string> f;
        for (std::size_t anfang = 0, ende = 0; ende != std::string::npos; anfang = ende + 1)
            f.push_back(z.substr(anfang, (ende = z.find(' ', anfang)) - anfang));
        if (form3 && zeilen == 0)
            f[1] = "3";
        // An entry: kind, place, size, time, bits, owner, group, inode, ctime, link group, checksum, path.
        if ((f[0] == "O" || f[0] == "D" || f[0] == "V") && form3)
            f.erase(f.begin() + 10);
        else if (f[0] == "D" && f[1] != "fehlt")
            f[10] = SummeVon(sicherung.parent_path() / f[1] / "Daten" / Demaskiere(f[11]).value());
        for (std::size_t i = 0; i < f.size(); ++i)
            text += (i == 0 ? "" : " ") + f[i];
        text += "\n";
        ++zeilen;
    }
    char pruef[17];
    std::snprintf(pruef, sizeof pruef, "%016llx", static_cast<unsigned long long>(Fnv1a(text)));
    fs::permissions(datei, fs::perms::owner_write, fs::perm_options::add);
    SchreibeDatei(datei, text + "ende " + std::to_string(zeilen - 5) + " " + pruef + "\n");
}

class Wiederherstellungstest : public ::testing::Test {
protected:
    Wiederherstellungstest() : laufwerke(TestLaufwerke(temp)) { fs::create_directories(temp / "D" / "Backup"); }

    int Rufe(std::vector<std::string> argumente, Dateisystemfabrik fabrik = {}) {
        return RufeBefehlszeile(argumente, aus, fehler, laufwerke, uhr, temp / "C", std::move(fabrik));
    }
    // A backup run of the source at the next second; returns the time of its backup folder.
    std::string Sichere() {
        ++uhr.sekunde;
        EXPECT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}), 0) << aus.str() << fehler.str();
        char stand[32];
        std::snprintf(stand, sizeof stand, "2026-03-14--09-00-%02d", uhr.sekunde);
        EXPECT_TRUE(fs::is_directory(Sicherungsordner(stand))) << stand;
        return stand;
    }
    // A backup run at the next second through the wrapper, which `einrichten` prepares; returns the exit status.
    int SichereMit(const std::function<void(Dateisystemhuelle&)>& einrichten) {
        ++uhr.sekunde;
        return Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, [&]() -> std::unique_ptr<Dateisystem> {
            auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
            einrichten(*h);
            return h;
        });
    }
    fs::path Sicherungsordner(const std::string& stand) const { return temp / "D" / "Backup" / ("Sicherung-" + stand); }
    int Wiederherstellen(const std::string& stand, const fs::path& nach) {
        return Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", stand, "--nach",
                     nach.string()});
    }
    int Pruefen(const std::string& stand) {
        return Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", stand});
    }

    TempOrdner temp;
    Laufwerkstabelle laufwerke;
    Stellbar uhr;
    std::ostringstream aus, fehler;
    fs::path Q() const { return temp / "C" / "Daten"; }
};

// Three points of one source: a.txt changes, sub/tief goes, sub/c.txt and d.txt come; zeiger links to a.txt.
class Kettentest : public Wiederherstellungstest {
protected:
    void Kette() {
        Schreibe(Q() / "a.txt", "eins");
        Schreibe(Q() / "sub" / "b.txt", "bbb");
        Schreibe(Q() / "sub" / "tief" / "t.txt", "tief");
        fs::create_symlink("a.txt", Q() / "zeiger");
        Punkt();
        Schreibe(Q() / "a.txt", "zwei, länger");
        Schreibe(Q() / "sub" / "c.txt", "ccc");
        fs::remove_all(Q() / "sub" / "tief");
        Punkt();
        Schreibe(Q() / "d.txt", "d");
        Punkt();
    }
    // A backup run; its time and the source as it was then.
    void Punkt() {
        staende.push_back(Sichere());
        schnappschuesse.push_back(Schnappe(Q()));
    }

    std::vector<std::string> staende;
    std::vector<Schnappschuss> schnappschuesse;
};

} // namespace tresor::test
