// Crash consistency: real backup runs of a generated tree through the command line, killed with SIGKILL at
// 30 moments spread over a whole run. After each kill nothing may be lost, the killed run's record of the source
// is whole or none a reader takes (its temporary file is never read), and the runs after it back up what was
// left.
//
// The size of the tree: TRESOR_ABSTURZ_UMFANG=voll gives 3,000 files and three files of 20, 35 and 50 MiB;
// otherwise (the everyday test command) 1,200 files and one of 20 MiB.

#include "engine/bestand/Sicherungsfolge.h"
#include "fs/posix/Eintragszugriff.h"
#include "tests/Testhilfen.h"
#include "tests/zuverlaessigkeit/Bestand.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;
using Uhrzeit = std::chrono::steady_clock;

// The archive record of a file as it stands ("" when there is none).
std::string Vermerk(const std::string& datei) {
    char wert[256];
    const ssize_t n = ::getxattr(datei.c_str(), "user.tresor-ix.archiv", wert, sizeof wert);
    return n < 0 ? std::string() : std::string(wert, static_cast<std::size_t>(n));
}

// The number of the system call the process is in, from /proc/PID/syscall; -1 when it runs in user space
// or cannot be read.
long Systemaufruf(pid_t pid) {
    std::ifstream ein("/proc/" + std::to_string(pid) + "/syscall");
    long nummer = -1;
    if (!(ein >> nummer))
        return -1;
    return nummer;
}

struct Umfang {
    int Dateien;
    std::vector<int> GrosseMiB;
};

Umfang GewaehlterUmfang() {
    const char* u = std::getenv("TRESOR_ABSTURZ_UMFANG");
    if (u != nullptr && std::string(u) == "voll")
        return {3000, {20, 35, 50}};
    return {1200, {20}};
}

class Absturztest : public ::testing::Test {
protected:
    Absturztest() : programm(temp.Pfad()) {
        fs::create_directories(quelle);
        fs::create_directories(ziel);
    }

    std::string Zufallsinhalt(std::size_t groesse) {
        std::string s(groesse, '\0');
        for (std::size_t i = 0; i < groesse; i += 8) {
            const std::uint64_t z = zufall();
            std::memcpy(s.data() + i, &z, std::min<std::size_t>(8, groesse - i));
        }
        return s;
    }

    void Schreibe(const std::string& rel, const std::string& inhalt) {
        SchreibeDatei(quelle / rel, inhalt);
        stand[rel] = InhaltAus(inhalt);
    }

    // The tree: folders up to three levels deep, small files of varied sizes, some empty, and the large files.
    void ErzeugeBaum(const Umfang& umfang) {
        std::uniform_int_distribution<int> groesse(0, 16 * 1024);
        for (int i = 0; i < umfang.Dateien; ++i) {
            const int ordner = i % 60;
            std::string rel = "o" + std::to_string(ordner);
            if (ordner % 3 == 1)
                rel += "/u" + std::to_string(i % 7);
            if (ordner % 9 == 2)
                rel += "/v/w";
            rel += "/d" + std::to_string(i) + ".bin";
            const std::size_t n = i % 97 == 0   ? 0
                                  : i % 50 == 0 ? 300 * 1024
                                                : static_cast<std::size_t>(groesse(zufall));
            Schreibe(rel, Zufallsinhalt(n));
            kleine.push_back(rel);
        }
        for (std::size_t i = 0; i < umfang.GrosseMiB.size(); ++i) {
            const std::string rel = "gross/g" + std::to_string(i) + ".bin";
            Schreibe(rel, Zufallsinhalt(static_cast<std::size_t>(umfang.GrosseMiB[i]) << 20));
            grosse.push_back(rel);
        }
    }

