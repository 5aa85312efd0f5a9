// Folders made ahead of the copy walk on a thread of their own (posix/Ordneranlage.h), and through the file-system
// object (Dateisystem::OrdnerVoraus): each made once, only where its name is free, taken or dropped by the walk.

#include "tests/fs/FsTestbasis.h"

#include "fs/posix/Ordneranlage.h"
#include "fs/system/Deskriptor.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <condition_variable>
#include <mutex>
#include <set>

namespace tresor::test {
namespace {

namespace sfs = std::filesystem;
using posix::Deskriptor;
using posix::Ordneranlage;

// The other thread's hook: holds it before it makes the folder of a name until that name is released, and tells
// which names it reached.
class Anlagezeuge {
public:
    std::function<void(const std::string&)> Haken() {
        return [this](const std::string& name) {
            std::unique_lock<std::mutex> l(m_);
            erreicht_.insert(name);
            cv_.notify_all();
            cv_.wait(l, [&] { return !gehalten_.contains(name); });
        };
    }
    void Halte(const std::string& name) {
        const std::lock_guard<std::mutex> l(m_);
        gehalten_.insert(name);
    }
    void Gib(const std::string& name) {
        const std::lock_guard<std::mutex> l(m_);
        gehalten_.erase(name);
        cv_.notify_all();
    }
    void WarteAuf(const std::string& name) {
        std::unique_lock<std::mutex> l(m_);
        cv_.wait(l, [&] { return erreicht_.contains(name); });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::set<std::string> gehalten_;
    std::set<std::string> erreicht_;
};

TEST(Ordneranlage, EachFolderMadeOnceWhereItsNameIsFreeAndTakenOrDroppedByTheWalk) {
    struct Fall {
        const char* Name;
        std::function<void(const sfs::path& ordner)> Vorher; // the folder's content before the announcement
        bool GeraetFalsch;                                   // the drive is no longer the file system it was
        std::function<void(Ordneranlage&, Anlagezeuge&, const sfs::path& ordner)> Walk;
        bool Genommen; // what Nimm("a") answers
        bool ADa;      // "a" is a folder of mode 0700 afterwards
        bool BDa;      // "b" is there afterwards
    };
    const Fall liste[] = {
        {"frei", {}, false, {}, true, true, true},
        {"Datei dieses Namens", [](const sfs::path& o) { SchreibeDatei(o / "a", "x"); }, false, {}, false, false, true},
        {"Ordner dieses Namens",
         [](const sfs::path& o) { sfs::create_directory(o / "a"); },
         false,
         {},
         false,
         false,
         true},
        {"anderes Laufwerk", {}, true, {}, false, false, false},
        // Not begun when the walk asks: taken back, and never made by the other thread afterwards.
        {"nicht begonnen",
         {},
         false,
         [](Ordneranlage& a, Anlagezeuge& z, const sfs::path&) {
             z.WarteAuf("a");
             EXPECT_FALSE(a.Nimm("P\\b"));
             z.Gib("a");
             EXPECT_TRUE(a.Nimm("P\\a"));
             EXPECT_EQ(a.Stand().Zurueckgenommen, 1u);
         },
         true,
         true,
         false},
        // Dropped: removed where made and still empty, kept where something was put into it meanwhile.
        {"verworfen",
         {},
         false,
         [](Ordneranlage& a, Anlagezeuge& z, const sfs::path& o) {
             z.Gib("a");
             z.Gib("b");
             z.WarteAuf("c"); // "a" and "b" are made
             a.Verwirf("P\\a");
             SchreibeDatei(o / "b" / "drin", "x");
             a.Verwirf("P\\b");
         },
         false,
         false,
         true},
    };
    for (const Fall& f : liste) {
        SCOPED_TRACE(f.Name);
        TempOrdner tmp;
        const sfs::path o = tmp / "P";
        sfs::create_directory(o);
        if (f.Vorher)
            f.Vorher(o);
        // "c" comes last: once the other thread reached it, "a" and "b" are done.
        Anlagezeuge zeuge;
        const bool gelenkt = static_cast<bool>(f.Walk);
        if (gelenkt)
            for (const char* n : {"a", "b", "c"})
                zeuge.Halte(n);
        Ordneranlage anlage(zeuge.Haken());
        struct stat wurzel {};
        ASSERT_EQ(::stat(tmp.Pfad().c_str(), &wurzel), 0);
        Deskriptor fd(::open(o.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(anlage.Vormerken({{"P\\a", "a"}, {"P\\b", "b"}, {"P\\c", "c"}}, std::move(fd), tmp.Pfad().string(),
                                     f.GeraetFalsch ? wurzel.st_dev + 1 : wurzel.st_dev));
        bool genommen = false;
        if (gelenkt) {
            f.Walk(anlage, zeuge, o);
            genommen = f.Genommen;
            for (const char* n : {"a", "b", "c"})
                zeuge.Gib(n);
        } else {
            zeuge.WarteAuf("c");
            genommen = anlage.Nimm("P\\a");
            EXPECT_EQ(anlage.Nimm("P\\b"), !f.GeraetFalsch);
        }
        EXPECT_EQ(genommen, f.Genommen);
        struct stat a {};
        EXPECT_EQ(::lstat((o / "a").c_str(), &a) == 0 && S_ISDIR(a.st_mode) && (a.st_mode & 07777) == 0700, f.ADa);
        EXPECT_EQ(sfs::exists(o / "b"), f.BDa);
        // Asked once: a second Nimm finds nothing announced.
        EXPECT_FALSE(anlage.Nimm("P\\a"));
    }
}

// Through the file-system object, as the copy walk uses it: an announced mirror is either made ahead (then it is
// there, private) or not made at all (then the walk makes it); it is taken once, and one dropped is gone, whichever
// way the other thread went.
TEST_F(FsTest, MirrorsAnnouncedAheadAreMadePrivateOnceAndDroppedOnesGo) {
    fs->MakeDir("D:\\Sicherung", Anlage::Privat);
    fs->MakeDir("D:\\Sicherung\\Q", Anlage::Privat);
    const std::vector<std::string> namen = {"eins", ".zwei", "drei", "vier"};
    fs->OrdnerVoraus("D:\\Sicherung\\Q", namen);
    for (const char* name : {"eins", ".zwei", "vier"}) {
        SCOPED_TRACE(name);
        const Pfad pfad = std::string("D:\\Sicherung\\Q\\") + name;
        if (!fs->VorausAngelegt(pfad)) {
            EXPECT_FALSE(sfs::exists(D("Sicherung/Q/") / name));
            fs->MakeDir(pfad, Anlage::Privat);
        }
        EXPECT_EQ(Modus(D("Sicherung/Q/") / name), 0700u);
        // Taken once: asked again, nothing is announced, and MakeDir fails as for any folder there.
        EXPECT_FALSE(fs->VorausAngelegt(pfad));
        EXPECT_THROW(fs->MakeDir(pfad, Anlage::Privat), FsFehler);
    }
    fs->VorausVerwerfen("D:\\Sicherung\\Q\\drei");
    EXPECT_FALSE(sfs::exists(D("Sicherung/Q/drei")));
    EXPECT_FALSE(fs->VorausAngelegt("D:\\Sicherung\\Q\\drei"));
    EXPECT_FALSE(fs->VorausAngelegt("D:\\Sicherung\\Q\\fuenf"));
}

} // namespace
} // namespace tresor::test
