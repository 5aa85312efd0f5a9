// A run asked to stop stops at once: what it copied is durable and marked, the copy under way leaves nothing
// behind, every file it did not reach keeps its archive bit, and it ends without a message. Large files report
// their progress while they are copied.

#include "engine/bestand/Bestandsformat.h"
#include "tests/engine/Engineumgebung.h"

#include <algorithm>
#include <fstream>
#include <set>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

const Pfad Spiegel = "D:\\Sicherung-2002-02-07--13-42-27\\Q";

class Abbruch : public Engineumgebung {
protected:
    void SetUp() override {
        for (const char* d : {"a1", "a2", "a3"})
            Schreibe(std::string("C:\\Q\\") + d + ".txt", std::string("Inhalt ") + d);
        Schreibe("C:\\Q\\B\\b1.txt", "Inhalt b1");
        Schreibe("C:\\Q\\B\\b2.txt", "Inhalt b2");
        Schreibe("C:\\Q\\C\\c1.txt", "Inhalt c1");
        fs::permissions(Posix("C:\\Q\\B"), fs::perms(0750));
        fenster.quellPfad = "C:\\Q";
        fenster.zielPfad = "D:\\";
    }

    // The source files that read as backed up.
    std::set<std::string> Gesichert() {
        std::set<std::string> r;
        for (const char* d : {"a1.txt", "a2.txt", "a3.txt", "B\\b1.txt", "B\\b2.txt", "C\\c1.txt"})
            if (Wert(std::string("C:\\Q\\") + d) < 32)
                r.insert(d);
        return r;
    }

    // Everything below the target drive, as relative POSIX paths.
    std::set<std::string> ImZiel() const {
        std::set<std::string> r;
        const auto wurzel = Posix("D:\\");
        for (const auto& e : fs::recursive_directory_iterator(wurzel))
            r.insert(fs::relative(e.path(), wurzel).string());
        return r;
    }

    // Every archive bit cleared only after a flush that came after the copy.
    void PruefeReihenfolge() {
        std::size_t letzterSync = 0, letzteKopie = 0;
        for (std::size_t i = 0; i < protokoll.size(); ++i) {
            if (protokoll[i].starts_with("Copy "))
                letzteKopie = i;
            if (protokoll[i].starts_with("Sync "))
                letzterSync = i;
            if (protokoll[i].starts_with("SetFileAttr ")) {
                EXPECT_GT(letzterSync, letzteKopie) << protokoll[i];
            }
        }
    }
};

TEST_F(Abbruch, StopsWhereAskedKeepsWhatWasCopiedAndShowsNoMessage) {
    struct Fall {
        std::string Wo;
        std::string Nach;                // the stop is asked once this copy returned ("" at once)
        std::set<std::string> Gesichert; // the source files that read as backed up afterwards
        std::set<std::string> Ziel;      // what the target drive holds afterwards
    };
    const std::string s = "Sicherung-2002-02-07--13-42-27";
    const std::vector<Fall> faelle = {
        {"im Suchlauf", "", {}, {}},
        {"zwischen zwei Dateien",
         "C:\\Q\\a2.txt",
         {"a1.txt", "a2.txt"},
         {s, s + "/Q", s + "/Q/a1.txt", s + "/Q/a2.txt"}},
        {"im Unterordner",
         "C:\\Q\\B\\b1.txt",
         {"a1.txt", "a2.txt", "a3.txt", "B\\b1.txt"},
         {s, s + "/Q", s + "/Q/a1.txt", s + "/Q/a2.txt", s + "/Q/a3.txt", s + "/Q/B", s + "/Q/B/b1.txt"}},
    };
    for (const Fall& fall : faelle) {
        SCOPED_TRACE(fall.Wo);
        SetUp();
        fs::remove_all(Posix("D:\\"));
        fs::create_directories(Posix("D:\\"));
        for (const char* d : {"a1.txt", "a2.txt", "a3.txt", "B\\b1.txt", "B\\b2.txt", "C\\c1.txt"})
            SetzeWert(std::string("C:\\Q\\") + d, 32);
        protokoll.clear();
        fenster.meldungen.clear();
        fenster.zeiger.clear();
        bool halt = fall.Nach.empty();
        nachKopie = [&](const Datei& d, const Pfad&) { halt = halt || d.Path == fall.Nach; };
        fenster.abbruch = [&] { return halt; };

        sicherung.Sichern_Click();

        EXPECT_EQ(sicherung.ausgang, Ausgang::Abgebrochen);
        EXPECT_TRUE(fenster.meldungen.empty());
        EXPECT_EQ(fenster.zeiger, (std::vector<int>{vbHourglass, vbDefault}));
        EXPECT_EQ(sicherung.fso, nullptr);
        EXPECT_EQ(Gesichert(), fall.Gesichert);
        EXPECT_EQ(ImZiel(), fall.Ziel);
        for (const std::string& d : fall.Gesichert) {
            std::string posix = d;
            std::replace(posix.begin(), posix.end(), '\\', '/');
            EXPECT_EQ(LiesDatei(Posix("D:\\" + s + "\\Q") / posix), LiesDatei(Posix("C:\\Q") / posix)) << d;
        }
        PruefeReihenfolge();
        // The folders on the way got their final bits, as at the end of a whole run.
        if (fall.Wo == "im Unterordner") {
            EXPECT_EQ(Zaehle("OrdnerAbschliessen C:\\Q\\B "), 1u);
            EXPECT_EQ(Zaehle("OrdnerAbschliessen C:\\Q "), 1u);
            EXPECT_EQ(fs::status(Posix(Spiegel + "\\B")).permissions(), fs::perms(0750));
        }
        if (fall.Wo == "im Suchlauf") {
            EXPECT_EQ(Zaehle("MakeDir"), 0u);
        }
    }
}

