// Every point complete, and honest when it is not: each target holds every file of the source on its own (a
// deleted backup folder, two disks used in turn, a new empty disk), a change made at any moment after a file
// was marked is caught, and a stopped run leaves a record that says so and the next run completes.
#include "app/Befehlszeile.h"
#include "engine/bestand/Bestandsformat.h"
#include "fs/ablage/Ordnerkarte.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Dateisystemhuelle.h"
#include "tests/Testhilfen.h"
#include "tests/cli/Aufruf.h"
#include "tests/cli/Schnappschuss.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

class Stellbar : public Uhr {
public:
    Datum Date() override { return {2026, 4, 1}; }
    Zeit Time() override { return {10, 0, sekunde}; }
    int sekunde = 0;
};

// A point to check: the target it lies in, its time and what the source held then.
struct Punkt {
    std::string Ziel;
    std::string Stand;
    Schnappschuss Soll;
};

class Vollstaendigkeit : public ::testing::Test {
public:
    Vollstaendigkeit() : laufwerke(TestLaufwerke(temp)) { Leere(); }

    void Leere() {
        fs::remove_all(temp / "C" / "Daten");
        fs::remove_all(temp / "D");
        fs::create_directories(temp / "C" / "Daten");
        fs::create_directories(temp / "D" / "Eins");
        fs::create_directories(temp / "D" / "Zwei");
        uhr.sekunde = 0;
    }
    int Rufe(std::vector<std::string> argumente, Dateisystemfabrik fabrik = {}) {
        return RufeBefehlszeile(argumente, aus, fehler, laufwerke, uhr, temp / "C", std::move(fabrik), &signal);
    }
    // A run into the target ("Eins" or "Zwei") at the next second, through the wrapper `einrichten` prepares;
    // returns the exit status and leaves the point's time in `stand`.
    int Sichere(const std::string& ziel, std::string& stand,
                const std::function<void(Dateisystemhuelle&)>& einrichten = {}) {
        ++uhr.sekunde;
        char text[32];
        std::snprintf(text, sizeof text, "2026-04-01--10-00-%02d", uhr.sekunde);
        stand = text;
        Dateisystemfabrik fabrik;
        if (einrichten)
            fabrik = [&]() -> std::unique_ptr<Dateisystem> {
                auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
                einrichten(*h);
                return h;
            };
        return Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\" + ziel}, fabrik);
    }
    Punkt SichereGanz(const std::string& ziel) {
        Punkt p{ziel, "", Schnappe(Q())};
        EXPECT_EQ(Sichere(ziel, p.Stand), 0) << aus.str() << fehler.str();
        return p;
    }
    fs::path Ordner(const std::string& ziel, const std::string& stand) const {
        return temp / "D" / ziel / ("Sicherung-" + stand);
    }
    int Pruefen(const std::string& ziel, const std::string& stand) {
        return Rufe({"--pruefen", "--ziel", "D:\\" + ziel, "--quelle", "C:\\Daten", "--stand", stand});
    }
    // The point restores exactly what the source held, and the check calls it whole.
    void ErwarteGanz(const Punkt& p) {
        SCOPED_TRACE(p.Ziel + " " + p.Stand);
        EXPECT_EQ(Pruefen(p.Ziel, p.Stand), 0) << fehler.str();
        const fs::path nach = temp / "C" / ("zurueck-" + p.Ziel + "-" + p.Stand);
        EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\" + p.Ziel, "--quelle", "C:\\Daten", "--stand", p.Stand,
                        "--nach", nach.string()}),
                  0)
            << fehler.str();
        EXPECT_EQ(Unterschiede(p.Soll, Schnappe(nach)), "");
        fs::remove_all(nach);
    }
    Bestand Liste(const std::string& ziel, const std::string& stand) {
        std::ifstream f(Ordner(ziel, stand) / "tresor-ix-bestand.txt", std::ios::binary);
        const std::string text(std::istreambuf_iterator<char>(f), {});
        auto gelesen = LiesBestand(text);
        EXPECT_TRUE(std::holds_alternative<Bestand>(gelesen)) << text;
        return std::holds_alternative<Bestand>(gelesen) ? std::get<Bestand>(gelesen) : Bestand{};
    }
    // One run's changes: one file new, one rewritten, the rest as it was.
    void Aendere(int lauf) {
        SchreibeDatei(Q() / ("neu" + std::to_string(lauf) + ".txt"), "neu " + std::to_string(lauf));
        SchreibeDatei(Q() / "sub" / "wechselt.txt", "Fassung " + std::to_string(lauf));
        if (lauf == 0) {
            SchreibeDatei(Q() / "fest.txt", "bleibt immer");
            SchreibeDatei(Q() / "sub" / "tief" / "fest2.txt", "bleibt auch");
        }
    }

    TempOrdner temp;
    Laufwerkstabelle laufwerke;
    Stellbar uhr;
    std::ostringstream aus, fehler;
    volatile std::sig_atomic_t signal = 0;
    fs::path Q() const { return temp / "C" / "Daten"; }
};

