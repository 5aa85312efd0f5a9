// The thinning reads the records of the points side by side in the walk's order: which copy moves where, what
// the rewritten records name, and what is refused. Each row builds a target by hand: the records and the copies
// they name.
#include "engine/ausduennung/Ausduennung.h"
#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Bestandsleser.h"
#include "fs/FsFehler.h"
#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

std::string Name(int punkt) {
    return "Sicherung-2026-12-0" + std::to_string(punkt) + "--10-00-00";
}

// A point: its record's lines after ".", each "O path" (a folder) or "D path N" (a file whose copy lies in point
// N) or "D path N gG" (one of the hard-link group G); how its record is spoilt.
enum class Schaden { Keiner, Abgerissen, OhneKopien };
struct Punktbau {
    std::vector<std::string> Zeilen;
    Schaden Zustand = Schaden::Keiner;
};

struct Bau {
    fs::path Ziel;
    std::string Posix;
    int Punkte = 0;
};

// Writes the records and, for each file a point holds itself, its copy (a group's later names as hard links).
void Baue(const Bau& bau, const std::vector<Punktbau>& punkte) {
    for (std::size_t i = 0; i < punkte.size(); ++i) {
        const std::string name = Name(static_cast<int>(i) + 1);
        const fs::path spiegel = bau.Ziel / name / "Daten";
        fs::create_directories(spiegel);
        std::ofstream datei(bau.Ziel / name / Bestandsdateiname(0), std::ios::binary);
        std::string text;
        Bestandsschreiber schreiber([&text](std::string_view s) { text += s; });
        Bestand kopf;
        kopf.Ordner = name;
        kopf.Quelle = "C:\\Daten";
        kopf.QuellePosix = bau.Posix;
        kopf.Zeit = name.substr(10);
        schreiber.Kopf(kopf);
        schreiber.Eintrag({Eintragsart::Ordner, "-", 0, 1, 0755, 0, 0, ".", "", 0, 0, 0});
        std::map<std::string, fs::path> gruppen;
        for (const std::string& zeile : punkte[i].Zeilen) {
            std::istringstream felder(zeile);
            std::string art, pfad, gruppe;
            int ort = 0;
            felder >> art >> pfad >> ort >> gruppe;
            if (art == "O") {
                schreiber.Eintrag({Eintragsart::Ordner, "-", 0, 1, 0755, 0, 0, pfad, "", 0, 0, 0});
                fs::create_directories(spiegel / pfad);
                continue;
            }
            const std::string inhalt = "Inhalt von " + pfad;
            schreiber.Eintrag({Eintragsart::Datei, Name(ort), static_cast<std::int64_t>(inhalt.size()), 1, 0644, 0, 0,
                               pfad, "", 1, 1, gruppe.empty() ? 0u : 7u});
            if (ort != static_cast<int>(i) + 1 || punkte[i].Zustand == Schaden::OhneKopien)
                continue;
            if (!gruppe.empty() && gruppen.contains(gruppe)) {
                fs::create_hard_link(gruppen[gruppe], spiegel / pfad);
                continue;
            }
            SchreibeDatei(spiegel / pfad, inhalt);
            if (!gruppe.empty())
                gruppen[gruppe] = spiegel / pfad;
        }
        schreiber.Ende(kopf);
        if (punkte[i].Zustand == Schaden::Abgerissen)
            text.resize(text.size() - 20);
        datei << text;
    }
}

// Every file a record names is there as its copy says.
void PruefeBenannt(const fs::path& ziel, const std::string& punkt) {
    const std::string text = LiesDatei(ziel / punkt / Bestandsdateiname(0));
    const auto gelesen = LiesBestand(text);
    ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen)) << punkt << ": " << std::get<std::string>(gelesen);
    for (const Bestandseintrag& e : std::get<Bestand>(gelesen).Eintraege) {
        if (e.Art != Eintragsart::Datei)
            continue;
        EXPECT_TRUE(LiesDatei(ziel / e.Ort / "Daten" / e.Pfad).starts_with("Inhalt von ")) << punkt << " " << e.Pfad;
    }
}

