// Backups a user can restore from: every change of a file or of its name is caught by the next run, every copy
// under a real name is a version the file really had, and the trouble of one source entry is that entry's
// failed check, never the end of the run.

#include "tests/engine/Engineumgebung.h"

#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/Ordnerkarte.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <utility>

namespace tresor::test {
namespace {

namespace sfs = std::filesystem;

const std::string NichtsGefunden = "Keine Dateien zum Sichern gefunden ! ";

class Verlaesslichkeit : public Engineumgebung {
protected:
    // A whole backup run of C:\Q into D:\Z, each in a second of its own. Returns the source files it copied,
    // relative to C:\Q.
    std::set<std::string> Lauf() {
        fenster.quellPfad = "C:\\Q";
        fenster.zielPfad = "D:\\Z";
        sfs::create_directories(Posix("D:\\Z"));
        uhr.zeit.Sekunde = sekunde_++;
        const std::size_t ab = protokoll.size();
        sicherung.Sichern_Click();
        std::set<std::string> kopiert;
        for (std::size_t i = ab; i < protokoll.size(); ++i)
            if (protokoll[i].rfind("Copy C:\\Q\\", 0) == 0)
                kopiert.insert(protokoll[i].substr(10, protokoll[i].find(' ', 10) - 10));
        return kopiert;
    }
    sfs::path Q(const std::string& rel = {}) const { return rel.empty() ? Posix("C:\\Q") : Posix("C:\\Q") / rel; }
    // Every file of the source has its present content in the newest backup folder that holds its path.
    void PruefeNeuesteSicherungen() const {
        std::vector<sfs::path> sicherungen;
        for (const auto& e : sfs::directory_iterator(Posix("D:\\Z")))
            sicherungen.push_back(e.path() / "Q");
        std::sort(sicherungen.rbegin(), sicherungen.rend());
        for (const auto& e : sfs::recursive_directory_iterator(Q())) {
            if (e.is_symlink() || !e.is_regular_file())
                continue;
            const sfs::path rel = sfs::relative(e.path(), Q());
            const auto neueste = std::find_if(sicherungen.begin(), sicherungen.end(), [&](const sfs::path& s) {
                return sfs::exists(sfs::symlink_status(s / rel));
            });
            ASSERT_NE(neueste, sicherungen.end()) << rel;
            EXPECT_EQ(LiesDatei(*neueste / rel), LiesDatei(e.path())) << rel;
        }
    }
    int sekunde_ = 0;
};

struct Aenderung {
    const char* Name;
    std::function<void(const sfs::path& q)> Machen;
    std::set<std::string> Kopiert; // what the next run must copy, and nothing else
};

class Aenderungen : public Verlaesslichkeit, public ::testing::WithParamInterface<Aenderung> {};

TEST_P(Aenderungen, TheNextRunCopiesExactlyTheAffectedFilesUnderTheirPresentNames) {
    for (const char* rel :
         {"a.txt", "b.txt", "sub/c.txt", "sub/d.txt", "X/x1.txt", "Y/y1.txt", "P/p1.txt", "P/Innen/p2.txt"})
        SchreibeDatei(Q(rel), std::string("Inhalt von ") + rel);
    ASSERT_EQ(Lauf().size(), 8u);
    ASSERT_EQ(Lauf(), std::set<std::string>());
    ASSERT_EQ(fenster.meldungen.back().Prompt, NichtsGefunden);
    // Right after the run: a change of any kind is seen at once (the exact rule, Archivvermerk.h).
    GetParam().Machen(Q());
    EXPECT_EQ(Lauf(), GetParam().Kopiert);
    EXPECT_EQ(sicherung.ausgang, Ausgang::Erfolg);
    PruefeNeuesteSicherungen();
    EXPECT_EQ(Lauf(), std::set<std::string>());
}

void SchreibeGleichGrossMitAlterZeit(const sfs::path& datei, const std::string& inhalt) {
    struct stat st {};
    ASSERT_EQ(::stat(datei.c_str(), &st), 0);
    ASSERT_EQ(static_cast<std::size_t>(st.st_size), inhalt.size());
    SchreibeDatei(datei, inhalt);
    const struct timespec zeiten[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, datei.c_str(), zeiten, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Fall, Aenderungen,
    ::testing::Values(
        Aenderung{"UmbenennenImOrdner", [](const sfs::path& q) { sfs::rename(q / "a.txt", q / "a2.txt"); }, {"a2.txt"}},
        Aenderung{"VerschiebenInAnderenOrdner",
                  [](const sfs::path& q) { sfs::rename(q / "sub/c.txt", q / "X/c.txt"); },
                  {"X\\c.txt"}},
        Aenderung{"UmbenennenUeberEineBestehende",
                  [](const sfs::path& q) { sfs::rename(q / "a.txt", q / "b.txt"); },
                  {"b.txt"}},
        Aenderung{"ElternordnerUmbenannt",
                  [](const sfs::path& q) { sfs::rename(q / "P", q / "P2"); },
                  {"P2\\p1.txt", "P2\\Innen\\p2.txt"}},
        Aenderung{"OrdnerGetauscht",
                  [](const sfs::path& q) {
                      sfs::rename(q / "X", q / "T");
                      sfs::rename(q / "Y", q / "X");
                      sfs::rename(q / "T", q / "Y");
                  },
                  {"X\\y1.txt", "Y\\x1.txt"}},
        Aenderung{"HartLinkDannAltenNamenGeloescht",
                  [](const sfs::path& q) {
                      sfs::create_hard_link(q / "a.txt", q / "sub/e.txt");
                      sfs::remove(q / "a.txt");
                  },
                  {"sub\\e.txt"}},
        Aenderung{"GleicheGroesseZeitZurueckgestellt",
                  [](const sfs::path& q) { SchreibeGleichGrossMitAlterZeit(q / "b.txt", "INHALT VON b.txt"); },
                  {"b.txt"}},
        Aenderung{"Rechte", [](const sfs::path& q) { sfs::permissions(q / "b.txt", sfs::perms(0640)); }, {"b.txt"}},
        Aenderung{"SpeichernWieEinEditor",
                  [](const sfs::path& q) {
                      SchreibeDatei(q / ".b.txt.swp", "neuer Inhalt");
                      sfs::rename(q / ".b.txt.swp", q / "b.txt");
                  },
                  {"b.txt"}}),
    [](const ::testing::TestParamInfo<Aenderung>& info) { return std::string(info.param.Name); });

// Copies while the source changes, at moments inside the copy that the test chooses.
class AenderungBeimKopieren : public Verlaesslichkeit {
protected:
    void SetUp() override { sfs::create_directories(Posix("D:\\Z")); }
    // The backup folders' copies of a.txt.
    std::vector<std::string> Kopien() const {
        std::vector<std::string> r;
        for (const auto& e : sfs::recursive_directory_iterator(Posix("D:\\Z")))
            if (e.path().filename() == "a.txt")
                r.push_back(LiesDatei(e.path()));
        return r;
    }
    // No entry of the backup but folders and copies under real names (no temporary file left).
    void NurEchteNamen() const {
        for (const auto& e : sfs::recursive_directory_iterator(Posix("D:\\Z")))
            EXPECT_EQ(e.path().filename().string().find(".tresor-ix-"), std::string::npos) << e.path();
    }
};

TEST_F(AenderungBeimKopieren, AFileThatGrewOnceIsCopiedAgainWithoutAZeroTail) {
    SchreibeDatei(Q("a.txt"), std::string(70000, 'a'));
    SchreibeDatei(Q("b.txt"), "b");
    kopierhaken = [this](const Pfad& p, int versuch) {
        if (p == "C:\\Q\\a.txt" && versuch == 1)
            std::ofstream(Q("a.txt"), std::ios::app) << std::string(100000, 'b');
    };
    Lauf();
    EXPECT_EQ(sicherung.ausgang, Ausgang::Erfolg);
    EXPECT_EQ(Kopien(), std::vector<std::string>{std::string(70000, 'a') + std::string(100000, 'b')});
    EXPECT_EQ(Wert("C:\\Q\\a.txt") & attr::Archiv, 0);
    NurEchteNamen();
}

TEST_F(AenderungBeimKopieren, AFileThatKeepsChangingLeavesNoCopyKeepsItsBitAndIsNamed) {
    // Growing, shrinking, and rewritten at both ends with its size and modification time as before: each
    // attempt sees a change; no copy under a real name may hold bytes the file never held there.
    for (const auto& [name, aendern] : std::vector<std::pair<std::string, std::function<void(int)>>>{
             {"waechst", [this](int) { std::ofstream(Q("a.txt"), std::ios::app) << std::string(4096, 'w'); }},
             {"schrumpft",
              [this](int v) { sfs::resize_file(Q("a.txt"), 60000 - static_cast<std::uintmax_t>(v) * 1000); }},
             {"beideEnden", [this](int v) {
                  SchreibeGleichGrossMitAlterZeit(Q("a.txt"), std::string(1, static_cast<char>('0' + v)) +
                                                                  std::string(69998, 'a') +
                                                                  std::string(1, static_cast<char>('0' + v)));
              }}}) {
        SCOPED_TRACE(name);
        sfs::remove_all(Posix("D:\\Z"));
        sfs::create_directories(Posix("D:\\Z"));
        SchreibeDatei(Q("a.txt"), std::string(70000, 'a'));
        SchreibeDatei(Q("b.txt"), "b");
        fenster.pruefungen.clear();
        int versuche = 0;
        kopierhaken = [&](const Pfad& p, int versuch) {
            if (p == "C:\\Q\\a.txt") {
                versuche = versuch;
                aendern(versuch);
            }
        };
        Lauf();
        kopierhaken = nullptr;
        EXPECT_EQ(versuche, 4);
        EXPECT_EQ(sicherung.ausgang, Ausgang::Fehlschlag);
        // Named with how often and how long it was tried.
        ASSERT_EQ(fenster.pruefungen.size(), 1u);
        EXPECT_EQ(fenster.pruefungen[0].first, "C:\\Q\\a.txt");
        EXPECT_TRUE(fenster.pruefungen[0].second.starts_with("hat sich beim Kopieren geändert (4 Versuche in "))
            << fenster.pruefungen[0].second;
        EXPECT_TRUE(fenster.pruefungen[0].second.ends_with(" s)")) << fenster.pruefungen[0].second;
        EXPECT_TRUE(Kopien().empty());
        EXPECT_GE(Wert("C:\\Q\\a.txt"), 32);
        EXPECT_EQ(Wert("C:\\Q\\b.txt"), 0);
        NurEchteNamen();
        // Once it holds still, the next run copies it as it is.
        const std::string jetzt = LiesDatei(Q("a.txt"));
        Lauf();
        EXPECT_EQ(sicherung.ausgang, Ausgang::Erfolg);
        EXPECT_EQ(Kopien(), std::vector<std::string>{jetzt});
    }
}

TEST_F(AenderungBeimKopieren, AFolderRenamedAwayDuringACopyIsReadAsItsPathNamesItNow) {
    // The folder of a.txt (or one above it) was held open since the scan met it; while a.txt is copied, it is
    // renamed away. The copy under the old path may hold only what that path's a.txt holds now: the file of a
    // folder made anew under that name, or nothing when there is none; the file under the new name was never
    // walked and keeps its bit.
    struct Fall {
        const char* Name;
        const char* Datei;         // a.txt below Q
        std::function<void()> Tat; // inside the copy of a.txt
        const char* Weg;           // where the file read is now
        const char* Kopie;         // the copy's content, nullptr for none
        // Without a copy: the entries named, each with the start of its reason.
        std::vector<std::pair<Pfad, std::string>> Pruefungen;
        bool Immer = false; // the deed at every copy of a.txt, not only the first
    };
    int umzuege = 0;
    const Fall faelle[] = {
        {"NeuerOrdnerGleichenNamens",
         "U/a.txt",
         [this] {
             sfs::rename(Q("U"), Q("W"));
             SchreibeDatei(Q("W/a.txt"), "in W geschrieben");
             SchreibeDatei(Q("U/a.txt"), "neu in U");
         },
         "C:\\Q\\W\\a.txt",
         "neu in U",
         {}},
        // The file read is unchanged in the folder renamed away: only the path tells it from the new one.
        {"NeuerOrdnerAlteDateiUnveraendert",
         "U/a.txt",
         [this] {
             sfs::rename(Q("U"), Q("W"));
             SchreibeDatei(Q("U/a.txt"), "neu in U");
         },
         "C:\\Q\\W\\a.txt",
         "neu in U",
         {}},
        // A folder above renamed and made anew: the copy is made again from the root, through the new folders,
        // not through the held ones that still reach the renamed folder.
        {"ElternordnerErsetzt",
         "P/U/a.txt",
         [this] {
             sfs::rename(Q("P"), Q("P2"));
             SchreibeDatei(Q("P/U/a.txt"), "neu in P");
         },
         "C:\\Q\\P2\\U\\a.txt",
         "neu in P",
         {}},
        // ... and again at every copy: after a few copies the file is named as changing, with the copies made.
        {"ElternordnerWandertImmer",
         "P/U/a.txt",
         [this, &umzuege] {
             sfs::rename(Q("P"), Q("P" + std::to_string(++umzuege + 1)));
             SchreibeDatei(Q("P/U/a.txt"), "neu in P");
         },
         "C:\\Q\\P2\\U\\a.txt",
         nullptr,
         {{"C:\\Q\\P\\U\\a.txt", "hat sich beim Kopieren geändert (5 Versuche in "}},
         true},
        {"OrdnerNurWeg",
         "U/a.txt",
         [this] {
             sfs::rename(Q("U"), Q("W"));
             SchreibeDatei(Q("W/a.txt"), "in W geschrieben");
         },
         "C:\\Q\\W\\a.txt",
         nullptr,
         {{"C:\\Q\\U\\a.txt", "nicht mehr vorhanden"}, {"C:\\Q\\U", "nicht mehr vorhanden"}}},
    };
    for (const Fall& fall : faelle) {
        SCOPED_TRACE(fall.Name);
        for (const char* rel : {"U", "W", "P", "P2", "P3", "P4", "P5", "P6", "b.txt"})
            sfs::remove_all(Q(rel));
        umzuege = 0;
        sfs::remove_all(Posix("D:\\Z"));
        sfs::create_directories(Posix("D:\\Z"));
        SchreibeDatei(Q(fall.Datei), std::string(70000, 'a'));
        SchreibeDatei(Q("b.txt"), "b");
        fenster.pruefungen.clear();
        const Pfad datei = "C:\\Q\\" + NamenAusPosix(fall.Datei);
        bool einmal = false;
        kopierhaken = [&](const Pfad& p, int) {
            if (p == datei && (!std::exchange(einmal, true) || fall.Immer))
                fall.Tat();
        };
        Lauf();
        kopierhaken = nullptr;
        EXPECT_GE(Wert(fall.Weg), 32) << "the file moved away was never backed up under its name";
        EXPECT_EQ(Wert("C:\\Q\\b.txt"), 0);
        NurEchteNamen();
        if (fall.Kopie != nullptr) {
            EXPECT_EQ(sicherung.ausgang, Ausgang::Erfolg);
            EXPECT_EQ(Kopien(), std::vector<std::string>{fall.Kopie});
            EXPECT_EQ(Wert(datei), 0);
        } else {
            EXPECT_EQ(sicherung.ausgang, Ausgang::Fehlschlag);
            EXPECT_TRUE(Kopien().empty());
            ASSERT_EQ(fenster.pruefungen.size(), fall.Pruefungen.size());
            for (std::size_t i = 0; i < fall.Pruefungen.size(); ++i) {
                EXPECT_EQ(fenster.pruefungen[i].first, fall.Pruefungen[i].first);
                EXPECT_TRUE(fenster.pruefungen[i].second.starts_with(fall.Pruefungen[i].second))
                    << fenster.pruefungen[i].second;
            }
        }
    }
}

// The trouble of one source entry fails that entry's check; the run copies everything else, ends with the
// failure message and names each such entry with its reason.
class Eintragsfehler : public Verlaesslichkeit {
protected:
    void SetUp() override {
        for (const char* rel : {"a.txt", "b.txt", "c.txt", "U/d.txt", "V/e.txt"})
            SchreibeDatei(Q(rel), rel);
    }
    void PruefeRestGesichert(const std::set<std::string>& betroffen) {
        EXPECT_EQ(sicherung.ausgang, Ausgang::Fehlschlag);
        for (const char* rel : {"a.txt", "b.txt", "c.txt", "U/d.txt", "V/e.txt"}) {
            if (betroffen.contains(rel))
                continue;
            const Pfad p = "C:\\Q\\" + NamenAusPosix(rel);
            EXPECT_EQ(Wert(p), 0) << rel;
            bool gefunden = false;
            for (const auto& e : sfs::directory_iterator(Posix("D:\\Z")))
                gefunden = gefunden || sfs::exists(e.path() / "Q" / rel);
            EXPECT_TRUE(gefunden) << rel;
        }
    }
};

TEST_F(Eintragsfehler, EachKindThroughTheWrapper) {
    struct Fall {
        std::string Vorgang; // the operation on C:\Q\b.txt that fails
        std::errc Fehler;
        std::string Grund;
    };
    for (const Fall& f : std::vector<Fall>{
             {"GetFile", std::errc::no_such_file_or_directory, "nicht mehr vorhanden"},
             {"Copy", std::errc::invalid_argument, "keine gewöhnliche Datei mehr"},
             {"Copy", std::errc::io_error, "Ein-/Ausgabefehler"},
             {"Copy", std::errc::permission_denied, "Zugriff verweigert"},
             {"SetFileAttr", std::errc::no_space_on_device, "kein Platz für den Archivvermerk"},
             {"SetFileAttr", std::errc::argument_list_too_long, "kein Platz für den Archivvermerk"},
             {"SetFileAttr", std::errc::permission_denied, "Archivvermerk nicht schreibbar: Zugriff verweigert"},
         }) {
        SCOPED_TRACE(f.Vorgang + " " + f.Grund);
        fenster.pruefungen.clear();
        vorher = [&f](const std::string& z) {
            if (z.rfind(f.Vorgang + " C:\\Q\\b.txt", 0) == 0)
                throw FsFehler(f.Vorgang, "C:\\Q\\b.txt", std::make_error_code(f.Fehler));
        };
        for (const char* rel : {"a.txt", "b.txt", "c.txt", "U/d.txt", "V/e.txt"})
            SchreibeDatei(Q(rel), rel); // all to be backed up again
        Lauf();
        EXPECT_EQ(fenster.pruefungen, (std::vector<std::pair<Pfad, std::string>>{{"C:\\Q\\b.txt", f.Grund}}));
        PruefeRestGesichert({"b.txt"});
        EXPECT_GE(Wert("C:\\Q\\b.txt"), 32);
    }
    // A source folder that cannot be read fails as an entry too; the folders after it are copied.
    fenster.pruefungen.clear();
    vorher = [](const std::string& z) {
        if (z == "GetFolder C:\\Q\\U")
            throw FsFehler("GetFolder", "C:\\Q\\U", std::make_error_code(std::errc::io_error));
    };
    for (const char* rel : {"a.txt", "b.txt", "c.txt", "U/d.txt", "V/e.txt"})
        SchreibeDatei(Q(rel), rel);
    Lauf();
    EXPECT_EQ(fenster.pruefungen, (std::vector<std::pair<Pfad, std::string>>{{"C:\\Q\\U", "Ein-/Ausgabefehler"}}));
    PruefeRestGesichert({"U/d.txt"});
}

TEST_F(Eintragsfehler, VanishedSwappedForAFifoAndNoRoomForTheRecordForReal) {
    // b.txt vanishes between its copy and its check, c.txt is swapped for a FIFO between scan and copy, and
    // V/e.txt has no room left for its record.
    // The room in the inode first (ext4 keeps small attributes there), then the block.
    const std::string imInode(56, 'i');
    ASSERT_EQ(::setxattr(Q("V/e.txt").c_str(), "user.i", imInode.data(), imInode.size(), 0), 0);
    const std::string fuellung(4000, 'f');
    ASSERT_EQ(::setxattr(Q("V/e.txt").c_str(), "user.fuellung", fuellung.data(), fuellung.size(), 0), 0);
    nachKopie = [this](const Datei& d, const Pfad&) {
        if (d.Path == "C:\\Q\\b.txt")
            sfs::remove(Q("b.txt"));
    };
    vorher = [this](const std::string& z) {
        if (z == "GetFile C:\\Q\\c.txt") {
            sfs::remove(Q("c.txt"));
            ASSERT_EQ(::mkfifo(Q("c.txt").c_str(), 0644), 0);
        }
    };
    Lauf();
    EXPECT_EQ(fenster.pruefungen,
              (std::vector<std::pair<Pfad, std::string>>{{"C:\\Q\\c.txt", "keine gewöhnliche Datei mehr"},
                                                         {"C:\\Q\\b.txt", "nicht mehr vorhanden"},
                                                         {"C:\\Q\\V\\e.txt", "kein Platz für den Archivvermerk"}}));
    PruefeRestGesichert({"b.txt", "c.txt", "V/e.txt"});
    EXPECT_GE(Wert("C:\\Q\\V\\e.txt"), 32);
    EXPECT_EQ(fenster.meldungen.back().Prompt, "Die Sicherung wurde nicht korrekt durchgeführt ! ");
}

// Where each copy is flushed by itself beside the walk (a network target), a copy whose flush fails is learnt of
// at the batch's flush: the run ends there with the error report naming that copy, no source of the batch is
// marked, the copy is gone, and the next run backs everything up.
TEST_F(Verlaesslichkeit, ACopyWhoseOwnFlushFailsMarksNoSourceAndEndsTheRun) {
    struct Fall {
        const char* Name;
        off_t Scheitert; // the size of the copy whose flush fails, 0 for none
    };
    const std::vector<std::string> dateien = {"a.txt", "b.txt", "c.txt", "U/d.txt"};
    for (const Fall& f : {Fall{"every flush goes through", 0}, Fall{"the flush of b.txt fails", 2}}) {
        SCOPED_TRACE(f.Name);
        for (std::size_t i = 0; i < dateien.size(); ++i)
            SchreibeDatei(Q(dateien[i]), std::string(i + 1, 'x')); // told apart by their sizes
        std::atomic<int> flushes{0};
        einzelflush = [&](int fd) {
            ++flushes;
            struct stat st {};
            return ::fstat(fd, &st) == 0 && st.st_size == f.Scheitert ? EIO : 0;
        };
        std::set<sfs::path> vorher;
        sfs::create_directories(Posix("D:\\Z"));
        for (const auto& e : sfs::directory_iterator(Posix("D:\\Z")))
            vorher.insert(e.path());
        // The platform's error, which the program reports, names the copy.
        bool gescheitert = false;
        try {
            Lauf();
        } catch (const FsFehler& fehler) {
            gescheitert = true;
            EXPECT_EQ(fehler.Operation(), "Sync");
            EXPECT_NE(fehler.Path().find("\\Q\\b.txt"), std::string::npos) << fehler.Path();
            EXPECT_EQ(fehler.Ursache(), std::errc::io_error);
        }
        einzelflush = {};
        EXPECT_EQ(gescheitert, f.Scheitert != 0);
        EXPECT_EQ(flushes.load(), 4);
        bool kopieDa = false;
        for (const auto& e : sfs::directory_iterator(Posix("D:\\Z")))
            kopieDa = kopieDa || (!vorher.contains(e.path()) && sfs::exists(e.path() / "Q" / "b.txt"));
        EXPECT_EQ(kopieDa, f.Scheitert == 0);
        for (const std::string& rel : dateien)
            EXPECT_EQ(Wert("C:\\Q\\" + NamenAusPosix(rel)) >= 32, f.Scheitert != 0) << rel;
        if (f.Scheitert != 0) {
            Lauf();
            for (const std::string& rel : dateien)
                EXPECT_EQ(Wert("C:\\Q\\" + NamenAusPosix(rel)), 0) << rel;
        }
    }
}

TEST_F(Verlaesslichkeit, FourHundredHardLinksAndThreeThousandSymbolicLinksTwoRunsTheSecondFindsNothing) {
    SchreibeDatei(Q("h/original"), "eine Datei vieler Namen");
    sfs::create_directories(Q("h2"));
    for (int i = 0; i < 399; ++i)
        sfs::create_hard_link(Q("h/original"), Q((i % 2 ? "h/n" : "h2/n") + std::to_string(i)));
    sfs::create_directories(Q("man3"));
    for (int i = 0; i < 3000; ++i)
        sfs::create_symlink("ziel" + std::to_string(i % 7), Q("man3/v" + std::to_string(i) + ".3"));
    EXPECT_EQ(Lauf().size(), 3400u);
    EXPECT_EQ(sicherung.ausgang, Ausgang::Erfolg) << (fenster.pruefungen.empty() ? "" : fenster.pruefungen[0].second);
    EXPECT_EQ(Lauf(), std::set<std::string>());
    EXPECT_EQ(fenster.meldungen.back().Prompt, NichtsGefunden);
}

TEST_F(Verlaesslichkeit, RecordsOfTheEarlierFormReadAsChangedOnce) {
    SchreibeDatei(Q("a.txt"), "a");
    struct stat st {};
    ASSERT_EQ(::stat(Q("a.txt").c_str(), &st), 0);
    const std::string alt =
        "1 " + std::to_string(posix::MtimeNs(st)) + " " + std::to_string(st.st_size) + " " + std::to_string(st.st_ino);
    ASSERT_EQ(::setxattr(Q("a.txt").c_str(), "user.tresor-ix.archiv", alt.data(), alt.size(), 0), 0);
    EXPECT_EQ(Lauf(), std::set<std::string>{"a.txt"});
    EXPECT_EQ(Lauf(), std::set<std::string>());
}

// A folder of more files than its map has rows for: the files beyond read set by their records alone (which
// match but for the ctime), and the run takes them as backed up where the target holds their exact state. A
// change that keeps size and times, in the map and beyond it, and one right after the run, are copied.
TEST_F(Verlaesslichkeit, BeyondTheMapsRowsTheTargetsExactStateDecides) {
    sicherung.bestandslaufwerke = laufwerke; // the record of the source, the target's index
    const int anzahl = static_cast<int>(posix::MaxZeilen) + 20;
    std::set<std::string> alle;
    for (int i = 0; i < anzahl; ++i) {
        const std::string name = "g/d" + std::to_string(1000 + i);
        SchreibeDatei(Q(name), "Inhalt " + std::to_string(1000 + i));
        alle.insert("g\\d" + std::to_string(1000 + i));
    }
    EXPECT_EQ(Lauf(), alle);
    ASSERT_EQ(sicherung.ausgang, Ausgang::Erfolg);
    const auto karte = posix::LiesOrdnerkarte([&] {
        std::string wert(4096, '\0');
        const ssize_t n = ::getxattr(Q("g").c_str(), posix::OrdnerkarteName, wert.data(), wert.size());
        wert.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return wert;
    }());
    ASSERT_TRUE(karte);
    EXPECT_EQ(karte->Zeilen.size(), posix::MaxZeilen);
    EXPECT_EQ(Lauf(), std::set<std::string>());
    EXPECT_EQ(fenster.meldungen.back().Prompt, NichtsGefunden);
    // Which files the map holds is its own affair: every file changed is copied, whichever.
    for (int i = 0; i < anzahl; i += 9)
        SchreibeGleichGrossMitAlterZeit(Q("g/d" + std::to_string(1000 + i)), "INHALT " + std::to_string(1000 + i));
    std::set<std::string> geaendert;
    for (int i = 0; i < anzahl; i += 9)
        geaendert.insert("g\\d" + std::to_string(1000 + i));
    EXPECT_EQ(Lauf(), geaendert);
    EXPECT_EQ(Lauf(), std::set<std::string>());
    PruefeNeuesteSicherungen();
}

} // namespace
} // namespace tresor::test
