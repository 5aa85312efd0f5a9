// The table of descriptors grown at once: it holds as many as asked (within the limit), and nothing stays open.
#include "fs/system/Deskriptor.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace tresor::test {
namespace {

// The room of this process's table of descriptors, as the kernel tells it.
long Tabellengroesse() {
    std::ifstream status("/proc/self/status");
    for (std::string zeile; std::getline(status, zeile);)
        if (zeile.starts_with("FDSize:"))
            return std::stol(zeile.substr(7));
    return -1;
}

long OffeneDeskriptoren() {
    long n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

TEST(Deskriptortabelle, GrowsToWhatIsAskedWithinTheLimitAndLeavesNothingOpen) {
    struct rlimit grenze {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &grenze), 0);
    const long grenzwert = static_cast<long>(grenze.rlim_cur);
    const long jetzt = Tabellengroesse();
    ASSERT_GT(jetzt, 0);
    struct Fall {
        const char* Name;
        long Anzahl;
        long Mindestens; // the table's room afterwards
    };
    const Fall faelle[] = {
        {"smaller than now: stays", jetzt / 2, jetzt},
        {"twice as large", 2 * jetzt, 2 * jetzt},
        {"beyond the limit: as before", grenzwert + 1, 2 * jetzt},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        if (f.Mindestens > grenzwert)
            continue;
        const long offen = OffeneDeskriptoren();
        posix::DeskriptortabelleVorab(static_cast<int>(f.Anzahl));
        EXPECT_GE(Tabellengroesse(), f.Mindestens);
        EXPECT_EQ(OffeneDeskriptoren(), offen);
    }
}

} // namespace
} // namespace tresor::test