// The ways a target comes to lack versions of what the source holds; after each, one run makes the point
// whole, and so it stays.
TEST_F(Vollstaendigkeit, EachTargetIsCompleteOnItsOwnAfterEveryWayOfLosingVersions) {
    struct Fall {
        const char* name;
        std::function<void(Vollstaendigkeit&, std::vector<Punkt>&)> vorher; // what happens before the run
    };
    // Three runs into Eins, then the folder of point k deleted.
    auto geloescht = [](std::size_t k) {
        return [k](Vollstaendigkeit& t, std::vector<Punkt>& punkte) {
            for (int lauf = 0; lauf < 3; ++lauf) {
                t.Aendere(lauf);
                punkte.push_back(t.SichereGanz("Eins"));
            }
            fs::remove_all(t.Ordner("Eins", punkte[k].Stand));
            punkte.clear();
        };
    };
    const std::vector<Fall> faelle = {
        {"first folder deleted", geloescht(0)},
        {"middle folder deleted", geloescht(1)},
        {"newest folder deleted", geloescht(2)},
        {"two targets in turn over five runs",
         [](Vollstaendigkeit& t, std::vector<Punkt>& punkte) {
             for (int lauf = 0; lauf < 4; ++lauf) {
                 t.Aendere(lauf);
                 punkte.push_back(t.SichereGanz(lauf % 2 == 0 ? "Eins" : "Zwei"));
             }
         }},
        // A link replaced while the other target was in use: the run into that one cleared its bit, and this
        // target holds only the link it replaced.
        {"a link replaced while the other target was in use",
         [](Vollstaendigkeit& t, std::vector<Punkt>& punkte) {
             t.Aendere(0);
             fs::create_symlink("fest.txt", t.Q() / "zeiger");
             punkte.push_back(t.SichereGanz("Eins"));
             fs::remove(t.Q() / "zeiger");
             fs::create_symlink("neu0.txt", t.Q() / "zeiger"); // a target of the same length
             punkte.push_back(t.SichereGanz("Zwei"));
         }},
        // A copy gone from the folder the newest record names for it (a hand in the backup, a damaged stick):
        // the next run copies the file again, though its bit is clear and the record holds its state.
        {"a copy removed from the newest backup folder",
         [](Vollstaendigkeit& t, std::vector<Punkt>& punkte) {
             t.Aendere(0);
             punkte.push_back(t.SichereGanz("Eins"));
             ASSERT_TRUE(fs::remove(t.Ordner("Eins", punkte.back().Stand) / "Daten" / "sub" / "tief" / "fest2.txt"));
             punkte.clear();
         }},
        // The same where the folder's map holds no row for the file (a map that could not be written, a folder of
        // more files than it holds): its bit is set for its ctime alone, and the record holds that very state.
        {"a copy removed, of a file beyond its folder's map",
         [](Vollstaendigkeit& t, std::vector<Punkt>& punkte) {
             t.Aendere(0);
             punkte.push_back(t.SichereGanz("Eins"));
             ASSERT_TRUE(fs::remove(t.Ordner("Eins", punkte.back().Stand) / "Daten" / "sub" / "tief" / "fest2.txt"));
             ASSERT_EQ(::removexattr((t.Q() / "sub" / "tief").c_str(), posix::OrdnerkarteName), 0);
             punkte.clear();
         }},
        {"a new empty target after backups elsewhere",
         [](Vollstaendigkeit& t, std::vector<Punkt>& punkte) {
             for (int lauf = 0; lauf < 3; ++lauf) {
                 t.Aendere(lauf);
                 punkte.push_back(t.SichereGanz("Zwei"));
             }
             punkte.clear();
         }},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        Leere();
        std::vector<Punkt> punkte;
        f.vorher(*this, punkte);
        // The run after it: one more change, into Eins (the fifth run of the pair of targets).
        Aendere(7);
        punkte.push_back(SichereGanz("Eins"));
        for (const Punkt& p : punkte)
            ErwarteGanz(p);
        EXPECT_TRUE(Vollstaendig(Liste("Eins", punkte.back().Stand)));
        // And the run after that finds nothing more to back up.
        std::string stand;
        EXPECT_EQ(Sichere("Eins", stand), 0);
        EXPECT_NE(aus.str().find("Keine Dateien zum Sichern gefunden"), std::string::npos) << aus.str();
        EXPECT_FALSE(fs::exists(Ordner("Eins", stand)));
    }
}

