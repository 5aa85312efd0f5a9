#include "app/Befehlszeile.h"
#include "app/Umgebung.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Dateisystemhuelle.h"
#include "tests/Testhilfen.h"
#include "tests/cli/Aufruf.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <set>
#include <sstream>

namespace tresor::test {
namespace {

class Feste : public Uhr {
public:
    Datum Date() override { return {2002, 2, 7}; }
    Zeit Time() override { return {13, 42, sekunde}; }
    int sekunde = 27;
};

class Befehlszeilentest : public ::testing::Test {
protected:
    Befehlszeilentest() : laufwerke(TestLaufwerke(temp)) {}

    // `abbruch`, where given, is the signal number a stop request is read from (as the program's handler writes
    // it); `nachKopie` is called after each copy.
    int Rufe(std::vector<std::string> argumente, bool terminal = false, Dateisystemhuelle::Vorher vorher = {},
             Dateisystemhuelle::NachKopie nachKopie = {}, const volatile std::sig_atomic_t* abbruch = nullptr) {
        aus.str({});
        fehler.str({});
        Befehlszeilenumgebung u{aus,
                                fehler,
                                laufwerke,
                                uhr,
                                [this, vorher, nachKopie] {
                                    auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke),
                                                                                 nullptr);
                                    h->vorher = vorher;
                                    h->nachKopie = nachKopie;
                                    return std::unique_ptr<Dateisystem>(std::move(h));
                                },
                                terminal,
                                (temp / "C").string(),
                                abbruch};
        const auto r = Befehlszeile(argumente, u);
        return r ? *r : -1;
    }
    int Wert(const Pfad& datei) {
        auto fs = ErzeugePosixDateisystem(laufwerke);
        return fs->Attributes(fs->GetFile(datei));
    }
    std::set<std::string> Inhalt(const std::filesystem::path& ordner) {
        std::set<std::string> r;
        for (const auto& e : std::filesystem::recursive_directory_iterator(ordner))
            r.insert(std::filesystem::relative(e.path(), ordner).string());
        return r;
    }

    TempOrdner temp;
    Laufwerkstabelle laufwerke;
    Feste uhr;
    std::ostringstream aus, fehler;
};

TEST_F(Befehlszeilentest, NoArgumentsMeansTheWindow) {
    EXPECT_EQ(Rufe({}), -1);
}

TEST_F(Befehlszeilentest, VersionAndHelp) {
    EXPECT_EQ(Rufe({"--version"}), 0);
    EXPECT_TRUE(aus.str().starts_with("tresor-ix 1.0.25\n"
                                      "Einfaches Sicherungsprogramm mit Datum und Zeit gestempelten Zielorder.\n"
                                      "Das Programm tresor-ix sichert"))
        << aus.str();
    EXPECT_EQ(Rufe({"--help"}), 0);
    EXPECT_NE(aus.str().find("Rückgabewerte"), std::string::npos);
    EXPECT_NE(aus.str().find("--probe"), std::string::npos);
    EXPECT_NE(aus.str().find("--wie-verzeichnet[=PFAD]"), std::string::npos);
}

TEST_F(Befehlszeilentest, SuccessWithPosixAndProgramPathsExitsZero) {
    SchreibeDatei(temp / "C" / "Daten" / "a.txt", "a");
    std::filesystem::create_directories(temp / "D" / "Backup");
    // Relative POSIX source (from the working folder) and a program-form target.
    EXPECT_EQ(Rufe({"--quelle", "Daten", "--ziel", "D:\\Backup"}), 0);
    EXPECT_EQ(aus.str(), "Alle Dateien sind in den Ordner: D:\\Backup\\Sicherung-2002-02-07--13-42-27 gesichert. \n");
    EXPECT_EQ(fehler.str(), "");
    EXPECT_EQ(LiesDatei(temp / "D" / "Backup" / "Sicherung-2002-02-07--13-42-27" / "Daten" / "a.txt"), "a");

    uhr.sekunde = 28;
    EXPECT_EQ(Rufe({"--quelle=" + (temp / "C" / "Daten").string(), "--ziel=D:\\Backup\\"}), 0);
    EXPECT_EQ(aus.str(), "Keine Dateien zum Sichern gefunden ! \n");
}

