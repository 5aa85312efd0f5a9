#include "fs/ablage/Vorleser.h"

#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace tresor::test {
namespace {

using posix::Archivvermerk;
using posix::Vorleser;

// The record a test read gives for a name: its key holds the name, its write time who read it (1: the walk's
// thread, 2: the other).
std::optional<Archivvermerk> Vermerk(const std::string& name, bool anderer) {
    Archivvermerk v;
    v.Name = std::hash<std::string>{}(name);
    v.SchreibzeitNs = anderer ? 2 : 1;
    return v;
}

std::vector<std::string> Namen(const std::string& vorsilbe, std::size_t n) {
    std::vector<std::string> r;
    for (std::size_t i = 0; i < n; ++i)
        r.push_back(vorsilbe + std::to_string(i));
    return r;
}

// Reads through a test function; entries named in `gesperrt` stop the other thread until released.
class VorleserTest : public ::testing::Test {
protected:
    TempOrdner tmp;
    int ordner = ::open(tmp.Pfad().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::thread::id walk = std::this_thread::get_id();
    std::mutex m;
    std::condition_variable cv;
    std::set<std::string> gesperrt;
    std::set<std::string> angefangen; // entries the other thread began
    std::unique_ptr<Vorleser> vorleser = std::make_unique<Vorleser>([this](int, const char* name) {
        const bool anderer = std::this_thread::get_id() != walk;
        if (anderer) {
            std::unique_lock<std::mutex> l(m);
            angefangen.insert(name);
            cv.notify_all();
            cv.wait(l, [&] { return !gesperrt.contains(name); });
        }
        return Vermerk(name, anderer);
    });

    ~VorleserTest() override {
        Frei();
        vorleser.reset();
        ::close(ordner);
    }
    void Frei() {
        const std::lock_guard<std::mutex> l(m);
        gesperrt.clear();
        cv.notify_all();
    }
    void WarteAufBeginn(const std::string& name) {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return angefangen.contains(name); });
    }
    // Waits (without a time limit: the other thread must come to rest) until the other thread sleeps.
    void WarteBisRuhe() {
        while (!vorleser->Stand().Wartet)
            std::this_thread::yield();
    }
};

TEST_F(VorleserTest, EachEntryGetsItsOwnRecordInTheWalksOrderWhoeverReadIt) {
    const auto namen = Namen("f", 3000);
    ASSERT_TRUE(vorleser->Beginne(ordner, namen, 0));
    for (std::size_t i = 0; i < namen.size(); ++i) {
        const auto r = vorleser->Hole(i);
        ASSERT_TRUE(r.has_value()) << i;
        ASSERT_TRUE(r->has_value()) << i;
        EXPECT_EQ((*r)->Name, std::hash<std::string>{}(namen[i])) << i;
    }
    const auto z = vorleser->Stand();
    EXPECT_EQ(z.Vorgelesen + z.Selbst, namen.size());
    // Nothing further, and nothing twice.
    EXPECT_FALSE(vorleser->Hole(namen.size()).has_value());
    EXPECT_FALSE(vorleser->Hole(5).has_value());
}

TEST_F(VorleserTest, TheWalkReadsAnEntryItselfRatherThanWaitForTheOtherThread) {
    gesperrt = {"f0"};
    ASSERT_TRUE(vorleser->Beginne(ordner, Namen("f", 4), 0));
    WarteAufBeginn("f0");
    // The other thread is inside the read of f0 and cannot go on: the walk must not wait for it.
    const auto r = vorleser->Hole(0);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ((*r)->Name, std::hash<std::string>{}("f0"));
    EXPECT_EQ((*r)->SchreibzeitNs, 1);
    Frei();
    // What the other thread read for f0 meanwhile is never handed out for another entry.
    for (std::size_t i = 1; i < 4; ++i) {
        const auto s = vorleser->Hole(i);
        ASSERT_TRUE(s && *s);
        EXPECT_EQ((*s)->Name, std::hash<std::string>{}("f" + std::to_string(i)));
    }
}

