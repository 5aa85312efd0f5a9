// The text form of the record of the source: any name bytes come back, and a torn, changed or hostile
// record is never taken for a good one.
#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Auslassungen.h"

#include <gtest/gtest.h>

namespace tresor {
namespace {

TEST(Bestandsformat, EscapingKeepsEveryByteAndLeavesReadableNamesAlone) {
    struct Fall {
        std::string roh;
        std::string maskiert;
    };
    const std::vector<Fall> faelle = {
        {"a.txt", "a.txt"},
        {"Brief an Anna.txt", "Brief%20an%20Anna.txt"},
        {std::string("neue\nZeile"), "neue%0AZeile"},
        {"back\\slash", "back\\slash"},
        {"100%", "100%25"},
        {std::string("\xff\xfe"), "%FF%FE"},
        {std::string("\x1b[31m"), "%1B[31m"},
        {"Grüße ☃", "Grüße%20☃"},
        {std::string("\xc2\x85"), "%C2%85"},        // NEL, a C1 control character
        {std::string("\xc3\x28"), "%C3("},          // a broken sequence
        {std::string("\xe0\x80\xaf"), "%E0%80%AF"}, // an overlong form
        {std::string("a\0b", 3), "a%00b"},
        {"\x7f", "%7F"},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.maskiert);
        EXPECT_EQ(Maskiere(f.roh), f.maskiert);
        EXPECT_EQ(Demaskiere(f.maskiert), f.roh);
    }
    for (int b = 0; b < 256; ++b) {
        const std::string roh(1, static_cast<char>(b));
        EXPECT_EQ(Demaskiere(Maskiere(roh)), roh) << b;
        EXPECT_EQ(Maskiere(roh).find_first_of(" \n\r\t"), std::string::npos) << b;
    }
    for (const char* schlecht : {"%", "%4", "%G1", "a b", "a\nb", "ab%", "ab%4", "a%41%", "%41 ", "abc\x7f", "%4G"})
        EXPECT_EQ(Demaskiere(schlecht), std::nullopt) << schlecht;
}

Bestand Beispiel() {
    Bestand b;
    b.Ordner = "Sicherung-2026-12-08--10-15-02";
    b.Quelle = "D:\\home\\anna\\Daten und mehr";
    b.QuellePosix = "/media/x/home/anna/Daten und mehr";
    b.Zeit = "2026-12-08--10-15-02";
    b.KopierteDateien = 2;
    b.KopierteBytes = 10;
    b.Eintraege = {
        {Eintragsart::Ordner, "-", 0, 1765188000000000000, 0755, 1000, 1000, ".", ""},
        {Eintragsart::Datei, b.Ordner, 5, 1765188000000000001, 04755, 0, 0, "a b.txt", ""},
        {Eintragsart::Ordner, "-", 0, -5, 0700, 1, 2, std::string("neu\nZeile"), ""},
        {Eintragsart::Datei, OrtFehlt, 9, 17, 0644, 1000, 1000, std::string("neu\nZeile/\xff"), ""},
        {Eintragsart::Verweis, "Sicherung-2026-12-01--09-00-00", 5, 1, 0777, 1000, 1000, "zeiger", "../a b.txt"},
    };
    b.Eintraege[1].Inhalt = Inhaltssumme{0x0011223344556677, 0x8899aabbccddeeff};
    return b;
}

void ErwarteGleich(const Bestand& a, const Bestand& b) {
    EXPECT_EQ(a.Ordner, b.Ordner);
    EXPECT_EQ(a.Quelle, b.Quelle);
    EXPECT_EQ(a.QuellePosix, b.QuellePosix);
    EXPECT_EQ(a.Zeit, b.Zeit);
    EXPECT_EQ(a.KopierteDateien, b.KopierteDateien);
    EXPECT_EQ(a.KopierteBytes, b.KopierteBytes);
    EXPECT_EQ(a.Abgebrochen, b.Abgebrochen);
    EXPECT_EQ(a.Einhaengepunkte, b.Einhaengepunkte);
    ASSERT_EQ(a.Ausgelassen.size(), b.Ausgelassen.size());
    for (std::size_t i = 0; i < a.Ausgelassen.size(); ++i)
        EXPECT_TRUE(a.Ausgelassen[i].Pfad == b.Ausgelassen[i].Pfad && a.Ausgelassen[i].Grund == b.Ausgelassen[i].Grund)
            << i;
    ASSERT_EQ(a.Eintraege.size(), b.Eintraege.size());
    for (std::size_t i = 0; i < a.Eintraege.size(); ++i) {
        const auto &x = a.Eintraege[i], &y = b.Eintraege[i];
        EXPECT_TRUE(x.Art == y.Art && x.Ort == y.Ort && x.Groesse == y.Groesse && x.MtimeNs == y.MtimeNs &&
                    x.Modus == y.Modus && x.Uid == y.Uid && x.Gid == y.Gid && x.Pfad == y.Pfad &&
                    x.Verweisziel == y.Verweisziel && x.Inode == y.Inode && x.CtimeNs == y.CtimeNs &&
                    x.Verbund == y.Verbund && x.Inhalt == y.Inhalt)
            << i;
    }
}

TEST(Bestandsformat, ARecordReadsBackAsWritten) {
    const std::string text = SchreibeBestand(Beispiel());
    EXPECT_TRUE(text.starts_with("tresor-ix-bestand 4\nordner Sicherung-2026-12-08--10-15-02\n"
                                 "quelle D:\\home\\anna\\Daten%20und%20mehr\n"))
        << text;
    EXPECT_NE(text.find("\nzeit 2026-12-08--10-15-02\nO - 0 1765188000000000000 755 1000 1000 0 0 - - .\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nD Sicherung-2026-12-08--10-15-02 5 1765188000000000001 4755 0 0 0 0 - "
                        "00112233445566778899aabbccddeeff a%20b.txt\n"),
              std::string::npos)
        << text;
    EXPECT_NE(
        text.find("\nV Sicherung-2026-12-01--09-00-00 5 1 777 1000 1000 0 0 - - zeiger ../a%20b.txt\nkopiert 2 10\n"
                  "lauf ganz\nsumme 5 0 0 Sicherung-2026-12-01--09-00-00 1 Sicherung-2026-12-08--10-15-02 1 "
                  "fehlt 1\nende 8 "),
        std::string::npos)
        << text;
    const auto gelesen = LiesBestand(text);
    ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen)) << std::get<std::string>(gelesen);
    ErwarteGleich(std::get<Bestand>(gelesen), Beispiel());
}