TEST_F(Befehlszeilentest, RefusalsExitTwoOnStandardError) {
    SchreibeDatei(temp / "C" / "Daten" / "a.txt", "a");
    std::filesystem::create_directories(temp / "C" / "Daten" / "Ziel");
    EXPECT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "C:\\Daten\\Ziel"}), 2);
    EXPECT_EQ(fehler.str(), "Sicherungsquelle und Sicherungsziel überschneiden sich ! \n"
                            "Wählen Sie ein anderes Sicherungsziel.\nDie Funktion wird abgebrochen.\n");
    EXPECT_EQ(aus.str(), "");

    std::filesystem::create_directories(temp / "D" / "Sicherung-2002-02-07--13-42-27");
    EXPECT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\"}), 2);
    EXPECT_NE(fehler.str().find("Der angegebene Ordner existiert bereits, \n"), std::string::npos);
}

TEST_F(Befehlszeilentest, FailedCheckAndPlatformErrorExitOne) {
    SchreibeDatei(temp / "C" / "Daten" / "a.txt", "a");
    // A name that would forge a line and clear the terminal if it were printed raw.
    SchreibeDatei(temp / "C" / "Daten" / "b\n\x1b[2J.txt", "b");
    std::filesystem::create_directories(temp / "D" / "Backup");
    // A copy that cannot be found afterwards: the failure message on standard error.
    Befehlszeilenumgebung v{aus,
                            fehler,
                            laufwerke,
                            uhr,
                            [this]() -> std::unique_ptr<Dateisystem> {
                                auto h =
                                    std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
                                h->nachKopie = [this](const Datei&, const Pfad& ziel) {
                                    std::filesystem::remove(*laufwerke.ZuPosix(ziel));
                                };
                                return h;
                            },
                            false,
                            "/"};
    EXPECT_EQ(Befehlszeile({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, v), 1);
    // Each file that failed its check is named with its reason, escaped, before the failure message.
    const std::string daten = (temp / "C" / "Daten").string();
    EXPECT_EQ(fehler.str(), "Nicht gesichert: " + daten +
                                "/a.txt (die Kopie ist nicht zu finden)\n"
                                "Nicht gesichert: " +
                                daten +
                                "/b\\x0a\\x1b[2J.txt (die Kopie ist nicht zu finden)\n"
                                "Die Sicherung wurde nicht korrekt durchgeführt ! \n");
    fehler.str({});
    uhr.sekunde = 28;
    SchreibeDatei(temp / "C" / "Daten" / "a.txt", "a");

    // The target folder cannot be written: the platform's error report, exit status 1.
    Befehlszeilenumgebung u{aus,
                            fehler,
                            laufwerke,
                            uhr,
                            [this]() -> std::unique_ptr<Dateisystem> {
                                throw FsFehler("CreateObject", {}, std::make_error_code(std::errc::io_error));
                            },
                            false,
                            "/"};
    EXPECT_EQ(Befehlszeile({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, u), 1);
    EXPECT_NE(fehler.str().find("CreateObject"), std::string::npos);
    EXPECT_EQ(Wert("C:\\Daten\\a.txt") & 32, 32);
}

TEST_F(Befehlszeilentest, BadArgumentsExitTwoAndCreateNothing) {
    SchreibeDatei(temp / "C" / "Daten" / "a.txt", "a");
    SchreibeDatei(temp / "C" / "datei.txt", "x");
    const auto vorher = Inhalt(temp.Pfad());
    const std::vector<std::vector<std::string>> faelle = {
        {"--unbekannt"},
        {"--quelle"},
        {"--quelle", "C:\\Daten"},
        {"--quelle", "C:\\Daten", "--ziel"},
        {"--quelle", "C:\\Daten", "--ziel", "C:\\datei.txt"},
        {"--quelle", "C:\\Daten", "--ziel", "C:\\gibtsnicht"},
        {"--quelle", "Q:\\Daten", "--ziel", "D:\\"},
        {"--quelle", "gibtsnicht", "--ziel", "D:\\"},
        {"--quelle", "C:\\Daten", "--quelle", "C:\\Daten", "--ziel", "D:\\"},
        // A source as its records name it: only to bring backups back, given in drive form, its place absolute.
        {"--quelle", "C:\\Daten", "--ziel", "D:\\", "--wie-verzeichnet"},
        {"--liste", "--ziel", "D:\\", "--wie-verzeichnet"},
        {"--pruefen", "--ziel", "D:\\", "--quelle", (temp / "C" / "Daten").string(), "--wie-verzeichnet"},
        {"--pruefen", "--ziel", "D:\\", "--quelle", "C:\\Daten", "--wie-verzeichnet=daten"},
        {"--pruefen", "--ziel", "D:\\", "--quelle", "C:\\Daten", "--wie-verzeichnet", "--wie-verzeichnet"},
    };
    for (const auto& f : faelle) {
        std::string zeile;
        for (const auto& a : f)
            zeile += a + " ";
        SCOPED_TRACE(zeile);
        EXPECT_EQ(Rufe(f), 2);
        EXPECT_TRUE(fehler.str().starts_with("tresor-ix: ")) << fehler.str();
        EXPECT_EQ(aus.str(), "");
    }
    EXPECT_EQ(Inhalt(temp.Pfad()), vorher);
    EXPECT_EQ(Wert("C:\\Daten\\a.txt") & 32, 32);
}

TEST_F(Befehlszeilentest, ProbeNamesExactlyWhatTheRealRunCopiesAndChangesNothing) {
    SchreibeDatei(temp / "C" / "Daten" / "a.txt", "aaaa");
    SchreibeDatei(temp / "C" / "Daten" / ".versteckt" / "b.txt", "bb");
    SchreibeDatei(temp / "C" / "Daten" / "alt" / "c.txt", "c");
    ErzeugePosixDateisystem(laufwerke)->SetFileAttr("C:\\Daten\\alt\\c.txt", 0);
    std::filesystem::create_directories(temp / "D" / "Backup");

    EXPECT_EQ(Rufe({"--probe", "--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}), 0);
    const std::string probe = aus.str();
    EXPECT_TRUE(Inhalt(temp / "D" / "Backup").empty());
    EXPECT_EQ(Wert("C:\\Daten\\a.txt") & 32, 32);
    // c.txt reads as backed up, but this target holds no version of it: the first run into it copies it too.
    EXPECT_NE(probe.find("Eine Sicherung würde 3 Dateien (7 Bytes) kopieren.\n"), std::string::npos) << probe;

    EXPECT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}), 0);
    const auto backup = temp / "D" / "Backup" / "Sicherung-2002-02-07--13-42-27";
    std::set<std::string> vorhergesagt, kopiert, ordner, angelegt;
    std::istringstream zeilen(probe);
    for (std::string z; std::getline(zeilen, z);) {
        if (z.starts_with("Datei kopieren: "))
            vorhergesagt.insert(z.substr(16));
        if (z.starts_with("Ordner anlegen: "))
            ordner.insert(z.substr(16));
    }
    // The record of the source lies at the top of the backup folder; it is no copy.
    EXPECT_TRUE(std::filesystem::is_regular_file(backup / "tresor-ix-bestand.txt"));
    for (const auto& e : std::filesystem::recursive_directory_iterator(backup)) {
        if (e.path() == backup / "tresor-ix-bestand.txt")
            continue;
        if (e.is_regular_file())
            kopiert.insert((temp / "C" / std::filesystem::relative(e.path(), backup)).string());
        else
            angelegt.insert(e.path().string());
    }
    angelegt.insert(backup.string());
    EXPECT_EQ(vorhergesagt, kopiert);
    EXPECT_EQ(ordner, angelegt);
}

// Drive D: stores only the names Windows allows as `nurWindows` says (counted: it may write a probe); asked without
// a write, it answers `bekannt`.
struct Namensziel : Dateisystemhuelle {
    Namensziel(std::unique_ptr<Dateisystem> innen, bool nurWindows, std::optional<bool> bekannt, int& geprobt)
        : Dateisystemhuelle(std::move(innen), nullptr), nurWindows(nurWindows), bekannt(bekannt), geprobt(geprobt) {}
    bool NurWindowsNamen(const Pfad& ordner) override {
        ++geprobt;
        return ordner.starts_with("D:") && nurWindows;
    }
    std::optional<bool> NurWindowsNamenBekannt(const Pfad& ordner) override {
        return ordner.starts_with("D:") ? bekannt : false;
    }
    bool nurWindows;
    std::optional<bool> bekannt;
    int& geprobt;
};

// The dry run names what the real run passes over for its name, without a probe; where only a probe would tell,
// it names them too.
TEST_F(Befehlszeilentest, ProbeNamesWhatTheTargetCannotStoreWithoutProbingIt) {
    struct Zeile {
        bool nurWindows;
        std::optional<bool> bekannt;
        bool probeNennt;
    } const zeilen[] = {
        {true, true, true}, {true, std::nullopt, true}, {false, std::nullopt, true}, {false, false, false}};
    const auto daten = temp / "C" / "Daten";
    for (const Zeile& z : zeilen) {
        SCOPED_TRACE(testing::Message() << z.nurWindows << z.bekannt.value_or(2));
        std::filesystem::remove_all(daten);
        std::filesystem::remove_all(temp / "D");
        std::filesystem::create_directories(temp / "D" / "Backup");
        for (const char* name : {"a:b", "aux.txt", "ende.", "o:x/innen.txt", "sub/b.txt"})
            SchreibeDatei(daten / name, name);
        int geprobt = 0;
        const Dateisystemfabrik fabrik = [&] {
            return std::unique_ptr<Dateisystem>(
                std::make_unique<Namensziel>(ErzeugePosixDateisystem(laufwerke), z.nurWindows, z.bekannt, geprobt));
        };
        const std::vector<std::string> lauf = {"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"};
        std::vector<std::string> probe = lauf;
        probe.insert(probe.begin(), "--probe");
        EXPECT_EQ(RufeBefehlszeile(probe, aus, fehler, laufwerke, uhr, temp / "C", fabrik), 0) << fehler.str();
        EXPECT_EQ(geprobt, 0);
        EXPECT_NE(aus.str().find(z.probeNennt ? "würde 1 Dateien" : "würde 5 Dateien"), std::string::npos) << aus.str();
        const std::string probeFehler = fehler.str();
        EXPECT_EQ(RufeBefehlszeile(lauf, aus, fehler, laufwerke, uhr, temp / "C", fabrik), z.nurWindows ? 1 : 0);
        for (const char* name : {"a:b", "aux.txt", "ende.", "o:x"}) {
            const std::string genannt =
                "Nicht gesichert: " + (daten / name).string() + " (das Ziel kann diesen Namen nicht speichern)\n";
            EXPECT_EQ(probeFehler.find(genannt) != std::string::npos, z.probeNennt) << name << probeFehler;
            EXPECT_EQ(fehler.str().find(genannt) != std::string::npos, z.nurWindows) << name << fehler.str();
        }
    }
}

TEST_F(Befehlszeilentest, ProbeCountsLinksAsTheRealRunCopiesThemAsLinks) {
    const auto daten = temp / "C" / "Daten";
    SchreibeDatei(daten / "a.txt", "aaaa");
    ErzeugePosixDateisystem(laufwerke)->SetFileAttr("C:\\Daten\\a.txt", 0);
    std::filesystem::create_symlink("a.txt", daten / "verweis");
    std::filesystem::create_symlink("nirgends", daten / "haengend");
    std::filesystem::create_directories(temp / "D" / "Backup");

    // A link's size is the length of its target text; the file it points to is counted once, as itself (it
    // reads as backed up, but this new target holds no version of it).
    EXPECT_EQ(Rufe({"--probe", "--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}), 0);
    const std::string probe = aus.str();
    EXPECT_NE(probe.find("Eine Sicherung würde 3 Dateien (17 Bytes) kopieren.\n"), std::string::npos) << probe;
    EXPECT_TRUE(Inhalt(temp / "D" / "Backup").empty());
    EXPECT_EQ(Wert("C:\\Daten\\verweis") & 32, 32);

    EXPECT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}), 0);
    std::vector<std::filesystem::path> verweise;
    for (const auto& e : std::filesystem::recursive_directory_iterator(temp / "D" / "Backup")) {
        if (e.path().filename() == "tresor-ix-bestand.txt" || e.path().filename() == "a.txt")
            continue;
        EXPECT_FALSE(!e.is_symlink() && e.is_regular_file()) << e.path() << ": the link was followed";
        if (e.is_symlink())
            verweise.push_back(e.path().filename());
    }
    std::sort(verweise.begin(), verweise.end());
    EXPECT_EQ(verweise, (std::vector<std::filesystem::path>{"haengend", "verweis"}));
    EXPECT_EQ(Wert("C:\\Daten\\verweis") & 32, 0);
    EXPECT_EQ(Wert("C:\\Daten\\haengend") & 32, 0);
}

// A name that holds terminal commands and line breaks is printed escaped wherever a path is printed: in the
// dry run's listing, the progress line, the platform's error report and the messages about the arguments.
TEST_F(Befehlszeilentest, NamesWithControlCharactersNeverReachTheTerminalRaw) {
    const std::string boese = "\x1b]0;gekapert\x07\x1b[2J\nDatei kopieren: /etc/shadow";
    const auto daten = temp / "C" / "Daten";
    SchreibeDatei(daten / boese / ("f" + boese), "inhalt");
    std::filesystem::create_directories(temp / "D" / "Backup");
    // Only the program's own sequence, which clears the progress line, may appear raw.
    auto roh = [](std::string text) {
        for (std::size_t i; (i = text.find("\r\x1b[K")) != std::string::npos;)
            text.erase(i, 4);
        return text.find_first_of("\x1b\x07") != std::string::npos;
    };
    auto zeilen = [](const std::string& text, const std::string& anfang) {
        std::size_t n = 0;
        for (std::size_t i = 0; i < text.size(); i = text.find('\n', i) + 1) {
            n += text.compare(i, anfang.size(), anfang) == 0;
            if (text.find('\n', i) == std::string::npos)
                break;
        }
        return n;
    };

    EXPECT_EQ(Rufe({"--probe", "--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}), 0);
    EXPECT_FALSE(roh(aus.str() + fehler.str())) << aus.str();
    EXPECT_EQ(zeilen(aus.str(), "Datei kopieren: "), 1u) << aus.str();
    EXPECT_NE(aus.str().find("\\x1b]0;gekapert\\x07"), std::string::npos) << aus.str();

    // The progress line on a terminal.
    EXPECT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, true), 0);
    EXPECT_FALSE(roh(aus.str() + fehler.str())) << fehler.str();
    EXPECT_NE(fehler.str().find("\\x1b[2J"), std::string::npos) << fehler.str();

    // The platform's error report naming such a path.
    SchreibeDatei(daten / boese / "g", "neu");
    uhr.sekunde = 28;
    EXPECT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, false,
                   [&](const std::string& zeile) {
                       if (zeile.starts_with("Copy ") && zeile.find("\\g ") != std::string::npos)
                           throw FsFehler("Copy", "C:\\Daten\\" + boese + "\\g",
                                          std::make_error_code(std::errc::io_error));
                   }),
              1);
    EXPECT_FALSE(roh(aus.str() + fehler.str())) << fehler.str();
    EXPECT_EQ(zeilen(fehler.str(), "Datei kopieren: "), 0u) << fehler.str();
    EXPECT_NE(fehler.str().find("Pfad: C:\\Daten\\\\x1b]0;gekapert"), std::string::npos) << fehler.str();

    // A message about the arguments.
    EXPECT_EQ(Rufe({"--quelle", daten.string() + "/" + boese + "x", "--ziel", "D:\\Backup"}), 2);
    EXPECT_FALSE(roh(aus.str() + fehler.str())) << fehler.str();
    EXPECT_EQ(zeilen(fehler.str(), "Datei kopieren: "), 0u) << fehler.str();
}

// A signal asks the run to stop: the copies made so far are kept and marked, the rest keeps its bits, no
// message is printed, and the exit status is 128 + the signal's number. A terminal's progress line is taken
// away before the program ends.
TEST_F(Befehlszeilentest, ASignalStopsTheRunWithItsOwnExitStatus) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        for (const char* d : {"a.txt", "b.txt", "c.txt"})
            SchreibeDatei(temp / "C" / "Daten" / d, d);
        std::filesystem::create_directories(temp / "D" / "Backup");
        volatile std::sig_atomic_t abbruch = 0;
        const auto nachKopie = [&abbruch, signal](const Datei& d, const Pfad&) {
            if (d.Name == "b.txt")
                abbruch = signal;
        };
        EXPECT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, true, {}, nachKopie, &abbruch), 128 + signal);
        EXPECT_EQ(aus.str(), "");
        // Only the progress line was written, and it is cleared at the end.
        EXPECT_TRUE(fehler.str().ends_with("\r\033[K")) << fehler.str();
        EXPECT_EQ(fehler.str().find("Die Sicherung"), std::string::npos);
        EXPECT_EQ(Wert("C:\\Daten\\a.txt") & 32, 0);
        EXPECT_EQ(Wert("C:\\Daten\\b.txt") & 32, 0);
        EXPECT_EQ(Wert("C:\\Daten\\c.txt") & 32, 32);
        std::filesystem::remove_all(temp / "D" / "Backup");
    }
}

