#include "tests/engine/Engineumgebung.h"

#include <set>

namespace tresor::test {
namespace {

const std::string CR = "\r";
const std::string Ueberschneidung = "Sicherungsquelle und Sicherungsziel überschneiden sich ! " + CR +
                                    "Wählen Sie ein anderes Sicherungsziel." + CR + "Die Funktion wird abgebrochen.";
const std::string Vorhanden = "Der angegebene Ordner existiert bereits, " + CR +
                              "falls nochmals gesichert werden soll, muß nochmals die Sicherung gestartet werden !";
const std::string NichtsGefunden = "Keine Dateien zum Sichern gefunden ! ";
const std::string Fehlgeschlagen = "Die Sicherung wurde nicht korrekt durchgeführt ! ";
const std::string Name = "Sicherung-2002-02-07--13-42-27";

class Sicherungslauf : public Engineumgebung {
protected:
    void Lauf(const Pfad& quelle, const Pfad& ziel) {
        fenster.quellPfad = quelle;
        fenster.zielPfad = ziel;
        sicherung.Sichern_Click();
    }
    const Meldung& Letzte() const { return fenster.meldungen.back(); }
    // Everything below a folder, as relative POSIX paths.
    std::set<std::string> Inhalt(const Pfad& ordner) const {
        std::set<std::string> r;
        const auto wurzel = Posix(ordner);
        for (const auto& e : std::filesystem::recursive_directory_iterator(wurzel))
            r.insert(std::filesystem::relative(e.path(), wurzel).string());
        return r;
    }
};

TEST_F(Sicherungslauf, DatedBackupOfALetterFolderEndToEnd) {
    Schreibe("C:\\Daten\\Briefe\\an Anna.txt", "Liebe Anna");
    Schreibe("C:\\Daten\\Briefe\\Alt\\1999.txt", "alt", 0);
    Schreibe("C:\\Daten\\Briefe\\Alt\\2001.txt", "neu");
    Schreibe("C:\\Daten\\anderes.txt", "nicht in der Quelle");
    std::filesystem::create_directories(Posix("D:\\Backup"));

    Lauf("C:\\Daten\\Briefe", "D:\\Backup");

    const Pfad spiegel = "D:\\Backup\\" + Name + "\\Daten\\Briefe";
    EXPECT_EQ(fenster.zielOrdner, Name);
    EXPECT_EQ(uhr.lesungen, "DT");
    EXPECT_EQ(Inhalt("D:\\Backup\\" + Name), (std::set<std::string>{"Daten", "Daten/Briefe", "Daten/Briefe/an Anna.txt",
                                                                    "Daten/Briefe/Alt", "Daten/Briefe/Alt/2001.txt"}));
    EXPECT_EQ(LiesDatei(Posix(spiegel + "\\an Anna.txt")), "Liebe Anna");
    EXPECT_EQ(Wert("C:\\Daten\\Briefe\\an Anna.txt"), 0);
    EXPECT_EQ(Wert("C:\\Daten\\Briefe\\Alt\\2001.txt"), 0);
    EXPECT_GE(Wert("C:\\Daten\\anderes.txt"), 32);

    ASSERT_EQ(fenster.meldungen.size(), 1u);
    EXPECT_EQ(Letzte().Prompt, "Alle Dateien sind in den Ordner: D:\\Backup\\" + Name + " gesichert. ");
    EXPECT_EQ(Letzte().Stil, vbInformation);
    EXPECT_EQ(Letzte().Titel, std::nullopt);
    EXPECT_EQ(Letzte().ZeigerDabei, vbDefault);
    EXPECT_EQ(fenster.zeiger.front(), vbHourglass);
    EXPECT_EQ(fenster.refreshs, 2);
    EXPECT_EQ(sicherung.tmp_sichern, "ja");
    EXPECT_EQ(sicherung.tmp_fehler, "nein");
    EXPECT_EQ(sicherung.fso, nullptr);
    EXPECT_EQ(std::get<int>(sicherung.tmp), vbOK);
    EXPECT_GT(fenster.fortschritte, 0);
}

TEST_F(Sicherungslauf, DriveRootTargetTakesTheFolderDirectly) {
    Schreibe("C:\\Daten\\a.txt", "a");
    Lauf("C:\\Daten", "D:\\");
    EXPECT_EQ(LiesDatei(Posix("D:\\" + Name + "\\Daten\\a.txt")), "a");
    EXPECT_EQ(Letzte().Prompt, "Alle Dateien sind in den Ordner: D:\\" + Name + " gesichert. ");
}

struct Ueberlappung {
    Pfad quelle, ziel;
    bool abgelehnt;
};

// The same folder or one inside the other overlaps; a name that only begins like the source's does not.
TEST(Ueberschneidung, ComparesWholeFolderNames) {
    const std::vector<Ueberlappung> faelle = {
        {"C:\\x\\g", "C:\\x\\g", true},       // same
        {"C:\\x\\g", "C:\\x\\g\\z", true},    // inside
        {"C:\\x\\g", "C:\\x\\g\\z\\y", true}, // deeper inside
        {"C:\\x\\g", "C:\\x\\gz", false},     // common text prefix
        {"C:\\x\\g", "C:\\x\\g z", false},    // common prefix up to a blank
        {"C:\\x\\g", "C:\\x", false},         // the source inside the target
        {"C:\\x\\g", "C:\\y\\g", false},      // outside
        {"C:\\x\\g", "C:\\x\\G", false},      // letter case is exact
        {"C:\\x\\g\\", "C:\\x\\g", true},     // trailing separator on the source
        {"C:\\x\\g", "C:\\x\\g\\", true},     // trailing separator on the target
        {"C:\\x\\g\\", "C:\\x\\gz", false},   // trailing separator, common prefix
        {"C:\\", "C:\\Ziel", true},           // drive root as source
        {"C:\\", "C:\\", true},               // drive root as both
        {"C:\\", "D:\\Ziel", false},          // another drive
        {"D:\\Ziel", "D:\\", false},          // drive root as target
    };
    for (const auto& f : faelle)
        EXPECT_EQ(Ueberschneiden(f.quelle, f.ziel), f.abgelehnt) << f.quelle << " -> " << f.ziel;
}

TEST_F(Sicherungslauf, OverlapOfWholeFolderNamesIsRefusedBeforeAnythingIsCreated) {
    const std::vector<Ueberlappung> faelle = {
        {"C:\\Daten", "C:\\Daten", true}, {"C:\\Daten", "C:\\Daten\\Sicher", true},  {"C:\\Daten", "C:\\Daten2", false},
        {"C:\\", "C:\\Ziel", true},       {"C:\\Daten\\Briefe", "C:\\Daten", false}, {"C:\\Daten", "C:\\daten", false},
    };
    for (const auto& f : faelle) {
        SCOPED_TRACE(f.quelle + " -> " + f.ziel);
        Schreibe(f.quelle + (f.quelle.size() == 3 ? "" : "\\") + "neu.txt", "n");
        std::filesystem::create_directories(Posix(f.ziel));
        const auto vorher = Inhalt(f.ziel);
        fenster.meldungen.clear();
        fenster.refreshs = 0;
        uhr.zeit.Sekunde = (uhr.zeit.Sekunde + 1) % 60;
        Lauf(f.quelle, f.ziel);
        ASSERT_EQ(fenster.meldungen.size(), 1u);
        if (f.abgelehnt) {
            EXPECT_EQ(Letzte().Prompt, Ueberschneidung);
            EXPECT_EQ(Letzte().Stil, vbCritical);
            EXPECT_EQ(Letzte().ZeigerDabei, vbDefault);
            EXPECT_EQ(Inhalt(f.ziel), vorher);
            EXPECT_EQ(fenster.refreshs, 0);
            EXPECT_EQ(std::get<int>(sicherung.tmp), vbOK);
        } else {
            EXPECT_EQ(Letzte().Stil, vbInformation) << Letzte().Prompt;
        }
        EXPECT_EQ(sicherung.tmp_fehler, "nein");
    }
}

TEST_F(Sicherungslauf, ExistingEntryOfTheNameStopsTheRun) {
    Schreibe("C:\\Daten\\a.txt", "a");
    std::filesystem::create_directories(Posix("D:\\Backup"));
    Lauf("C:\\Daten", "D:\\Backup");
    Schreibe("C:\\Daten\\b.txt", "b");
    sicherung.tmp = 99;
    // A second run in the same second.
    Lauf("C:\\Daten", "D:\\Backup");
    EXPECT_EQ(Letzte().Prompt, Vorhanden);
    EXPECT_EQ(Letzte().Stil, vbExclamation);
    EXPECT_EQ(Letzte().Titel, std::optional<std::string>("Ordner gefunden"));
    EXPECT_EQ(std::get<int>(sicherung.tmp), 99); // the answer is dropped
    EXPECT_EQ(sicherung.tmp_sichern, "nein");
    EXPECT_FALSE(Existiert("D:\\Backup\\" + Name + "\\Daten\\b.txt"));
    EXPECT_GE(Wert("C:\\Daten\\b.txt"), 32);

    // A plain file of that name has the same effect.
    SchreibeDatei(Posix("D:\\Datei\\" + Name), "x");
    Lauf("C:\\Daten", "D:\\Datei");
    EXPECT_EQ(Letzte().Prompt, Vorhanden);
}

TEST_F(Sicherungslauf, HiddenFolderOfTheNamePassesLookupButIsNeverWrittenInto) {
    Schreibe("C:\\Daten\\a.txt", "a");
    std::filesystem::create_directories(Posix("D:\\Backup\\" + Name));
    SetzeDosattrib(Posix("D:\\Backup\\" + Name), attr::Versteckt);
    // It is not found by the lookup, and the run stops where the folder would be created.
    try {
        Lauf("C:\\Daten", "D:\\Backup");
        FAIL() << "no error";
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Operation(), "MakeDir");
        EXPECT_EQ(f.Ursache(), std::errc::file_exists);
    }
    EXPECT_TRUE(fenster.meldungen.empty());
    EXPECT_FALSE(Existiert("D:\\Backup\\" + Name + "\\Daten"));
    EXPECT_GE(Wert("C:\\Daten\\a.txt"), 32);
}

TEST_F(Sicherungslauf, NothingToBackUpCreatesNoFolder) {
    Schreibe("C:\\Daten\\a.txt", "a", 0);
    std::filesystem::create_directories(Posix("D:\\Backup"));
    Lauf("C:\\Daten", "D:\\Backup");
    EXPECT_EQ(Letzte().Prompt, NichtsGefunden);
    EXPECT_EQ(Letzte().Stil, vbInformation);
    EXPECT_EQ(Letzte().ZeigerDabei, vbDefault);
    EXPECT_TRUE(Inhalt("D:\\Backup").empty());
    EXPECT_EQ(sicherung.fso, nullptr);
    EXPECT_EQ(fenster.refreshs, 0);
}

TEST_F(Sicherungslauf, FailedCheckReportsFailureAfterAllOtherCopiesAndDoesNotCarryOver) {
    Schreibe("C:\\Daten\\a.txt", "a");
    Schreibe("C:\\Daten\\b.txt", "b");
    Schreibe("C:\\Daten\\U\\c.txt", "c");
    nachKopie = [this](const Datei& d, const Pfad& ziel) {
        if (d.Name == "a.txt")
            std::filesystem::remove(Posix(ziel));
    };
    std::filesystem::create_directories(Posix("D:\\Backup"));
    Lauf("C:\\Daten", "D:\\Backup");
    EXPECT_EQ(Letzte().Prompt, Fehlgeschlagen);
    EXPECT_EQ(Letzte().Stil, vbCritical);
    EXPECT_EQ(sicherung.tmp_fehler, "ja");
    EXPECT_TRUE(Existiert("D:\\Backup\\" + Name + "\\Daten\\b.txt"));
    EXPECT_TRUE(Existiert("D:\\Backup\\" + Name + "\\Daten\\U\\c.txt"));
    EXPECT_EQ(fenster.refreshs, 2);

    // The next run starts clean.
    nachKopie = nullptr;
    Schreibe("C:\\Daten\\d.txt", "d");
    uhr.zeit.Sekunde = 28;
    Lauf("C:\\Daten", "D:\\Backup");
    EXPECT_EQ(Letzte().Prompt,
              "Alle Dateien sind in den Ordner: D:\\Backup\\Sicherung-2002-02-07--13-42-28 gesichert. ");
    EXPECT_EQ(sicherung.tmp_fehler, "nein");
}

TEST_F(Sicherungslauf, EveryRunWritesAFreshNameEvenWhenRefused) {
    Schreibe("C:\\Daten\\a.txt", "a");
    fenster.zielOrdner = "  alter Text  ";
    uhr.zeit = {9, 5, 3};
    Lauf("C:\\Daten", "C:\\Daten\\x");
    EXPECT_EQ(fenster.zielOrdner, "Sicherung-2002-02-07--09-05-03");
    EXPECT_EQ(sicherung.tmp_sichern, "nein");
    EXPECT_EQ(sicherung.tmp_fehler, "nein");
}

TEST_F(Sicherungslauf, MidnightCrossingPairsOldDateWithNewTime) {
    // The date is read first, just before midnight; the time reading comes after it.
    uhr.datum = {2002, 2, 7};
    uhr.zeit = {0, 0, 0};
    Schreibe("C:\\Daten\\a.txt", "a");
    Lauf("C:\\Daten", "D:\\");
    EXPECT_EQ(uhr.lesungen, "DT");
    EXPECT_TRUE(Existiert("D:\\Sicherung-2002-02-07--00-00-00\\Daten\\a.txt"));
}

TEST_F(Sicherungslauf, SecondRunFindsNothingAndThirdCopiesOnlyTheNewFile) {
    Schreibe("C:\\Daten\\a.txt", "a");
    Schreibe("C:\\Daten\\U\\b.txt", "b");
    Lauf("C:\\Daten", "D:\\");
    EXPECT_EQ(Letzte().Stil, vbInformation);
    uhr.zeit.Sekunde = 28;
    Lauf("C:\\Daten", "D:\\");
    EXPECT_EQ(Letzte().Prompt, NichtsGefunden);
    EXPECT_FALSE(Existiert("D:\\Sicherung-2002-02-07--13-42-28"));
    Schreibe("C:\\Daten\\U\\b.txt", "b geändert");
    uhr.zeit.Sekunde = 29;
    Lauf("C:\\Daten", "D:\\");
    EXPECT_EQ(Inhalt("D:\\Sicherung-2002-02-07--13-42-29"),
              (std::set<std::string>{"Daten", "Daten/U", "Daten/U/b.txt"}));
    EXPECT_EQ(LiesDatei(Posix("D:\\Sicherung-2002-02-07--13-42-29\\Daten\\U\\b.txt")), "b geändert");
}

TEST_F(Sicherungslauf, DriveRootSourceIsMirroredIntoTheBackupFolder) {
    Schreibe("C:\\a.txt", "a");
    Schreibe("C:\\home\\anna\\b.txt", "b");
    Lauf("C:\\", "D:\\");
    EXPECT_EQ(Letzte().Prompt, "Alle Dateien sind in den Ordner: D:\\" + Name + " gesichert. ");
    EXPECT_EQ(LiesDatei(Posix("D:\\" + Name + "\\a.txt")), "a");
    EXPECT_EQ(LiesDatei(Posix("D:\\" + Name + "\\home\\anna\\b.txt")), "b");
    EXPECT_EQ(Wert("C:\\a.txt"), 0);
    for (const auto& z : protokoll)
        EXPECT_EQ(z.find("\\\\"), std::string::npos) << z;
}

TEST_F(Sicherungslauf, PlatformFailureEndsTheRunKeepsWhatWasDoneAndLeavesThePointerBusy) {
    Schreibe("C:\\Daten\\a.txt", "a");
    Schreibe("C:\\Daten\\b.txt", "b");
    // The target is full: an error of the target ends the run.
    vorher = [](const std::string& z) {
        if (z.rfind("Copy C:\\Daten\\b.txt ", 0) == 0)
            throw FsFehler("Copy", z.substr(z.rfind(' ') + 1), std::make_error_code(std::errc::no_space_on_device));
    };
    try {
        Lauf("C:\\Daten", "D:\\");
        FAIL() << "no error";
    } catch (const FsFehler& f) {
        MeldePlattformfehler(fenster, f);
    }
    EXPECT_EQ(fenster.zeiger.back(), vbHourglass);
    ASSERT_EQ(fenster.meldungen.size(), 1u);
    EXPECT_EQ(Letzte().Stil, vbCritical);
    EXPECT_NE(Letzte().Prompt.find("D:\\" + Name + "\\Daten\\b.txt"), std::string::npos);
    EXPECT_NE(Letzte().Prompt.find("Copy"), std::string::npos);
    EXPECT_TRUE(Existiert("D:\\" + Name + "\\Daten\\a.txt"));
    EXPECT_GE(Wert("C:\\Daten\\b.txt"), 32);
}

// The run makes the backup folder and the mirror below it, never the target folder the user picked: a
// target that vanished since it was picked ends the run with the platform's error report, nothing written.
TEST_F(Sicherungslauf, VanishedTargetEndsTheRunAndNothingIsWritten) {
    Schreibe("C:\\Daten\\a.txt", "a");
    try {
        Lauf("C:\\Daten", "D:\\Stick\\Backup");
        ADD_FAILURE() << "a run into a target that does not exist";
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Operation(), "MakeDir");
        EXPECT_EQ(f.Path(), "D:\\Stick\\Backup\\" + Name);
        EXPECT_EQ(f.Ursache(), std::make_error_code(std::errc::no_such_file_or_directory));
    }
    EXPECT_FALSE(Existiert("D:\\Stick"));
    EXPECT_GE(Wert("C:\\Daten\\a.txt"), 32);
}