// Runs of entries that name one place and entries that change it: each line names its own place, escaped,
// and the counts of the "summe" line belong to each place (the reader refuses a record whose counts are not those
// of its lines); paths escaped wherever their odd bytes are.
TEST(Bestandsformat, EachLineNamesItsOwnPlaceAndTheCountsFollowThePlaces) {
    struct Fall {
        const char* name;
        std::vector<std::string> orte; // of the files a.0, a.1, ... in this order
        std::vector<std::pair<std::string, std::uint64_t>> summe;
    };
    const std::string s1 = "Sicherung-2026-12-01--09-00-00";
    const std::string s2 = "Sicherung-2026-12-08--10-15-02";
    for (const Fall& f : std::vector<Fall>{
             {"one place", {s2, s2, s2}, {{s2, 3}}},
             {"back and forth", {s1, s1, s2, s1, OrtFehlt, s2}, {{s1, 3}, {s2, 2}, {OrtFehlt, 1}}},
             {"each once", {OrtFehlt, s2, s1}, {{s1, 1}, {s2, 1}, {OrtFehlt, 1}}},
         }) {
        SCOPED_TRACE(f.name);
        Bestand b = Beispiel();
        b.Eintraege.resize(1); // the source folder
        for (std::size_t i = 0; i < f.orte.size(); ++i) {
            const std::string pfad = i % 3 == 0   ? "a." + std::to_string(i) + " %"
                                     : i % 3 == 1 ? "\x7f" +
                                                        std::string("\xc3\xa4"
                                                                    "a.") +
                                                        std::to_string(i)
                                                  : "a." + std::to_string(i);
            b.Eintraege.push_back({Eintragsart::Datei, f.orte[i], 1, 2, 0640, 3, 4, pfad, "", 5, 6, 0});
        }
        const std::string text = SchreibeBestand(b);
        for (std::size_t i = 0; i < f.orte.size(); ++i) {
            const Bestandseintrag& e = b.Eintraege[i + 1];
            const std::string zeile = "\nD " + Maskiere(e.Ort) + " 1 2 640 3 4 5 6 - - " + Maskiere(e.Pfad) + "\n";
            EXPECT_NE(text.find(zeile), std::string::npos) << zeile << text;
        }
        const auto gelesen = LiesBestand(text);
        ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen)) << std::get<std::string>(gelesen);
        ErwarteGleich(std::get<Bestand>(gelesen), b);
        auto summe = f.summe;
        std::sort(summe.begin(), summe.end());
        EXPECT_EQ(std::get<Bestand>(gelesen).Zahlen.Orte, summe);
    }
}

