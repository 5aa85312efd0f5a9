// Thinning old backups through the command line: on real trees every point that stays restores exactly what
// the source held at its run, the bytes freed are the dry run's figure, a kill at any step leaves every
// point that stays complete and the next thinning finishes, another source's backups are never touched, a
// job thins after its backup, and a hostile target never leads a change outside it.
#include "app/Befehlszeile.h"
#include "engine/ausduennung/Ausduennung.h"
#include "engine/ausduennung/Bestandsaufnahme.h"
#include "engine/bestand/Bestandsformat.h"
#include "fs/posix/PosixDateisystem.h"
#include "fs/posix/Zielbaum.h"
#include "tests/Testhilfen.h"
#include "tests/cli/Aufruf.h"
#include "tests/cli/Schnappschuss.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <numeric>
#include <set>
#include <sstream>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

// A clock set to each run's time.
class Gestellt : public Uhr {
public:
    Datum Date() override { return datum; }
    Zeit Time() override { return zeit; }
    Datum datum;
    Zeit zeit;
};

class Aufraeumtest : public ::testing::Test {
protected:
    Aufraeumtest() : laufwerke(TestLaufwerke(temp)) { fs::create_directories(temp / "D" / "Backup"); }

    int Rufe(const std::vector<std::string>& argumente) {
        return RufeBefehlszeile(argumente, aus, fehler, laufwerke, uhr, temp / "C");
    }
    // A backup run of `quelle` at the time `stand` ("yyyy-mm-dd--hh-mm-ss"); the snapshot of the source then.
    void Sichere(const std::string& stand, const std::string& quelle = "Daten") {
        uhr.datum = {std::stoi(stand.substr(0, 4)), std::stoi(stand.substr(5, 2)), std::stoi(stand.substr(8, 2))};
        uhr.zeit = {std::stoi(stand.substr(12, 2)), std::stoi(stand.substr(15, 2)), std::stoi(stand.substr(18, 2))};
        ASSERT_EQ(Rufe({"--quelle", "C:\\" + quelle, "--ziel", "D:\\Backup"}), 0) << aus.str() << fehler.str();
        ASSERT_TRUE(fs::is_directory(Backup() / ("Sicherung-" + stand))) << stand;
        schnappschuesse[quelle + " " + stand] = Schnappe(temp / "C" / quelle);
    }
    int Aufraeumen(const std::vector<std::string>& regel, bool probe = false, const std::string& quelle = "Daten") {
        std::vector<std::string> a = {"--aufraeumen", "--ziel", "D:\\Backup", "--quelle", "C:\\" + quelle};
        a.insert(a.end(), regel.begin(), regel.end());
        if (probe)
            a.push_back("--probe");
        return Rufe(a);
    }
    // The backup folders in the target, by time.
    std::set<std::string> Staende() const {
        std::set<std::string> s;
        for (const auto& e : fs::directory_iterator(Backup()))
            if (e.path().filename().string().starts_with("Sicherung-"))
                s.insert(e.path().filename().string().substr(10));
        return s;
    }
    // Every point of `staende` is complete and restores exactly the source as it was at its run.
    void PruefeWiederherstellbar(const std::set<std::string>& staende, const std::string& quelle = "Daten") {
        for (const std::string& s : staende) {
            SCOPED_TRACE("point " + s);
            EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\" + quelle, "--stand", s}), 0)
                << aus.str() << fehler.str();
            const fs::path nach = temp / "C" / ("zurueck-" + std::to_string(++wiederhergestellt));
            ASSERT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\" + quelle, "--stand", s,
                            "--nach", nach.string()}),
                      0)
                << aus.str() << fehler.str();
            EXPECT_EQ(Unterschiede(schnappschuesse.at(quelle + " " + s), Schnappe(nach)), "");
            fs::remove_all(nach);
        }
    }
    // Every file's entry in the records of `staende` names the checksum of the bytes of the copy in the backup
    // folder it names, wherever a thinning moved that copy.
    void PruefeSummen(const std::set<std::string>& staende) {
        for (const std::string& s : staende) {
            const auto gelesen = LiesBestand(LiesDatei(Backup() / ("Sicherung-" + s) / Bestandsdateiname(0)));
            ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen)) << s;
            for (const Bestandseintrag& e : std::get<Bestand>(gelesen).Eintraege) {
                if (e.Art != Eintragsart::Datei)
                    continue;
                const std::string inhalt = LiesDatei(Backup() / e.Ort / "Daten" / e.Pfad);
                Summierer summe;
                summe.Dazu(inhalt.data(), inhalt.size());
                ASSERT_TRUE(e.Inhalt) << s << ": " << e.Pfad;
                EXPECT_EQ(InhaltssummeText(*e.Inhalt), InhaltssummeText(summe.Summe())) << s << ": " << e.Pfad;
            }
        }
    }
    // The figure of "... und N Bytes freigeben/freigegeben."
    static std::uint64_t Freigegeben(const std::string& text) {
        const std::size_t ende = text.rfind(" Byte");
        if (ende == std::string::npos || text.find(" freige", ende) == std::string::npos)
            return ~0ull;
        std::size_t anfang = ende;
        while (anfang > 0 &&
               (std::isdigit(static_cast<unsigned char>(text[anfang - 1])) != 0 || text[anfang - 1] == '.'))
            --anfang;
        std::string z = text.substr(anfang, ende - anfang);
        std::erase(z, '.');
        return z.empty() ? ~0ull : std::stoull(z);
    }

    // An empty target and source, then the first `laeufe` runs of the chain (Kette, Aendere).
    void NeueKette(std::size_t laeufe);

    fs::path Backup() const { return temp / "D" / "Backup"; }
    fs::path Q() const { return temp / "C" / "Daten"; }

    TempOrdner temp;
    Laufwerkstabelle laufwerke;
    Gestellt uhr;
    std::ostringstream aus, fehler;
    std::map<std::string, Schnappschuss> schnappschuesse;
    int wiederhergestellt = 0;
};