// A rewrite that keeps size and times, made right after the file's record was written (the moment a
// windowed record let pass), is caught at once: the run's check of the marked file names it, and the next run
// backs it up, and its point restores the new content.
TEST_F(Vollstaendigkeit, AnEditRightAfterTheRecordIsWrittenIsBackedUpByTheNextRun) {
    struct Fall {
        const char* name;
        bool zeitZurueck; // mtime put back after the rewrite
        bool rechte;      // a change of permission bits only
    };
    const std::vector<Fall> faelle = {
        {"same size, mtime put back", true, false},
        {"only the permission bits", false, true},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        Leere();
        SchreibeDatei(Q() / "behaelter.bin", "AAAAAAAA");
        SchreibeDatei(Q() / "anderes.txt", "x");
        std::string erster;
        ASSERT_EQ(Sichere("Eins", erster,
                          [&](Dateisystemhuelle& h) {
                              h.nachVermerk = [&](const Pfad& pfad) {
                                  if (!pfad.ends_with("behaelter.bin"))
                                      return;
                                  const fs::path p = Q() / "behaelter.bin";
                                  if (f.rechte) {
                                      fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write);
                                      return;
                                  }
                                  struct stat st {};
                                  ASSERT_EQ(::stat(p.c_str(), &st), 0);
                                  SchreibeDatei(p, "BBBBBBBB");
                                  const struct timespec zeiten[2] = {st.st_atim, st.st_mtim};
                                  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), zeiten, 0), 0);
                              };
                          }),
                  1)
            << fehler.str();
        EXPECT_NE((aus.str() + fehler.str()).find("behaelter.bin"), std::string::npos) << aus.str() << fehler.str();
        const Schnappschuss soll = Schnappe(Q());
        std::string zweiter;
        EXPECT_EQ(Sichere("Eins", zweiter), 0) << aus.str() << fehler.str();
        ASSERT_TRUE(fs::exists(Ordner("Eins", zweiter))) << aus.str();
        EXPECT_TRUE(fs::exists(Ordner("Eins", zweiter) / "Daten" / "behaelter.bin"));
        EXPECT_FALSE(fs::exists(Ordner("Eins", zweiter) / "Daten" / "anderes.txt"));
        ErwarteGanz({"Eins", zweiter, soll});
    }
}

