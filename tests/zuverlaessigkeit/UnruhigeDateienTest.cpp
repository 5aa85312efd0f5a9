// Files that never hold still (a log, a database, a disk image written all the time), on loop-mounted images
// of the file systems this kernel has: where the source can clone (btrfs, XFS), the backup holds one version
// the file really had, taken from a clone of it, and the file stays to be backed up; elsewhere (ext4) no copy
// is made and the run names the file with how often and how long it tried. A copy between folders of one such
// file system shares the source's blocks. The tests need root and loop devices, and skip elsewhere.

#include "tests/zuverlaessigkeit/Laufumgebung.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

struct Quelldateisystem {
    const char* name;
    std::vector<std::string> mkfs;
    int mebibyte;
    bool klont; // the file system clones files (FICLONE)
};

const Quelldateisystem Dateisysteme[] = {
    {"btrfs", {"mkfs.btrfs", "-q", "-f"}, 128, true},
    {"xfs", {"mkfs.xfs", "-q", "-f", "-m", "reflink=1"}, 320, true},
    {"ext4", {}, 32, false},
};

class UnruhigeDatei : public Laufumgebung, public ::testing::WithParamInterface<Quelldateisystem> {};

TEST_P(UnruhigeDatei, OneVersionItHadWhereTheSourceClonesElseNamedWithHowLongItTried) {
    const Quelldateisystem& art = GetParam();
    Abbild abbild(temp / "bild.img", temp / "quelle", art.mebibyte, art.mkfs);
    if (!abbild.Bereit() || !abbild.Einhaengen())
        GTEST_SKIP() << abbild.Grund();
    QuellLaufwerk(abbild.Punkt());
    SchreibeDatei(Q() / "ruhig.txt", "bleibt");
    SchreibeDatei(Q() / "protokoll.log", "Fassung 0\n");
    // Written anew inside every copy of its content: it never holds still while it is copied.
    std::vector<std::string> fassungen{"Fassung 0\n"};
    kopierhaken = [&](const Pfad& p, int) {
        if (p.ends_with("protokoll.log")) {
            fassungen.push_back(fassungen.back() + "Fassung " + std::to_string(fassungen.size()) + "\n");
            SchreibeDatei(Q() / "protokoll.log", fassungen.back());
        }
    };
    EXPECT_EQ(Lauf(), art.klont ? 0 : 1) << fehler.str();
    const fs::path kopie = Z() / fassung.rbegin()->first / "Q" / "protokoll.log";
    EXPECT_EQ(LiesDatei(Z() / fassung.rbegin()->first / "Q" / "ruhig.txt"), "bleibt");
    EXPECT_FALSE(Archiv("ruhig.txt"));
    if (art.klont) {
        // One version it had, whole: the one written last before the clone.
        ASSERT_TRUE(fs::exists(kopie));
        EXPECT_EQ(LiesDatei(kopie), fassungen.back());
        EXPECT_EQ(fehler.str(), "");
        // Its state at the clone is not certain: it stays to be backed up, unless that version is its own.
        EXPECT_TRUE(Archiv("protokoll.log") || LiesDatei(Q() / "protokoll.log") == LiesDatei(kopie));
    } else {
        EXPECT_FALSE(fs::exists(kopie)) << "no copy of a file that never held still";
        EXPECT_NE(fehler.str().find("Nicht gesichert: " + (Q() / "protokoll.log").string() +
                                    " (hat sich beim Kopieren geändert (4 Versuche in "),
                  std::string::npos)
            << fehler.str();
        EXPECT_TRUE(Archiv("protokoll.log"));
    }
    // The version the first backup was to hold is the one written last before the clone, not the one the run
    // began with.
    fassung.rbegin()->second["protokoll.log"] = InhaltAus(fassungen.back());
    // Once it holds still, the next run backs up its present version.
    kopierhaken = {};
    EXPECT_EQ(Lauf(), 0) << fehler.str();
    EXPECT_FALSE(Archiv("protokoll.log"));
    const Verluste v = Pruefe();
    for (const auto& m : v.Meldungen)
        ADD_FAILURE() << m;
}

// A backup within one file system that clones shares the source's blocks: the copies take no room of their own.
TEST_P(UnruhigeDatei, ACopyWithinOneFileSystemThatClonesSharesItsBlocks) {
    const Quelldateisystem& art = GetParam();
    Abbild abbild(temp / "bild.img", temp / "quelle", art.mebibyte, art.mkfs);
    if (!abbild.Bereit() || !abbild.Einhaengen())
        GTEST_SKIP() << abbild.Grund();
    QuellLaufwerk(abbild.Punkt());
    ZielLaufwerk(abbild.Punkt());
    const std::string inhalt(8 << 20, 'x');
    SchreibeDatei(Q() / "gross.bin", inhalt);
    ::sync();
    struct statvfs vorher {};
    ASSERT_EQ(::statvfs(abbild.Punkt().c_str(), &vorher), 0);
    EXPECT_EQ(Lauf(), 0) << fehler.str();
    ::sync();
    struct statvfs nachher {};
    ASSERT_EQ(::statvfs(abbild.Punkt().c_str(), &nachher), 0);
    EXPECT_EQ(LiesDatei(Z() / fassung.rbegin()->first / "Q" / "gross.bin"), inhalt);
    const auto belegt = static_cast<std::int64_t>(vorher.f_bfree - nachher.f_bfree) * vorher.f_frsize;
    if (art.klont)
        EXPECT_LT(belegt, 4 << 20) << "the copy shares the source's blocks";
    else
        EXPECT_GE(belegt, 8 << 20) << "a file system without clones holds the copy in blocks of its own";
}

INSTANTIATE_TEST_SUITE_P(Dateisysteme, UnruhigeDatei, ::testing::ValuesIn(Dateisysteme),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tresor::test
