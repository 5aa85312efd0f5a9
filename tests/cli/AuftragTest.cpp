#include "app/Auftrag.h"
#include "app/Befehlszeile.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Testhilfen.h"
#include "tests/cli/Aufruf.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

namespace tresor::test {
namespace {

struct Lesefall {
    const char* name;
    std::string text;
    std::string quelle, ziel; // expected values, or
    std::string fehler;       // the expected start of the error text
};

// Test logs name a case instead of dumping its bytes.
void PrintTo(const Lesefall& fall, std::ostream* aus) {
    *aus << fall.name;
}

class LiesAuftragTest : public ::testing::TestWithParam<Lesefall> {};

TEST_P(LiesAuftragTest, TakesValuesAsTheyStandAndNamesTheLineAtFault) {
    const Lesefall& f = GetParam();
    if (f.fehler.empty()) {
        const Auftrag a = LiesAuftrag(f.text);
        EXPECT_EQ(a.quelle, f.quelle);
        EXPECT_EQ(a.ziel, f.ziel);
    } else {
        try {
            (void)LiesAuftrag(f.text);
            ADD_FAILURE() << "no error";
        } catch (const Auftragsfehler& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with(f.fehler)) << e.what();
        }
    }
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Faelle, LiesAuftragTest,
    ::testing::Values(
        Lesefall{"Einfach", "QUELLE=/home/anna/Dokumente\nZIEL=/media/anna/SICHERUNG\n", "/home/anna/Dokumente",
                 "/media/anna/SICHERUNG", ""},
        Lesefall{"KommentareLeerzeilenUndOhneLetztesZeilenende",
                 "# Dokumente\n\n   \n\t# eingerückt\nZIEL=D:\\Sicherung\nQUELLE=/a", "/a", "D:\\Sicherung", ""},
        // Blanks at both ends, quotes, "$", ";", backslashes, a tab and bytes that are not UTF-8 are part of
        // the path; nothing is expanded.
        Lesefall{"SonderzeichenBleiben",
                 "QUELLE=/home/anna/Meine Dateien \n"
                 "ZIEL=/m/\"$HOME\" '`x`';\\\t\xff\xfe ende\n",
                 "/home/anna/Meine Dateien ", "/m/\"$HOME\" '`x`';\\\t\xff\xfe ende", ""},
        Lesefall{"GleichheitszeichenImWert", "QUELLE=/a=b\nZIEL=/c==\n", "/a=b", "/c==", ""},
        Lesefall{"Kleinbuchstaben", "quelle=/a\nZIEL=/b\n", "", "", "Zeile 1: unbekannter Eintrag"},
        Lesefall{"EingerueckterSchluessel", "ZIEL=/b\n QUELLE=/a\n", "", "", "Zeile 2: unbekannter Eintrag"},
        Lesefall{"BlankVorDemGleichheitszeichen", "QUELLE =/a\nZIEL=/b\n", "", "", "Zeile 1: unbekannter Eintrag"},
        Lesefall{"OhneGleichheitszeichen", "QUELLE\nZIEL=/b\n", "", "", "Zeile 1: unbekannter Eintrag"},
        Lesefall{"Unbekannt", "QUELLE=/a\nZIEL=/b\nPROBE=ja\n", "", "", "Zeile 3: unbekannter Eintrag"},
        Lesefall{"Doppelt", "QUELLE=/a\nZIEL=/b\n\nQUELLE=/c\n", "", "", "Zeile 4: QUELLE ist mehrfach"},
        Lesefall{"Leer", "QUELLE=\nZIEL=/b\n", "", "", "Zeile 1: der Ordner ist leer"},
        Lesefall{"Relativ", "QUELLE=/a\nZIEL=Sicherung\n", "", "", "Zeile 2: der Ordner muss ein absoluter"},
        Lesefall{"Tilde", "QUELLE=~/Dokumente\nZIEL=/b\n", "", "", "Zeile 1: der Ordner muss ein absoluter"},
        Lesefall{"BlankVorDemPfad", "QUELLE= /a\nZIEL=/b\n", "", "", "Zeile 1: der Ordner muss ein absoluter"},
        Lesefall{"WindowsZeilenende", "QUELLE=/a\r\nZIEL=/b\r\n", "", "", "Zeile 1: die Zeile endet mit einem Wagen"},
        Lesefall{"Nullzeichen", "QUELLE=/a\nZIEL=/b\0/c\n"s, "", "", "Zeile 2: die Zeile enthält ein Nullzeichen"},
        Lesefall{"OhneQuelle", "# nur Ziel\nZIEL=/b\n", "", "", "Es fehlt die Zeile QUELLE="},
        Lesefall{"OhneZiel", "QUELLE=/a\n", "", "", "Es fehlt die Zeile ZIEL="},
        Lesefall{"LeereDatei", "", "", "", "Es fehlt die Zeile QUELLE="}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AuftragsdateiTest, NameLooksInTheConfigFolderAndAPathIsTakenAsItStands) {
    EXPECT_EQ(Auftragsdatei("dokumente", "/arbeit", "/xdg", "/home/anna"), "/xdg/tresor-ix/dokumente.conf");
    // An unset, empty or relative XDG_CONFIG_HOME falls back to the home folder.
    EXPECT_EQ(Auftragsdatei("dokumente", "/arbeit", nullptr, "/home/anna"),
              "/home/anna/.config/tresor-ix/dokumente.conf");
    EXPECT_EQ(Auftragsdatei("dokumente", "/arbeit", "", "/home/anna"), "/home/anna/.config/tresor-ix/dokumente.conf");
    EXPECT_EQ(Auftragsdatei("dokumente", "/arbeit", "xdg", "/home/a b"), "/home/a b/.config/tresor-ix/dokumente.conf");
    // Without HOME the user database knows the home folder.
    EXPECT_TRUE(Auftragsdatei("x", "/arbeit", nullptr, nullptr).string().ends_with("/.config/tresor-ix/x.conf"));
    EXPECT_EQ(Auftragsdatei("/etc/a b.conf", "/arbeit", "/xdg", "/home/anna"), "/etc/a b.conf");
    EXPECT_EQ(Auftragsdatei("./a.conf", "/arbeit", "/xdg", "/home/anna"), "/arbeit/./a.conf");
    for (const char* falsch : {"", "..", ".versteckt"})
        EXPECT_THROW((void)Auftragsdatei(falsch, "/arbeit", "/xdg", "/home/anna"), Auftragsfehler) << falsch;
}

TEST(LadeAuftragTest, ReadsOnlyAnOrdinaryFileOfModestSize) {
    TempOrdner temp;
    const auto datei = temp / "a b.conf";
    SchreibeDatei(datei, "QUELLE=/q\nZIEL=/z\n");
    EXPECT_EQ(LadeAuftrag(datei).ziel, "/z");

    auto Fehler = [](const std::filesystem::path& p) {
        try {
            (void)LadeAuftrag(p);
        } catch (const Auftragsfehler& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(Fehler(temp / "fehlt.conf"),
              "Die Auftragsdatei »" + (temp / "fehlt.conf").string() + "« existiert nicht.");
    // A FIFO would block a reader until someone writes to it.
    ASSERT_EQ(mkfifo((temp / "fifo.conf").c_str(), 0600), 0);
    EXPECT_TRUE(Fehler(temp / "fifo.conf").ends_with("« ist keine gewöhnliche Datei.")) << Fehler(temp / "fifo.conf");
    EXPECT_TRUE(Fehler(temp.Pfad()).ends_with("« ist keine gewöhnliche Datei."));
    SchreibeDatei(temp / "gross.conf", "QUELLE=/q\nZIEL=/z\n" + std::string(64 * 1024, '#'));
    EXPECT_TRUE(Fehler(temp / "gross.conf").ends_with("« ist größer als 64 KiB.")) << Fehler(temp / "gross.conf");
    SchreibeDatei(temp / "falsch.conf", "QUELLE=/q\nZIEL=z\n");
    EXPECT_EQ(Fehler(temp / "falsch.conf"), "Die Auftragsdatei »" + (temp / "falsch.conf").string() +
                                                "«, Zeile 2: der Ordner muss ein absoluter Pfad (/home/anna/Daten) "
                                                "oder ein Laufwerkspfad (D:\\Daten) sein.");
    SchreibeDatei(temp / "halb.conf", "QUELLE=/q\n");
    EXPECT_EQ(Fehler(temp / "halb.conf"),
              "Die Auftragsdatei »" + (temp / "halb.conf").string() + "«: Es fehlt die Zeile ZIEL=ORDNER.");
}

// Only the user's (or root's) own file, writable by nobody else and not through a link, is a job: run as
// root over files an attacker made, and as an unprivileged user over root's and another user's.
TEST(LadeAuftragTest, TakesOnlyAFileOfTheUsersOwnThatNobodyElseCanChange) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: files of other owners are made";
    TempOrdner temp;
    std::filesystem::permissions(temp.Pfad(), std::filesystem::perms(0755));
    struct Fall {
        const char* Name;
        uid_t Besitzer;
        mode_t Modus;
        bool Verweis;
        uid_t Leser;
        const char* Meldung; // the end of the error, or "" when the job is taken
    };
    const std::vector<Fall> faelle = {
        {"root's own", 0, 0644, false, 0, ""},
        {"root's own, read-only", 0, 0400, false, 0, ""},
        {"a link to root's own", 0, 0644, true, 0,
         "« ist eine symbolische Verknüpfung; gelesen wird nur die Datei selbst."},
        {"the attacker's", 65534, 0644, false, 0,
         "« gehört einem anderen Benutzer (Nummer 65534); ein Auftrag gilt nur aus einer eigenen Datei."},
        {"group-writable", 0, 0664, false, 0,
         "« ist für andere Benutzer schreibbar; sie darf nur ihrem Besitzer schreibbar sein (chmod go-w)."},
        {"writable by others", 0, 0646, false, 0,
         "« ist für andere Benutzer schreibbar; sie darf nur ihrem Besitzer schreibbar sein (chmod go-w)."},
        {"the user's own", 65534, 0600, false, 65534, ""},
        {"root's, read by a user", 0, 0644, false, 65534, ""},
        {"a third user's, read by a user", 4711, 0644, false, 65534,
         "« gehört einem anderen Benutzer (Nummer 4711); ein Auftrag gilt nur aus einer eigenen Datei."},
        {"the user's own, group-writable", 65534, 0620, false, 65534,
         "« ist für andere Benutzer schreibbar; sie darf nur ihrem Besitzer schreibbar sein (chmod go-w)."},
    };
    int nummer = 0;
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        const auto datei = temp / ("a" + std::to_string(++nummer) + ".conf");
        const auto echt = f.Verweis ? temp / ("echt" + std::to_string(nummer) + ".conf") : datei;
        SchreibeDatei(echt, "QUELLE=/q\nZIEL=/z\n");
        ASSERT_EQ(::chown(echt.c_str(), f.Besitzer, f.Besitzer), 0);
        ASSERT_EQ(::chmod(echt.c_str(), f.Modus), 0);
        if (f.Verweis)
            std::filesystem::create_symlink(echt, datei);
        // The reader in a child of its own, with the user's ids; the message comes back through a pipe.
        int rohr[2];
        ASSERT_EQ(::pipe(rohr), 0);
        const pid_t kind = ::fork();
        ASSERT_GE(kind, 0);
        if (kind == 0) {
            ::close(rohr[0]);
            std::string antwort;
            if (f.Leser != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(f.Leser, f.Leser, f.Leser) != 0 ||
                                 ::setresuid(f.Leser, f.Leser, f.Leser) != 0))
                antwort = "setuid failed";
            else
                try {
                    antwort = LadeAuftrag(datei).ziel == "/z" ? "" : "wrong job";
                } catch (const Auftragsfehler& e) {
                    antwort = e.what();
                }
            (void)!::write(rohr[1], antwort.data(), antwort.size());
            ::_exit(0);
        }
        ::close(rohr[1]);
        std::string antwort;
        char puffer[1024];
        for (ssize_t n; (n = ::read(rohr[0], puffer, sizeof puffer)) > 0;)
            antwort.append(puffer, static_cast<std::size_t>(n));
        ::close(rohr[0]);
        ::waitpid(kind, nullptr, 0);
        if (std::string(f.Meldung).empty())
            EXPECT_EQ(antwort, "");
        else
            EXPECT_EQ(antwort, "Die Auftragsdatei »" + datei.string() + f.Meldung);
    }
}

class Feste : public Uhr {
public:
    Datum Date() override { return {2002, 2, 7}; }
    Zeit Time() override { return {13, 42, 27}; }
};

class AuftragBefehlszeileTest : public ::testing::Test {
protected:
    AuftragBefehlszeileTest() : laufwerke(TestLaufwerke(temp)) {}