// A run stopped at any step leaves a record marked as stopped: the listing and the check say so, the check
// fails, a restore gives what the point holds and names the stop; the next run completes the rest.
TEST_F(Vollstaendigkeit, AStoppedRunIsRecordedAsStoppedAndTheNextRunCompletesIt) {
    struct Fall {
        const char* name;
        std::function<void(Dateisystemhuelle&, volatile std::sig_atomic_t&)> haken;
        bool ordnerBleibt; // the stop came after the backup folder was made
    };
    const std::vector<Fall> faelle = {
        {"during the scan",
         [](Dateisystemhuelle& h, volatile std::sig_atomic_t& s) {
             h.vorher = [&s](const std::string& zeile) {
                 if (zeile.starts_with("Attributes") || zeile.starts_with("GetFile"))
                     s = SIGINT;
             };
         },
         false},
        {"after the first copy",
         [](Dateisystemhuelle& h, volatile std::sig_atomic_t& s) {
             h.nachKopie = [&s](const Datei&, const Pfad&) { s = SIGINT; };
         },
         true},
        {"in the middle of a large copy",
         [](Dateisystemhuelle& h, volatile std::sig_atomic_t& s) {
             h.waehrendKopie = [&s](const Datei&, std::uint64_t kopiert, std::uint64_t) {
                 if (kopiert > 0)
                     s = SIGTERM;
             };
         },
         true},
        {"before the second copy",
         [](Dateisystemhuelle& h, volatile std::sig_atomic_t& s) {
             h.vorher = [&s, kopien = 0](const std::string& zeile) mutable {
                 if (zeile.starts_with("Copy ") && ++kopien == 2)
                     s = SIGTERM;
             };
         },
         true},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        Leere();
        Aendere(0);
        SchreibeDatei(Q() / "gross.bin", std::string(3u << 20, 'g'));
        const Punkt erster = SichereGanz("Eins");
        Aendere(1);
        SchreibeDatei(Q() / "gross.bin", std::string(3u << 20, 'h'));
        signal = 0;
        std::string halt;
        EXPECT_NE(Sichere("Eins", halt, [&](Dateisystemhuelle& h) { f.haken(h, signal); }), 0);
        signal = 0;
        ASSERT_EQ(fs::exists(Ordner("Eins", halt)), f.ordnerBleibt);
        if (f.ordnerBleibt) {
            EXPECT_TRUE(Liste("Eins", halt).Abgebrochen);
            EXPECT_EQ(Pruefen("Eins", halt), 1);
            EXPECT_NE(fehler.str().find("Abgebrochen: "), std::string::npos) << fehler.str();
            EXPECT_EQ(Rufe({"--liste", "--ziel", "D:\\Eins", "--quelle", "C:\\Daten"}), 0);
            EXPECT_NE(aus.str().find(halt + "  C:\\Daten  "), std::string::npos) << aus.str();
            EXPECT_NE(aus.str().find("unvollständig (abgebrochen)\n"), std::string::npos) << aus.str();
            const fs::path nach = temp / "C" / "zurueck-halt";
            EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Eins", "--quelle", "C:\\Daten", "--stand", halt,
                            "--nach", nach.string()}),
                      1);
            EXPECT_NE(fehler.str().find("Abgebrochen: "), std::string::npos) << fehler.str();
            // What the stopped run did not reach comes back as the earlier point held it.
            EXPECT_EQ(LiesDatei(nach / "fest.txt"), "bleibt immer");
            fs::remove_all(nach);
        }
        ErwarteGanz(erster);
        ErwarteGanz(SichereGanz("Eins"));
    }
}

} // namespace
} // namespace tresor::test

