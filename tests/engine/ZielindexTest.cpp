// The target's newest record, read alongside the walk: the walk's order, the reader entry by entry, and the
// index that never lets a record out of order, torn or broken make a file count as held that is not.
#include "engine/bestand/Zielindex.h"
#include "engine/bestand/Bestandsleser.h"
#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

namespace tresor {
namespace {

TEST(Wegordnung, FilesBeforeSubfoldersEachInByteOrderAndAFolderBeforeItsContent) {
    struct Fall {
        const char* a;
        bool aOrdner;
        const char* b;
        bool bOrdner;
        int erwartet;
    };
    const std::vector<Fall> faelle = {
        {".", true, "a.txt", false, -1},       // the source folder first
        {"a.txt", false, "b", true, -1},       // a folder's files before its subfolders
        {"b", true, "b/a.txt", false, -1},     // a folder before its content
        {"b/z.txt", false, "c.txt", false, 1}, // everything in a subfolder after the folder's own files
        {"b/sub", true, "b/z.txt", false, 1},
        {"a.txt", false, "a.txt", false, 0},
        {"a.txt", false, "a.txt", true, -1}, // a file and a folder of one name are two entries
        {".x", false, "A", false, -1},       // byte order: "." before upper case before lower case
        {"Z", false, "a", false, -1},
        {"\xc3\xa4", false, "z", false, 1}, // bytes compare unsigned
        {"a/b", true, "a b", true, -1},     // name by name, not the whole text ('/' lies after ' ')
        {"a-b/x", false, "a/x", false, 1},  // the same ('-' lies before '/')
        {"a/b/c", false, "a/b", true, 1},
        // Paths that share their first bytes: compared from the name in which they part, as a whole name.
        {"d/e/f.txt", false, "d/e/g.txt", false, -1},
        {"d/e/f/x", false, "d/e/fa", false, 1},
        {"d/ef/x", false, "d/e/x", false, 1},
        {"d/e/f", true, "d/e/f/x", false, -1},
        {"d/e.txt", false, "d/e", true, -1},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(std::string(f.a) + " | " + f.b);
        EXPECT_EQ(Wegordnung(f.a, f.aOrdner, f.b, f.bOrdner), f.erwartet);
        EXPECT_EQ(Wegordnung(f.b, f.bOrdner, f.a, f.aOrdner), -f.erwartet);
    }
}

constexpr const char* Ordner = "Sicherung-2026-12-08--10-00-00";

Bestandseintrag Datei(const std::string& pfad, std::uint64_t inode, const std::string& ort = Ordner) {
    return {
        Eintragsart::Datei, ort, 5, 100, 0644, 1000, 1000, pfad, "", inode, 1000 + static_cast<std::int64_t>(inode), 0};
}

Bestandseintrag Ordnereintrag(const std::string& pfad) {
    return {Eintragsart::Ordner, "-", 0, 100, 0755, 1000, 1000, pfad, "", 0, 0, 0};
}

// The source's files in the walk's order, and the record a run would write of them.
const std::vector<std::string> Dateien = {"a.txt", "b.txt", "sub/c.txt", "sub/d.txt", "z/e.txt"};

std::vector<Bestandseintrag> Eintraege() {
    return {Ordnereintrag("."),    Datei("a.txt", 1),     Datei("b.txt", 2),  Ordnereintrag("sub"),
            Datei("sub/c.txt", 3), Datei("sub/d.txt", 4), Ordnereintrag("z"), Datei("z/e.txt", 5)};
}

Bestand Aufzeichnung(const Laufwerkstabelle& laufwerke, std::vector<Bestandseintrag> eintraege) {
    Bestand b;
    b.Ordner = Ordner;
    b.Quelle = "C:\\Daten";
    b.QuellePosix = laufwerke.ZuPosix(b.Quelle).value_or("");
    b.Zeit = "2026-12-08--10-00-00";
    b.Eintraege = std::move(eintraege);
    return b;
}

// A record whose line `zeile` (counted from 0) is replaced by `neu`, with its counts and seal made again so
// that only that line is wrong.
std::string MitZeile(const std::string& text, std::size_t zeile, const std::string& neu) {
    std::vector<std::string> zeilen;
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t ende = text.find('\n', pos);
        zeilen.push_back(text.substr(pos, ende - pos));
        pos = ende + 1;
    }
    zeilen[zeile] = neu;
    zeilen.pop_back(); // the last line
    // The counts: entries, "X" and "E" lines, and the files and links per place.
    std::size_t eintraege = 0, x = 0, e = 0;
    std::map<std::string, std::size_t> orte;
    for (std::size_t i = 5; i + 3 < zeilen.size(); ++i) {
        const std::string& z = zeilen[i];
        x += z.starts_with("X ");
        e += z.starts_with("E ");
        eintraege += !z.starts_with("X ") && !z.starts_with("E ");
        const std::string ort = z.substr(2, z.find(' ', 2) - 2);
        if ((z.starts_with("D ") || z.starts_with("V ")) && (ort == OrtFehlt || IstSicherungsordnername(ort)))
            ++orte[ort];
    }
    std::string summe = "summe " + std::to_string(eintraege) + " " + std::to_string(x) + " " + std::to_string(e);
    for (const auto& [ort, anzahl] : orte)
        summe += " " + ort + " " + std::to_string(anzahl);
    zeilen.back() = summe;
    std::string rumpf;
    for (const std::string& z : zeilen)
        rumpf += z + "\n";
    char pruefsumme[17];
    std::snprintf(pruefsumme, sizeof pruefsumme, "%016llx", static_cast<unsigned long long>(Fnv1a(rumpf)));
    return rumpf + "ende " + std::to_string(zeilen.size() - 5) + " " + pruefsumme + "\n";
}

TEST(Bestandsleser, GivesTheEntriesInOrderAndStopsAtTheFirstBrokenOne) {
    test::TempOrdner tmp;
    const Laufwerkstabelle laufwerke = test::TestLaufwerke(tmp);
    Bestand b = Aufzeichnung(laufwerke, Eintraege());
    b.Einhaengepunkte = {"z"};
    const std::string ganz = SchreibeBestand(b);
    struct Fall {
        const char* name;
        std::string text;
        std::size_t gegeben; // entries before the reader stops
        std::string fehler;  // why it stopped early ("" at the end of the entries)
    };
    const std::vector<Fall> faelle = {
        {"whole", ganz, 8, ""},
        {"an entry of too few fields", MitZeile(ganz, 5 + 4, "D x 5"), 4, "Eintrag 5."},
        {"a place outside the target", MitZeile(ganz, 5 + 2, "D ../x 5 100 644 1 1 2 1002 - - b.txt"), 2, "Eintrag 3."},
        // After an entry of a good place, whose check the next ones of that place are spared.
        {"no place after a good one", MitZeile(ganz, 5 + 2, "D  5 100 644 1 1 2 1002 - - b.txt"), 2, "Eintrag 3."},
        {"no backup folder's name after a good one",
         MitZeile(ganz, 5 + 2, "D Sicherung-2026-12-08--10-00-0x 5 100 644 1 1 2 1002 - - b.txt"), 2, "Eintrag 3."},
        {"a folder's place on a file after a good one", MitZeile(ganz, 5 + 2, "D - 5 100 644 1 1 2 1002 - - b.txt"), 2,
         "Eintrag 3."},
        {"a path that climbs out", MitZeile(ganz, 5 + 1, "D fehlt 5 100 644 1 1 1 1001 - - ../a.txt"), 1, "Eintrag 2."},
        {"not the source folder first", MitZeile(ganz, 5, "O - 0 100 755 1 1 0 0 - - sub"), 0, "der erste Eintrag"},
        // The content's checksum: 32 lower-case hex digits, on a file whose version a backup holds, nowhere else.
        {"a checksum one digit short",
         MitZeile(ganz, 5 + 1, "D fehlt 5 100 644 1 1 1 1001 - " + std::string(31, 'a') + " a.txt"), 1, "Eintrag 2."},
        {"a checksum in upper case",
         MitZeile(ganz, 5 + 1, "D fehlt 5 100 644 1 1 1 1001 - " + std::string(32, 'A') + " a.txt"), 1, "Eintrag 2."},
        {"a checksum of a version no backup holds",
         MitZeile(ganz, 5 + 1, "D fehlt 5 100 644 1 1 1 1001 - " + std::string(32, 'a') + " a.txt"), 1, "Eintrag 2."},
        {"a checksum of a folder", MitZeile(ganz, 5, "O - 0 100 755 1 1 0 0 - " + std::string(32, 'a') + " ."), 0,
         "Eintrag 1."},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        auto offen = Bestandsleser::Oeffne(f.text);
        ASSERT_TRUE(std::holds_alternative<Bestandsleser>(offen)) << std::get<std::string>(offen);
        Bestandsleser& leser = std::get<Bestandsleser>(offen);
        EXPECT_EQ(leser.Kopf().Ordner, Ordner);
        for (int runde = 0; runde < 2; ++runde, leser.VonVorn()) {
            std::vector<std::string> pfade;
            while (const Bestandseintrag* e = leser.Naechster())
                pfade.push_back(e->Pfad);
            ASSERT_EQ(pfade.size(), f.gegeben);
            for (std::size_t i = 0; i < pfade.size(); ++i)
                EXPECT_EQ(pfade[i], b.Eintraege[i].Pfad);
            EXPECT_EQ(leser.Fehler().empty(), f.fehler.empty()) << leser.Fehler();
            EXPECT_NE(leser.Fehler().find(f.fehler), std::string::npos) << leser.Fehler();
            EXPECT_EQ(leser.Kopf().Einhaengepunkte, std::vector<std::string>{"z"});
        }
        // The whole record is refused for a restore where the reader stopped early.
        EXPECT_EQ(std::holds_alternative<Bestand>(LiesBestand(f.text)), f.fehler.empty());
    }
    // A torn or changed record gives no entry at all.
    std::string geaendert = ganz;
    geaendert[geaendert.find("b.txt")] = 'c';
    // The checksum's last digit turned into another one: the record names the source by the test's temporary
    // folder, so its checksum, and its last digit, differ from run to run.
    std::string falschePruefsumme = ganz;
    char& ziffer = falschePruefsumme[falschePruefsumme.size() - 2];
    ziffer = ziffer == '0' ? '1' : '0';
    for (const std::string& kaputt : {ganz.substr(0, ganz.size() - 30), falschePruefsumme, geaendert})
        EXPECT_TRUE(std::holds_alternative<std::string>(Bestandsleser::Oeffne(kaputt)));
}

TEST(Zielindex, ARecordOutOfOrderTornOrBrokenNeverMakesAFileCountAsHeld) {
    using Eintraege_t = std::vector<Bestandseintrag>;
    struct Fall {
        const char* name;
        std::function<std::string(const Laufwerkstabelle&)> record;
        std::vector<bool> gehalten; // per file of Dateien, asked in the walk's order
        std::int64_t anders = -1;   // the file (index) whose state the walk sees changed
    };
    auto mit = [](std::function<void(Eintraege_t&)> aendern) {
        return [aendern](const Laufwerkstabelle& l) {
            Eintraege_t e = Eintraege();
            aendern(e);
            return SchreibeBestand(Aufzeichnung(l, e));
        };
    };
    const std::vector<Fall> faelle = {
        {"whole", mit([](Eintraege_t&) {}), {true, true, true, true, true}},
        {"a state changed since", mit([](Eintraege_t&) {}), {true, false, true, true, true}, 1},
        {"entries the walk does not meet",
         mit([](Eintraege_t& e) {
             e.insert(e.begin() + 2, Datei("aa.txt", 9));
             e.insert(e.begin() + 7, Ordnereintrag("sub/alt")); // after sub's files
         }),
         {true, true, true, true, true}},
        {"a file the record lacks",
         mit([](Eintraege_t& e) { e.erase(e.begin() + 4); }),
         {true, true, false, true, true}},
        {"an entry out of order",
         mit([](Eintraege_t& e) {
             std::rotate(e.begin() + 2, e.begin() + 3, e.begin() + 7); // b.txt after the folder z
         }),
         {true, false, true, true, true}},
        {"an entry twice, the second out of order",
         mit([](Eintraege_t& e) { e.push_back(Datei("b.txt", 2)); }),
         {true, true, true, true, true}},
        {"a version in a backup folder deleted since",
         mit([](Eintraege_t& e) { e[7].Ort = "Sicherung-2026-12-01--10-00-00"; }),
         {true, true, true, true, false}},
        {"no version", mit([](Eintraege_t& e) { e[2].Ort = OrtFehlt; }), {true, false, true, true, true}},
        {"without the state's ctime", mit([](Eintraege_t& e) { e[5].CtimeNs = 0; }), {true, true, true, false, true}},
        {"torn",
         [&](const Laufwerkstabelle& l) { return mit([](Eintraege_t&) {})(l).substr(0, 300); },
         {false, false, false, false, false}},
        {"broken in the middle",
         [&](const Laufwerkstabelle& l) {
             return MitZeile(mit([](Eintraege_t&) {})(l), 5 + 4, "D " + std::string(Ordner) + " 5 100 644 x");
         },
         {true, true, false, false, false}},
        {"of another source",
         [](const Laufwerkstabelle& l) {
             Bestand b = Aufzeichnung(l, Eintraege());
             b.Quelle = "C:\\Daten2";
             return SchreibeBestand(b);
         },
         {false, false, false, false, false}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        test::TempOrdner tmp;
        const Laufwerkstabelle laufwerke = test::TestLaufwerke(tmp);
        test::SchreibeDatei(tmp / "D" / Ordner / Bestandsdateiname(0), f.record(laufwerke));
        Zielindex index(laufwerke, "D:\\", "C:\\Daten");
        // Two walks, as a run makes (the scan and the copy); the second begins anew.
        for (int walk = 0; walk < 2; ++walk) {
            index.Neu();
            for (std::size_t i = 0; i < Dateien.size(); ++i) {
                Eintragsstand jetzt;
                jetzt.Typ = Eintragsstand::Art::Datei;
                jetzt.Groesse = 5;
                jetzt.MtimeNs = 100;
                jetzt.Inode = i + 1;
                jetzt.CtimeNs = 1000 + static_cast<std::int64_t>(i) + 1 + (f.anders == static_cast<std::int64_t>(i));
                std::string pfad = "C:\\Daten\\" + Dateien[i];
                std::replace(pfad.begin(), pfad.end(), '/', '\\');
                EXPECT_EQ(index.Haelt(pfad, jetzt), f.gehalten[i]) << Dateien[i] << " walk " << walk;
            }
        }
    }
}

// A record of many entries, read a block ahead of the walk on another thread: every file asked in the walk's
// order is answered by its own entry across the blocks, a walk stopped early and begun anew reads from the first
// entry again, and nothing after a broken entry counts as held.
TEST(Zielindex, AWalkThroughManyEntriesGetsEachFilesOwnAnswer) {
    constexpr std::size_t Anzahl = 2000;
    auto name = [](std::size_t i) {
        char text[16];
        std::snprintf(text, sizeof text, "f%05zu.txt", i);
        return std::string(text);
    };
    struct Fall {
        const char* name;
        std::size_t schritt;  // every n-th file asked
        std::size_t erstBis;  // a first walk stops before this file (Anzahl: no first walk)
        std::size_t kaputtAb; // the entry of this file is broken (Anzahl: none)
    };
    const std::vector<Fall> faelle = {
        {"every file", 1, Anzahl, Anzahl},
        {"every seventh", 7, Anzahl, Anzahl},
        {"begun anew after 600 files", 1, 600, Anzahl},
        {"broken at file 900", 3, 300, 900},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        test::TempOrdner tmp;
        const Laufwerkstabelle laufwerke = test::TestLaufwerke(tmp);
        std::vector<Bestandseintrag> eintraege = {Ordnereintrag(".")};
        for (std::size_t i = 0; i < Anzahl; ++i)
            eintraege.push_back(Datei(name(i), i + 1));
        std::string text = SchreibeBestand(Aufzeichnung(laufwerke, eintraege));
        if (f.kaputtAb < Anzahl)
            text = MitZeile(text, 5 + 1 + f.kaputtAb, "D " + std::string(Ordner) + " 5 100 644 x");
        test::SchreibeDatei(tmp / "D" / Ordner / Bestandsdateiname(0), text);
        Zielindex index(laufwerke, "D:\\", "C:\\Daten");
        ASSERT_TRUE(index.Gelesen());
        auto frage = [&](std::size_t i) {
            Eintragsstand jetzt;
            jetzt.Typ = Eintragsstand::Art::Datei;
            jetzt.Groesse = 5;
            jetzt.MtimeNs = 100;
            jetzt.Inode = i + 1;
            jetzt.CtimeNs = 1000 + static_cast<std::int64_t>(i) + 1;
            return index.Haelt("C:\\Daten\\" + name(i), jetzt);
        };
        index.Neu();
        for (std::size_t i = 0; i < f.erstBis; ++i)
            ASSERT_EQ(frage(i), i < f.kaputtAb) << i;
        index.Neu();
        for (std::size_t i = 0; i < Anzahl; i += f.schritt) {
            ASSERT_EQ(frage(i), i < f.kaputtAb) << i;
            if (i >= f.kaputtAb) {
                EXPECT_EQ(index.Gefunden(), nullptr);
                continue;
            }
            ASSERT_NE(index.Gefunden(), nullptr);
            EXPECT_EQ(index.Gefunden()->Pfad, name(i));
        }
    }
}

// A walk that writes a record of its own has the copies the index's record names looked at by the thread that
// reads ahead: there only as a regular file of the entry's size in a backup folder of the target, reached without
// following a link; the scan, which writes no record, has none looked at.
TEST(Zielindex, TheCopiesTheRecordNamesAreLookedAtForTheWalkThatWritesARecord) {
    namespace sfs = std::filesystem;
    using B = Kopiebefund;
    struct Fall {
        const char* name;
        std::function<void(const sfs::path& kopien, std::vector<Bestandseintrag>& e)> aendern;
        bool ansehen;
        std::vector<B> erwartet; // per file of Dateien
    };
    const std::vector<Fall> faelle = {
        {"all there", [](const sfs::path&, auto&) {}, true, {B::Da, B::Da, B::Da, B::Da, B::Da}},
        {"the scan looks at none",
         [](const sfs::path&, auto&) {},
         false,
         {B::Ungesehen, B::Ungesehen, B::Ungesehen, B::Ungesehen, B::Ungesehen}},
        {"one cut short",
         [](const sfs::path& k, auto&) { sfs::resize_file(k / "b.txt", 1); },
         true,
         {B::Da, B::Fehlt, B::Da, B::Da, B::Da}},
        // An empty file's copy is there; a FIFO of its name in its place, of the same size 0, is not.
        {"an empty file's copy, and a FIFO for one",
         [](const sfs::path& k, auto& e) {
             e[1].Groesse = 0;
             e[2].Groesse = 0;
             sfs::resize_file(k / "a.txt", 0);
             sfs::remove(k / "b.txt");
             ASSERT_EQ(::mkfifo((k / "b.txt").c_str(), 0644), 0);
         },
         true,
         {B::Da, B::Fehlt, B::Da, B::Da, B::Da}},
        {"one removed",
         [](const sfs::path& k, auto&) { sfs::remove(k / "sub" / "c.txt"); },
         true,
         {B::Da, B::Da, B::Fehlt, B::Da, B::Da}},
        {"a link of its size in its place",
         [](const sfs::path& k, auto&) {
             sfs::remove(k / "a.txt");
             sfs::create_symlink("xxxxx", k / "a.txt");
         },
         true,
         {B::Fehlt, B::Da, B::Da, B::Da, B::Da}},
        {"a folder of copies a link to them elsewhere",
         [](const sfs::path& k, auto&) {
             sfs::rename(k / "sub", k.parent_path().parent_path() / "woanders");
             sfs::create_directory_symlink(k.parent_path().parent_path() / "woanders", k / "sub");
         },
         true,
         {B::Da, B::Da, B::Fehlt, B::Fehlt, B::Da}},
        {"a place that is no backup folder of the target, and none",
         [](const sfs::path&, auto& e) {
             e[1].Ort = "Sicherung-2026-12-01--10-00-00";
             e[7].Ort = OrtFehlt;
         },
         true,
         {B::Fehlt, B::Da, B::Da, B::Da, B::Fehlt}},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        test::TempOrdner tmp;
        const Laufwerkstabelle laufwerke = test::TestLaufwerke(tmp);
        const sfs::path kopien = tmp / "D" / Ordner / "Daten";
        for (const std::string& d : Dateien)
            test::SchreibeDatei(kopien / d, "12345");
        std::vector<Bestandseintrag> eintraege = Eintraege();
        f.aendern(kopien, eintraege);
        test::SchreibeDatei(tmp / "D" / Ordner / Bestandsdateiname(0),
                            SchreibeBestand(Aufzeichnung(laufwerke, eintraege)));
        Zielindex index(laufwerke, "D:\\", "C:\\Daten");
        ASSERT_TRUE(index.Gelesen());
        index.Neu(f.ansehen);
        for (std::size_t i = 0; i < Dateien.size(); ++i) {
            std::string pfad = "C:\\Daten\\" + Dateien[i];
            std::replace(pfad.begin(), pfad.end(), '/', '\\');
            (void)index.Haelt(pfad, Eintragsstand{});
            ASSERT_NE(index.Gefunden(), nullptr) << Dateien[i];
            EXPECT_EQ(index.KopieDa(), f.erwartet[i]) << Dateien[i];
        }
    }
}

TEST(Zielindex, AFileAskedOutOfTheWalksOrderCountsAsNotHeld) {
    test::TempOrdner tmp;
    const Laufwerkstabelle laufwerke = test::TestLaufwerke(tmp);
    test::SchreibeDatei(tmp / "D" / Ordner / Bestandsdateiname(0),
                        SchreibeBestand(Aufzeichnung(laufwerke, Eintraege())));
    Zielindex index(laufwerke, "D:\\", "C:\\Daten");
    ASSERT_TRUE(index.Gelesen());
    Eintragsstand a;
    a.Typ = Eintragsstand::Art::Datei;
    a.Groesse = 5;
    a.MtimeNs = 100;
    a.Inode = 1;
    a.CtimeNs = 1001;
    Eintragsstand d = a;
    d.Inode = 4;
    d.CtimeNs = 1004;
    EXPECT_TRUE(index.Haelt("C:\\Daten\\sub\\d.txt", d));
    EXPECT_FALSE(index.Haelt("C:\\Daten\\a.txt", a));      // behind the walk
    EXPECT_FALSE(index.Haelt("C:\\Daten\\sub\\d.txt", d)); // asked twice
    index.Neu();
    EXPECT_TRUE(index.Haelt("C:\\Daten\\a.txt", a));
    EXPECT_TRUE(index.Haelt("C:\\Daten\\sub\\d.txt", d));
}

// A stop asked for by a signal must reach the walk's thread and interrupt what it waits on: the thread that
// reads the record ahead blocks the signals a stop is asked by.
TEST(Zielindex, ItsReadingThreadTakesNoSignal) {
    test::TempOrdner tmp;
    const Laufwerkstabelle laufwerke = test::TestLaufwerke(tmp);
    // More entries than the thread reads ahead: it waits for the walk, alive, instead of ending at the record's end.
    std::vector<Bestandseintrag> eintraege = {Ordnereintrag(".")};
    for (std::size_t i = 0; i < 2000; ++i)
        eintraege.push_back(Datei("f" + std::to_string(10000 + i) + ".txt", i + 1));
    test::SchreibeDatei(tmp / "D" / Ordner / Bestandsdateiname(0), SchreibeBestand(Aufzeichnung(laufwerke, eintraege)));
    Zielindex index(laufwerke, "D:\\", "C:\\Daten");
    ASSERT_TRUE(index.Gelesen());
    index.Neu();
    const auto faeden = test::AndereFaeden();
    EXPECT_EQ(faeden.size(), 1U); // the reading thread
    for (const auto& [id, blockiert] : faeden)
        EXPECT_TRUE(blockiert) << "thread " << id;
}

} // namespace
} // namespace tresor