// The chain: each run changes the source; renames, deletions, files that never change, a file that comes back.
const std::vector<std::string> Kette = {"2025-12-30--20-00-00", "2026-01-05--20-00-00", "2026-01-31--20-00-00",
                                        "2026-02-01--08-00-00", "2026-02-01--20-00-00", "2026-02-02--20-00-00",
                                        "2026-02-09--20-00-00"};

void Aendere(std::size_t lauf, const fs::path& q) {
    switch (lauf) {
    case 0:
        SchreibeDatei(q / "bleibt.txt", "nie geändert");
        SchreibeDatei(q / "sub" / "tief" / "alt.txt", "von Anfang an");
        SchreibeDatei(q / "wird-umbenannt.txt", "mein Name ändert sich");
        SchreibeDatei(q / "wird-geloescht.txt", "bald weg");
        SchreibeDatei(q / "a.txt", "Fassung 0");
        fs::create_symlink("bleibt.txt", q / "zeiger");
        break;
    case 3:
        fs::rename(q / "wird-umbenannt.txt", q / "sub" / "umbenannt.txt");
        [[fallthrough]];
    default:
        SchreibeDatei(q / "a.txt", "Fassung " + std::to_string(lauf));
        if (lauf == 2)
            fs::remove(q / "wird-geloescht.txt");
        if (lauf == 4)
            SchreibeDatei(q / "wird-geloescht.txt", "wieder da");
        if (lauf == 5)
            fs::remove_all(q / "sub" / "tief");
        break;
    }
}

void Aufraeumtest::NeueKette(std::size_t laeufe) {
    fs::remove_all(Backup());
    fs::remove_all(Q());
    fs::create_directories(Backup());
    for (std::size_t i = 0; i < laeufe; ++i) {
        Aendere(i, Q());
        Sichere(Kette[i]);
    }
}

TEST_F(Aufraeumtest, EveryPointThatStaysRestoresExactlyAndTheBytesFreedAreTheDryRunsFigure) {
    struct Fall {
        std::string Was;
        std::vector<std::string> Regel;
        std::set<std::string> Bleiben;
    };
    const std::vector<Fall> faelle = {
        {"die letzten zwei", {"--behalte-letzte", "2"}, {Kette[5], Kette[6]}},
        {"Tage: mehrere an einem Tag", {"--behalte-tage=3"}, {Kette[4], Kette[5], Kette[6]}},
        // 2025-12-30 lies in the first ISO week of 2026; 2026-02-01 is a Sunday, 2026-02-02 a Monday.
        {"Wochen über den Jahreswechsel",
         {"--behalte-wochen", "5"},
         {Kette[0], Kette[1], Kette[4], Kette[5], Kette[6]}},
        {"Monate und Jahre", {"--behalte-monate", "2", "--behalte-jahre", "2"}, {Kette[0], Kette[2], Kette[6]}},
        {"eine Regel, die alles behält", {"--behalte-letzte", "99"}, {Kette.begin(), Kette.end()}},
        {"nur der neueste", {"--behalte-letzte", "1"}, {Kette[6]}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Was);
        NeueKette(Kette.size());
        const auto vorher = Staende();
        ASSERT_EQ(Aufraeumen(f.Regel, true), 0) << aus.str() << fehler.str();
        const std::uint64_t probe = Freigegeben(aus.str());
        const std::string probetext = aus.str();
        EXPECT_EQ(Staende(), vorher) << "the dry run changes nothing";
        ASSERT_EQ(Aufraeumen(f.Regel), 0) << aus.str() << fehler.str();
        EXPECT_EQ(fehler.str(), "");
        EXPECT_EQ(Freigegeben(aus.str()), probe) << probetext << aus.str();
        EXPECT_EQ(Staende(), f.Bleiben);
        EXPECT_FALSE(fs::exists(Backup() / Plandateiname));
        PruefeWiederherstellbar(f.Bleiben);
        PruefeSummen(f.Bleiben);
        // The next thinning by the same rule has nothing to do.
        ASSERT_EQ(Aufraeumen(f.Regel), 0) << aus.str() << fehler.str();
        EXPECT_EQ(Freigegeben(aus.str()), 0u) << aus.str();
    }
}

TEST_F(Aufraeumtest, AKillAtEveryStepLeavesEveryPointThatStaysCompleteAndTheNextThinningFinishes) {
    const std::set<std::string> bleiben = {Kette[5], Kette[6]};
    bool durch = false;
    std::size_t halt = 0;
    for (; !durch && halt < 50; ++halt) {
        SCOPED_TRACE("killed before step " + std::to_string(halt));
        NeueKette(Kette.size());
        const pid_t kind = ::fork();
        ASSERT_GE(kind, 0);
        if (kind == 0) {
            Ausduennung::SetzeHaltepunkt([halt](std::size_t schritt, Ausduennung::Schritt) {
                if (schritt == halt)
                    ::_exit(99);
            });
            ::_exit(Aufraeumen({"--behalte-letzte", "2"}));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(kind, &status, 0), kind);
        ASSERT_TRUE(WIFEXITED(status));
        durch = WEXITSTATUS(status) == 0;
        if (!durch) {
            ASSERT_EQ(WEXITSTATUS(status), 99);
            // Killed: the plan is in the target from the first change on, and every point that stays is whole.
            EXPECT_EQ(fs::exists(Backup() / Plandateiname), halt > 0);
            for (const std::string& s : bleiben)
                EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", s}), 0)
                    << s << aus.str() << fehler.str();
            // Every other time the next backup run finishes it, before it reads what the target holds.
            if (halt % 2 == 0) {
                ASSERT_EQ(Aufraeumen({"--behalte-letzte", "2"}), 0) << aus.str() << fehler.str();
            } else {
                SchreibeDatei(Q() / "a.txt", "nach dem Abbruch");
                Sichere("2026-02-10--20-00-00");
            }
        }
        std::set<std::string> soll = bleiben;
        if (!durch && halt % 2 == 1)
            soll.insert("2026-02-10--20-00-00");
        EXPECT_EQ(Staende(), soll);
        EXPECT_FALSE(fs::exists(Backup() / Plandateiname));
        PruefeWiederherstellbar(soll);
    }
    EXPECT_TRUE(durch) << "the hook stopped every step";
    // Writing the plan, four moves, two records, five removals, removing the plan: each of the 13 steps killed
    // once, then a run that nothing stops.
    EXPECT_EQ(halt, 14u);
}