// A stopped point with hard links, entries not backed up and a mount point: every field comes back, and
// what keeps the point from being complete is counted once per path.
Bestand MitLuecken() {
    Bestand b = Beispiel();
    b.Abgebrochen = true;
    b.Eintraege.push_back({Eintragsart::Datei, b.Ordner, 3, 7, 0644, 1000, 1000, "h1", "", 42, 1765188001234567890, 1});
    b.Eintraege.push_back({Eintragsart::Datei, b.Ordner, 3, 7, 0644, 1000, 1000, "h2", "", 42, 1765188001234567890, 1});
    b.Eintraege.push_back({Eintragsart::Ordner, "-", 0, 7, 0755, 0, 0, "stick", "", 0, 0, 0});
    b.Einhaengepunkte = {"stick"};
    b.Ausgelassen = {{std::string("neu\nZeile/\xff"), "Zugriff verweigert"}, {"privat", "Zugriff verweigert"}};
    return b;
}

TEST(Bestandsformat, TheNewFormKeepsStatesGroupsGapsAndTheStop) {
    struct Fall {
        const char* name;
        Bestand bestand;
        bool vollstaendig;
        std::size_t luecken;
        const char* zeile; // a line the text must hold
    };
    Bestand ganz = Beispiel();
    ganz.Eintraege[3].Ort = ganz.Ordner; // no version missing
    Bestand nurHalt = ganz;
    nurHalt.Abgebrochen = true;
    Bestand nurEinhaengung = ganz;
    nurEinhaengung.Einhaengepunkte = {"neu\nZeile"};
    const std::vector<Fall> faelle = {
        {"complete", ganz, true, 0, "\nlauf ganz\n"},
        {"a version missing", Beispiel(), false, 1, "\nD fehlt 9 17 644 1000 1000 0 0 - - neu%0AZeile/%FF\n"},
        {"stopped", nurHalt, false, 0, "\nlauf abgebrochen\n"},
        {"mount point", nurEinhaengung, false, 1, "\nE neu%0AZeile\nkopiert 2 10\nlauf ganz\nsumme 5 0 1 "},
        {"everything", MitLuecken(), false, 3,
         "\nD Sicherung-2026-12-08--10-15-02 3 7 644 1000 1000 42 1765188001234567890 1 - h2\n"},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        const std::string text = SchreibeBestand(f.bestand);
        EXPECT_NE(text.find(f.zeile), std::string::npos) << text;
        const auto gelesen = LiesBestand(text);
        ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen)) << std::get<std::string>(gelesen);
        ErwarteGleich(std::get<Bestand>(gelesen), f.bestand);
        EXPECT_EQ(std::get<Bestand>(gelesen).Version, Bestandsversion);
        EXPECT_EQ(Vollstaendig(std::get<Bestand>(gelesen)), f.vollstaendig);
        EXPECT_EQ(Unvollstaendige(std::get<Bestand>(gelesen)), f.luecken);
    }
    const std::string text = SchreibeBestand(MitLuecken());
    EXPECT_NE(text.find("\nX neu%0AZeile/%FF Zugriff%20verweigert\nX privat Zugriff%20verweigert\nkopiert 2 10\n"
                        "lauf abgebrochen\nsumme 8 2 1 "),
              std::string::npos)
        << text;
}

// Records of the first form, as earlier runs wrote them, read as they were: complete runs without ctimes.
TEST(Bestandsformat, TheFirstFormIsReadAsItWasWritten) {
    std::string text = "tresor-ix-bestand 1\nordner Sicherung-2026-12-08--10-15-02\nquelle D:\\q\nposix /q\n"
                       "zeit 2026-12-08--10-15-02\nkopiert 1 5\nO - 0 1 755 1000 1000 .\n"
                       "D Sicherung-2026-12-08--10-15-02 5 2 644 1000 1000 a%20b\n"
                       "V Sicherung-2026-12-08--10-15-02 1 3 777 1000 1000 z a\n";
    char summe[17];
    std::snprintf(summe, sizeof summe, "%016llx", static_cast<unsigned long long>(Fnv1a(text)));
    text += "ende 3 " + std::string(summe) + "\n";
    const auto gelesen = LiesBestand(text);
    ASSERT_TRUE(std::holds_alternative<Bestand>(gelesen)) << std::get<std::string>(gelesen);
    const Bestand& b = std::get<Bestand>(gelesen);
    EXPECT_EQ(b.Version, 1);
    EXPECT_FALSE(b.Abgebrochen);
    ASSERT_EQ(b.Eintraege.size(), 3u);
    EXPECT_EQ(b.Eintraege[1].Pfad, "a b");
    EXPECT_EQ(b.Eintraege[1].Groesse, 5);
    EXPECT_EQ(b.Eintraege[1].CtimeNs, 0);
    EXPECT_EQ(b.Eintraege[2].Verweisziel, "a");
    EXPECT_TRUE(Vollstaendig(b));
}

