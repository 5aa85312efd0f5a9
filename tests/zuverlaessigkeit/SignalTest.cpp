// SIGINT and SIGTERM stop a real run of the command line cleanly: caught in the middle of a copy, the program
// ends with 130 or 143, leaves no temporary file, every file that reads as backed up has a byte-identical copy,
// the files it did not reach keep their archive bits, and the next run backs them up. A second signal ends the
// program at once, as a crash would, and loses nothing either. A restore stops the same way, leaving only whole
// files of the point.

#include "tests/Testhilfen.h"
#include "tests/zuverlaessigkeit/Bestand.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <thread>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

class Signaltest : public ::testing::Test {
protected:
    static constexpr std::size_t Grosse = 12;

    Signaltest() : programm(temp.Pfad()) {
        fs::create_directories(ziel);
        // The source's own files come first in the walk: large ones, so that the run is caught inside one of
        // their copies; the small files of the subfolders come after them.
        std::mt19937_64 zufall{20020207};
        const auto inhalt = [&](std::size_t groesse) {
            std::string s(groesse, '\0');
            for (std::size_t i = 0; i < groesse; i += 8) {
                const std::uint64_t z = zufall();
                std::memcpy(s.data() + i, &z, std::min<std::size_t>(8, groesse - i));
            }
            return s;
        };
        for (std::size_t i = 0; i < Grosse; ++i)
            Schreibe("g" + std::to_string(10 + i) + ".bin", inhalt(4u << 20));
        for (int i = 0; i < 200; ++i)
            Schreibe("s" + std::to_string(i % 4) + "/d" + std::to_string(i) + ".txt", inhalt(100 + 37u * i));
    }

    void Schreibe(const std::string& rel, const std::string& inhalt) {
        SchreibeDatei(quelle / rel, inhalt);
        stand[rel] = InhaltAus(inhalt);
    }

    // The folder in the backup that mirrors the source, once the run created it.
    fs::path Spiegel() const {
        for (const auto& e : fs::directory_iterator(ziel))
            return e.path() / quelle.relative_path();
        return {};
    }

    // Whether the process `pid` is inside the copy of a file into `ordner`: the folder holds a temporary file,
    // or the process holds an unnamed file of it open (the kernel shows it as "<folder>/#<inode> (deleted)").
    static bool InKopie(pid_t pid, const fs::path& ordner) {
        std::error_code ec;
        for (fs::directory_iterator it(ordner, ec), ende; !ec && it != ende; it.increment(ec))
            if (it->path().filename().string().starts_with(".tresor-ix-"))
                return true;
        const std::string unbenannt = ordner.string() + "/#";
        for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), ende; !ec && it != ende;
             it.increment(ec)) {
            std::error_code lesefehler;
            const std::string ziel = fs::read_symlink(it->path(), lesefehler).string();
            if (!lesefehler && ziel.starts_with(unbenannt) && ziel.ends_with(" (deleted)"))
                return true;
        }
        return false;
    }

    // Starts a run (with the arguments `weitere` added) and stops the process while it is inside the copy of one
    // of the large files into `ordner` (the backup's mirror where none is given): its copy under way is seen,
    // the process is stopped, and the copy is still under way. Returns the stopped process.
    pid_t StarteUndHalteInKopie(const std::vector<std::string>& weitere = {}, const fs::path& ordner = {}) {
        const pid_t pid = programm.Starte(quelle.string(), ziel.string(), weitere);
        EXPECT_GT(pid, 0);
        const auto anfang = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - anfang < std::chrono::seconds(60)) {
            int roh = 0;
            if (::waitpid(pid, &roh, WNOHANG) == pid) {
                ADD_FAILURE() << "the run ended before it was caught in a copy";
                return -1;
            }
            const fs::path spiegel = ordner.empty() ? Spiegel() : ordner;
            if (spiegel.empty() || !InKopie(pid, spiegel))
                continue;
            ::kill(pid, SIGSTOP);
            if (::waitpid(pid, &roh, WUNTRACED) != pid || !WIFSTOPPED(roh)) {
                ADD_FAILURE() << "the run ended before it was caught in a copy";
                return -1;
            }
            if (InKopie(pid, spiegel))
                return pid;
            ::kill(pid, SIGCONT); // the copy was over already: wait for the next one
        }
        ADD_FAILURE() << "no copy seen within a minute";
        ::kill(pid, SIGKILL);
        (void)programm.Warte(pid, false);
        return -1;
    }

    Verluste Pruefe(bool restErlaubt) {
        std::vector<Sicherungsstand> staende;
        for (const auto& e : fs::directory_iterator(ziel))
            staende.push_back(
                {(e.path() / quelle.relative_path()).string(), [this](const std::string& rel) -> std::optional<Inhalt> {
                     const auto it = stand.find(rel);
                     return it == stand.end() ? std::nullopt : std::optional<Inhalt>(it->second);
                 }});
        return PruefeSicherungen(quelle.string(), staende, restErlaubt);
    }

    std::size_t Gesichert(const std::string& anfang) const {
        std::size_t n = 0;
        for (const auto& [rel, inhalt] : stand)
            n += rel.starts_with(anfang) && !ArchivGesetzt((quelle / rel).string());
        return n;
    }

    TempOrdner temp;
    fs::path quelle = temp / "quelle";
    fs::path ziel = temp / "ziel";
    Programm programm;
    std::map<std::string, Inhalt> stand;
};

