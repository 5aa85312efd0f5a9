// The looks at a folder's files taken ahead of the scan on a second thread (posix/Vorausblick.h), alone and
// inside the file-system object (Dateisystem::VorausSchauen): each handed out for its very entry only, the walk's
// own look wherever the other thread went another way.

#include "tests/fs/FsTestbasis.h"

#include "fs/Eintragsstand.h"
#include "fs/posix/Vorausblick.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Namensliste.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace tresor::test {
namespace {

namespace sfs = std::filesystem;
using posix::Deskriptor;
using posix::Namensliste;
using posix::Vorausblick;

// The other thread's hook: notes each name it looked at, stops at names held back until released, and runs a
// change of the tree right after the look at a name.
class Blickzeuge {
public:
    std::function<void(const std::string&)> Haken() {
        return [this](const std::string& name) {
            std::function<void()> aktion;
            {
                const std::lock_guard<std::mutex> l(m_);
                if (const auto it = aktionen_.find(name); it != aktionen_.end()) {
                    aktion = std::move(it->second);
                    aktionen_.erase(it);
                }
            }
            if (aktion)
                aktion();
            std::unique_lock<std::mutex> l(m_);
            begonnen_.insert(name);
            ++anzahl_;
            cv_.notify_all();
            cv_.wait(l, [&] { return !gesperrt_.contains(name); });
        };
    }
    void Sperre(const std::string& name) {
        const std::lock_guard<std::mutex> l(m_);
        gesperrt_.insert(name);
    }
    void Nach(const std::string& name, std::function<void()> aktion) {
        const std::lock_guard<std::mutex> l(m_);
        aktionen_[name] = std::move(aktion);
    }
    void Frei() {
        const std::lock_guard<std::mutex> l(m_);
        gesperrt_.clear();
        cv_.notify_all();
    }
    // Forgets the names looked at so far (for the next case); the count goes on.
    void Neu() {
        const std::lock_guard<std::mutex> l(m_);
        begonnen_.clear();
    }
    // Waits (without a time limit: the other thread must get there) until it looked at `name`.
    void WarteAuf(const std::string& name) {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [&] { return begonnen_.contains(name); });
    }
    void WarteAufAnzahl(std::size_t n) {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [&] { return anzahl_ >= n; });
    }
    std::size_t Anzahl() {
        const std::lock_guard<std::mutex> l(m_);
        return anzahl_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::set<std::string> gesperrt_;
    std::set<std::string> begonnen_;
    std::map<std::string, std::function<void()>> aktionen_;
    std::size_t anzahl_ = 0;
};

std::string Name(std::size_t i) {
    char puffer[16];
    std::snprintf(puffer, sizeof puffer, "f%04zu", i);
    return puffer;
}

struct Blickfall {
    const char* Name;
    std::set<std::size_t> Fehlend; // listed but not there
    bool Eingeholt;                // the walk asks for f0000 while the other thread still holds it
    bool AndererOrdner;            // the walk reaches the names through another folder (its inode)
    const char* Erwartet;          // per entry: v its own look handed out, - the walk's to take
};