// A rewrite of the plan or of a record that a kill cut short leaves its temporary file: the next thinning of the
// target removes it, and never the one of a rewrite under way (which holds its folder's lock).
TEST_F(Aufraeumtest, TemporaryFilesOfKilledRewritesGoAtTheNextThinning) {
    struct Fall {
        const char* was;
        std::string ordner; // relative to the target folder
        bool unterwegs;     // the file is that of a rewrite under way while the thinning runs
    };
    const std::vector<Fall> faelle = {
        {"left in the target folder", "", false},
        {"left beside a record that stays", "Sicherung-" + Kette[6], false},
        {"of a rewrite under way in the target folder", "", true},
        {"of a rewrite under way beside a record that stays", "Sicherung-" + Kette[5], true},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.was);
        NeueKette(Kette.size());
        const fs::path ordner = f.ordner.empty() ? Backup() : Backup() / f.ordner;
        const auto reste = [&] {
            std::set<std::string> r;
            for (const auto& e : fs::directory_iterator(ordner))
                if (e.path().filename().string().starts_with(".tresor-ix-ausduennung-"))
                    r.insert(e.path().filename().string());
            return r;
        };
        if (!f.unterwegs) {
            SchreibeDatei(ordner / ".tresor-ix-ausduennung-00c0ffee00c0ffee.tmp", "abgebrochen");
            ASSERT_EQ(Aufraeumen({"--behalte-letzte", "2"}), 0) << aus.str() << fehler.str();
        } else {
            Zielbaum baum(laufwerke, "D:\\Backup");
            baum.Ersetze(f.ordner.empty() ? ".notiz" : f.ordner + "/.notiz",
                         [&](const Zielbaum::Stueckweise& schreibe) {
                             schreibe("halb");
                             const std::set<std::string> vorher = reste();
                             EXPECT_EQ(vorher.size(), 1u);
                             EXPECT_EQ(Aufraeumen({"--behalte-letzte", "2"}), 0) << aus.str() << fehler.str();
                             EXPECT_EQ(reste(), vorher);
                             schreibe(", ganz");
                         });
            EXPECT_EQ(LiesDatei(ordner / ".notiz"), "halb, ganz");
        }
        EXPECT_EQ(reste(), std::set<std::string>{});
        EXPECT_EQ(Staende(), (std::set<std::string>{Kette[5], Kette[6]}));
    }
}

TEST_F(Aufraeumtest, ThinningOneSourceLeavesTheOthersBackupsUntouched) {
    for (std::size_t i = 0; i < 4; ++i) {
        Aendere(i, Q());
        Sichere(Kette[i]);
        SchreibeDatei(temp / "C" / "Andere" / "x.txt", "andere " + std::to_string(i));
        std::string stand = Kette[i];
        stand[19] = '1';
        Sichere(stand, "Andere");
    }
    std::map<std::string, Schnappschuss> andere;
    for (const std::string& s : Staende())
        if (s.ends_with('1'))
            andere[s] = Schnappe(Backup() / ("Sicherung-" + s));
    ASSERT_EQ(Aufraeumen({"--behalte-letzte", "1"}), 0) << aus.str() << fehler.str();
    std::set<std::string> soll = {Kette[3]};
    for (const auto& [s, baum] : andere) {
        soll.insert(s);
        EXPECT_EQ(Unterschiede(baum, Schnappe(Backup() / ("Sicherung-" + s))), "") << s;
    }
    EXPECT_EQ(Staende(), soll);
    PruefeWiederherstellbar({Kette[3]});
    // A source with no backups in the target, and no rule at all: refused.
    EXPECT_EQ(Aufraeumen({"--behalte-letzte", "1"}, false, "Keine"), 2);
    EXPECT_EQ(Aufraeumen({}), 2);
    EXPECT_EQ(Aufraeumen({"--behalte-tage", "0"}), 2);
}