TEST(Bestandsformat, EveryTornOrChangedRecordIsRefused) {
    const std::string text = SchreibeBestand(MitLuecken());
    for (std::size_t n = 0; n < text.size(); ++n)
        EXPECT_TRUE(std::holds_alternative<std::string>(LiesBestand(text.substr(0, n)))) << n;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string anders = text;
        anders[i] = static_cast<char>(anders[i] ^ 0x01);
        EXPECT_TRUE(std::holds_alternative<std::string>(LiesBestand(anders))) << i;
    }
}

// A record with a good checksum whose paths would lead a restore astray.
TEST(Bestandsformat, PathsThatLeaveTheTreeOrComeOutOfOrderAreRefused) {
    const std::vector<std::vector<std::string>> faelle = {
        {"D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 a"}, // the first entry must be the source folder
        {"O - 0 1 755 0 0 .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 .."},
        {"O - 0 1 755 0 0 .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 ../a"},
        {"O - 0 1 755 0 0 .", "O - 0 1 755 0 0 a", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 a/../../b"},
        {"O - 0 1 755 0 0 .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 a//b"},
        {"O - 0 1 755 0 0 .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 %2Fetc"},
        {"O - 0 1 755 0 0 .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 a/b"}, // its folder is not listed
        {"O - 0 1 755 0 0 .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 a",
         "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 a/b"}, // below a file
        {"O - 0 1 755 0 0 .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 a",
         "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 a"}, // twice
        {"O - 0 1 755 0 0 .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 a%00b"},
        {"O - 0 1 755 0 0 .", "D ../x 1 1 644 0 0 a"},                           // a version outside the target
        {"O - 0 1 755 0 0 .", "V Sicherung-2025-01-01--00-00-00 1 1 777 0 0 a"}, // a link without target
        {"O - 0 1 755 0 0 .", "D Sicherung-2025-01-01--00-00-00 1 1 99999 0 0 a"},
    };
    for (const auto& zeilen : faelle) {
        std::string text =
            "tresor-ix-bestand 1\nordner Sicherung-2026-01-01--00-00-00\nquelle q\nposix p\nzeit z\nkopiert 0 0\n";
        for (const auto& z : zeilen)
            text += z + "\n";
        text += "ende " + std::to_string(zeilen.size()) + " ";
        char summe[17];
        std::snprintf(summe, sizeof summe, "%016llx",
                      static_cast<unsigned long long>(Fnv1a(text.substr(0, text.rfind("ende ")))));
        text += std::string(summe) + "\n";
        const auto gelesen = LiesBestand(text);
        EXPECT_TRUE(std::holds_alternative<std::string>(gelesen)) << text;
    }
}

// The lines of the new form that would lead astray: a mount point that is no folder of the record, an entry
// not backed up outside it, a link group on a folder, an unknown run state.
TEST(Bestandsformat, HostileLinesOfTheNewFormAreRefused) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> faelle = {
        {"ganz", {"O - 0 1 755 0 0 0 0 - .", "E a"}},
        {"ganz", {"O - 0 1 755 0 0 0 0 - .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 1 1 - a", "E a"}},
        {"ganz", {"O - 0 1 755 0 0 0 0 - .", "X ../a grund"}},
        {"ganz", {"O - 0 1 755 0 0 0 0 - .", "X a"}},
        {"ganz", {"O - 0 1 755 0 0 0 0 - .", "X a grund", "O - 0 1 755 0 0 0 0 - b"}}, // an entry after the gaps
        {"ganz", {"O - 0 1 755 0 0 0 0 3 ."}},
        {"ganz", {"O - 0 1 755 0 0 0 0 - .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 1 1 0 a"}},
        {"ganz", {"O - 0 1 755 0 0 0 0 - .", "D Sicherung-2025-01-01--00-00-00 1 1 644 0 0 1 - a"}},
        {"halb", {"O - 0 1 755 0 0 0 0 - ."}},
    };
    for (const auto& [lauf, zeilen] : faelle) {
        std::string text = "tresor-ix-bestand 2\nordner Sicherung-2026-01-01--00-00-00\nquelle q\nposix p\nzeit "
                           "z\nkopiert 0 0\nlauf " +
                           lauf + "\n";
        for (const auto& z : zeilen)
            text += z + "\n";
        text += "ende " + std::to_string(zeilen.size()) + " ";
        char summe[17];
        std::snprintf(summe, sizeof summe, "%016llx",
                      static_cast<unsigned long long>(Fnv1a(text.substr(0, text.rfind("ende ")))));
        text += std::string(summe) + "\n";
        EXPECT_TRUE(std::holds_alternative<std::string>(LiesBestand(text))) << text;
    }
}

