// The write-back begun while copies are made: when it flushes, that it never waits for a flush, and that a
// failed flush reaches Sync, which the marking of the sources waits for.

#include "fs/posix/Rueckschreiber.h"
#include "fs/system/Deskriptor.h"
#include "tests/fs/FsTestbasis.h"

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace tresor::test {
namespace {

using posix::Deskriptor;
using posix::Rueckschreiber;

// A flush that counts, answers with `antwort` and, while `gesperrt`, waits at a gate the test opens.
struct Probeflush {
    std::mutex m;
    std::condition_variable cv;
    int aufrufe = 0;
    int antwort = 0;
    bool gesperrt = false;
    bool drin = false;
    dev_t geraet = 0;
    Rueckschreiber::Flush Fn() {
        return [this](int fd) {
            struct stat st {};
            const bool gesehen = ::fstat(fd, &st) == 0;
            std::unique_lock<std::mutex> l(m);
            ++aufrufe;
            geraet = gesehen ? st.st_dev : 0;
            drin = true;
            cv.notify_all();
            cv.wait(l, [this] { return !gesperrt; });
            drin = false;
            return antwort;
        };
    }
    void WarteBisDrin() {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [this] { return drin; });
    }
    void Oeffne() {
        const std::lock_guard<std::mutex> l(m);
        gesperrt = false;
        cv.notify_all();
    }
};

TEST(RueckschreiberTest, FlushesOnceEnoughCameTogetherAndHandsOnItsFailureOnce) {
    struct Fall {
        const char* Name;
        std::size_t Kopien;
        std::uint64_t BytesJe;
        int Antwort;
        bool Zwischendurch;          // Abwarten after each copy
        int Aufrufe;                 // flushes begun
        std::vector<int> Abgewartet; // what Abwarten said, in turn; the last one after all copies
    };
    const std::vector<Fall> faelle = {
        {"few small copies: nothing", Rueckschreiber::Dateien - 1, 1, 0, false, 0, {0}},
        {"as many copies as Dateien", Rueckschreiber::Dateien, 0, 0, false, 1, {0}},
        {"one copy of Strecke bytes", 1, Rueckschreiber::Strecke, 0, false, 1, {0}},
        {"a flush that fails, told once", 1, Rueckschreiber::Strecke, EIO, false, 1, {EIO, 0}},
        {"each stretch a flush of its own", 2, Rueckschreiber::Strecke, ENOSPC, true, 2, {ENOSPC, ENOSPC, 0}},
    };
    TempOrdner tmp;
    const Deskriptor ordner(::open(tmp.Pfad().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(ordner.gueltig());
    struct stat ost {};
    ASSERT_EQ(::fstat(ordner.get(), &ost), 0);
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        Probeflush probe;
        probe.antwort = f.Antwort;
        Rueckschreiber r(probe.Fn());
        std::vector<int> abgewartet;
        for (std::size_t i = 0; i < f.Kopien; ++i) {
            r.Kopiert(ordner.get(), f.BytesJe);
            if (f.Zwischendurch)
                abgewartet.push_back(r.Abwarten());
        }
        abgewartet.push_back(r.Abwarten());
        if (!f.Zwischendurch && f.Abgewartet.size() > 1)
            abgewartet.push_back(r.Abwarten());
        EXPECT_EQ(abgewartet, f.Abgewartet);
        EXPECT_EQ(probe.aufrufe, f.Aufrufe);
        if (f.Aufrufe > 0) {
            EXPECT_EQ(probe.geraet, ost.st_dev) << "the file system of the copies' folder";
        }
    }
}

TEST(RueckschreiberTest, NeverWaitsForAFlushUnderWayAndBeginsTheNextOnceItIsThrough) {
    TempOrdner tmp;
    const Deskriptor ordner(::open(tmp.Pfad().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(ordner.gueltig());
    Probeflush probe;
    probe.gesperrt = true;
    probe.antwort = EIO;
    Rueckschreiber r(probe.Fn());
    r.Kopiert(ordner.get(), Rueckschreiber::Strecke);
    probe.WarteBisDrin();
    // The thread of the flush takes no signal: a stop reaches the thread that copies.
    for (const auto& [id, blockiert] : test::AndereFaeden())
        EXPECT_TRUE(blockiert) << "thread " << id;
    // The flush hangs at the gate: further copies go on, and none begins a second flush.
    for (int i = 0; i < 3; ++i)
        r.Kopiert(ordner.get(), Rueckschreiber::Strecke);
    {
        const std::lock_guard<std::mutex> l(probe.m);
        EXPECT_EQ(probe.aufrufe, 1);
    }
    probe.Oeffne();
    EXPECT_EQ(r.Abwarten(), EIO);
    {
        const std::lock_guard<std::mutex> l(probe.m);
        probe.antwort = 0;
    }
    // What came together meanwhile is flushed with the next copy.
    r.Kopiert(ordner.get(), 0);
    EXPECT_EQ(r.Abwarten(), 0);
    EXPECT_EQ(probe.aufrufe, 2);
}

// Through the file-system object: a flush of the write-back that failed makes the next Sync fail, so that no
// source is marked for a copy that may not be on the disk; one that went through leaves Sync as it is.
TEST(RueckschreiberTest, SyncFailsWhereTheWriteBackBegunDuringTheCopiesFailed) {
    struct Fall {
        const char* Name;
        int Antwort;
        bool SyncScheitert;
    };
    for (const Fall& f : {Fall{"flush went through", 0, false}, Fall{"flush failed", EIO, true}}) {
        SCOPED_TRACE(f.Name);
        TempOrdner tmp;
        const Laufwerkstabelle tabelle = TestLaufwerke(tmp);
        std::atomic<int> aufrufe{0};
        auto fs = ErzeugePosixDateisystem(tabelle, {}, {}, [&](int) {
            ++aufrufe;
            return f.Antwort;
        });
        std::filesystem::create_directories(tmp / "D" / "ziel");
        SchreibeDatei(tmp / "C" / "gross", std::string(Rueckschreiber::Strecke, 'g'));
        (void)fs->Copy(fs->GetFile("C:\\gross"), "D:\\ziel\\gross");
        if (f.SyncScheitert) {
            try {
                fs->Sync("D:\\ziel\\gross");
                ADD_FAILURE() << "Sync went through";
            } catch (const FsFehler& fehler) {
                EXPECT_EQ(fehler.Ursache(), std::errc::io_error);
            }
        } else {
            EXPECT_NO_THROW(fs->Sync("D:\\ziel\\gross"));
        }
        EXPECT_EQ(aufrufe.load(), 1);
        // Handed on once: the next Sync is the disk's own again.
        EXPECT_NO_THROW(fs->Sync("D:\\ziel\\gross"));
    }
}

// Where each copy is flushed by itself (a network target; here the test's flush stands in for fsync), Sync waits
// for every flush handed over and fails naming the copy whose flush failed; that copy of a backup loses its
// name, a file restored keeps it. Each copy is flushed once, and a failure is told once.
TEST(RueckschreiberTest, SyncWaitsForTheCopiesFlushedByThemselvesAndNamesTheOneThatFailed) {
    struct Fall {
        const char* Name;
        off_t Scheitert; // the size of the copy whose flush fails, 0 for none
        bool Wiederherstellung;
    };
    for (const Fall& f : {Fall{"every flush goes through", 0, false}, Fall{"a backup's copy fails", 2, false},
                          Fall{"a restored file fails", 2, true}}) {
        SCOPED_TRACE(f.Name);
        TempOrdner tmp;
        const Laufwerkstabelle tabelle = TestLaufwerke(tmp);
        std::atomic<int> aufrufe{0};
        auto fs = ErzeugePosixDateisystem(tabelle, {}, {}, {}, {}, [&](int fd) {
            ++aufrufe;
            struct stat st {};
            return ::fstat(fd, &st) == 0 && st.st_size == f.Scheitert ? EIO : 0;
        });
        if (f.Wiederherstellung)
            fs->QuellordnerHalten();
        std::filesystem::create_directories(tmp / "D" / "ziel");
        const std::vector<std::string> namen = {"a", "b", "c"};
        for (std::size_t i = 0; i < namen.size(); ++i) {
            SchreibeDatei(tmp / "C" / namen[i], std::string(i + 1, 'x'));
            (void)fs->Copy(fs->GetFile("C:\\" + namen[i]), "D:\\ziel\\" + namen[i]);
        }
        if (f.Scheitert != 0) {
            try {
                fs->Sync("D:\\ziel\\a");
                ADD_FAILURE() << "Sync went through";
            } catch (const FsFehler& fehler) {
                EXPECT_EQ(fehler.Ursache(), std::errc::io_error);
                EXPECT_EQ(fehler.Path(), "D:\\ziel\\b");
            }
        } else {
            EXPECT_NO_THROW(fs->Sync("D:\\ziel\\a"));
        }
        EXPECT_EQ(aufrufe.load(), 3);
        EXPECT_EQ(std::filesystem::exists(tmp / "D" / "ziel" / "b"), f.Scheitert == 0 || f.Wiederherstellung);
        EXPECT_TRUE(std::filesystem::exists(tmp / "D" / "ziel" / "c"));
        EXPECT_NO_THROW(fs->Sync("D:\\ziel\\a"));
    }
}

} // namespace
} // namespace tresor::test
