// Bringing back chosen entries of a point, or the whole point, as the window asks for them: the tree of a
// point is its record, a restore into a folder gives exactly the source as it was there, the original place
// keeps what is there unless the answer says otherwise, and a stop leaves nothing half written.
#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "engine/wiederherstellung/Auswahl.h"
#include "engine/wiederherstellung/Wiederherstellung.h"
#include "tests/cli/Schnappschuss.h"
#include "tests/cli/Wiederherstellungstest.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <atomic>

namespace tresor::test {
namespace {

class Zurueckholtest : public Kettentest {
protected:
    Wiederherstellung& W() {
        if (!w)
            w = std::make_unique<Wiederherstellung>(
                laufwerke, [this] { return ErzeugePosixDateisystem(laufwerke); }, aus, fehler);
        return *w;
    }
    Rueckholauftrag Auftrag(std::size_t punkt) const {
        Rueckholauftrag a;
        a.Ziel = "D:\\Backup";
        a.Quelle = "C:\\Daten";
        a.Stand = staende[punkt];
        return a;
    }

    std::unique_ptr<Wiederherstellung> w;
};

// The snapshot's entries below `ordner` ("." for all), with their paths below it; the top itself left out.
Schnappschuss Teil(const Schnappschuss& s, const std::string& ordner) {
    Schnappschuss teil;
    for (const auto& [rel, e] : s) {
        if (rel == ".")
            continue;
        if (ordner == ".")
            teil.emplace(rel, e);
        else if (rel.starts_with(ordner + "/"))
            teil.emplace(rel.substr(ordner.size() + 1), e);
    }
    return teil;
}

TEST_F(Zurueckholtest, TheTreeOfAPointIsItsRecordFolderByFolder) {
    Kette();
    for (std::size_t i = 0; i < staende.size(); ++i) {
        SCOPED_TRACE(staende[i]);
        const auto baum = W().Baum("D:\\Backup", "C:\\Daten", staende[i]);
        ASSERT_TRUE(baum) << fehler.str();
        const auto gelesen = LiesBestand(LiesDatei(Sicherungsordner(staende[i]) / Bestandsdateiname(0)));
        const Bestand& b = std::get<Bestand>(gelesen);
        ASSERT_EQ(baum->Eintraege.size(), b.Eintraege.size());
        for (std::size_t k = 0; k < b.Eintraege.size(); ++k) {
            EXPECT_EQ(baum->Eintraege[k].Pfad, b.Eintraege[k].Pfad);
            EXPECT_EQ(baum->Eintraege[k].Groesse, b.Eintraege[k].Groesse);
            EXPECT_EQ(baum->Eintraege[k].MtimeNs, b.Eintraege[k].MtimeNs);
            EXPECT_EQ(baum->Eintraege[k].Zustand, Baumeintrag::Lage::Gesichert);
            if (b.Eintraege[k].Art != Eintragsart::Ordner) {
                EXPECT_EQ(baum->Eintraege[k].Ort, b.Eintraege[k].Ort);
            }
        }
        // Folder by folder: each name once, in the folder that holds it.
        std::size_t gezaehlt = 1;
        for (const auto& [ordner, inhalt] : baum->Inhalt)
            for (std::size_t k : inhalt) {
                EXPECT_EQ(Elternpfad(baum->Eintraege[k].Pfad), ordner);
                ++gezaehlt;
            }
        EXPECT_EQ(gezaehlt, baum->Eintraege.size());
    }
    // A lost backup folder: the versions in it are shown as missing, the others as there.
    fs::remove_all(Sicherungsordner(staende[1]));
    const auto baum = W().Baum("D:\\Backup", "C:\\Daten", staende[2]);
    ASSERT_TRUE(baum);
    std::map<std::string, Baumeintrag::Lage> lage;
    for (std::size_t k : baum->In("."))
        lage[baum->Eintraege[k].Name()] = baum->Eintraege[k].Zustand;
    EXPECT_EQ(lage["a.txt"], Baumeintrag::Lage::Fehlt);
    EXPECT_EQ(lage["d.txt"], Baumeintrag::Lage::Gesichert);
    EXPECT_EQ(lage["zeiger"], Baumeintrag::Lage::Gesichert);
    EXPECT_FALSE(W().Baum("D:\\Backup", "C:\\Daten", "2026-03-14--10-00-00"));
}

TEST_F(Zurueckholtest, ARestoreOfASelectionOrOfAPointGivesTheSourceAsItWasThere) {
    Kette();
    struct Fall {
        std::size_t punkt;
        std::vector<std::string> auswahl;
        std::string teil;                  // the folder of the source at that point that the restore folder must equal
        std::vector<std::string> nurDiese; // when given: only these paths of that part
    };
    const std::vector<Fall> faelle = {
        {0, {}, ".", {}},
        {1, {}, ".", {}},
        {2, {"."}, ".", {}},
        {0, {"sub"}, ".", {"sub", "sub/b.txt", "sub/tief", "sub/tief/t.txt"}},
        {0, {"sub/b.txt", "sub/tief"}, "sub", {"b.txt", "tief", "tief/t.txt"}},
        {1, {"a.txt"}, ".", {"a.txt"}},
        // Chosen in different folders: the folders on the way to them below the deepest one that holds them all
        // come along (sub, with its own bits and time), without their other content.
        {0, {"a.txt", "sub/tief"}, ".", {"a.txt", "sub", "sub/tief", "sub/tief/t.txt"}},
        {2, {"sub/tief"}, ".", {}}, // not in that point: refused
    };
    for (std::size_t i = 0; i < faelle.size(); ++i) {
        const Fall& f = faelle[i];
        SCOPED_TRACE(std::to_string(i));
        Rueckholauftrag a = Auftrag(f.punkt);
        a.Auswahl = f.auswahl;
        const fs::path nach = temp / "C" / ("zurueck" + std::to_string(i));
        a.Nach = "C:\\zurueck" + std::to_string(i);
        std::vector<Rueckholstand> fortschritt;
        a.Fortschritt = [&](const Rueckholstand& s) { fortschritt.push_back(s); };
        const Befund befund = W().Zurueckholen(a);
        if (i + 1 == faelle.size()) {
            EXPECT_EQ(befund, Befund::Abgelehnt);
            EXPECT_FALSE(fs::exists(nach));
            continue;
        }
        ASSERT_EQ(befund, Befund::Vollstaendig) << fehler.str();
        Schnappschuss soll = Teil(schnappschuesse[f.punkt], f.teil);
        if (!f.nurDiese.empty())
            std::erase_if(soll, [&](const auto& eintrag) {
                return std::find(f.nurDiese.begin(), f.nurDiese.end(), eintrag.first) == f.nurDiese.end();
            });
        EXPECT_EQ(Unterschiede(soll, Teil(Schnappe(nach), ".")), "");
        // The progress knows its totals from the start and ends at them.
        ASSERT_FALSE(fortschritt.empty());
        EXPECT_EQ(fortschritt.front().Dateien, 0u);
        EXPECT_EQ(fortschritt.back().Dateien, fortschritt.back().DateienGesamt);
        EXPECT_EQ(fortschritt.back().Bytes, fortschritt.back().BytesGesamt);
        EXPECT_GT(fortschritt.back().DateienGesamt, 0u);
        // A folder that took a part only is open as a new folder is, not private.
        if (!f.auswahl.empty() && f.auswahl[0] != ".") {
            EXPECT_NE(fs::status(nach).permissions() & fs::perms::group_read, fs::perms::none);
        }
    }
}

struct Ursprungsfall {
    const char* name;
    std::vector<Konfliktantwort> antworten; // one per question; the last one repeats
    std::string a;                          // a.txt afterwards
    bool datiert;                           // the point's a.txt beside it under the dated name
    int fragen;                             // questions asked
};

class Ursprungstest : public Zurueckholtest, public ::testing::WithParamInterface<Ursprungsfall> {};

TEST_P(Ursprungstest, TheOriginalPlaceKeepsWhatIsThereUnlessTheAnswerSaysOtherwise) {
    const Ursprungsfall& f = GetParam();
    Kette();
    // Since the first point: a.txt and e.txt changed, sub/b.txt gone, a folder where sub/tief/t.txt was.
    Schreibe(Q() / "a.txt", "lokal geändert");
    fs::remove(Q() / "sub" / "b.txt");
    Schreibe(Q() / "sub" / "tief" / "t.txt" / "drin.txt", "ein Ordner jetzt");
    Rueckholauftrag a = Auftrag(0);
    std::vector<std::string> gefragt;
    a.Frage = [&](const Konflikt& k) {
        gefragt.push_back(k.Pfad);
        return f.antworten[std::min(gefragt.size(), f.antworten.size()) - 1];
    };
    ASSERT_EQ(W().Zurueckholen(a), Befund::Vollstaendig) << fehler.str();
    EXPECT_EQ(static_cast<int>(gefragt.size()), f.fragen);
    EXPECT_EQ(LiesDatei(Q() / "a.txt"), f.a);
    const fs::path datiert = Q() / DatierterName("a.txt", staende[0]);
    EXPECT_EQ(fs::exists(datiert), f.datiert);
    if (f.datiert) {
        EXPECT_EQ(LiesDatei(datiert), "eins");
    }
    // What was missing comes back without a question; what is only there now stays; a folder is never
    // replaced by a file.
    EXPECT_EQ(LiesDatei(Q() / "sub" / "b.txt"), "bbb");
    EXPECT_EQ(LiesDatei(Q() / "d.txt"), "d");
    EXPECT_EQ(LiesDatei(Q() / "sub" / "c.txt"), "ccc");
    EXPECT_EQ(LiesDatei(Q() / "sub" / "tief" / "t.txt" / "drin.txt"), "ein Ordner jetzt");
    EXPECT_EQ(fs::read_symlink(Q() / "zeiger"), "a.txt");
    // Nothing but the chosen names: no temporary copies.
    for (const auto& [rel, e] : Schnappe(Q()))
        EXPECT_EQ(rel.find(".tmp"), std::string::npos) << rel;
}

const Konfliktantwort ersetzen{Konfliktwahl::Ersetzen, false};
const Konfliktantwort beide{Konfliktwahl::BeideBehalten, false};
const Konfliktantwort ueberspringen{Konfliktwahl::Ueberspringen, false};

INSTANTIATE_TEST_SUITE_P(
    Antworten, Ursprungstest,
    ::testing::Values(
        // Two conflicts: a.txt and the folder sub/tief/t.txt (kept beside, whatever the answer).
        Ursprungsfall{"ErsetzenFuerAlle", {{Konfliktwahl::Ersetzen, true}}, "eins", false, 1},
        Ursprungsfall{"ErsetzenEinzeln", {ersetzen}, "eins", false, 2},
        Ursprungsfall{"BeideFuerAlle", {{Konfliktwahl::BeideBehalten, true}}, "lokal geändert", true, 1},
        Ursprungsfall{"UeberspringenEinzeln", {ueberspringen}, "lokal geändert", false, 2},
        Ursprungsfall{"ErstBeideDannUeberspringen", {beide, ueberspringen}, "lokal geändert", true, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Zurueckholtest, AStopAmidALongRestoreLeavesNothingHalfWrittenUnderARealName) {
    Schreibe(Q() / "a.txt", "klein");
    Schreibe(Q() / "gross.bin", std::string(24u << 20, 'g'));
    Schreibe(Q() / "z.txt", "danach");
    Punkt();
    std::atomic<bool> stopp = false;
    int meldungen = 0;
    w = std::make_unique<Wiederherstellung>(
        laufwerke,
        [&]() -> std::unique_ptr<Dateisystem> {
            auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
            // Asked to stop amid the copy of the large file.
            h->waehrendKopie = [&](const Datei& d, std::uint64_t, std::uint64_t) {
                if (d.Name == "gross.bin" && ++meldungen == 1)
                    stopp = true;
            };
            return h;
        },
        aus, fehler);
    Rueckholauftrag a = Auftrag(0);
    const fs::path nach = temp / "C" / "zurueck";
    a.Nach = "C:\\zurueck";
    a.Stopp = &stopp;
    EXPECT_EQ(W().Zurueckholen(a), Befund::Probleme);
    EXPECT_TRUE(W().Bericht().Angehalten);
    EXPECT_NE(fehler.str().find("Angehalten: 2 Dateien"), std::string::npos) << fehler.str();
    EXPECT_EQ(meldungen, 1);
    // What is there is whole and the point's; nothing else is there, not even under a temporary name.
    const Schnappschuss ist = Teil(Schnappe(nach), ".");
    ASSERT_EQ(ist.size(), 1u);
    EXPECT_EQ(ist.begin()->first, "a.txt");
    EXPECT_EQ(ist.begin()->second, schnappschuesse[0].at("a.txt"));
}

// A tree whose folders are left one after another as the walk goes: each must get its bits and time once
// nothing more is written into it, whether the whole point, a part, the original place or a stop.
struct Ordnerfall {
    const char* name;
    std::vector<std::string> auswahl;
    std::string teil;              // the folder of the source that the restore folder stands for
    bool ursprung;                 // back to the source, where a/b and e were removed
    int stoppNach;                 // files done before the stop; -1: none
    std::vector<std::string> soll; // the paths there afterwards (below the restore folder)
    bool verbund;                  // a/eins.txt and b/zwei.txt one file
};

class Ordnerabschluss : public Zurueckholtest, public ::testing::WithParamInterface<Ordnerfall> {};

TEST_P(Ordnerabschluss, EachFolderGetsItsBitsAndTimeOnceTheWalkHasLeftIt) {
    const Ordnerfall& f = GetParam();
    // In the walk's order: top.txt, a (eins.txt, b (y.txt, c (z.txt)), d (w.txt)), b (zwei.txt), e (f.txt).
    Schreibe(Q() / "top.txt", "oben");
    Schreibe(Q() / "a" / "eins.txt", "eine Datei, zwei Namen");
    Schreibe(Q() / "a" / "b" / "y.txt", "y");
    Schreibe(Q() / "a" / "b" / "c" / "z.txt", "z");
    Schreibe(Q() / "a" / "d" / "w.txt", "w");
    fs::create_directories(Q() / "b");
    fs::create_hard_link(Q() / "a" / "eins.txt", Q() / "b" / "zwei.txt");
    Schreibe(Q() / "e" / "f.txt", "f");
    // The deepest first: bits that shut out writing, and times a second apart.
    const std::vector<std::pair<const char*, unsigned>> ordner = {{"a/b/c", 0700}, {"a/b", 0555}, {"a/d", 0751},
                                                                  {"a", 0750},     {"b", 0755},   {"e", 0555}};
    for (std::size_t i = 0; i < ordner.size(); ++i) {
        const struct timespec zeit[2] = {{0, UTIME_OMIT}, {1700000000 + static_cast<long>(i), 123456789}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (Q() / ordner[i].first).c_str(), zeit, 0), 0);
        fs::permissions(Q() / ordner[i].first, fs::perms(ordner[i].second));
    }
    Punkt();
    Rueckholauftrag a = Auftrag(0);
    a.Auswahl = f.auswahl;
    fs::path nach = Q();
    if (f.ursprung) {
        fs::remove_all(Q() / "a" / "b");
        fs::remove_all(Q() / "e");
    } else {
        a.Nach = "C:\\wieder";
        nach = temp / "C" / "wieder";
    }
    std::atomic<bool> stopp = false;
    a.Stopp = &stopp;
    a.Fortschritt = [&](const Rueckholstand& s) {
        if (static_cast<int>(s.Dateien) == f.stoppNach)
            stopp = true;
    };
    EXPECT_EQ(W().Zurueckholen(a), f.stoppNach < 0 ? Befund::Vollstaendig : Befund::Probleme) << fehler.str();
    // Every entry there is the point's, with its bits and time; no other is there.
    const Schnappschuss ist = Teil(Schnappe(nach), ".");
    const Schnappschuss vorher = Teil(schnappschuesse[0], f.teil);
    std::vector<std::string> da;
    for (const auto& [rel, e] : ist) {
        da.push_back(rel);
        if (f.ursprung && rel == "a")
            continue; // a folder that was there keeps its own time
        ASSERT_TRUE(vorher.contains(rel)) << rel;
        EXPECT_EQ(e, vorher.at(rel)) << rel;
    }
    EXPECT_EQ(da, f.soll);
    if (f.verbund) {
        EXPECT_TRUE(fs::equivalent(nach / "a" / "eins.txt", nach / "b" / "zwei.txt"));
    }
}

const std::vector<std::string> ganzerBaum = {"a",   "a/b",       "a/b/c",      "a/b/c/z.txt", "a/b/y.txt",
                                             "a/d", "a/d/w.txt", "a/eins.txt", "b",           "b/zwei.txt",
                                             "e",   "e/f.txt",   "top.txt"};

INSTANTIATE_TEST_SUITE_P(
    Baum, Ordnerabschluss,
    ::testing::Values(
        Ordnerfall{"GanzerPunkt", {}, ".", false, -1, ganzerBaum, true},
        // Below the deepest folder that holds both: a/b is left when a/d comes.
        Ordnerfall{"Teil", {"a/b", "a/d"}, "a", false, -1, {"b", "b/c", "b/c/z.txt", "b/y.txt", "d", "d/w.txt"}, false},
        Ordnerfall{"Ursprung", {}, ".", true, -1, ganzerBaum, false},
        // Stopped before a/d: a/b and a/b/c were left and finished, a when the stop ends the walk.
        Ordnerfall{"Angehalten",
                   {},
                   ".",
                   false,
                   4,
                   {"a", "a/b", "a/b/c", "a/b/c/z.txt", "a/b/y.txt", "a/eins.txt", "top.txt"},
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Zurueckholtest, ACheckTellsItsProgressAndStopsWhenAsked) {
    Kette();
    struct Fall {
        int stoppNach; // files read before the stop; -1: none
        Befund befund;
        std::uint64_t gelesen;
    };
    for (const Fall& f : std::vector<Fall>{{-1, Befund::Vollstaendig, 4}, {2, Befund::Probleme, 2}}) {
        std::atomic<bool> stopp = false;
        std::vector<Rueckholstand> fortschritt;
        W().Begleite(
            [&](const Rueckholstand& s) {
                fortschritt.push_back(s);
                if (static_cast<int>(s.Dateien) == f.stoppNach)
                    stopp = true;
            },
            &stopp);
        EXPECT_EQ(W().Pruefen("D:\\Backup", "C:\\Daten", staende[1], false), f.befund) << fehler.str();
        ASSERT_FALSE(fortschritt.empty());
        EXPECT_EQ(fortschritt.back().Dateien, f.gelesen);
        EXPECT_EQ(fortschritt.back().DateienGesamt, 4u); // a.txt, sub/b.txt, sub/c.txt, zeiger
    }
    EXPECT_NE(fehler.str().find("Angehalten: Die Prüfung des Standes " + staende[1] + " wurde nach 2 von 4"),
              std::string::npos)
        << fehler.str();
}

TEST(DatierterName, TheDateGoesBeforeTheEnding) {
    const std::vector<std::array<std::string, 3>> faelle = {
        {"Brief.txt", "1", "Brief (Stand 2026-03-14 09-00-01).txt"},
        {"Archiv.tar.gz", "1", "Archiv.tar (Stand 2026-03-14 09-00-01).gz"},
        {".bashrc", "1", ".bashrc (Stand 2026-03-14 09-00-01)"},
        {"Ordner", "3", "Ordner (Stand 2026-03-14 09-00-01, 3)"},
    };
    for (const auto& [name, nummer, soll] : faelle)
        EXPECT_EQ(DatierterName(name, "2026-03-14--09-00-01", std::stoi(nummer)), soll);
}

} // namespace
} // namespace tresor::test