// Vorausblick alone, on a real folder (the ring beneath it has its own test, VorarbeitTest.cpp): the look handed
// out is that of the very name, through the very folder listed; a failed one is never handed out.
TEST(VorausblickTest, ALookIsHandedOutForItsOwnNameInTheFolderListedOnly) {
    TempOrdner tmp;
    const Blickfall faelle[] = {
        {"jede Datei ihr eigener Blick", {}, false, false, "vvvvvvv"},
        {"ein misslungener Blick ist der des Gehenden", {1, 6}, false, false, "v-vvvv-"},
        {"eingeholt: die nächsten Abstand selbst", {}, true, false, "-----vv"},
        {"ein anderer Ordner lässt alles fallen", {}, false, true, "-------"},
    };
    for (const Blickfall& f : faelle) {
        SCOPED_TRACE(f.Name);
        Blickzeuge zeuge;
        Vorausblick blick(zeuge.Haken());
        const std::size_t n = std::string_view(f.Erwartet).size();
        auto namen = std::make_shared<Namensliste>();
        std::vector<ino_t> inodes;
        for (std::size_t i = 0; i < n; ++i) {
            namen->Hinzu(Name(i));
            sfs::remove(tmp / Name(i));
            struct stat st {};
            if (!f.Fehlend.contains(i)) {
                SchreibeDatei(tmp / Name(i), std::string(i, 'x'));
                ASSERT_EQ(::lstat((tmp / Name(i)).c_str(), &st), 0);
            }
            inodes.push_back(st.st_ino);
        }
        struct stat ordner {};
        ASSERT_EQ(::stat(tmp.Pfad().c_str(), &ordner), 0);
        auto oeffne = [&] { return Deskriptor(::open(tmp.Pfad().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); };
        EXPECT_FALSE(blick.Beginne(oeffne(), ordner.st_dev, ordner.st_ino, std::make_shared<Namensliste>()));
        EXPECT_FALSE(blick.Beginne(Deskriptor(), ordner.st_dev, ordner.st_ino, namen));
        if (f.Eingeholt)
            zeuge.Sperre(Name(0));
        ASSERT_TRUE(blick.Beginne(oeffne(), ordner.st_dev, ordner.st_ino, namen));
        zeuge.WarteAuf(Name(0));
        std::string ist;
        if (f.Eingeholt)
            ist += blick.Hole(ordner.st_dev, ordner.st_ino, 0) ? 'v' : '-';
        zeuge.Frei();
        while (!blick.Stand().Wartet)
            std::this_thread::yield();
        for (std::size_t i = ist.size(); i < n; ++i) {
            const auto st = blick.Hole(ordner.st_dev, ordner.st_ino + (f.AndererOrdner && i == 0 ? 1 : 0), i);
            ist += st ? 'v' : '-';
            if (st) {
                EXPECT_EQ(st->st_ino, inodes[i]) << i;
                EXPECT_EQ(st->st_size, static_cast<off_t>(i)) << i;
            }
        }
        EXPECT_EQ(ist, f.Erwartet);
    }
}

// The scan's answer for one file, as DateiZuSichern gives it.
struct Antwort {
    Pfad Datei;
    bool ZuSichern = false;
    bool BisAufCtime = false;
    std::int64_t Groesse = 0;
    std::uint64_t Inode = 0;
    bool Fehler = false;
    bool operator==(const Antwort&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Antwort& a) {
    return os << a.Datei << (a.ZuSichern ? " sichern" : " nicht") << (a.BisAufCtime ? " bis auf ctime" : "") << " "
              << a.Groesse << " " << a.Inode << (a.Fehler ? " Fehler" : "");
}

Antwort Frage(Dateisystem& fs, const Pfad& pfad) {
    Antwort a{pfad};
    try {
        Eintragsstand gesehen;
        a.ZuSichern = fs.DateiZuSichern(pfad, &gesehen).has_value();
        a.BisAufCtime = gesehen.BisAufCtime;
        a.Groesse = gesehen.Groesse;
        a.Inode = gesehen.Inode;
    } catch (const FsFehler&) {
        a.Fehler = true;
    }
    return a;
}

// A tmpfs of its own on a folder (as root), unmounted when it goes.
class Einhaengung {
public:
    explicit Einhaengung(sfs::path punkt) : punkt_(std::move(punkt)) {
        sfs::create_directories(punkt_);
        eingehaengt_ = ::geteuid() == 0 && ::mount("tmpfs", punkt_.c_str(), "tmpfs", 0, "size=4m") == 0;
    }
    ~Einhaengung() {
        if (eingehaengt_)
            (void)::umount2(punkt_.c_str(), MNT_DETACH);
    }
    Einhaengung(const Einhaengung&) = delete;
    Einhaengung& operator=(const Einhaengung&) = delete;
    bool Bereit() const { return eingehaengt_; }

private:
    sfs::path punkt_;
    bool eingehaengt_ = false;
};

// The file-system object whose scan looks ahead, against one that does not, on the same tree.
class VorausSchauenTest : public FsTest {
public:
    using FsTest::C;
    using FsTest::fs;
    Blickzeuge zeuge;
    std::unique_ptr<Dateisystem> mit = ErzeugePosixDateisystem(tabelle, {}, {}, {}, zeuge.Haken());
    std::size_t gewartet = 0;

    void SetUp() override { mit->VorausSchauen(); }
    void TearDown() override {
        zeuge.Frei();
        mit.reset();
    }
    // Every file below C:\q marked as backed up, by an object of its own (the backup before).
    void AllesGesichert(const sfs::path& wurzel) {
        auto markierer = ErzeugePosixDateisystem(tabelle);
        struct stat w {};
        ASSERT_EQ(::stat(wurzel.c_str(), &w), 0);
        for (const auto& e : sfs::recursive_directory_iterator(wurzel)) {
            struct stat st {};
            // Not on another file system: the walk never enters it.
            if (e.is_regular_file() && ::lstat(e.path().c_str(), &st) == 0 && st.st_dev == w.st_dev) {
                std::string pfad = "C:\\" + sfs::relative(e.path(), tmp / "C").generic_string();
                std::replace(pfad.begin(), pfad.end(), '/', '\\');
                markierer->SetFileAttr(pfad, 0);
            }
        }
        markierer->Festschreiben();
    }
    // The scan's walk through the whole tree, in its order, every file asked for. With `warten`, each folder's
    // files are asked for once the other thread looked at as many of them as it may ahead (where it looks at them
    // at all).
    std::vector<Antwort> Suche(Dateisystem& fs, const Pfad& pfad, bool warten) {
        std::vector<Antwort> antworten;
        const Ordner ordner = fs.GetFolder(pfad);
        const auto unterordner = fs.SubFolders(ordner);
        const auto dateien = fs.Files(fs.GetFolder(pfad));
        if (warten && dateien.size() >= Vorausblick::Mindestens) {
            gewartet += std::min(dateien.size(), Vorausblick::Vorlauf);
            zeuge.WarteAufAnzahl(gewartet);
        }
        for (const Datei& d : dateien)
            antworten.push_back(Frage(fs, d.Path));
        for (const Ordner& u : unterordner) {
            auto weiter = Suche(fs, u.Path, warten);
            antworten.insert(antworten.end(), weiter.begin(), weiter.end());
        }
        return antworten;
    }
    static void Haenge(const sfs::path& datei) { std::ofstream(datei, std::ios::app) << "!"; }
    // A folder's modification time set a minute back: a listing of it is kept for the next listing of the same
    // folder only where that time is certain (Zeitraster.h), which a stamp of a moment ago may not be yet.
    static void Alt(const sfs::path& ordner) {
        struct timespec zeiten[2]{};
        ASSERT_EQ(::clock_gettime(CLOCK_REALTIME, &zeiten[0]), 0);
        zeiten[0].tv_sec -= 60;
        zeiten[0].tv_nsec = 0;
        zeiten[1] = zeiten[0];
        ASSERT_EQ(::utimensat(AT_FDCWD, ordner.c_str(), zeiten, 0), 0);
    }
};

struct Baum {
    const char* Name;
    std::function<void(VorausSchauenTest&, const sfs::path& q)> Baue;
    std::function<void(VorausSchauenTest&, const sfs::path& q)> Danach; // after the marking
    std::size_t Dateien;
};

TEST_F(VorausSchauenTest, TheScanAnswersAsTheWalksOwnLooksOnTreesOfEveryShape) {
    std::unique_ptr<Einhaengung> einhaengung;
    const Baum baeume[] = {
        {"leere Ordner",
         [](VorausSchauenTest&, const sfs::path& q) {
             sfs::create_directories(q / "a" / "b" / "c");
             sfs::create_directories(q / "d");
             SchreibeDatei(q / "d" / "x", "x");
         },
         {},
         1},
        {"ein Ordner über den Vorlauf hinaus",
         [](VorausSchauenTest&, const sfs::path& q) {
             for (std::size_t i = 0; i < 1000; ++i)
                 SchreibeDatei(q / "viele" / Name(i), std::string(i % 5, 'v'));
         },
         {},
         1000},
        {"tief verschachtelt",
         [](VorausSchauenTest&, const sfs::path& q) {
             sfs::path p = q;
             for (int tiefe = 0; tiefe < 40; ++tiefe) {
                 p /= "t" + std::to_string(tiefe);
                 for (const char* n : {"a", "b", "c", "d"})
                     SchreibeDatei(p / n, n);
                 if (tiefe % 2 == 0)
                     SchreibeDatei(p / "e", "ee");
             }
         },
         {},
         180},
        {"nur die letzte Datei geändert",
         [](VorausSchauenTest&, const sfs::path& q) {
             for (const char* o : {"a", "b"})
                 for (std::size_t i = 0; i < 30; ++i)
                     SchreibeDatei(q / o / Name(i), "inhalt");
         },
         [](VorausSchauenTest&, const sfs::path& q) { Haenge(q / "b" / Name(29)); }, 60},
        {"ausgeschlossener Unterordner",
         [](VorausSchauenTest& t, const sfs::path& q) {
             for (std::size_t i = 0; i < 20; ++i) {
                 SchreibeDatei(q / "aus" / Name(i), "a");
                 SchreibeDatei(q / "drin" / Name(i), "d");
             }
             t.fs->Ausschliessen("C:\\q\\aus");
             t.mit->Ausschliessen("C:\\q\\aus");
         },
         {},
         20},
        {"eingehängter Unterordner",
         [&einhaengung](VorausSchauenTest&, const sfs::path& q) {
             SchreibeDatei(q / "hier", "h");
             einhaengung = std::make_unique<Einhaengung>(q / "fremd");
             // Its files are listed by no walk (where it cannot be mounted, the folder stays empty).
             if (einhaengung->Bereit())
                 for (std::size_t i = 0; i < 10; ++i)
                     SchreibeDatei(q / "fremd" / Name(i), "f");
         },
         {},
         1},
    };
    for (const Baum& b : baeume) {
        SCOPED_TRACE(b.Name);
        sfs::remove_all(C("q"));
        sfs::create_directories(C("q"));
        fs = ErzeugePosixDateisystem(tabelle);
        mit = ErzeugePosixDateisystem(tabelle, {}, {}, {}, zeuge.Haken());
        mit->VorausSchauen();
        gewartet = zeuge.Anzahl();
        b.Baue(*this, C("q"));
        AllesGesichert(C("q"));
        if (b.Danach)
            b.Danach(*this, C("q"));
        const auto selbst = Suche(*fs, "C:\\q", false);
        const auto vorab = Suche(*mit, "C:\\q", true);
        ASSERT_EQ(selbst.size(), b.Dateien);
        EXPECT_EQ(vorab, selbst);
        // Only a changed file is to be backed up for more than its ctime.
        for (std::size_t i = 0; i < vorab.size(); ++i) {
            const bool geaendert = b.Danach && i + 1 == vorab.size();
            EXPECT_EQ(vorab[i].ZuSichern && !vorab[i].BisAufCtime, geaendert) << vorab[i];
        }
        einhaengung.reset();
    }
}

struct Listungsfolge {
    const char* Name;
    // Between the listing of C:\q\d's subfolders and that of its files (the scan's order), once the other thread
    // looked at the ten files SubFolders began: a change of the folder, or nothing.
    std::function<void(VorausSchauenTest&)> Dazwischen;
    std::size_t Dateien;       // what Files lists then
    std::size_t BlickeDanach;  // looks the other thread takes after that change (Files begins them anew)
    std::int64_t GroesseVonF2; // f0002's size as the walk answers it
};

// The scan lists a folder's subfolders and then its files: the looks at the files begin with the first listing, and
// Files takes them over only where the folder is still the one listed, unchanged; else it lists and looks anew.
TEST_F(VorausSchauenTest, TheLooksBegunWithTheSubfoldersServeTheFilesOfThatListingOnly) {
    const Listungsfolge faelle[] = {
        {"unverändert: die Blicke der ersten Auflistung", [](VorausSchauenTest&) {}, 10, 0, 1},
        {"eine Datei dazu: neu aufgelistet, neu geschaut",
         [](VorausSchauenTest& t) { SchreibeDatei(t.C("q/d/" + Name(10)), "neu"); }, 11, 11, 1},
        {"durch einen anderen Ordner ersetzt",
         [](VorausSchauenTest& t) {
             sfs::rename(t.C("q/d"), t.C("q/alt"));
             for (std::size_t i = 0; i < 10; ++i)
                 SchreibeDatei(t.C("q/d/" + Name(i)), "anders");
         },
         10, 10, 6},
    };
    for (const Listungsfolge& f : faelle) {
        SCOPED_TRACE(f.Name);
        sfs::remove_all(C("q"));
        for (std::size_t i = 0; i < 10; ++i)
            SchreibeDatei(C("q/d/" + Name(i)), "a");
        sfs::create_directories(C("q/d/u"));
        AllesGesichert(C("q"));
        mit = ErzeugePosixDateisystem(tabelle, {}, {}, {}, zeuge.Haken());
        mit->VorausSchauen();
        Alt(C("q/d"));
        const std::size_t vorher = zeuge.Anzahl();

        // The walk's root is C:\q: C:\q\d is reached from it by name, whatever folder has that name then.
        ASSERT_EQ(mit->SubFolders(mit->GetFolder("C:\\q")).size(), 1u);
        ASSERT_EQ(mit->SubFolders(mit->GetFolder("C:\\q\\d")).size(), 1u);
        // The other thread looks at the files before Files is asked for them.
        zeuge.WarteAufAnzahl(vorher + 10);
        f.Dazwischen(*this);
        const auto dateien = mit->Files(mit->GetFolder("C:\\q\\d"));
        ASSERT_EQ(dateien.size(), f.Dateien);
        zeuge.WarteAufAnzahl(vorher + 10 + f.BlickeDanach);
        fs = ErzeugePosixDateisystem(tabelle);
        for (const Datei& d : dateien) {
            const Antwort vorab = Frage(*mit, d.Path);
            EXPECT_EQ(vorab, Frage(*fs, d.Path));
            if (d.Path.ends_with(Name(2))) {
                EXPECT_EQ(vorab.Groesse, f.GroesseVonF2);
            }
        }
        // Each file looked at once per listing: none again for the listing taken over.
        EXPECT_EQ(zeuge.Anzahl(), vorher + 10 + f.BlickeDanach);
    }
}

// The copy walk lists a folder's files first: its subfolders' listing, taken over from Files, begins no looks
// at files the walk has passed.
TEST_F(VorausSchauenTest, TheSubfoldersOfAListingTakenOverFromFilesBeginNoLooks) {
    for (std::size_t i = 0; i < 10; ++i) {
        SchreibeDatei(C("q/d/" + Name(i)), "a");
        SchreibeDatei(C("q/e/x" + Name(i)), "b");
    }
    AllesGesichert(C("q"));
    Alt(C("q/d"));
    const std::size_t vorher = zeuge.Anzahl();
    ASSERT_EQ(mit->SubFolders(mit->GetFolder("C:\\q")).size(), 2u);
    const auto dateien = mit->Files(mit->GetFolder("C:\\q\\d"));
    zeuge.WarteAufAnzahl(vorher + 10);
    for (const Datei& d : dateien)
        EXPECT_EQ(Frage(*mit, d.Path), Frage(*fs, d.Path));
    (void)mit->SubFolders(mit->GetFolder("C:\\q\\d"));
    // The next folder's looks come after whatever that listing began; none of d's names is looked at again.
    (void)mit->Files(mit->GetFolder("C:\\q\\e"));
    zeuge.WarteAuf("x" + Name(9));
    EXPECT_EQ(zeuge.Anzahl(), vorher + 20);
}

struct Wettlauf {
    const char* Name;
    // Done while the other thread waits at f0008, after its looks at f0000 to f0007 are stored.
    std::function<void(VorausSchauenTest&)> Zwischendurch;
    Antwort Erwartet; // f0002's answer (Datei and Inode are filled in)
    bool WieVorher;   // f0002's answer is the one it had before its rewrite
    bool NeuerOrdner; // f0002 is a file made anew
};

TEST_F(VorausSchauenTest, AFolderChangedBetweenTheLookAheadAndTheWalkIsTheWalksToLookAt) {
    const Wettlauf faelle[] = {
        // As far as f0002 is concerned, the walk passed a moment earlier: its look is as the other thread took it,
        // before the rewrite.
        {"Datei nach ihrem Blick neu geschrieben", [](VorausSchauenTest&) {}, Antwort{}, true, false},
        {"Ordner durch einen anderen ersetzt",
         [](VorausSchauenTest& t) {
             sfs::rename(t.C("q/d"), t.C("q/alt"));
             for (std::size_t i = 0; i < 10; ++i)
                 SchreibeDatei(t.C("q/d/" + Name(i)), "neu!!");
         },
         Antwort{{}, true, false, 5, 0, false}, false, true},
        {"Ordner durch einen Verweis ersetzt",
         [](VorausSchauenTest& t) {
             sfs::rename(t.C("q/d"), t.C("q/alt"));
             sfs::create_directory_symlink(t.C("q/alt"), t.C("q/d"));
         },
         Antwort{{}, false, false, 0, 0, true}, false, false},
        {"Ordner entfernt", [](VorausSchauenTest& t) { sfs::remove_all(t.C("q/d")); },
         Antwort{{}, false, false, 0, 0, true}, false, false},
    };
    for (const Wettlauf& w : faelle) {
        SCOPED_TRACE(w.Name);
        sfs::remove_all(C("q"));
        for (std::size_t i = 0; i < 10; ++i)
            SchreibeDatei(C("q/d/" + Name(i)), "a");
        AllesGesichert(C("q"));
        const Pfad f2 = "C:\\q\\d\\" + Name(2);
        fs = ErzeugePosixDateisystem(tabelle);
        const Antwort vorher = Frage(*fs, f2);
        ASSERT_EQ(vorher.Groesse, 1);
        zeuge.Frei();
        zeuge.Neu();
        mit = ErzeugePosixDateisystem(tabelle, {}, {}, {}, zeuge.Haken());
        mit->VorausSchauen();
        // f0002 rewritten right after the other thread looked at it, before that look is stored.
        zeuge.Nach(Name(2), [this] { Haenge(C("q/d/" + Name(2))); });
        zeuge.Sperre(Name(8));

        const auto wurzel = mit->SubFolders(mit->GetFolder("C:\\q"));
        ASSERT_EQ(wurzel.size(), 1u);
        (void)mit->SubFolders(mit->GetFolder("C:\\q\\d"));
        const auto dateien = mit->Files(mit->GetFolder("C:\\q\\d"));
        ASSERT_EQ(dateien.size(), 10u);
        zeuge.WarteAuf(Name(8));
        w.Zwischendurch(*this);

        (void)Frage(*mit, "C:\\q\\d\\" + Name(0));
        (void)Frage(*mit, "C:\\q\\d\\" + Name(1));
        Antwort erwartet = w.WieVorher ? vorher : w.Erwartet;
        erwartet.Datei = f2;
        if (!erwartet.Fehler && !w.WieVorher) {
            struct stat st {};
            ASSERT_EQ(::lstat(C("q/d/" + Name(2)).c_str(), &st), 0);
            erwartet.Inode = st.st_ino;
        }
        EXPECT_EQ(Frage(*mit, f2), erwartet);
        zeuge.Frei();

        // The next walk (the same object, the folder listed anew) sees the file as it is now.
        if (!erwartet.Fehler) {
            (void)mit->Files(mit->GetFolder("C:\\q\\d"));
            (void)Frage(*mit, "C:\\q\\d\\" + Name(0));
            (void)Frage(*mit, "C:\\q\\d\\" + Name(1));
            const Antwort jetzt = Frage(*mit, f2);
            EXPECT_TRUE(jetzt.ZuSichern);
            EXPECT_FALSE(jetzt.BisAufCtime);
            EXPECT_EQ(jetzt.Groesse, w.NeuerOrdner ? 5 : 2);
        }
    }
}

} // namespace
} // namespace tresor::test