// A file copied in many pieces: the window hears of each, with the file's own bytes and the run's total, and
// a stop asked in the middle of it drops that copy and leaves no temporary file behind.
TEST_F(Abbruch, ALargeFileReportsItsProgressAndAStopInsideItLeavesNoTrace) {
    const std::string gross(6u << 20, 'g');
    Schreibe("C:\\Q\\a2.txt", "Inhalt a2 neu");
    Schreibe("C:\\Q\\a25.bin", gross);
    fenster.staendeMerken = true;
    int stuecke = 0;
    waehrendKopie = [&](const Datei& d, std::uint64_t, std::uint64_t groesse) {
        if (d.Name == "a25.bin") {
            EXPECT_EQ(groesse, gross.size());
            ++stuecke;
        }
    };
    fenster.abbruch = [&] { return stuecke >= 3; };

    sicherung.Sichern_Click();

    EXPECT_EQ(sicherung.ausgang, Ausgang::Abgebrochen);
    EXPECT_EQ(stuecke, 3);
    EXPECT_EQ(Gesichert(), (std::set<std::string>{"a1.txt", "a2.txt"}));
    EXPECT_GE(Wert("C:\\Q\\a25.bin"), 32);
    EXPECT_EQ(ImZiel(), (std::set<std::string>{"Sicherung-2002-02-07--13-42-27", "Sicherung-2002-02-07--13-42-27/Q",
                                               "Sicherung-2002-02-07--13-42-27/Q/a1.txt",
                                               "Sicherung-2002-02-07--13-42-27/Q/a2.txt"}));
    // The reports from inside the large file: its name, its own bytes growing, the run's bytes with them.
    const std::uint64_t vorher = std::string("Inhalt a1").size() + std::string("Inhalt a2 neu").size();
    std::vector<tresor::Fortschritt> drin;
    for (const auto& st : fenster.staende)
        if (st.Datei == "a25.bin")
            drin.push_back(st);
    ASSERT_EQ(drin.size(), 3u);
    for (std::size_t i = 0; i < drin.size(); ++i) {
        EXPECT_EQ(drin[i].Dateien, 2u);
        EXPECT_EQ(drin[i].Ordner, "C:\\Q");
        EXPECT_EQ(drin[i].DateiGroesse, gross.size());
        EXPECT_GT(drin[i].DateiBytes, i == 0 ? 0 : drin[i - 1].DateiBytes);
        EXPECT_LT(drin[i].DateiBytes, gross.size());
        EXPECT_EQ(drin[i].Bytes, vorher + drin[i].DateiBytes);
    }
    // After a file is copied the report names no file.
    EXPECT_TRUE(std::any_of(fenster.staende.begin(), fenster.staende.end(),
                            [](const tresor::Fortschritt& st) { return st.Dateien == 2 && st.Datei.empty(); }));
}