TEST(Zusammenfuehrung, EachCopyMovesIntoTheOldestPointThatStaysAndNamesIt) {
    using S = Schaden;
    struct Fall {
        const char* was;
        std::vector<Punktbau> punkte;
        int letzte;                     // the rule keeps the newest so many
        std::vector<std::string> zuege; // "von>nach path", in the order they are made
        std::vector<int> gehen;
        bool reste; // something is left and named
    };
    const std::vector<Fall> faelle = {
        {"in mehreren Ständen genannt",
         {{{"D x.txt 1", "D y.txt 1", "D z.txt 1"}},
          {{"D x.txt 1", "D y.txt 1", "D z.txt 2"}},
          {{"D x.txt 1", "D z.txt 2"}},
          {{"D x.txt 1", "D y.txt 1", "D z.txt 2"}}},
         2,
         {"1>3 x.txt", "1>4 y.txt", "2>3 z.txt"},
         {1, 2},
         false},
        {"Dateien vor Unterordnern, jede Art nach Bytes",
         {{{"D b.txt 1", "D zz.txt 1", "O a", "D a/c.txt 1", "O z", "D z/y.txt 1"}},
          {{"D b.txt 1", "D zz.txt 1", "O a", "D a/c.txt 1", "O z", "D z/y.txt 1"}}},
         1,
         {"1>2 b.txt", "1>2 zz.txt", "1>2 a/c.txt", "1>2 z/y.txt"},
         {1},
         false},
        {"Gruppe fester Verknüpfungen",
         {{{"D a.txt 1 g", "D b.txt 1 g", "D c.txt 1"}}, {{"D a.txt 1 g", "D b.txt 1 g", "D c.txt 2"}}},
         1,
         {"1>2 a.txt", "1>2 b.txt"},
         {1},
         false},
        {"Ordner, den es später nicht mehr gibt",
         {{{"O alt", "D alt/f.txt 1", "O neu", "D neu/g.txt 1"}}, {{"O neu", "D neu/g.txt 1"}}},
         1,
         {"1>2 neu/g.txt"},
         {1},
         false},
        {"bleibende Bestandsliste abgerissen",
         {{{"D x.txt 1"}}, {{"D x.txt 1"}}, {{"D x.txt 1"}, S::Abgerissen}},
         1,
         {},
         {},
         true},
        {"gehende Bestandsliste abgerissen",
         {{{"D x.txt 1"}, S::Abgerissen}, {{"D x.txt 1"}}},
         1,
         {"1>2 x.txt"},
         {1},
         false},
        // Read whole: the folders are listed before what is in them, only the order of the walk is not kept.
        {"außer der Wegordnung, aber vollständig",
         {{{"D y.txt 1", "D x.txt 1", "O a", "D a/q.txt 1"}}, {{"O a", "D a/q.txt 1", "D y.txt 1", "D x.txt 1"}}},
         1,
         {"1>2 x.txt", "1>2 y.txt", "1>2 a/q.txt"},
         {1},
         false},
        {"außer der Wegordnung, Pfad doppelt", {{{"D x.txt 1"}}, {{"D x.txt 1", "D x.txt 1"}}}, 1, {}, {}, true},
        {"außer der Wegordnung, Datei vor ihrem Ordner",
         {{{"O a", "D a/x.txt 1"}}, {{"D a/x.txt 1", "O a"}}},
         1,
         {},
         {},
         true},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.was);
        TempOrdner tmp;
        const Laufwerkstabelle laufwerke = TestLaufwerke(tmp);
        fs::create_directories(tmp / "C" / "Daten");
        const Bau bau{tmp / "D" / "Backup", (tmp / "C" / "Daten").string(), static_cast<int>(f.punkte.size())};
        Baue(bau, f.punkte);
        Ausduennung a(laufwerke);
        auto geplant = a.Plane("D:\\Backup", "C:\\Daten", Behalteregel{.Letzte = f.letzte});
        ASSERT_TRUE(std::holds_alternative<Ausduennungsplan>(geplant));
        const Ausduennungsplan& plan = std::get<Ausduennungsplan>(geplant);
        std::vector<std::string> zuege;
        a.Zuege(plan, [&](const Verschiebung& v) {
            zuege.push_back(v.Von.substr(19, 1) + ">" + v.Nach.substr(19, 1) + " " + v.Pfad);
        });
        EXPECT_EQ(zuege, f.zuege);
        EXPECT_EQ(plan.Verschiebungen, f.zuege.size());
        std::vector<std::string> gehen;
        for (int g : f.gehen)
            gehen.push_back(Name(g));
        EXPECT_EQ(plan.Gehen, gehen);
        EXPECT_EQ(!plan.Reste.empty(), f.reste);

        const Ausduennungsergebnis ergebnis = a.Fuehreaus(plan);
        EXPECT_TRUE(ergebnis.Fertig);
        EXPECT_EQ(ergebnis.FreieBytes, plan.FreieBytes);
        for (int i = 1; i <= bau.Punkte; ++i) {
            const bool geht = std::find(f.gehen.begin(), f.gehen.end(), i) != f.gehen.end();
            EXPECT_EQ(fs::exists(bau.Ziel / Name(i)), !geht) << Name(i);
            if (!geht && f.punkte[static_cast<std::size_t>(i) - 1].Zustand == S::Keiner && !f.reste)
                PruefeBenannt(bau.Ziel, Name(i));
        }
        EXPECT_FALSE(fs::exists(bau.Ziel / Plandateiname));
    }
}