TEST_F(VorleserTest, AWalkThatCatchesUpReadsTheNextHalfItselfAndTheOtherThreadTheRest) {
    gesperrt = {"f0"};
    ASSERT_TRUE(vorleser->Beginne(ordner, Namen("f", 9), 0));
    WarteAufBeginn("f0");
    ASSERT_TRUE(vorleser->Hole(0).has_value()); // caught up: f1 to f4 are the walk's, f5 to f8 the other's
    Frei();
    WarteBisRuhe();
    for (std::size_t i = 1; i < 9; ++i) {
        const auto r = vorleser->Hole(i);
        ASSERT_TRUE(r && *r);
        EXPECT_EQ((*r)->Name, std::hash<std::string>{}("f" + std::to_string(i)));
        EXPECT_EQ((*r)->SchreibzeitNs, i < 5 ? 1 : 2) << i;
    }
    // f0 was read twice (the other thread's read thrown away), every other entry once.
    const auto z = vorleser->Stand();
    EXPECT_EQ(z.Selbst, 5u);
    EXPECT_EQ(z.Vorgelesen, 4u);
}

TEST_F(VorleserTest, AFolderBegunAfterAnotherNeverGetsTheOthersRecords) {
    gesperrt = {"a0"};
    ASSERT_TRUE(vorleser->Beginne(ordner, Namen("a", 3), 0));
    WarteAufBeginn("a0");
    ASSERT_TRUE(vorleser->Beginne(ordner, Namen("b", 3), 0));
    Frei();
    for (std::size_t i = 0; i < 3; ++i) {
        const auto r = vorleser->Hole(i);
        ASSERT_TRUE(r && *r);
        EXPECT_EQ((*r)->Name, std::hash<std::string>{}("b" + std::to_string(i)));
    }
    // A dropped folder hands out nothing; the walk then reads for itself.
    ASSERT_TRUE(vorleser->Beginne(ordner, Namen("c", 3), 1));
    EXPECT_FALSE(vorleser->Hole(0).has_value()); // before the first entry it was begun for
    vorleser->Beende();
    EXPECT_FALSE(vorleser->Hole(1).has_value());
}

TEST_F(VorleserTest, EntriesPassedOverAreNotHandedOutLater) {
    const auto namen = Namen("f", 50);
    ASSERT_TRUE(vorleser->Beginne(ordner, namen, 0));
    WarteBisRuhe();
    const auto r = vorleser->Hole(7);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ((*r)->Name, std::hash<std::string>{}("f7"));
    EXPECT_FALSE(vorleser->Hole(3).has_value());
    const auto s = vorleser->Hole(8);
    ASSERT_TRUE(s && *s);
    EXPECT_EQ((*s)->Name, std::hash<std::string>{}("f8"));
}

TEST_F(VorleserTest, ReadsNoMoreThanVorlaufAheadOfTheWalk) {
    const auto namen = Namen("f", 10 * Vorleser::Vorlauf);
    ASSERT_TRUE(vorleser->Beginne(ordner, namen, 0));
    WarteBisRuhe();
    EXPECT_EQ(vorleser->Stand().Vorgelesen, Vorleser::Vorlauf);
    // Handing out half of it lets the other thread go on by as much.
    for (std::size_t i = 0; i < Vorleser::Vorlauf / 2; ++i) {
        const auto r = vorleser->Hole(i);
        ASSERT_TRUE(r && *r);
        EXPECT_EQ((*r)->SchreibzeitNs, 2) << i;
    }
    while (vorleser->Stand().Vorgelesen < Vorleser::Vorlauf + Vorleser::Vorlauf / 2)
        std::this_thread::yield();
    WarteBisRuhe();
    EXPECT_EQ(vorleser->Stand().Vorgelesen, Vorleser::Vorlauf + Vorleser::Vorlauf / 2);
    EXPECT_EQ(vorleser->Stand().Selbst, 0u);
}

TEST_F(VorleserTest, TheOtherThreadTakesNoSignal) {
    sigset_t maske;
    bool alleGesperrt = false;
    auto mit = std::make_unique<Vorleser>([&](int, const char*) {
        if (std::this_thread::get_id() != walk) {
            pthread_sigmask(SIG_SETMASK, nullptr, &maske);
            alleGesperrt = sigismember(&maske, SIGINT) == 1 && sigismember(&maske, SIGTERM) == 1;
        }
        return std::optional<Archivvermerk>();
    });
    ASSERT_TRUE(mit->Beginne(ordner, Namen("f", 3), 0));
    while (!mit->Stand().Wartet)
        std::this_thread::yield();
    EXPECT_EQ(mit->Stand().Vorgelesen, 3u);
    mit.reset(); // joins the thread: what it wrote is seen here
    EXPECT_TRUE(alleGesperrt);
    // The walk's own mask is as it was.
    pthread_sigmask(SIG_SETMASK, nullptr, &maske);
    EXPECT_EQ(sigismember(&maske, SIGINT), 0);
}

} // namespace
} // namespace tresor::test