// A whole run reports the last file's end, and the file's bytes count once into the total.
TEST_F(Abbruch, AWholeRunCountsEveryByteOnce) {
    Schreibe("C:\\Q\\a25.bin", std::string(3u << 20, 'g'));
    fenster.staendeMerken = true;
    sicherung.Sichern_Click();
    EXPECT_EQ(sicherung.ausgang, Ausgang::Erfolg);
    ASSERT_FALSE(fenster.staende.empty());
    const auto& letzter = fenster.staende.back();
    EXPECT_EQ(letzter.Dateien, 7u);
    EXPECT_EQ(letzter.Bytes, 6u * 9u + (3u << 20));
    EXPECT_TRUE(letzter.Datei.empty());
}

// A stop below folders above the source: their mirrors get their source folders' bits as at the end of a whole
// run, so nothing in the stopped backup is open to more people than in the source. No record is written, since
// it would name only the files reached; a whole run writes one.
TEST_F(Abbruch, AStopClosesTheMirrorsAboveTheSourceAndWritesARecordMarkedStopped) {
    const std::string s = "Sicherung-2002-02-07--13-42-27";
    for (const bool halten : {true, false}) {
        SCOPED_TRACE(halten ? "angehalten" : "ganzer Lauf");
        fs::remove_all(Posix("D:\\"));
        fs::create_directories(Posix("D:\\"));
        Schreibe("C:\\Heim\\Anna\\Q\\x1.txt", "x1", 32);
        Schreibe("C:\\Heim\\Anna\\Q\\x2.txt", "x2", 32);
        fs::permissions(Posix("C:\\Heim\\Anna"), fs::perms(0750));
        fenster.quellPfad = "C:\\Heim\\Anna\\Q";
        sicherung.bestandslaufwerke = laufwerke;
        protokoll.clear();
        bool halt = false;
        nachKopie = [&](const Datei& d, const Pfad&) { halt = halten && d.Name == "x1.txt"; };
        fenster.abbruch = [&] { return halt; };

        sicherung.Sichern_Click();

        EXPECT_EQ(sicherung.ausgang, halten ? Ausgang::Abgebrochen : Ausgang::Erfolg);
        EXPECT_EQ(Wert("C:\\Heim\\Anna\\Q\\x1.txt") & 32, 0);
        EXPECT_EQ(Wert("C:\\Heim\\Anna\\Q\\x2.txt") & 32, halten ? 32 : 0);
        EXPECT_EQ(Zaehle("OrdnerAbschliessen C:\\Heim\\Anna "), 1u);
        EXPECT_EQ(Zaehle("OrdnerAbschliessen C:\\Heim "), 1u);
        EXPECT_EQ(fs::status(Posix("D:\\" + s + "\\Heim\\Anna")).permissions(), fs::perms(0750));
        std::size_t listen = 0;
        for (const auto& e : fs::directory_iterator(Posix("D:\\" + s)))
            listen += IstBestandsdateiname(e.path().filename().string());
        EXPECT_EQ(listen, 1u);
        std::ifstream datei(Posix("D:\\" + s + "\\" + Bestandsdateiname(0)));
        const std::string text((std::istreambuf_iterator<char>(datei)), std::istreambuf_iterator<char>());
        const auto gelesen = LiesBestand(text);
        ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen));
        EXPECT_EQ(std::get<Bestand>(gelesen).Abgebrochen, halten);
    }
}