// A backup folder without a usable record counts as a point where the source's mirror is there; in a target
// with another source mirrored at the same place, inside or around it, that folder may be the other source's,
// and a thinning of this one never removes it.
TEST_F(Aufraeumtest, AFolderWithoutARecordThatMayBeAnotherSourcesIsNeverThinned) {
    // What becomes of the other source's oldest record.
    enum class Jener {
        Entfernt,
        Zerrissen,
        Abgehend,       // put where a removal keeps it: another source's record is no sign of this one's
        Untergeschoben, // removed, and the record of this source's oldest point put there so: it names that folder
    };
    struct Fall {
        std::string Was;
        std::string Quelle; // the source thinned, below C:\ (its snapshot below temp/C)
        std::string Andere; // the other source, in program form
        Jener Wie = Jener::Entfernt;
    };
    const std::vector<Fall> faelle = {
        {"eine Quelle darin", "Daten", "C:\\Daten\\sub"},
        {"eine Quelle darin, ihre Bestandsliste zerrissen", "Daten", "C:\\Daten\\sub", Jener::Zerrissen},
        {"die Quelle, in der sie liegt", "Daten\\sub", "C:\\Daten"},
        {"eine Quelle gleichen Namens auf einem anderen Laufwerk", "Daten", "D:\\Daten"},
        {"eine Quelle darin, ihre Bestandsliste wie abgehend", "Daten", "C:\\Daten\\sub", Jener::Abgehend},
        {"die Quelle, in der sie liegt, eine eigene Bestandsliste untergeschoben", "Daten\\sub", "C:\\Daten",
         Jener::Untergeschoben},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Was);
        fs::remove_all(Backup());
        fs::remove_all(Q());
        fs::remove_all(temp / "D" / "Daten");
        fs::create_directories(Backup());
        const fs::path quelle = temp / "C" / (f.Quelle == "Daten" ? "Daten" : "Daten/sub");
        std::vector<std::string> eigene, andere;
        for (std::size_t i = 0; i < 4; ++i) {
            Aendere(i, Q());
            SchreibeDatei(Q() / "sub" / "s.txt", "Fassung " + std::to_string(i));
            SchreibeDatei(temp / "D" / "Daten" / "d.txt", "auf D " + std::to_string(i));
            for (const bool anders : {false, true}) {
                std::string stand = Kette[i];
                stand[19] = anders ? '1' : '0';
                uhr.datum = {std::stoi(stand.substr(0, 4)), std::stoi(stand.substr(5, 2)),
                             std::stoi(stand.substr(8, 2))};
                uhr.zeit = {std::stoi(stand.substr(12, 2)), std::stoi(stand.substr(15, 2)),
                            std::stoi(stand.substr(18, 2))};
                ASSERT_EQ(Rufe({"--quelle", anders ? f.Andere : "C:\\" + f.Quelle, "--ziel", "D:\\Backup"}), 0)
                    << aus.str() << fehler.str();
                (anders ? andere : eigene).push_back(stand);
                if (!anders)
                    schnappschuesse[f.Quelle + " " + stand] = Schnappe(quelle);
            }
        }
        const fs::path bestand = Backup() / ("Sicherung-" + andere[0]) / Bestandsdateiname(0);
        const fs::path abgang = bestand.parent_path() / ausduennung::Abgangsname;
        if (f.Wie == Jener::Zerrissen)
            SchreibeDatei(bestand, LiesDatei(bestand).substr(0, 120));
        else if (f.Wie == Jener::Abgehend)
            fs::rename(bestand, abgang);
        else
            fs::remove(bestand);
        if (f.Wie == Jener::Untergeschoben)
            fs::copy_file(Backup() / ("Sicherung-" + eigene[0]) / Bestandsdateiname(0), abgang);
        std::map<std::string, Schnappschuss> vorher;
        for (const std::string& s : andere)
            vorher[s] = Schnappe(Backup() / ("Sicherung-" + s));
        // The other source's oldest folder stays, and so does the point before it, whose copies it may need.
        EXPECT_EQ(Aufraeumen({"--behalte-letzte", "1"}, false, f.Quelle), 1) << aus.str() << fehler.str();
        std::set<std::string> soll(andere.begin(), andere.end());
        soll.insert(eigene.front());
        soll.insert(eigene.back());
        EXPECT_EQ(Staende(), soll) << aus.str();
        for (const auto& [s, baum] : vorher)
            EXPECT_EQ(Unterschiede(baum, Schnappe(Backup() / ("Sicherung-" + s))), "") << s;
        PruefeWiederherstellbar({eigene.front(), eigene.back()}, f.Quelle);
        // Nor does a plan left in the target that names it among the folders to go (made by hand, or before the
        // other source's records were there): it is finished without that folder.
        Ausduennungsplan plan;
        plan.Quelle = "C:\\" + f.Quelle;
        plan.Gehen = {"Sicherung-" + andere[0]};
        SchreibeDatei(Backup() / Plandateiname, ausduennung::SchreibePlan(plan, *laufwerke.ZuPosix(plan.Quelle), {}));
        EXPECT_EQ(Aufraeumen({"--behalte-letzte", "1"}, false, f.Quelle), 1) << aus.str() << fehler.str();
        EXPECT_EQ(Staende(), soll) << aus.str();
        EXPECT_FALSE(fs::exists(Backup() / Plandateiname));
        EXPECT_EQ(Unterschiede(vorher.at(andere[0]), Schnappe(Backup() / ("Sicherung-" + andere[0]))), "");
    }
}