    // Between runs the test changes the source: every file is touched (so every file is to be backed up
    // again), a tenth of the small files gets new content, and one large file a changed mebibyte.
    void AendereQuelle(int runde) {
        for (const auto& [rel, inhalt] : stand) {
            const timespec zeiten[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
            ASSERT_EQ(::utimensat(AT_FDCWD, (quelle / rel).c_str(), zeiten, 0), 0) << rel;
        }
        std::uniform_int_distribution<std::size_t> wahl(0, kleine.size() - 1);
        for (std::size_t i = 0; i < kleine.size() / 10; ++i) {
            const std::string& rel = kleine[wahl(zufall)];
            Schreibe(rel, Zufallsinhalt(static_cast<std::size_t>(zufall() % (20 * 1024))));
        }
        const std::string& gross = grosse[static_cast<std::size_t>(runde) % grosse.size()];
        std::string inhalt = LiesDatei(quelle / gross);
        const std::size_t stelle = static_cast<std::size_t>(zufall() % (inhalt.size() - (1 << 20)));
        const std::string neu = Zufallsinhalt(1 << 20);
        std::copy(neu.begin(), neu.end(), inhalt.begin() + static_cast<std::ptrdiff_t>(stelle));
        Schreibe(gross, inhalt);
    }

    std::set<std::string> Sicherungsordner() const {
        std::set<std::string> namen;
        for (const auto& e : fs::directory_iterator(ziel))
            namen.insert(e.path().filename().string());
        return namen;
    }

    // The backup folder that the last run created, recorded with the state of the source it read.
    std::string NeuerOrdner(const std::set<std::string>& vorher) {
        for (const auto& n : Sicherungsordner())
            if (!vorher.contains(n)) {
                fassungVon[n] = fassungen.size() - 1;
                return n;
            }
        return {};
    }

    // How the record of the backup folder `ordner` is found by the readers of a listing, a check and a restore.
    Bestandsfund Bestandsliste(const std::string& ordner) const {
        const Laufwerkstabelle tabelle = Laufwerkstabelle::AusMountTabelle();
        const auto zielPfad = tabelle.AusPosix(ziel.string());
        if (!zielPfad) {
            ADD_FAILURE() << "kein Laufwerk für " << ziel;
            return {};
        }
        Eintragszugriff zugriff(tabelle);
        return LiesBestandsfund(zugriff, *zielPfad, ordner);
    }

    Verluste Pruefe(bool restErlaubt) {
        std::vector<Sicherungsstand> staende;
        for (const auto& [name, fassung] : fassungVon) {
            const auto& f = fassungen[fassung];
            staende.push_back({(ziel / name / spiegel).string(), [&f](const std::string& rel) -> std::optional<Inhalt> {
                                   const auto it = f.find(rel);
                                   return it == f.end() ? std::nullopt : std::optional<Inhalt>(it->second);
                               }});
        }
        return PruefeSicherungen(quelle.string(), staende, restErlaubt);
    }

    std::size_t NochZuSichern() const {
        std::size_t n = 0;
        for (const auto& [rel, inhalt] : stand)
            n += ArchivGesetzt((quelle / rel).string());
        return n;
    }

    std::size_t KopienIn(const std::string& ordner) const {
        std::size_t n = 0;
        for (const auto& [rel, inhalt] : Bestand((ziel / ordner / spiegel).string()))
            n += !rel.ends_with(".tmp");
        return n;
    }

    // Kills `anzahl` runs of a tree of the given size and checks after each that nothing was lost.
    void Abbrueche(const Umfang& umfang, int anzahl);

    TempOrdner temp;
    bool aufStick = false; // the source lies on a stick without attributes (records in the state file)
    fs::path quelle = temp / "quelle";
    fs::path ziel = temp / "ziel";
    // The mirror of the source below a backup folder: the source path without its leading slash.
    fs::path spiegel = quelle.relative_path();
    Programm programm;
    std::mt19937_64 zufall{20020207};
    std::map<std::string, Inhalt> stand; // the source as it is now
    std::vector<std::string> kleine, grosse;
    std::vector<std::map<std::string, Inhalt>> fassungen; // the source as each run read it
    std::map<std::string, std::size_t> fassungVon;        // backup folder -> the state its run read
};

TEST_F(Absturztest, ThirtyKillsLoseNothingAndTheNextRunsBackUpWhatWasLeft) {
    Abbrueche(GewaehlterUmfang(), 30);
}

// The same on an exFAT stick mounted through FUSE, which keeps no attributes of any kind: the records live
// in the state file, which a kill must never leave saying more than the backups hold. The stick stamps whole
// seconds, and every round changes the tree right after the run before it: a file backed up and changed
// again within one second shows the same times both times, which no record may take for backed up.
TEST_F(Absturztest, KillsWhileBackingUpAnExfatStickLoseNothing) {
    Medium stick(temp / "stick.img", temp / "stick", Medienart::Exfat, 96);
    if (!stick.Einhaengen())
        GTEST_SKIP() << stick.Grund();
    ::setenv("XDG_STATE_HOME", (temp / "zustand").c_str(), 1);
    quelle = stick.Punkt() / "quelle";
    fs::create_directories(quelle);
    spiegel = "quelle"; // the stick is a drive of its own: its folders are mirrored from its root
    aufStick = true;
    Abbrueche(Umfang{250, {8}}, 8);
    ::unsetenv("XDG_STATE_HOME");
}

void Absturztest::Abbrueche(const Umfang& umfang, const int anzahl) {
    ErzeugeBaum(umfang);

    // A first, complete run measures how long a full run takes; every later round backs up the whole tree.
    fassungen.push_back(stand);
    auto vorher = Sicherungsordner();
    const auto anfang = Uhrzeit::now();
    const Programmende erste = programm.Sichere(quelle.string(), ziel.string());
    auto dauer = Uhrzeit::now() - anfang;
    ASSERT_EQ(erste.Status, 0) << erste.Fehler;
    ASSERT_FALSE(NeuerOrdner(vorher).empty());
    ASSERT_EQ(NochZuSichern(), 0u);
    std::cout << "Dateien: " << stand.size()
              << ", ganzer Lauf: " << std::chrono::duration_cast<std::chrono::milliseconds>(dauer).count() << " ms\n";

    std::map<std::string, int> phasen;
    std::map<std::string, int> bestandslisten; // what the killed runs left of their records: whole, or none
    long verloren = 0;
    int ueberstanden = 0;
    int getoetet = 0;
    int versuche = 0;
    bool sauber = true;
    while (getoetet < anzahl && versuche < 3 * anzahl) {
        ++versuche;
        AendereQuelle(versuche);
        fassungen.push_back(stand);
        // The first kill comes right at the start, the second as soon as the backup folder appears, the third
        // as soon as the first archive bit is cleared; the others at moments spread evenly over a whole run,
        // up to its last steps.
        const double anteil = (getoetet - 3 + 0.5) / (anzahl - 3);
        const std::string ersteDatei = (quelle / grosse.front()).string(); // the first in the walk
        const auto alterVermerk = Vermerk(ersteDatei);
        const auto warten = std::chrono::duration_cast<std::chrono::microseconds>(dauer * anteil);

        vorher = Sicherungsordner();
        const std::set<std::string> alteOrdner = vorher;
        const auto start = Uhrzeit::now();
        const pid_t pid = programm.Starte(quelle.string(), ziel.string());
        ASSERT_GT(pid, 0);
        if (getoetet == 1) {
            while (Sicherungsordner().size() == alteOrdner.size() && Uhrzeit::now() - start < 4 * dauer)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else if (getoetet == 2) {
            while ((aufStick ? ArchivGesetzt(ersteDatei) : Vermerk(ersteDatei) == alterVermerk) &&
                   Uhrzeit::now() - start < 4 * dauer)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else if (getoetet > 2) {
            std::this_thread::sleep_for(warten);
        }
        // What the process was doing at that moment: a flush of the target is the system call syncfs.
        const bool imSync = Systemaufruf(pid) == SYS_syncfs;
        bool kill = false;
        const Programmende ende = programm.Warte(pid, true, &kill);
        const std::string ordner = NeuerOrdner(vorher);
        if (!kill) {
            // The run was over before the kill: a complete run, so runs are quicker than measured; the
            // moments move closer together.
            ASSERT_EQ(ende.Status, 0) << ende.Fehler;
            dauer = dauer * 9 / 10;
            continue;
        }
        ++getoetet;

        // Where the run was when it died.
        const std::size_t offen = NochZuSichern();
        std::string phase;
        if (ordner.empty())
            phase = "Start und Prüfung";
        else if (imSync)
            phase = "Sync (syncfs)";
        else if (offen == stand.size())
            phase = KopienIn(ordner) == 0 ? "Ordner anlegen" : "Kopieren";
        else if (offen > 0)
            phase = "Archivbits löschen";
        else
            phase = "Abschluss";
        ++phasen[phase];

        Verluste v = Pruefe(true);
        for (const auto& m : v.Meldungen)
            ADD_FAILURE() << "Abbruch " << getoetet << " (" << phase << "): " << m;
        if (!ordner.empty()) {
            const Bestandsfund fund = Bestandsliste(ordner);
            EXPECT_NE(fund.Zustand, Bestandsfund::Art::Kaputt)
                << "Abbruch " << getoetet << " (" << phase << "): " << fund.Dateiname << ": " << fund.Fehler;
            ++bestandslisten[fund.Zustand == Bestandsfund::Art::Gelesen ? "ganz" : "keine"];
        }

        // Then run again until a run completes; it backs up what was left.
        int status = -1;
        for (int nachlauf = 0; nachlauf < 3 && status != 0; ++nachlauf) {
            vorher = Sicherungsordner();
            const Programmende n = programm.Sichere(quelle.string(), ziel.string());
            status = n.Status;
            EXPECT_EQ(n.Status, 0) << "Nachlauf nach Abbruch " << getoetet << ": " << n.Aus << n.Fehler;
            (void)NeuerOrdner(vorher);
        }
        const Verluste danach = Pruefe(true);
        for (const auto& m : danach.Meldungen)
            ADD_FAILURE() << "nach Abbruch " << getoetet << ": " << m;
        const std::size_t liegengeblieben = NochZuSichern();
        EXPECT_EQ(liegengeblieben, 0u) << "nach Abbruch " << getoetet << " nicht nachgeholt";
        verloren += v.Anzahl + danach.Anzahl;
        const bool gut = v.Anzahl == 0 && danach.Anzahl == 0 && status == 0 && liegengeblieben == 0;
        ueberstanden += gut;
        sauber = sauber && gut;

        // Every file was backed up again in this round, so the folders of earlier rounds hold nothing that
        // the checks still need; removing them keeps the disk use of the test small.
        if (gut)
            for (const auto& alt : alteOrdner) {
                fs::remove_all(ziel / alt);
                fassungVon.erase(alt);
            }
    }

    std::cout << "Abbrüche: " << getoetet << " (Versuche " << versuche << "), überstanden: " << ueberstanden
              << ", verlorene Dateien: " << verloren << "\n";
    for (const auto& [phase, n] : phasen)
        std::cout << "  getroffen in " << phase << ": " << n << "\n";
    for (const auto& [wie, n] : bestandslisten)
        std::cout << "  Bestandsliste des getöteten Laufs " << wie << ": " << n << "\n";
    EXPECT_EQ(getoetet, anzahl);
    EXPECT_EQ(verloren, 0);
    EXPECT_TRUE(sauber);
    Berichte("abbruchversuch", getoetet);
    Berichte("abbruch", ueberstanden);
    Berichte("verlust", verloren);
}

} // namespace
} // namespace tresor::test