// A backup run, a restore and a check take over the signals, to stop cleanly; a listing and the program before
// its run starts keep their default effect, so that Ctrl-C ends them at once.
TEST_F(Befehlszeilentest, TheRunsTakeOverTheSignalsAListingDoesNot) {
    SchreibeDatei(temp / "C" / "Daten" / "a.txt", "a");
    std::filesystem::create_directories(temp / "D" / "Backup");
    struct Fall {
        std::vector<std::string> Argumente;
        int Aufrufe;
    };
    for (const Fall& fall : std::vector<Fall>{
             {{"--help"}, 0},
             {{"--quelle", "C:\\Daten"}, 0},
             {{"--liste", "--ziel", "D:\\Backup"}, 0},
             {{"--pruefen", "--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, 1},
             {{"--wiederherstellen", "--quelle", "C:\\Daten", "--ziel", "D:\\Backup", "--nach", "C:\\zurueck"}, 1},
             {{"--probe", "--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, 1},
             {{"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, 1}}) {
        SCOPED_TRACE(fall.Argumente.front());
        int aufrufe = 0;
        Befehlszeilenumgebung u{
            aus, fehler,  laufwerke,         uhr, [this] { return ErzeugePosixDateisystem(laufwerke); }, false,
            "/", nullptr, [&] { ++aufrufe; }};
        (void)Befehlszeile(fall.Argumente, u);
        EXPECT_EQ(aufrufe, fall.Aufrufe);
    }
}

TEST(Fortschrittszeile, NamesTheFileUnderWayWithItsOwnBytes) {
    Fortschritt stand;
    stand.Dateien = 12;
    stand.Bytes = 1536;
    stand.Ordner = "C:\\Daten";
    EXPECT_EQ(Fortschrittszeile(stand), "12 Dateien, 1,5 KiB – C:\\Daten");
    stand.Datei = "film.mkv";
    stand.DateiBytes = 300u << 20;
    stand.DateiGroesse = 1u << 30;
    EXPECT_EQ(Fortschrittszeile(stand), "12 Dateien, 1,5 KiB – C:\\Daten – film.mkv: 300,0 MiB von 1,0 GiB");
    // A name can send the terminal no commands.
    stand.Datei = "a\033]0;x\a.txt";
    EXPECT_EQ(Fortschrittszeile(stand), "12 Dateien, 1,5 KiB – C:\\Daten – a\\x1b]0;x\\x07.txt: 300,0 MiB von 1,0 GiB");
}

// Run by root, the window's program drops every path that would load code from a folder of the
// environment's choosing; a user's own run keeps them. Each row runs in a child with its own ids.
TEST(UmgebungTest, RootDropsPluginAndLibraryPathsAUserKeepsThem) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the child runs as root and as a user";
    for (const uid_t wer : {0u, 65534u}) {
        SCOPED_TRACE(wer);
        const pid_t kind = ::fork();
        ASSERT_GE(kind, 0);
        if (kind == 0) {
            if (wer != 0 && ::setresuid(wer, wer, wer) != 0)
                ::_exit(90);
            for (const char* name : Ladepfade)
                ::setenv(name, "/tmp/fremd", 1);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            const int entfernt = OhneFremdeLadepfade();
            int geblieben = 0;
            for (const char* name : Ladepfade)
                geblieben += std::getenv(name) != nullptr ? 1 : 0;
            // Other variables stay.
            const bool andere = std::getenv("QT_QPA_PLATFORM") != nullptr;
            ::_exit(entfernt * 10 + geblieben + (andere ? 0 : 100));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(kind, &status, 0), kind);
        const int anzahl = static_cast<int>(std::size(Ladepfade));
        EXPECT_EQ(WEXITSTATUS(status), wer == 0 ? anzahl * 10 : anzahl);
    }
}

} // namespace
} // namespace tresor::test

namespace tresor::test {
namespace {

// Source paths in the drive form and the POSIX form: each names the folder its POSIX form names (dots
// resolved, "/" as separator) or is refused before anything is created, and the dry run agrees with the run.
TEST_F(Befehlszeilentest, DriveFormAndPosixFormPathsNameOneFolderOrAreRefused) {
    struct Fall {
        std::string quelle;
        bool gilt; // runs and backs up C:\Daten
    };
    const std::vector<Fall> faelle = {
        {"C:\\Daten", true},
        {"C:\\.\\Daten", true},
        {"C:\\Daten\\..\\Daten", true},
        {"C:\\Daten\\.", true},
        {"c:\\Daten\\\\", true},
        {"C:/Daten", true},
        {"C:/Daten/../Daten/", true},
        {"Daten", true},
        {"./Daten/../Daten", true},
        {"C:\\..\\Daten", false},         // leaves the drive
        {"C:/Daten\\x", false},           // mixes the separators
        {"C:\\Zeiger\\..\\Daten", false}, // ".." after a link leads elsewhere than without it
        {"C:\\Daten\\fehlt\\..", false},  // the system reaches nothing through a name that is not there
    };
    SchreibeDatei(temp / "C" / "Daten" / "a.txt", "aaaa");
    std::filesystem::create_directories(temp / "C" / "Anders" / "innen");
    std::filesystem::create_symlink(temp / "C" / "Anders" / "innen", temp / "C" / "Zeiger");
    for (std::size_t i = 0; i < faelle.size(); ++i) {
        const Fall& f = faelle[i];
        SCOPED_TRACE(f.quelle);
        std::filesystem::remove_all(temp / "D");
        std::filesystem::create_directories(temp / "D" / "Backup");
        const int probe = Rufe({"--probe", "--quelle", f.quelle, "--ziel", "D:\\Backup"});
        const std::string probeAus = aus.str();
        EXPECT_TRUE(Inhalt(temp / "D" / "Backup").empty());
        const int lauf = Rufe({"--quelle", f.quelle, "--ziel", "D:\\Backup"});
        EXPECT_EQ(probe, lauf) << probeAus << fehler.str();
        if (f.gilt) {
            EXPECT_EQ(lauf, 0) << fehler.str();
            EXPECT_NE(probeAus.find("Datei kopieren: " + (temp / "C" / "Daten" / "a.txt").string() + "\n"),
                      std::string::npos)
                << probeAus;
            EXPECT_EQ(LiesDatei(temp / "D" / "Backup" / "Sicherung-2002-02-07--13-42-27" / "Daten" / "a.txt"), "aaaa");
            ErzeugePosixDateisystem(laufwerke)->SetFileAttr("C:\\Daten\\a.txt", 32);
        } else {
            EXPECT_EQ(lauf, 2);
            EXPECT_TRUE(fehler.str().starts_with("tresor-ix: Der Ordner der Quelle »")) << fehler.str();
            EXPECT_TRUE(Inhalt(temp / "D" / "Backup").empty());
        }
    }
}

} // namespace
} // namespace tresor::test