// A thinning killed while it removes a point, in a target that also holds another source mirrored at the same
// place (inside, or the same path on another drive): the point half removed never looks like a whole one, and the
// next thinning or backup run removes the rest of it, though without its record it might be the other's.
TEST_F(Aufraeumtest, APointHalfRemovedByAKilledThinningIsFinishedBesideAnotherSource) {
    struct Fall {
        std::string Was;
        std::string Andere; // the other source in program form, or none
        Ausduennung::Schritt Art;
        int Mal;                 // killed at the Mal-th hook of that kind
        bool SpiegelWeg = false; // then its mirror removed, as a kill after the mirror's removal leaves it
        bool Sichern = false;    // finished by a backup run, else by a thinning
        bool PlanWeg = false;    // the plan gone, as a removal that could not finish leaves it
        int Letzte = 1;          // the rule of the thinning that comes next
    };
    using S = Ausduennung::Schritt;
    const std::vector<Fall> faelle = {
        {"eine Quelle darin, die erste Bestandsliste beiseite", "C:\\Daten\\sub", S::Spiegel, 1},
        {"gleicher Pfad auf D, die zweite beiseite, dann gesichert", "D:\\Daten", S::Spiegel, 2, false, true},
        {"eine Quelle darin, der Spiegel schon weg", "C:\\Daten\\sub", S::Spiegel, 3, true},
        {"keine andere Quelle", "", S::Spiegel, 2},
        {"eine Quelle darin, vor dem zweiten Entfernen, dann gesichert", "C:\\Daten\\sub", S::Entfernen, 2, false,
         true},
        // The rule would keep it, but the point is no longer whole: it goes, and no older point stays for it.
        {"der Plan weg, eine Regel, die alles behält", "C:\\Daten\\sub", S::Spiegel, 1, false, false, true, 99},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Was);
        NeueKette(4);
        fs::remove_all(temp / "D" / "Daten");
        std::set<std::string> soll = {Kette[3]};
        std::map<std::string, Schnappschuss> andere;
        if (!f.Andere.empty()) {
            SchreibeDatei(temp / "D" / "Daten" / "d.txt", "auf D");
            uhr.zeit.Sekunde = 1;
            ASSERT_EQ(Rufe({"--quelle", f.Andere, "--ziel", "D:\\Backup"}), 0) << aus.str() << fehler.str();
            for (const std::string& s : Staende())
                if (s.ends_with('1')) {
                    soll.insert(s);
                    andere[s] = Schnappe(Backup() / ("Sicherung-" + s));
                }
            ASSERT_EQ(andere.size(), 1u);
        }
        const pid_t kind = ::fork();
        ASSERT_GE(kind, 0);
        if (kind == 0) {
            int mal = 0;
            Ausduennung::SetzeHaltepunkt([&f, &mal](std::size_t, Ausduennung::Schritt art) {
                if (art == f.Art && ++mal == f.Mal)
                    ::_exit(99);
            });
            ::_exit(Aufraeumen({"--behalte-letzte", "1"}));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(kind, &status, 0), kind);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 99);
        const fs::path halb = Backup() / ("Sicherung-" + Kette[f.Mal - 1]);
        if (f.Art == S::Spiegel) {
            EXPECT_FALSE(fs::exists(halb / Bestandsdateiname(0))) << "its record is no longer one";
            EXPECT_TRUE(fs::is_directory(halb / "Daten"));
        }
        if (f.SpiegelWeg)
            fs::remove_all(halb / "Daten");
        if (f.PlanWeg)
            fs::remove(Backup() / Plandateiname);
        for (int i = f.Mal; f.Letzte > 1 && i < 3; ++i)
            soll.insert(Kette[i]);
        if (f.Sichern) {
            SchreibeDatei(Q() / "a.txt", "nach dem Abbruch");
            Sichere("2026-02-10--20-00-00");
            soll.insert("2026-02-10--20-00-00");
        } else {
            EXPECT_EQ(Aufraeumen({"--behalte-letzte", std::to_string(f.Letzte)}), 0) << aus.str() << fehler.str();
        }
        EXPECT_EQ(Staende(), soll) << aus.str() << fehler.str();
        EXPECT_FALSE(fs::exists(Backup() / Plandateiname));
        for (const auto& [s, baum] : andere)
            EXPECT_EQ(Unterschiede(baum, Schnappe(Backup() / ("Sicherung-" + s))), "") << s;
        PruefeWiederherstellbar({Kette[3]});
    }
}

// The same for a drive root, whose mirror is the backup folder itself: the record put aside lies in it and goes last.
TEST_F(Aufraeumtest, ADriveRootsPointHalfRemovedIsFinished) {
    fs::create_directories(temp / "E");
    laufwerke = Laufwerkstabelle({Laufwerk{'C', (temp / "C").string(), {}}, Laufwerk{'D', (temp / "D").string(), {}},
                                  Laufwerk{'E', (temp / "E").string(), {}}});
    for (int i = 0; i < 3; ++i) {
        SchreibeDatei(temp / "E" / "a.txt", "Fassung " + std::to_string(i));
        SchreibeDatei(temp / "E" / "tief" / "b.txt", "Fassung " + std::to_string(i));
        uhr.datum = {2026, 1, 1 + i};
        ASSERT_EQ(Rufe({"--quelle", "E:\\", "--ziel", "D:\\Backup"}), 0) << aus.str() << fehler.str();
    }
    // Another source in the target: every folder of the drive root without a record may be its.
    SchreibeDatei(Q() / "x.txt", "anders");
    uhr.datum = {2026, 1, 9};
    ASSERT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}), 0) << aus.str() << fehler.str();
    const auto alle = Staende();
    const pid_t kind = ::fork();
    ASSERT_GE(kind, 0);
    if (kind == 0) {
        Ausduennung::SetzeHaltepunkt([](std::size_t, Ausduennung::Schritt art) {
            if (art == Ausduennung::Schritt::Spiegel)
                ::_exit(99);
        });
        ::_exit(Rufe({"--aufraeumen", "--ziel", "D:\\Backup", "--quelle", "E:\\", "--behalte-letzte", "1"}));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(kind, &status, 0), kind);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 99);
    const fs::path halb = Backup() / ("Sicherung-" + *alle.begin());
    EXPECT_FALSE(fs::exists(halb / Bestandsdateiname(0)));
    EXPECT_TRUE(fs::exists(halb / ausduennung::Abgangsname));
    EXPECT_EQ(Rufe({"--aufraeumen", "--ziel", "D:\\Backup", "--quelle", "E:\\", "--behalte-letzte", "1"}), 0)
        << aus.str() << fehler.str();
    EXPECT_EQ(Staende(), (std::set<std::string>{*std::next(alle.begin(), 2), *alle.rbegin()})) << aus.str();
    EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "E:\\"}), 0) << aus.str() << fehler.str();
}

// A drive root's files lie in its backup folders themselves: one named as a rewrite's temporary file is a copy that
// the record names, and the thinning keeps it in each point that stays.
TEST_F(Aufraeumtest, ADriveRootsFileNamedAsATemporaryFileStaysInThePointsThatStay) {
    fs::create_directories(temp / "E");
    laufwerke = Laufwerkstabelle({Laufwerk{'C', (temp / "C").string(), {}}, Laufwerk{'D', (temp / "D").string(), {}},
                                  Laufwerk{'E', (temp / "E").string(), {}}});
    const std::string name = ".tresor-ix-ausduennung-00c0ffee00c0ffee.tmp";
    SchreibeDatei(temp / "E" / name, "eine Datei der Quelle");
    for (int i = 0; i < 3; ++i) {
        SchreibeDatei(temp / "E" / "a.txt", "Fassung " + std::to_string(i));
        uhr.datum = {2026, 1, 1 + i};
        ASSERT_EQ(Rufe({"--quelle", "E:\\", "--ziel", "D:\\Backup"}), 0) << aus.str() << fehler.str();
    }
    ASSERT_EQ(Rufe({"--aufraeumen", "--ziel", "D:\\Backup", "--quelle", "E:\\", "--behalte-letzte", "2"}), 0)
        << aus.str() << fehler.str();
    const auto staende = Staende();
    ASSERT_EQ(staende.size(), 2u);
    // Its one copy, moved into the oldest point that stays.
    EXPECT_EQ(LiesDatei(Backup() / ("Sicherung-" + *staende.begin()) / name), "eine Datei der Quelle");
    for (const std::string& s : staende) {
        SCOPED_TRACE(s);
        EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "E:\\", "--stand", s}), 0)
            << aus.str() << fehler.str();
    }
}