// A source that changes while it is copied is copied again: its progress neither falls back to the start
// nor passes its size, and once it is dropped as still changing, its bytes do not stay in the run's count.
TEST_F(Abbruch, ACopyMadeAgainKeepsItsProgressSensible) {
    Schreibe("C:\\Q\\a15.bin", std::string(3u << 20, 'g'));
    fenster.staendeMerken = true;
    for (const auto& [name, versuche] : std::vector<std::pair<std::string, int>>{
             {"waechst einmal", 1}, {"schrumpft einmal", 1}, {"aendert sich immer", 4}}) {
        SCOPED_TRACE(name);
        fs::remove_all(Posix("D:\\"));
        fs::create_directories(Posix("D:\\"));
        Schreibe("C:\\Q\\a15.bin", std::string(3u << 20, 'g'));
        for (const char* d : {"a1.txt", "a2.txt", "a3.txt", "B\\b1.txt", "B\\b2.txt", "C\\c1.txt"})
            SetzeWert(std::string("C:\\Q\\") + d, 32);
        fenster.staende.clear();
        kopierhaken = [&, name = name, versuche = versuche](const Pfad& p, int versuch) {
            if (p != "C:\\Q\\a15.bin" || versuch > versuche)
                return;
            if (name == "schrumpft einmal")
                fs::resize_file(Posix(p), 2u << 20);
            else
                std::ofstream(Posix(p), std::ios::app) << std::string(1u << 20, 'w');
        };

        sicherung.Sichern_Click();
        kopierhaken = nullptr;

        std::vector<tresor::Fortschritt> drin;
        for (const auto& st : fenster.staende)
            if (st.Datei == "a15.bin")
                drin.push_back(st);
        ASSERT_GT(drin.size(), 3u); // pieces of more than one copy
        for (std::size_t i = 0; i < drin.size(); ++i) {
            EXPECT_LE(drin[i].DateiBytes, drin[i].DateiGroesse) << i;
            EXPECT_EQ(drin[i].Bytes, drin.front().Bytes - drin.front().DateiBytes + drin[i].DateiBytes) << i;
            // Back only to the size of a source that became smaller.
            if (i > 0 && drin[i].DateiBytes < drin[i - 1].DateiBytes) {
                EXPECT_EQ(drin[i].DateiBytes, drin[i].DateiGroesse) << i;
            }
        }
        const std::uint64_t klein = 6u * 9u;
        const auto& letzter = fenster.staende.back();
        if (versuche == 4) {
            EXPECT_EQ(sicherung.ausgang, Ausgang::Fehlschlag);
            EXPECT_EQ(letzter.Dateien, 6u);
            EXPECT_EQ(letzter.Bytes, klein);
        } else {
            EXPECT_EQ(sicherung.ausgang, Ausgang::Erfolg);
            EXPECT_EQ(letzter.Dateien, 7u);
            EXPECT_EQ(letzter.Bytes, klein + fs::file_size(Posix("C:\\Q\\a15.bin")));
            EXPECT_EQ(drin.back().DateiBytes, drin.back().DateiGroesse);
        }
    }
}

// A scan stopped midway (the looks at the files of its folder taken ahead on the other thread meanwhile) and begun
// again by the next run: that run finds the one file changed, the last in the walk's order, and backs it up alone.
TEST_F(Abbruch, AScanStoppedMidwayAndBegunAgainFindsTheLastFileChanged) {
    sicherung.Sichern_Click();
    ASSERT_EQ(sicherung.ausgang, Ausgang::Erfolg);
    int sekunde = 0;
    for (const int halt : {1, 4, 8}) {
        SCOPED_TRACE(halt);
        std::ofstream(Posix("C:\\Q\\C\\c1.txt"), std::ios::app) << " geändert";
        int gefragt = 0;
        fenster.abbruch = [&] { return ++gefragt >= halt; };
        uhr.zeit = Zeit{13, 43, sekunde++};
        protokoll.clear();
        sicherung.Sichern_Click();
        EXPECT_EQ(sicherung.ausgang, Ausgang::Abgebrochen);
        EXPECT_EQ(Zaehle("MakeDir"), 0u);
        EXPECT_EQ(Zaehle("Copy"), 0u);

        fenster.abbruch = {};
        uhr.zeit = Zeit{13, 43, sekunde++};
        protokoll.clear();
        sicherung.Sichern_Click();
        EXPECT_EQ(sicherung.ausgang, Ausgang::Erfolg);
        EXPECT_EQ(Zaehle("Copy "), 1u);
        EXPECT_EQ(Zaehle("Copy C:\\Q\\C\\c1.txt"), 1u);
        EXPECT_LT(Wert("C:\\Q\\C\\c1.txt"), 32);
    }
}

} // namespace
} // namespace tresor::test
