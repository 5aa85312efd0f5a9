// The record read from a file a piece at a time: every earlier form still read, the head and the counts read
// alone for a listing, and a file that changes between the reader's two readings caught.
#include "engine/bestand/Bestandsleser.h"
#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace tresor {
namespace {

Bestand Dritte() {
    Bestand b;
    b.Ordner = "Sicherung-2026-12-09--10-00-00";
    b.Quelle = "C:\\Daten";
    b.QuellePosix = "/daten";
    b.Zeit = "2026-12-09--10-00-00";
    b.KopierteDateien = 1;
    b.KopierteBytes = 5;
    b.Eintraege = {
        {Eintragsart::Ordner, "-", 0, 1, 0755, 1000, 1000, ".", "", 0, 0, 0},
        {Eintragsart::Datei, b.Ordner, 5, 2, 0644, 1000, 1000, "a.txt", "", 11, 21, 0},
        {Eintragsart::Datei, "Sicherung-2026-12-01--10-00-00", 3, 2, 0644, 1000, 1000, "b.txt", "", 12, 22, 0},
        {Eintragsart::Datei, OrtFehlt, 9, 2, 0600, 1000, 1000, "c.txt", "", 13, 23, 0},
        {Eintragsart::Verweis, b.Ordner, 5, 2, 0777, 1000, 1000, "zeiger", "a.txt", 14, 24, 0},
    };
    b.Ausgelassen = {{"c.txt", "Zugriff verweigert"}};
    return b;
}

// The record's file as the reader gets it from a target: held open, read in pieces.
std::unique_ptr<Bestandsquelle> Quelle(const test::TempOrdner& tmp, const std::string& text) {
    test::SchreibeDatei(tmp / "C" / "bestand.txt", text);
    Eintragszugriff zugriff(test::TestLaufwerke(tmp));
    auto datei = zugriff.OeffneDatei("C:\\bestand.txt");
    EXPECT_TRUE(datei.has_value());
    return Dateiquelle(std::move(*datei));
}

TEST(Bestandsleser, EveryFormIsReadFromItsFileWithHeadCountsAndEntries) {
    struct Fall {
        const char* name;
        std::string text;
        int version;
        std::string ordner;
        bool abgebrochen;
        std::uint64_t kopiert;
        std::vector<std::string> pfade;
        std::vector<std::pair<std::string, std::uint64_t>> orte;
        std::uint64_t ausgelassen, eingehaengt;
        bool vollstaendig;
    };
    const std::vector<Fall> faelle = {
        {"the first form",
         test::LiesDatei(TRESOR_TESTDATEN "/bestand-form1.txt"),
         1,
         "Sicherung-2025-06-01--08-00-00",
         false,
         2,
         {".", "a.txt", "b c.txt", "zeiger", "sub", "sub/d.txt"},
         {{"Sicherung-2025-05-01--08-00-00", 1}, {"Sicherung-2025-06-01--08-00-00", 2}, {"fehlt", 1}},
         0,
         0,
         false},
        {"the second form, without counts",
         test::LiesDatei(TRESOR_TESTDATEN "/bestand-form2.txt"),
         2,
         "Sicherung-2026-12-08--10-15-02",
         true,
         1,
         {".", "a.txt", "b.txt", "geheim.txt", "zeiger", "stick"},
         {{"Sicherung-2026-12-01--09-00-00", 1}, {"Sicherung-2026-12-08--10-15-02", 2}, {"fehlt", 1}},
         1,
         1,
         false},
        {"the third form, without checksums of the content",
         test::LiesDatei(TRESOR_TESTDATEN "/bestand-form3.txt"),
         3,
         "Sicherung-2026-12-08--10-15-02",
         true,
         1,
         {".", "a.txt", "b.txt", "geheim.txt", "zeiger", "stick"},
         {{"Sicherung-2026-12-01--09-00-00", 1}, {"Sicherung-2026-12-08--10-15-02", 2}, {"fehlt", 1}},
         1,
         1,
         false},
        {"the form written now",
         SchreibeBestand(Dritte()),
         Bestandsversion,
         "Sicherung-2026-12-09--10-00-00",
         false,
         1,
         {".", "a.txt", "b.txt", "c.txt", "zeiger"},
         {{"Sicherung-2026-12-01--10-00-00", 1}, {"Sicherung-2026-12-09--10-00-00", 2}, {"fehlt", 1}},
         1,
         0,
         false},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        test::TempOrdner tmp;
        auto offen = Bestandsleser::Oeffne(Quelle(tmp, f.text));
        ASSERT_TRUE(std::holds_alternative<Bestandsleser>(offen)) << std::get<std::string>(offen);
        Bestandsleser& leser = std::get<Bestandsleser>(offen);
        auto kopfAllein = Bestandsleser::LiesKopf(Quelle(tmp, f.text));
        ASSERT_TRUE(std::holds_alternative<Bestand>(kopfAllein)) << std::get<std::string>(kopfAllein);
        for (const Bestand* k : std::vector<const Bestand*>{&leser.Kopf(), &std::get<Bestand>(kopfAllein)}) {
            EXPECT_EQ(k->Version, f.version);
            EXPECT_EQ(k->Ordner, f.ordner);
            EXPECT_EQ(k->Quelle, "C:\\Daten");
            EXPECT_EQ(k->Abgebrochen, f.abgebrochen);
            EXPECT_EQ(k->KopierteDateien, f.kopiert);
            EXPECT_EQ(k->Zahlen.Eintraege, f.pfade.size());
            EXPECT_EQ(k->Zahlen.Orte, f.orte);
            EXPECT_EQ(k->Zahlen.Fehlende(), 1u);
            EXPECT_EQ(k->Zahlen.Ausgelassene, f.ausgelassen);
            EXPECT_EQ(k->Zahlen.Einhaengepunkte, f.eingehaengt);
            EXPECT_EQ(Vollstaendig(*k), f.vollstaendig);
        }
        EXPECT_EQ(leser.Kopf().Ausgelassen.size(), f.ausgelassen);
        for (int runde = 0; runde < 2; ++runde, leser.VonVorn()) {
            std::vector<std::string> pfade;
            while (const Bestandseintrag* e = leser.Naechster())
                pfade.push_back(e->Pfad);
            EXPECT_EQ(pfade, f.pfade);
            EXPECT_EQ(leser.Fehler(), "");
        }
        const auto ganz = LiesBestand(f.text);
        ASSERT_TRUE(std::holds_alternative<Bestand>(ganz)) << std::get<std::string>(ganz);
        EXPECT_EQ(std::get<Bestand>(ganz).Zahlen, leser.Kopf().Zahlen);
    }
}

// The file changes after the reader checked it: the entries read again are not those checked, and the
// reader says so instead of ending as if all were well; read again without the checksum (as the target's index
// reads), a file cut short is still told, and each entry is still checked as it is read.
TEST(Bestandsleser, AFileChangedBetweenTheTwoReadingsStopsTheReader) {
    const std::string text = SchreibeBestand(Dritte());
    auto byte = [&](std::string_view wo, char neu) {
        return [&text, wo, neu](const std::filesystem::path& p) {
            std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(text.find(wo)));
            f.put(neu);
        };
    };
    auto kuerzer = [&](const std::filesystem::path& p) { std::filesystem::resize_file(p, text.find("c.txt")); };
    struct Fall {
        const char* name;
        std::function<void(const std::filesystem::path&)> aendern;
        bool nachgeprueft;
        std::size_t hoechstens; // entries given at most
        bool gemeldet;          // Fehler is set at the end
    };
    const std::vector<Fall> faelle = {
        {"a byte of an entry changed", byte("b.txt", 'x'), true, 5, true},
        {"cut short", kuerzer, true, 3, true},
        {"a byte of an entry changed, without the checksum", byte("b.txt", 'x'), false, 5, false},
        {"cut short, without the checksum", kuerzer, false, 3, true},
        {"a place changed to none, without the checksum", byte("Sicherung-2026-12-01", 'X'), false, 2, true},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        test::TempOrdner tmp;
        auto offen = Bestandsleser::Oeffne(Quelle(tmp, text));
        ASSERT_TRUE(std::holds_alternative<Bestandsleser>(offen)) << std::get<std::string>(offen);
        Bestandsleser& leser = std::get<Bestandsleser>(offen);
        leser.VonVorn(f.nachgeprueft);
        f.aendern(tmp / "C" / "bestand.txt");
        while (leser.Naechster() != nullptr) {
        }
        EXPECT_LE(leser.Gegeben(), f.hoechstens);
        EXPECT_EQ(leser.Fehler().empty(), !f.gemeldet) << leser.Fehler();
    }
}