// A plan left in the target is finished by the next run, whatever rule that run has; one that another user wrote
// (or put in the place of the one left) removes none of this user's backups. Where the backup folders are the
// plan's owner's as well (a medium that keeps no owners shows every entry as the mount's user's), it is finished.
TEST_F(Aufraeumtest, APlanOfAnotherUserRemovesNoneOfThisUsersBackups) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the plan and folders are given to another user";
    constexpr uid_t Anderer = 65534;
    struct Fall {
        std::string Was;
        bool PlanFremd;   // the plan's file is the other user's
        bool OrdnerFremd; // and so are the backup folders and the target folder
        int Status;
        std::set<std::string> Bleiben;
    };
    const std::vector<Fall> faelle = {
        {"der eigene Plan", false, false, 0, {Kette[3]}},
        {"der Plan eines anderen Benutzers", true, false, 1, {Kette[0], Kette[1], Kette[2], Kette[3]}},
        {"Plan und Sicherungsordner desselben Benutzers", true, true, 0, {Kette[3]}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Was);
        NeueKette(4);
        // A thinning to the newest point killed once its plan is in the target.
        const pid_t kind = ::fork();
        ASSERT_GE(kind, 0);
        if (kind == 0) {
            Ausduennung::SetzeHaltepunkt([](std::size_t schritt, Ausduennung::Schritt) {
                if (schritt == 1)
                    ::_exit(99);
            });
            ::_exit(Aufraeumen({"--behalte-letzte", "1"}));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(kind, &status, 0), kind);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 99);
        ASSERT_TRUE(fs::exists(Backup() / Plandateiname));
        if (f.PlanFremd) {
            ASSERT_EQ(::chown((Backup() / Plandateiname).c_str(), Anderer, Anderer), 0);
        }
        // A medium that shows every entry as one user's: the target folder too.
        for (const std::string& s : Staende())
            if (f.OrdnerFremd) {
                ASSERT_EQ(::chown((Backup() / ("Sicherung-" + s)).c_str(), Anderer, Anderer), 0);
                ASSERT_EQ(::chown(Backup().c_str(), Anderer, Anderer), 0);
            }
        // The next thinning keeps every point by its rule: only the plan left would remove any.
        EXPECT_EQ(Aufraeumen({"--behalte-letzte", "99"}), f.Status) << aus.str() << fehler.str();
        EXPECT_EQ(Staende(), f.Bleiben) << aus.str() << fehler.str();
        EXPECT_FALSE(fs::exists(Backup() / Plandateiname));
        if (!f.OrdnerFremd)
            PruefeWiederherstellbar(f.Bleiben);
    }
}

TEST_F(Aufraeumtest, AJobWithARetentionRuleThinsAfterItsBackup) {
    const fs::path job = temp / "job.conf";
    SchreibeDatei(job, "QUELLE=C:\\Daten\nZIEL=D:\\Backup\nBEHALTE_TAGE=2\n");
    ::chmod(job.c_str(), 0600);
    for (std::size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(Kette[i]);
        Aendere(i, Q());
        const std::string& stand = Kette[i];
        uhr.datum = {std::stoi(stand.substr(0, 4)), std::stoi(stand.substr(5, 2)), std::stoi(stand.substr(8, 2))};
        uhr.zeit = {std::stoi(stand.substr(12, 2)), std::stoi(stand.substr(15, 2)), std::stoi(stand.substr(18, 2))};
        ASSERT_EQ(Rufe({"--auftrag", job.string()}), 0) << aus.str() << fehler.str();
        schnappschuesse["Daten " + stand] = Schnappe(Q());
        EXPECT_NE(aus.str().find("Die Ausdünnung hat"), std::string::npos) << aus.str();
    }
    // Kette[3] and Kette[4] are one day: its newest, and the day before.
    const std::set<std::string> bleiben = {Kette[2], Kette[4]};
    EXPECT_EQ(Staende(), bleiben);
    PruefeWiederherstellbar(bleiben);
}

TEST_F(Aufraeumtest, PointsWithoutARecordAndStoppedPointsArePointsLikeTheOthers) {
    const auto ordner = [](std::size_t i) { return "Sicherung-" + Kette[i]; };
    const auto ohneBestand = [&](std::size_t i) {
        return [&, i](const fs::path& b) { fs::remove(b / ordner(i) / Bestandsdateiname(0)); };
    };
    struct Fall {
        std::string Was;
        std::function<void(const fs::path&)> Aendere; // done to the target after the runs
        std::vector<std::string> Regel;
        int Status;
        std::set<std::string> Bleiben;
        std::set<std::string> Ganz; // the points that restore exactly afterwards
    };
    const std::vector<Fall> faelle = {
        {"der älteste ohne Bestandsliste (aus einer früheren Version)",
         ohneBestand(0),
         {"--behalte-letzte", "2"},
         0,
         {Kette[5], Kette[6]},
         {Kette[5], Kette[6]}},
        {"einer in der Mitte ohne Bestandsliste, der geht",
         ohneBestand(2),
         {"--behalte-letzte", "2"},
         0,
         {Kette[5], Kette[6]},
         {Kette[5], Kette[6]}},
        // What a point without a record needs is the newest copy of each path up to it, in any older folder:
        // every older point stays, named.
        {"einer ohne Bestandsliste, der bleibt",
         ohneBestand(4),
         {"--behalte-tage", "3"},
         1,
         {Kette.begin(), Kette.end()},
         {Kette[5], Kette[6]}},
        {"ein abgebrochener Lauf bleibt und braucht, was vor ihm liegt",
         [&](const fs::path& b) {
             const fs::path datei = b / ordner(5) / Bestandsdateiname(0);
             auto gelesen = LiesBestand(LiesDatei(datei));
             ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen));
             std::get<Bestand>(gelesen).Abgebrochen = true;
             SchreibeDatei(datei, SchreibeBestand(std::get<Bestand>(gelesen)));
         },
         {"--behalte-letzte", "2"},
         0,
         {Kette[5], Kette[6]},
         {Kette[6]}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Was);
        NeueKette(Kette.size());
        f.Aendere(Backup());
        EXPECT_EQ(Aufraeumen(f.Regel), f.Status) << aus.str() << fehler.str();
        EXPECT_EQ(Staende(), f.Bleiben) << aus.str() << fehler.str();
        PruefeWiederherstellbar(f.Ganz);
    }
}