TEST(Bestandsformat, RecordNames) {
    EXPECT_EQ(Bestandsdateiname(0), "tresor-ix-bestand.txt");
    EXPECT_EQ(Bestandsdateiname(1), "tresor-ix-bestand-2.txt");
    for (int i = 0; i < 12; ++i)
        EXPECT_TRUE(IstBestandsdateiname(Bestandsdateiname(i))) << i;
    for (const char* n : {"tresor-ix-bestand-1.txt", "tresor-ix-bestand-02.txt", "tresor-ix-bestand-.txt",
                          "tresor-ix-bestand.txt.tmp", "tresor-ix-bestand-x.txt"})
        EXPECT_FALSE(IstBestandsdateiname(n)) << n;
}

// The entries a run could not back up: each path once, with the reason it was first named with, whether the
// reports are all held or went into runs of the temporary file.
TEST(Bestandsformat, EntriesNotBackedUpComeOutOnceEachWithTheirFirstReason) {
    struct Fall {
        const char* name;
        std::size_t haltbar;
        std::vector<Auslassung> gemeldet;
        std::vector<Auslassung> erwartet; // in byte order of the paths
        std::size_t gehalten;             // held in memory after the last report
    };
    // 1,000 paths named backwards, then 2,000 forwards: the first 1,000 twice.
    std::vector<Auslassung> viele;
    std::vector<Auslassung> vieleErwartet;
    for (int i = 999; i >= 0; --i)
        viele.push_back({"d" + std::to_string(1000 + i), "erst"});
    for (int i = 0; i < 2000; ++i) {
        viele.push_back({"d" + std::to_string(1000 + i), "dann"});
        vieleErwartet.push_back({"d" + std::to_string(1000 + i), i < 1000 ? "erst" : "dann"});
    }
    const std::vector<Fall> faelle = {
        {"nichts", 4, {}, {}, 0},
        {"alles gehalten", 10, {{"b", "1"}, {"a", "2"}, {"b", "3"}}, {{"a", "2"}, {"b", "1"}}, 3},
        // Runs [a c] [b c] and held [a]: a and c of the earlier run win.
        {"über Läufe hinweg",
         2,
         {{"c", "1"}, {"a", "2"}, {"c", "3"}, {"b", "4"}, {"a", "5"}},
         {{"a", "2"}, {"b", "4"}, {"c", "1"}},
         1},
        {"doppelt im selben Lauf", 3, {{"x", "1"}, {"x", "2"}, {"x", "3"}, {"y", "4"}}, {{"x", "1"}, {"y", "4"}}, 1},
        {"Namen mit Zeilenumbruch und Leerzeichen",
         2,
         {{"neue\nZeile", "a b"}, {"", "leer"}, {"neue\nZeile", "c"}},
         {{"", "leer"}, {"neue\nZeile", "a b"}},
         1},
        {"viele, die ersten zweimal", 64, viele, vieleErwartet, 3000 % 64},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        Auslassungen a(f.haltbar);
        for (const Auslassung& m : f.gemeldet)
            a.Neu(m.Pfad, m.Grund);
        EXPECT_EQ(a.Gehalten(), f.gehalten);
        std::vector<Auslassung> heraus;
        a.Gib([&](const Auslassung& m) { heraus.push_back(m); });
        ASSERT_EQ(heraus.size(), f.erwartet.size());
        for (std::size_t i = 0; i < heraus.size(); ++i) {
            EXPECT_EQ(heraus[i].Pfad, f.erwartet[i].Pfad) << i;
            EXPECT_EQ(heraus[i].Grund, f.erwartet[i].Grund) << i;
        }
        EXPECT_EQ(a.Gehalten(), 0u);
    }
}

} // namespace
} // namespace tresor