// A listing reads the first and last lines alone and the checksum over the rest: what is cut short, without
// its counts or changed is refused there as by a reader of the whole record.
TEST(Bestandsleser, TheHeadAloneIsRefusedWhereItsEndIsMissingOrWrong) {
    const std::string text = SchreibeBestand(Dritte());
    const std::size_t summe = text.find("\nsumme ") + 1;
    std::string anders = text;
    anders.replace(text.find(" fehlt 1\n"), 9, " fehlt 2\n");
    struct Fall {
        const char* name;
        std::string text;
        bool kopf; // LiesKopf takes it
        bool ganz; // Oeffne takes it
    };
    const std::vector<Fall> faelle = {
        {"whole", text, true, true},
        {"without its last line", text.substr(0, text.rfind("ende ")), false, false},
        {"cut within its last line", text.substr(0, text.size() - 5), false, false},
        {"cut before its counts", text.substr(0, summe), false, false},
        {"only the head", text.substr(0, text.find("\nO ") + 1), false, false},
        {"counts changed", anders, false, false},
        {"empty", "", false, false},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(std::holds_alternative<Bestand>(Bestandsleser::LiesKopf(Textquelle(f.text))), f.kopf);
        EXPECT_EQ(std::holds_alternative<Bestandsleser>(Bestandsleser::Oeffne(f.text)), f.ganz);
    }
}

} // namespace
} // namespace tresor