TEST_F(Signaltest, SigintAndSigtermStopCleanlyInsideACopy) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        const pid_t pid = StarteUndHalteInKopie();
        ASSERT_GT(pid, 0);
        ::kill(pid, signal);
        ::kill(pid, SIGCONT);
        const Programmende ende = programm.Warte(pid, false);
        EXPECT_EQ(ende.Status, 128 + signal) << ende.Fehler;
        EXPECT_EQ(ende.Aus, "") << "a stopped run shows no message";

        EXPECT_TRUE(Reste(ziel.string()).empty());
        const Verluste v = Pruefe(false);
        EXPECT_EQ(v.Anzahl, 0);
        for (const auto& m : v.Meldungen)
            ADD_FAILURE() << m;
        // Caught inside a large file: at most the ones before it are backed up, none of the small files.
        EXPECT_LT(Gesichert("g"), Grosse);
        EXPECT_EQ(Gesichert("s"), 0u);

        // The next run backs up the rest.
        const Programmende danach = programm.Sichere(quelle.string(), ziel.string());
        EXPECT_EQ(danach.Status, 0) << danach.Fehler;
        EXPECT_EQ(Gesichert(""), stand.size());
        EXPECT_EQ(Pruefe(false).Anzahl, 0);
        fs::remove_all(ziel);
        fs::create_directories(ziel);
        for (const auto& [rel, inhalt] : stand)
            ASSERT_EQ(Fuehre({"setfattr", "-x", "user.tresor-ix.archiv", (quelle / rel).string()}), 0);
    }
}

TEST_F(Signaltest, ASecondSignalEndsAtOnceAndLosesNothing) {
    const pid_t pid = StarteUndHalteInKopie();
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGINT);
    ::kill(pid, SIGTERM);
    ::kill(pid, SIGCONT);
    int roh = 0;
    ASSERT_EQ(::waitpid(pid, &roh, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(roh)) << "ended by the second signal's default action, not by a clean stop";
    EXPECT_TRUE(WTERMSIG(roh) == SIGINT || WTERMSIG(roh) == SIGTERM) << WTERMSIG(roh);
    // Like a crash: a temporary file may remain, but nothing that reads as backed up is missing.
    const Verluste v = Pruefe(true);
    EXPECT_EQ(v.Anzahl, 0);
    for (const auto& m : v.Meldungen)
        ADD_FAILURE() << m;
    EXPECT_EQ(Gesichert("s"), 0u);
}

// A restore stops as a backup does: caught inside the copy of a large file, it ends with 130 or 143, drops that
// copy, leaves every file there whole and the source's, and says that the folder holds a part only; restored
// again into a new folder, the point comes back whole.
TEST_F(Signaltest, ARestoreStopsCleanlyInsideACopy) {
    ASSERT_EQ(programm.Sichere(quelle.string(), ziel.string()).Status, 0);
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        const fs::path nach = temp / ("zurueck-" + std::to_string(signal));
        const pid_t pid = StarteUndHalteInKopie({"--wiederherstellen", "--nach", nach.string()}, nach);
        ASSERT_GT(pid, 0);
        ::kill(pid, signal);
        ::kill(pid, SIGCONT);
        const Programmende ende = programm.Warte(pid, false);
        EXPECT_EQ(ende.Status, 128 + signal) << ende.Fehler;
        EXPECT_NE(ende.Fehler.find("Angehalten: "), std::string::npos) << ende.Fehler;
        EXPECT_NE(ende.Fehler.find(" enthält nur einen Teil des Standes "), std::string::npos) << ende.Fehler;

        EXPECT_TRUE(Reste(nach.string()).empty());
        const auto da = Bestand(nach.string());
        for (const auto& [rel, inhalt] : da)
            EXPECT_TRUE(stand.contains(rel) && stand.at(rel) == inhalt) << rel;
        // Caught inside a large file: the small files after it are not there.
        EXPECT_LE(da.size(), Grosse);
        for (const auto& [rel, inhalt] : da)
            EXPECT_TRUE(rel.starts_with("g")) << rel;

        const fs::path neu = temp / ("neu-" + std::to_string(signal));
        const Programmende wieder = programm.Warte(
            programm.Starte(quelle.string(), ziel.string(), {"--wiederherstellen", "--nach", neu.string()}), false);
        EXPECT_EQ(wieder.Status, 0) << wieder.Fehler;
        EXPECT_EQ(Bestand(neu.string()), stand);
    }
}

} // namespace
} // namespace tresor::test