// Blanks at the end of the target belong to its name: "Z5 " is another folder than "Z5".
TEST_F(Sicherungslauf, TrailingBlanksOfTheTargetBelongToItsName) {
    Schreibe("C:\\Daten\\a.txt", "a");
    std::filesystem::create_directories(Posix("D:\\Z5 "));
    Lauf("C:\\Daten", "D:\\Z5 ");
    EXPECT_EQ(LiesDatei(Posix("D:\\Z5 \\" + Name + "\\Daten\\a.txt")), "a");
    EXPECT_FALSE(Existiert("D:\\Z5"));
    EXPECT_EQ(Letzte().Prompt, "Alle Dateien sind in den Ordner: D:\\Z5 \\" + Name + " gesichert. ");
}

// The mirror of the source folder itself is private while it is filled, like every other mirror of a source
// folder; the mirrors of its ancestors and the backup folder get the user's defaults.
TEST_F(Sicherungslauf, MirrorOfTheSourceFolderIsPrivateWhileItIsFilled) {
    Schreibe("C:\\Daten\\Privat\\a.txt", "a");
    std::filesystem::permissions(Posix("C:\\Daten\\Privat"), std::filesystem::perms(0750));
    const Pfad spiegel = "D:\\" + Name + "\\Daten\\Privat";
    std::filesystem::perms waehrend{};
    nachKopie = [&](const Datei&, const Pfad&) { waehrend = std::filesystem::status(Posix(spiegel)).permissions(); };
    Lauf("C:\\Daten\\Privat", "D:\\");
    EXPECT_EQ(waehrend & std::filesystem::perms::all, std::filesystem::perms(0700));
    EXPECT_EQ(std::filesystem::status(Posix(spiegel)).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0750));
    EXPECT_EQ(Letzte().Stil, vbInformation);
}

} // namespace
} // namespace tresor::test