// A damaged backup whose copies are gone while later points name them: each missing copy keeps its point, and
// the plan names the first few of them and counts the rest, instead of a line for each of millions.
TEST(Zusammenfuehrung, ManyMissingCopiesAreNamedAFewAndCountedTheRest) {
    struct Fall {
        const char* was;
        int fehlende;
        std::string weitere; // the reason of the entry that counts the rest; empty: none
    };
    const std::vector<Fall> faelle = {
        {"drei", 3, ""},
        {"gerade so viele, wie genannt werden", 10, ""},
        {"zwölf", 12, "… und 2 weitere."},
        {"zweitausend", 2000, "… und 1990 weitere."},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.was);
        TempOrdner tmp;
        const Laufwerkstabelle laufwerke = TestLaufwerke(tmp);
        fs::create_directories(tmp / "C" / "Daten");
        std::vector<std::string> zeilen;
        for (int i = 0; i < f.fehlende; ++i)
            zeilen.push_back("D f" + std::to_string(10000 + i) + ".txt 1");
        Baue({tmp / "D" / "Backup", (tmp / "C" / "Daten").string(), 2}, {{zeilen, Schaden::OhneKopien}, {zeilen}});
        auto geplant = Ausduennung(laufwerke).Plane("D:\\Backup", "C:\\Daten", Behalteregel{.Letzte = 1});
        ASSERT_TRUE(std::holds_alternative<Ausduennungsplan>(geplant));
        const Ausduennungsplan& plan = std::get<Ausduennungsplan>(geplant);
        EXPECT_TRUE(plan.Gehen.empty());
        // The paths named are the first ones of the walk, each with its reason; one entry counts the others.
        std::vector<std::string> genannt;
        std::vector<std::string> weitere;
        for (const Rest& r : plan.Reste) {
            EXPECT_EQ(r.Ordner, Name(1));
            if (r.Pfad.empty()) {
                weitere.push_back(r.Grund);
                continue;
            }
            genannt.push_back(r.Pfad);
            EXPECT_EQ(r.Grund, "Die Kopie fehlt, die die Sicherung " + Name(2) + " braucht.");
        }
        std::vector<std::string> erwartet;
        for (int i = 0; i < std::min(f.fehlende, 10); ++i)
            erwartet.push_back("f" + std::to_string(10000 + i) + ".txt");
        EXPECT_EQ(genannt, erwartet);
        EXPECT_EQ(weitere, f.weitere.empty() ? std::vector<std::string>{} : std::vector<std::string>{f.weitere});
    }
}

} // namespace
} // namespace tresor::test