TEST_F(Aufraeumtest, AThinningAskedToStopStopsBeforeItsNextStepAndIsFinishedLater) {
    const std::set<std::string> bleiben = {Kette[5], Kette[6]};
    // Finished under the table it was made with, or under one where another drive mounted before them since
    // moved the letters (the source's drive is F:, the target's E:).
    const Laufwerkstabelle verschoben(
        {Laufwerk{'E', (temp / "D").string(), {}}, Laufwerk{'F', (temp / "C").string(), {}}});
    for (const auto& [nach, andereBuchstaben] :
         std::vector<std::pair<std::size_t, bool>>{{1, false}, {3, true}, {6, false}, {9, true}}) {
        SCOPED_TRACE("stopped after step " + std::to_string(nach) + (andereBuchstaben ? ", other letters" : ""));
        NeueKette(Kette.size());
        Ausduennung a(laufwerke);
        auto geplant = a.Plane("D:\\Backup", "C:\\Daten", {.Letzte = 2});
        ASSERT_TRUE(std::holds_alternative<Ausduennungsplan>(geplant));
        const Ausduennungsplan& plan = std::get<Ausduennungsplan>(geplant);
        std::atomic<bool> halt = false;
        std::vector<std::size_t> gemeldet;
        const auto ergebnis = a.Fuehreaus(
            plan,
            [&](std::size_t erledigt, std::size_t gesamt) {
                EXPECT_EQ(gesamt, plan.Schritte());
                gemeldet.push_back(erledigt);
                if (erledigt == nach)
                    halt = true;
            },
            &halt);
        EXPECT_TRUE(ergebnis.Angehalten);
        EXPECT_FALSE(ergebnis.Fertig);
        std::vector<std::size_t> soll(nach);
        std::iota(soll.begin(), soll.end(), 1);
        EXPECT_EQ(gemeldet, soll);
        EXPECT_TRUE(a.Offen("D:\\Backup"));
        for (const std::string& s : bleiben)
            EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", s}), 0) << s;
        Ausduennung spaeter(andereBuchstaben ? verschoben : laufwerke);
        const auto fertig = spaeter.Vollende(andereBuchstaben ? "E:\\Backup" : "D:\\Backup");
        EXPECT_TRUE(fertig.Fertig);
        EXPECT_TRUE(fertig.Reste.empty());
        EXPECT_FALSE(a.Offen("D:\\Backup"));
        EXPECT_EQ(Staende(), bleiben);
        PruefeWiederherstellbar(bleiben);
    }
}

// The backups of a source whose drive is not there are restored (as its records name it), but not thinned: a plan
// could not be checked against the source's POSIX form when it is carried out. Where its letter names another drive
// today, thinning that drive's folder never touches the gone source's backups.
TEST_F(Aufraeumtest, TheBackupsOfASourceOnADriveThatIsNotThereAreNotThinned) {
    NeueKette(3);
    // Another drive took the letter C: since; its folder Daten has one backup of its own in the target.
    const Laufwerkstabelle anderesC(
        {Laufwerk{'C', (temp / "X").string(), {}}, Laufwerk{'D', (temp / "D").string(), {}}});
    SchreibeDatei(temp / "X" / "Daten" / "x.txt", "das andere Laufwerk");
    laufwerke = anderesC;
    Sichere("2026-03-01--12-00-00");
    const std::set<std::string> vorher = Staende();
    ASSERT_EQ(vorher.size(), 4u);
    struct Fall {
        const char* was;
        std::function<std::string()> duenneAus; // what was said
        std::string gesagt;
        std::size_t bleiben;
    };
    const std::vector<Fall> faelle = {
        {"no drive C: today",
         [&] {
             const auto geplant = Ausduennung(Laufwerkstabelle({Laufwerk{'D', (temp / "D").string(), {}}}))
                                      .Plane("D:\\Backup", "C:\\Daten", {.Letzte = 1});
             const auto* grund = std::get_if<std::string>(&geplant);
             return grund != nullptr ? *grund : std::string("geplant");
         },
         "Die Quelle C:\\Daten liegt auf keinem Laufwerk; ihre Sicherungen werden nicht ausgedünnt.", 4},
        {"asked for as its records name it",
         [&] {
             fehler.str("");
             EXPECT_EQ(Rufe({"--aufraeumen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--wie-verzeichnet",
                             "--behalte-letzte", "1"}),
                       2);
             return fehler.str();
         },
         "--wie-verzeichnet gehört zu --wiederherstellen, --pruefen oder --liste", 4},
        {"the folder its letter names today: that folder's own backups alone",
         [&] {
             aus.str("");
             EXPECT_EQ(Aufraeumen({"--behalte-letzte", "1"}), 0) << fehler.str();
             return aus.str();
         },
         "", 4},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.was);
        EXPECT_NE(f.duenneAus().find(f.gesagt), std::string::npos);
        EXPECT_FALSE(fs::exists(Backup() / Plandateiname));
        EXPECT_EQ(Staende(), vorher);
    }
    laufwerke = TestLaufwerke(temp);
    PruefeWiederherstellbar({Kette[0], Kette[1], Kette[2]});
}