    int Rufe(std::vector<std::string> argumente) {
        return RufeBefehlszeile(argumente, aus, fehler, laufwerke, uhr, temp / "C");
    }

    TempOrdner temp;
    Laufwerkstabelle laufwerke;
    Feste uhr;
    std::ostringstream aus, fehler;
};

TEST_F(AuftragBefehlszeileTest, JobFileWithBlanksInItsPathsRunsTheBackup) {
    const auto quelle = temp / "C" / " Meine Daten ";
    const auto ziel = temp / "D" / "Ziel $HOME";
    SchreibeDatei(quelle / "a b.txt", "a");
    std::filesystem::create_directories(ziel);
    SchreibeDatei(temp / "C" / "auftrag.conf", "# Test\nQUELLE=" + quelle.string() + "\nZIEL=" + ziel.string() + "\n");

    // A relative path counts from the working folder; a dry run first, then the real one.
    EXPECT_EQ(Rufe({"--probe", "--auftrag", "./auftrag.conf"}), 0) << fehler.str();
    EXPECT_NE(aus.str().find("Eine Sicherung würde 1 Dateien (1 Bytes) kopieren."), std::string::npos) << aus.str();
    EXPECT_EQ(Rufe({"--auftrag=" + (temp / "C" / "auftrag.conf").string()}), 0) << fehler.str();
    EXPECT_EQ(aus.str(),
              "Alle Dateien sind in den Ordner: D:\\Ziel $HOME\\Sicherung-2002-02-07--13-42-27 gesichert. \n");
    EXPECT_EQ(LiesDatei(ziel / "Sicherung-2002-02-07--13-42-27" / " Meine Daten " / "a b.txt"), "a");
}

TEST_F(AuftragBefehlszeileTest, WrongJobsAreRefusedWithExitTwo) {
    SchreibeDatei(temp / "C" / "q" / "a.txt", "a");
    SchreibeDatei(temp / "C" / "gut.conf", "QUELLE=" + (temp / "C" / "q").string() + "\nZIEL=" + (temp / "D").string());
    SchreibeDatei(temp / "C" / "falsch.conf", "QUELLE=" + (temp / "C" / "q").string() + "\n");
    const auto gut = (temp / "C" / "gut.conf").string();
    struct Fall {
        std::vector<std::string> argumente;
        std::string meldung;
    };
    for (const Fall& f : std::vector<Fall>{
             {{"--auftrag", gut, "--quelle", "/"}, "--auftrag kann nicht mit --quelle oder --ziel angegeben werden."},
             {{"--ziel", "/", "--auftrag", gut}, "--auftrag kann nicht mit --quelle oder --ziel angegeben werden."},
             {{"--auftrag", gut, "--auftrag", gut}, "--auftrag ist mehrfach angegeben."},
             {{"--auftrag"}, "--auftrag braucht einen Namen."},
             {{"--liste", "--auftrag", gut}, "--auftrag gehört zur Sicherung, nicht zu --liste."},
             {{"--auftrag", ".."}, "Der Name des Auftrags »..« darf nicht mit einem Punkt beginnen."},
             {{"--auftrag", gut, "--zeitlimit"}, "--zeitlimit braucht eine Zahl von Sekunden."},
             {{"--auftrag", gut, "--zeitlimit", "0"},
              "--zeitlimit erwartet eine Zahl von Sekunden zwischen 1 und 86400, nicht »0«."},
             {{"--auftrag", gut, "--zeitlimit=86401"},
              "--zeitlimit erwartet eine Zahl von Sekunden zwischen 1 und 86400, nicht »86401«."},
             {{"--auftrag", gut, "--zeitlimit", "1e3"},
              "--zeitlimit erwartet eine Zahl von Sekunden zwischen 1 und 86400, nicht »1e3«."},
             {{"--liste", "--ziel", "/", "--zeitlimit", "5"}, "--zeitlimit gehört zur Sicherung, nicht zu --liste."},
             {{"--auftrag", "./fehlt.conf"},
              "Die Auftragsdatei »" + (temp / "C").string() + "/./fehlt.conf« existiert nicht."},
             {{"--auftrag", "./falsch.conf"},
              "Die Auftragsdatei »" + (temp / "C").string() + "/./falsch.conf«: Es fehlt die Zeile ZIEL=ORDNER."},
         }) {
        EXPECT_EQ(Rufe(f.argumente), 2) << f.meldung;
        EXPECT_EQ(fehler.str(), "tresor-ix: " + f.meldung + "\nHilfe: tresor-ix --help\n");
        EXPECT_EQ(aus.str(), "");
    }
    EXPECT_FALSE(std::filesystem::exists(temp / "D" / "Sicherung-2002-02-07--13-42-27"));

    // A folder of a job file is printed with its control characters and odd bytes escaped.
    SchreibeDatei(temp / "C" / "roh.conf", "QUELLE=/gibt\x1b[2Jes\xffnicht\nZIEL=" + (temp / "D").string() + "\n");
    EXPECT_EQ(Rufe({"--auftrag", "./roh.conf"}), 2);
    EXPECT_EQ(fehler.str(), "tresor-ix: Der Ordner der Quelle »/gibt\\x1b[2Jes\\xffnicht« existiert nicht.\n"
                            "Hilfe: tresor-ix --help\n");
}

// The watchdog's bound is read before the arguments are: the valid value of --zeitlimit, else the standard one.
TEST(Zeitlimit, TheBoundOfTheWatchdogFromTheArguments) {
    const std::pair<std::vector<std::string>, int> faelle[] = {
        {{"--auftrag", "a"}, StandardZeitlimitSekunden},
        {{"--auftrag", "a", "--zeitlimit", "30"}, 30},
        {{"--zeitlimit=1", "--auftrag", "a"}, 1},
        {{"--auftrag", "a", "--zeitlimit", "86400"}, 86400},
        {{"--auftrag", "a", "--zeitlimit", "0"}, StandardZeitlimitSekunden},
        {{"--auftrag", "a", "--zeitlimit", "x"}, StandardZeitlimitSekunden},
        {{"--auftrag", "a", "--zeitlimit"}, StandardZeitlimitSekunden},
    };
    for (const auto& [argumente, sekunden] : faelle)
        EXPECT_EQ(ZeitlimitSekunden(argumente), sekunden) << ::testing::PrintToString(argumente);
}

} // namespace
} // namespace tresor::test
