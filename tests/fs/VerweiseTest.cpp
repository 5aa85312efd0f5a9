// Symbolic links in the source: listed by Files, copied as the same link, never followed, and backed up
// again only when the link or its folder has changed (their record lives on the folder).

#include "tests/fs/FsTestbasis.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace tresor::test {
namespace {

namespace sfs = std::filesystem;

class VerweiseTest : public FsTest {
protected:
    void SetUp() override { sfs::create_directories(D("ziel")); }

    // Gives the folder a time long past, so that any entry made, replaced or removed in it afterwards
    // changes its time even within the same clock tick.
    static void AlteZeit(const sfs::path& ordner) {
        const struct timespec zeiten[2] = {{UTIME_OMIT, UTIME_OMIT}, {1'000'000'000, 123}};
        ASSERT_EQ(::utimensat(AT_FDCWD, ordner.c_str(), zeiten, AT_SYMLINK_NOFOLLOW), 0);
    }
    bool Archiv(const Pfad& pfad) { return (fs->Attributes(fs->GetFile(pfad)) & attr::Archiv) != 0; }
    // Backs the link up as the engine does: copy, then clear the archive bit with the state of the copy.
    void Sichere(const Pfad& quelle, const Pfad& ziel) {
        const Quellstand stand = fs->Copy(fs->GetFile(quelle), ziel);
        ASSERT_TRUE(stand.Gueltig);
        fs->SetFileAttr(quelle, fs->Attributes(fs->GetFile(quelle)) & ~attr::Archiv, stand);
    }
    static bool IstVerweis(const sfs::path& p) { return sfs::is_symlink(sfs::symlink_status(p)); }
    static std::vector<std::string> Namen(const std::vector<Datei>& d) {
        std::vector<std::string> n;
        for (const auto& x : d)
            n.push_back(x.Name);
        return n;
    }
};

TEST_F(VerweiseTest, CopyMakesTheSameLinkAndNeverFollowsIt) {
    sfs::create_directories(C("f"));
    SchreibeDatei(C("f/echt"), "Inhalt");
    SchreibeDatei(tmp / "aussen" / "geheim.txt", "draußen");
    sfs::create_symlink("echt", C("f/zur-datei"));
    sfs::create_symlink("gibt-es-nicht", C("f/haengend"));
    sfs::create_symlink("schleife2", C("f/schleife1"));
    sfs::create_symlink("schleife1", C("f/schleife2"));
    sfs::create_directory_symlink(tmp / "aussen", C("f/nach-aussen"));
    // The link's own time goes with it.
    const struct timespec zeiten[2] = {{UTIME_OMIT, UTIME_OMIT}, {1234567890, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, C("f/haengend").c_str(), zeiten, AT_SYMLINK_NOFOLLOW), 0);

    for (const char* n : {"zur-datei", "haengend", "schleife1", "schleife2", "nach-aussen"}) {
        const Pfad quelle = std::string("C:\\f\\") + n;
        const Quellstand stand = fs->Copy(fs->GetFile(quelle), std::string("D:\\ziel\\") + n);
        EXPECT_TRUE(stand.Gueltig) << n;
        struct stat st {};
        ASSERT_EQ(::lstat(C(std::string("f/") + n).c_str(), &st), 0);
        EXPECT_EQ(stand.Inode, st.st_ino) << n;
        EXPECT_EQ(stand.Groesse, st.st_size) << n;
        struct stat ost {};
        ASSERT_EQ(::stat(C("f").c_str(), &ost), 0);
        EXPECT_EQ(stand.OrdnerInode, ost.st_ino) << n;
        EXPECT_EQ(stand.OrdnerMtimeNs, ost.st_mtim.tv_sec * 1'000'000'000LL + ost.st_mtim.tv_nsec) << n;
        EXPECT_TRUE(IstVerweis(D(std::string("ziel/") + n))) << n << " ist keine Verknüpfung";
        EXPECT_EQ(sfs::read_symlink(D(std::string("ziel/") + n)), sfs::read_symlink(C(std::string("f/") + n))) << n;
    }
    struct stat st {};
    ASSERT_EQ(::lstat(D("ziel/haengend").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    // Nothing behind the links came along, and no temporary name is left.
    std::vector<std::string> namen;
    for (const auto& e : sfs::directory_iterator(D("ziel")))
        namen.push_back(e.path().filename().string());
    std::sort(namen.begin(), namen.end());
    EXPECT_EQ(namen, (std::vector<std::string>{"haengend", "nach-aussen", "schleife1", "schleife2", "zur-datei"}));
    EXPECT_FALSE(sfs::exists(D("ziel/geheim.txt")));
    // The source links are as they were.
    EXPECT_EQ(sfs::read_symlink(C("f/nach-aussen")), tmp / "aussen");
}

TEST_F(VerweiseTest, CopyReplacesAnExistingEntryOfThatName) {
    sfs::create_symlink("neu", C("v"));
    SchreibeDatei(D("ziel/v"), "alte Datei");
    (void)fs->Copy(fs->GetFile("C:\\v"), "D:\\ziel\\v");
    ASSERT_TRUE(IstVerweis(D("ziel/v")));
    EXPECT_EQ(sfs::read_symlink(D("ziel/v")), "neu");
    sfs::remove(C("v"));
    sfs::create_symlink("neuer", C("v"));
    (void)fs->Copy(fs->GetFile("C:\\v"), "D:\\ziel\\v");
    EXPECT_EQ(sfs::read_symlink(D("ziel/v")), "neuer");
}

TEST_F(VerweiseTest, FilesListsLinksInByteOrderSubFoldersNever) {
    sfs::create_directories(C("f/ordner"));
    SchreibeDatei(C("f/b-datei"), "x");
    sfs::create_symlink("b-datei", C("f/a-verweis"));
    sfs::create_symlink("nirgends", C("f/C-haengend"));
    sfs::create_directory_symlink("ordner", C("f/z-ordnerverweis"));
    sfs::create_symlink(".", C("f/.punkt"));
    const Ordner f = fs->GetFolder("C:\\f");
    EXPECT_EQ(Namen(fs->Files(f)),
              (std::vector<std::string>{".punkt", "C-haengend", "a-verweis", "b-datei", "z-ordnerverweis"}));
    std::vector<std::string> ordner;
    for (const auto& o : fs->SubFolders(f))
        ordner.push_back(o.Name);
    EXPECT_EQ(ordner, std::vector<std::string>{"ordner"});
    // A link reads hidden by its dot name only, and never read-only, system or directory.
    EXPECT_EQ(fs->Attributes(fs->GetFile("C:\\f\\.punkt")), attr::Versteckt | attr::Archiv);
    EXPECT_EQ(fs->Attributes(fs->GetFile("C:\\f\\z-ordnerverweis")), attr::Archiv);
}

TEST_F(VerweiseTest, ArchiveBitFollowsTheLinkAndItsFolder) {
    sfs::create_directories(C("f"));
    sfs::create_symlink("ziel-a", C("f/a"));
    AlteZeit(C("f"));
    // New: set. Backed up: clear, and stays clear as long as nothing changes.
    EXPECT_TRUE(Archiv("C:\\f\\a"));
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    EXPECT_FALSE(Archiv("C:\\f\\a"));
    EXPECT_FALSE(Archiv("C:\\f\\a"));
    // The record lives on the folder, never on the link, and did not touch the folder's time.
    EXPECT_TRUE(Xattr(C("f"), "user.tresor-ix.verweise").has_value());
    struct stat ost {};
    ASSERT_EQ(::stat(C("f").c_str(), &ost), 0);
    EXPECT_EQ(ost.st_mtim.tv_sec, 1'000'000'000);

    // A second link in the folder: both read set.
    sfs::create_symlink("ziel-b", C("f/b"));
    EXPECT_TRUE(Archiv("C:\\f\\b"));
    EXPECT_TRUE(Archiv("C:\\f\\a"));
    AlteZeit(C("f"));
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    EXPECT_FALSE(Archiv("C:\\f\\a"));
    EXPECT_TRUE(Archiv("C:\\f\\b"));
    Sichere("C:\\f\\b", "D:\\ziel\\b");
    EXPECT_FALSE(Archiv("C:\\f\\a"));
    EXPECT_FALSE(Archiv("C:\\f\\b"));

    // Setting the bit removes just that link's key.
    fs->SetFileAttr("C:\\f\\a", attr::Archiv);
    EXPECT_TRUE(Archiv("C:\\f\\a"));
    EXPECT_FALSE(Archiv("C:\\f\\b"));

    // Replaced under the same name with another target: set.
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    ASSERT_FALSE(Archiv("C:\\f\\a"));
    sfs::remove(C("f/a"));
    sfs::create_symlink("ziel-a2", C("f/a"));
    EXPECT_TRUE(Archiv("C:\\f\\a"));
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    EXPECT_FALSE(Archiv("C:\\f\\a"));
    EXPECT_EQ(sfs::read_symlink(D("ziel/a")), "ziel-a2");
}

TEST_F(VerweiseTest, ARecordOfAnotherFolderStateIsReplacedNotMerged) {
    sfs::create_directories(C("f"));
    sfs::create_symlink("x", C("f/a"));
    sfs::create_symlink("y", C("f/b"));
    AlteZeit(C("f"));
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    Sichere("C:\\f\\b", "D:\\ziel\\b");
    const auto alt = Xattr(C("f"), "user.tresor-ix.verweise");
    ASSERT_TRUE(alt);
    EXPECT_EQ(alt->size(), 24u + 2 * 8u);
    // The folder moves on; backing up one link anew leaves a record of the new state with its key alone.
    SchreibeDatei(C("f/neu.txt"), "n");
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    const auto neu = Xattr(C("f"), "user.tresor-ix.verweise");
    ASSERT_TRUE(neu);
    EXPECT_EQ(neu->size(), 24u + 8u);
    EXPECT_FALSE(Archiv("C:\\f\\a"));
    EXPECT_TRUE(Archiv("C:\\f\\b"));
    // A record of an unknown form counts as missing.
    SetzeXattr(C("f"), "user.tresor-ix.verweise", "kaputt");
    EXPECT_TRUE(Archiv("C:\\f\\a"));
}

TEST_F(VerweiseTest, AFolderChangedDuringTheCopyLeavesTheLinkSet) {
    sfs::create_directories(C("f"));
    sfs::create_symlink("x", C("f/a"));
    AlteZeit(C("f"));
    const Quellstand stand = fs->Copy(fs->GetFile("C:\\f\\a"), "D:\\ziel\\a");
    SchreibeDatei(C("f/dazwischen"), "d");
    fs->SetFileAttr("C:\\f\\a", 0, stand);
    EXPECT_TRUE(Archiv("C:\\f\\a"));
    // Without a state of a copy, the present state is recorded.
    fs->SetFileAttr("C:\\f\\a", 0);
    EXPECT_FALSE(Archiv("C:\\f\\a"));
}

TEST_F(VerweiseTest, AReadOnlyFolderOfOurOwnGetsItsRecordAndKeepsItsMode) {
    sfs::create_directories(C("f"));
    sfs::create_symlink("x", C("f/a"));
    AlteZeit(C("f"));
    sfs::permissions(C("f"), sfs::perms(0555));
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    EXPECT_FALSE(Archiv("C:\\f\\a"));
    EXPECT_EQ(Modus(C("f")), 0555u);
    sfs::permissions(C("f"), sfs::perms(0755));
}

TEST_F(VerweiseTest, AFolderFullOfLinksKeepsTheBitsItHasNoRoomFor) {
    // The record has room for some hundreds of keys; beyond that the links stay set, and nothing fails.
    sfs::create_directories(C("f"));
    constexpr int Anzahl = 1200;
    for (int i = 0; i < Anzahl; ++i)
        sfs::create_symlink("x", C("f/v" + std::to_string(10000 + i)));
    AlteZeit(C("f"));
    int klar = 0;
    for (int i = 0; i < Anzahl; ++i) {
        const Pfad p = "C:\\f\\v" + std::to_string(10000 + i);
        fs->SetFileAttr(p, 0);
        if (!Archiv(p))
            ++klar;
    }
    EXPECT_GT(klar, 100);
    EXPECT_LT(klar, Anzahl);
    // The first ones are still recorded.
    EXPECT_FALSE(Archiv("C:\\f\\v10000"));
    EXPECT_TRUE(Archiv("C:\\f\\v" + std::to_string(10000 + Anzahl - 1)));
}

} // namespace
} // namespace tresor::test