// A plan for the target of the source C:\Daten, written as the program writes one.
std::string Plan(const std::string& quellePosix, const std::vector<std::string>& gehen,
                 const std::vector<Verschiebung>& verschiebungen) {
    Ausduennungsplan plan;
    plan.Quelle = "C:\\Daten";
    plan.Gehen = gehen;
    return ausduennung::SchreibePlan(plan, quellePosix, verschiebungen);
}

TEST_F(Aufraeumtest, AHostileTargetNeverLeadsAChangeOutsideIt) {
    struct Fall {
        std::string Was;
        std::function<void(const fs::path&, const fs::path&)> Verderbe; // to the target, given it and the outside
        int Status;                                                     // of the thinning to the newest point
        std::set<std::string> Bleiben;
        bool Ganz = true; // the newest point is whole afterwards (false: the harm was done before)
    };
    const auto ordner = [](std::size_t i) { return "Sicherung-" + Kette[i]; };
    const std::string posix = laufwerke.ZuPosix("C:\\Daten").value_or("");
    std::vector<Fall> faelle = {
        {"der Spiegel einer Sicherung, die geht, ist eine Verknüpfung nach draußen",
         [&](const fs::path& b, const fs::path& d) {
             fs::remove_all(b / ordner(0) / "Daten");
             fs::create_directory_symlink(d, b / ordner(0) / "Daten");
         },
         1, // what the newest point needs from it is not there: it stays, named
         {Kette[0], Kette[3]},
         false},
        {"ein Ordner in einer Sicherung, die geht, ist eine Verknüpfung nach draußen",
         [&](const fs::path& b, const fs::path& d) {
             fs::create_directory_symlink(d, b / ordner(1) / "Daten" / "weg");
         },
         0,
         {Kette[3]}},
        {"eine Kopie, die verschoben wird, ist eine Verknüpfung nach draußen",
         [&](const fs::path& b, const fs::path& d) {
             fs::remove(b / ordner(0) / "Daten" / "bleibt.txt");
             fs::create_symlink(d / "wert.txt", b / ordner(0) / "Daten" / "bleibt.txt");
         },
         0, // the link is moved, not what it names
         {Kette[3]},
         false},
        {"ein Sicherungsordner ist eine Verknüpfung nach draußen",
         [&](const fs::path& b, const fs::path& d) {
             fs::create_directory_symlink(d, b / "Sicherung-2020-01-01--00-00-00");
         },
         0,
         {Kette[3], "2020-01-01--00-00-00"}},
        {"ein Plan, der aus dem Ziel hinaus verschieben will",
         [&](const fs::path& b, const fs::path&) {
             SchreibeDatei(b / Plandateiname,
                           Plan(posix, {ordner(0)}, {{ordner(0), ordner(3), "../../draussen/wert.txt", 1}}));
         },
         1, // refused and left as it is: nothing thinned
         {Kette[0], Kette[1], Kette[2], Kette[3]}},
        {"ein Plan, der eine gebrauchte Sicherung ohne Verschiebung entfernen will",
         [&](const fs::path& b, const fs::path&) {
             SchreibeDatei(b / Plandateiname, Plan(posix, {ordner(0), ordner(1)}, {}));
         },
         1, // the plan's removal of the point that is needed is refused, named; then the rule thins as it should
         {Kette[3]}},
        {"der Plan ist eine Verknüpfung auf eine Datei draußen",
         [&](const fs::path& b, const fs::path& d) { fs::create_symlink(d / "wert.txt", b / Plandateiname); },
         1,
         {Kette[0], Kette[1], Kette[2], Kette[3]}},
    };
    // Written by another user into a target he may write: the newest point by its name, with a record of the
    // source that names the copies of this user's points. It is not this user's backup: it neither counts for
    // the rule nor takes a copy, and stays as it is.
    if (::geteuid() == 0)
        faelle.push_back(
            {"eine neuere Sicherung eines anderen Benutzers mit einer Bestandsliste der Quelle",
             [&](const fs::path& b, const fs::path&) {
                 const std::string fremd = "Sicherung-2026-03-01--00-00-00";
                 fs::create_directories(b / fremd / "Daten");
                 auto gelesen = LiesBestand(LiesDatei(b / ordner(3) / Bestandsdateiname(0)));
                 ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen));
                 std::get<Bestand>(gelesen).Ordner = fremd;
                 SchreibeDatei(b / fremd / Bestandsdateiname(0), SchreibeBestand(std::get<Bestand>(gelesen)));
                 for (const fs::path& p : {b / fremd, b / fremd / "Daten", b / fremd / Bestandsdateiname(0)})
                     ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
                 fs::permissions(b / fremd, fs::perms::all);
             },
             0,
             {Kette[3], "2026-03-01--00-00-00"}});
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Was);
        fs::remove_all(temp / "C" / "draussen");
        SchreibeDatei(temp / "C" / "draussen" / "wert.txt", "darf sich nie ändern");
        SchreibeDatei(temp / "C" / "draussen" / "tief" / "auch.txt", "auch nicht");
        NeueKette(4);
        f.Verderbe(Backup(), temp / "C" / "draussen");
        const auto draussen = BaumVon(temp / "C" / "draussen");
        EXPECT_EQ(Aufraeumen({"--behalte-letzte", "1"}), f.Status) << aus.str() << fehler.str();
        EXPECT_EQ(BaumVon(temp / "C" / "draussen"), draussen);
        EXPECT_EQ(Staende(), f.Bleiben) << aus.str() << fehler.str();
        if (f.Status != 0) {
            EXPECT_NE(fehler.str().find("Bleibt: "), std::string::npos) << fehler.str();
        }
        if (f.Ganz)
            PruefeWiederherstellbar({Kette[3]});
    }
}

} // namespace
} // namespace tresor::test
