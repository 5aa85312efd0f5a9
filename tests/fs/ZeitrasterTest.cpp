// The step of a file system's time stamps read from a stamp, when a stamp tells one state from every later
// one, and the archive record that counts as missing where it was written too early to tell.

#include "fs/system/Zeitraster.h"
#include "fs/ablage/Archivvermerk.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <vector>

namespace tresor::test {
namespace {

constexpr std::int64_t Sekunde = 1'000'000'000;
constexpr std::int64_t Ungerade = 1796737593 * Sekunde; // a stamp of a stick that keeps whole seconds

TEST(Zeitraster, TheStepIsTheCoarsestThatDividesTheStamp) {
    struct Fall {
        std::int64_t Stempel;
        std::int64_t Schritt;
    };
    for (const Fall& f :
         std::vector<Fall>{{Ungerade, Sekunde},                   // whole seconds (exFAT through FUSE)
                           {Ungerade + Sekunde, 2 * Sekunde},     // an even second may be FAT's 2 s
                           {Ungerade + 10'000'000, 10'000'000},   // exFAT's 10 ms
                           {Ungerade + 123'456'700, 100},         // NTFS's 100 ns
                           {Ungerade + 123'456'789, 1},           // nanoseconds
                           {Ungerade + 500'000'000, 100'000'000}, // a nanosecond stamp that happens to be round
                           {0, 2 * Sekunde},                      //
                           {-Sekunde, Sekunde},                   // before 1970
                           {-3, 1}}) {                            //
        EXPECT_EQ(posix::ZeitrasterNs(f.Stempel), f.Schritt) << f.Stempel;
    }
}

TEST(Zeitraster, AStampTellsStatesApartOnceItsStepIsOver) {
    constexpr std::int64_t Vorlauf = posix::StempelvorlaufNs;
    struct Fall {
        std::int64_t Stempel;
        std::int64_t Uhr;
        bool Eindeutig;
    };
    for (const Fall& f : std::vector<Fall>{
             {Ungerade, Ungerade + 400'000'000, false},           // written and looked at within one second
             {Ungerade, Ungerade + Sekunde - 1, false},           // the last moment of its second
             {Ungerade, Ungerade + Sekunde, true},                // a change from now on stamps the next second
             {Ungerade + Sekunde, Ungerade + 2 * Sekunde, false}, // an even second may be one of two
             {Ungerade + Sekunde, Ungerade + 3 * Sekunde, true},  //
             {Ungerade + 7, Ungerade + 7, false},                 // a tick of the coarse clock not yet over
             {Ungerade + 7, Ungerade + 8, true},                  //
             {Ungerade + 1 + Vorlauf, Ungerade, false},   // ahead of the clock as far as a change made now can be
             {Ungerade + 2 + Vorlauf, Ungerade, true}}) { // further ahead: set by hand, no change made now
        EXPECT_EQ(posix::StempelEindeutig(f.Stempel, f.Uhr), f.Eindeutig) << f.Stempel << " " << f.Uhr;
    }
    // The wait covers a stamp as far ahead of the clock as a change made now can put it.
    for (const std::int64_t stempel : {Ungerade, Ungerade + Sekunde, Ungerade + 10'000'000, Ungerade + 123'456'789}) {
        const std::int64_t uhr = stempel - posix::ZeitrasterNs(stempel) - Vorlauf;
        EXPECT_FALSE(posix::StempelEindeutig(stempel, uhr)) << stempel;
        EXPECT_TRUE(posix::StempelEindeutig(stempel, uhr + posix::StempelWartezeitNs(stempel))) << stempel;
    }
}

TEST(Zeitraster, ARecordWrittenWithinTheStepOfItsStampCountsAsMissing) {
    // A file of a stick: modification time and ctime alike, whole seconds.
    struct stat st {};
    st.st_mtim = {Ungerade / Sekunde, 0};
    st.st_ctim = st.st_mtim;
    st.st_size = 4096;
    st.st_ino = 7;
    posix::Archivvermerk v;
    v.Stand = posix::StandAus(st);
    v.Name = 0x1234;
    for (const auto& [schreibzeit, passt] : std::vector<std::pair<std::int64_t, bool>>{
             {Ungerade + 300'000'000, false}, // a rewrite later in that second would look the same
             {Ungerade + Sekunde - 1, false},
             {Ungerade + Sekunde, true},
             {Ungerade + 60 * Sekunde, true}}) {
        v.SchreibzeitNs = schreibzeit;
        EXPECT_EQ(posix::Passt(v, st, 0x1234), passt) << schreibzeit - Ungerade;
    }
}

} // namespace
} // namespace tresor::test