namespace tresor::test {
namespace {

// Files of several names come back as one file with those names, as the source had them; a name broken off
// its group since comes back as a file of its own.
TEST_F(Vollstaendigkeit, HardLinksAreRestoredAsHardLinks) {
    struct Fall {
        const char* name;
        bool abgetrennt; // c.txt written anew (a file of its own) before the second run
    };
    for (const Fall& f : std::vector<Fall>{{"one group", false}, {"a name broken off", true}}) {
        SCOPED_TRACE(f.name);
        Leere();
        SchreibeDatei(Q() / "a.txt", "geteilt");
        fs::create_directories(Q() / "sub");
        fs::create_hard_link(Q() / "a.txt", Q() / "b.txt");
        fs::create_hard_link(Q() / "a.txt", Q() / "sub" / "c.txt");
        SchreibeDatei(Q() / "allein.txt", "allein");
        Punkt p = SichereGanz("Eins");
        if (f.abgetrennt) {
            fs::remove(Q() / "sub" / "c.txt");
            SchreibeDatei(Q() / "sub" / "c.txt", "eigen");
            p = SichereGanz("Eins");
        }
        ErwarteGanz(p);
        const fs::path nach = temp / "C" / "zurueck";
        ASSERT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Eins", "--quelle", "C:\\Daten", "--stand", p.Stand,
                        "--nach", nach.string()}),
                  0)
            << fehler.str();
        struct stat a {
        }, b{}, c{}, allein{};
        ASSERT_EQ(::lstat((nach / "a.txt").c_str(), &a), 0);
        ASSERT_EQ(::lstat((nach / "b.txt").c_str(), &b), 0);
        ASSERT_EQ(::lstat((nach / "sub" / "c.txt").c_str(), &c), 0);
        ASSERT_EQ(::lstat((nach / "allein.txt").c_str(), &allein), 0);
        EXPECT_EQ(a.st_ino, b.st_ino);
        EXPECT_EQ(a.st_ino == c.st_ino, !f.abgetrennt);
        EXPECT_EQ(a.st_nlink, f.abgetrennt ? 2u : 3u);
        EXPECT_EQ(allein.st_nlink, 1u);
        EXPECT_EQ(LiesDatei(nach / "sub" / "c.txt"), f.abgetrennt ? "eigen" : "geteilt");
        fs::remove_all(nach);
    }
}

// A file system mounted inside the source is not entered, and never left out silently: the run's output,
// the record, the listing, the check and the restore name it.
TEST_F(Vollstaendigkeit, AMountInsideTheSourceIsNamedEverywhere) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "Einhängen braucht root";
    SchreibeDatei(Q() / "a.txt", "a");
    fs::create_directories(Q() / "m");
    const std::string punkt = (Q() / "m").string();
    if (std::system(("mount -t tmpfs -o size=1m tresor-test '" + punkt + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "tmpfs lässt sich nicht einhängen";
    SchreibeDatei(Q() / "m" / "drin.txt", "auf dem anderen Dateisystem");
    std::string stand;
    const int status = Sichere("Eins", stand);
    const std::string ausgabe = fehler.str();
    EXPECT_EQ(std::system(("umount '" + punkt + "'").c_str()), 0);
    EXPECT_EQ(status, 0) << ausgabe;
    EXPECT_NE(ausgabe.find("Nicht gesichert: " + (Q() / "m").string() +
                           " (anderes Dateisystem eingehängt, nicht durchsucht)\n"),
              std::string::npos)
        << ausgabe;
    EXPECT_FALSE(fs::exists(Ordner("Eins", stand) / "Daten" / "m" / "drin.txt"));
    EXPECT_EQ(Liste("Eins", stand).Einhaengepunkte, std::vector<std::string>{"m"});
    EXPECT_EQ(Rufe({"--liste", "--ziel", "D:\\Eins", "--quelle", "C:\\Daten"}), 0);
    EXPECT_NE(aus.str().find("unvollständig (1 fehlen)\n"), std::string::npos) << aus.str();
    const std::string genannt = "Nicht gesichert: m: anderes Dateisystem eingehängt, nicht durchsucht\n";
    EXPECT_EQ(Pruefen("Eins", stand), 1);
    EXPECT_NE(fehler.str().find(genannt), std::string::npos) << fehler.str();
    const fs::path nach = temp / "C" / "zurueck";
    EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Eins", "--quelle", "C:\\Daten", "--stand", stand, "--nach",
                    nach.string()}),
              1);
    EXPECT_NE(fehler.str().find(genannt), std::string::npos) << fehler.str();
    EXPECT_EQ(LiesDatei(nach / "a.txt"), "a");
    EXPECT_TRUE(fs::is_directory(nach / "m"));
}

} // namespace
} // namespace tresor::test
