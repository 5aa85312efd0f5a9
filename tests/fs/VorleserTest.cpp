// The records of a real folder's files read ahead (fs/ablage/Vorleser.h); the ring beneath it has its own test
// (VorarbeitTest.cpp).

#include "fs/ablage/Vorleser.h"

#include "tests/Testhilfen.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

namespace tresor::test {
namespace {

using posix::Archivvermerk;
using posix::Vorleser;

struct Fall {
    const char* Name;
    std::size_t Ab;
    bool SelbstZuerst; // the walk asks for the first entry while the other thread still holds it
    bool Schliessen;   // the caller closes its descriptor before the other thread reads on
};

TEST(VorleserTest, EachFileGetsItsOwnRecordThroughACopyOfTheDescriptorWhoeverReadIt) {
    TempOrdner tmp;
    // f2 has no record, f4 one of no known form, f6 is listed but gone: none has a record, and no read fails.
    const std::vector<std::string> namen = {"f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7"};
    const std::set<std::size_t> ohne = {2, 4, 6};
    for (std::size_t i = 0; i < namen.size(); ++i) {
        if (i == 6)
            continue;
        SchreibeDatei(tmp / namen[i], namen[i]);
        Archivvermerk v;
        v.Name = 100 + i;
        const std::string wert = i == 4 ? std::string("kaputt") : posix::ArchivvermerkWert(v);
        if (i != 2) {
            ASSERT_EQ(::lsetxattr((tmp / namen[i]).c_str(), posix::ArchivvermerkName, wert.data(), wert.size(), 0), 0);
        }
    }
    const Fall faelle[] = {
        {"alles vom anderen Faden, der eigene Deskriptor längst zu", 0, false, true},
        {"der Gehende liest selbst, wo der andere Faden daran ist", 0, true, false},
        {"ab einem Eintrag", 3, true, true},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        std::mutex m;
        std::condition_variable cv;
        bool gesperrt = true;
        bool begonnen = false;
        // The other thread stops after its first read until released.
        Vorleser vorleser({}, [&](const std::string&) {
            std::unique_lock<std::mutex> l(m);
            begonnen = true;
            cv.notify_all();
            cv.wait(l, [&] { return !gesperrt; });
        });
        int ordner = ::open(tmp.Pfad().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_TRUE(vorleser.Beginne(ordner, namen, f.Ab));
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return begonnen; });
        l.unlock();
        auto pruefe = [&](std::size_t i) {
            errno = EXDEV;
            const auto r = vorleser.Hole(i);
            EXPECT_EQ(errno, EXDEV) << i;
            ASSERT_TRUE(r.has_value()) << i;
            ASSERT_EQ(r->has_value(), !ohne.contains(i)) << i;
            if (*r) {
                EXPECT_EQ((*r)->Name, 100 + i) << i;
            }
        };
        std::size_t i = f.Ab;
        if (f.SelbstZuerst)
            pruefe(i++);
        if (f.Schliessen) {
            ::close(ordner);
            ordner = -1;
        }
        l.lock();
        gesperrt = false;
        cv.notify_all();
        l.unlock();
        while (!vorleser.Stand().Wartet)
            std::this_thread::yield();
        for (; i < namen.size(); ++i)
            pruefe(i);
        if (f.Ab > 0) {
            EXPECT_FALSE(vorleser.Hole(f.Ab - 1).has_value());
        }
        // Having caught up, the walk read the first half of the rest itself.
        const std::size_t selbst = f.SelbstZuerst ? 1 + (namen.size() - f.Ab - 1) / 2 : 0;
        EXPECT_EQ(vorleser.Stand().Selbst, selbst);
        EXPECT_EQ(vorleser.Stand().Vorgelesen, namen.size() - f.Ab - selbst);
        if (ordner >= 0)
            ::close(ordner);
    }
}

} // namespace
} // namespace tresor::test
