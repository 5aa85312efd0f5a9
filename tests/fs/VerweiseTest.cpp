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
    static std::vector<std::string> Namen(const Ordnerdateien& d) {
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

    // A second link in the folder: both read set (the first stays backed up for the object that backed it up,
    // but the folder's record no longer matches).
    sfs::create_symlink("ziel-b", C("f/b"));
    EXPECT_TRUE(Archiv("C:\\f\\b"));
    EXPECT_TRUE(ErzeugePosixDateisystem(tabelle)->Attributes({"C:\\f\\a", "a"}) & attr::Archiv);
    AlteZeit(C("f"));
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    EXPECT_FALSE(Archiv("C:\\f\\a"));
    EXPECT_TRUE(Archiv("C:\\f\\b"));
    Sichere("C:\\f\\b", "D:\\ziel\\b");
    EXPECT_FALSE(Archiv("C:\\f\\a"));
    EXPECT_FALSE(Archiv("C:\\f\\b"));

    // Setting the bit removes the folder's record; the other link stays backed up for this object only.
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

TEST_F(VerweiseTest, OneRecordOfFixedSizeAndAnyChangeOfALinkSetsThemAll) {
    sfs::create_directories(C("f"));
    sfs::create_symlink("x", C("f/a"));
    sfs::create_symlink("y", C("f/b"));
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    // Not every link of the folder is backed up yet: no record, and a fresh object reads both set.
    EXPECT_FALSE(Xattr(C("f"), "user.tresor-ix.verweise").has_value());
    EXPECT_TRUE(ErzeugePosixDateisystem(tabelle)->Attributes({"C:\\f\\a", "a"}) & attr::Archiv);
    Sichere("C:\\f\\b", "D:\\ziel\\b");
    const auto vermerk = Xattr(C("f"), "user.tresor-ix.verweise");
    ASSERT_TRUE(vermerk);
    EXPECT_EQ(vermerk->size(), 40u); // with the user's seal
    auto frisch = [this](const Pfad& p) {
        return (ErzeugePosixDateisystem(tabelle)->Attributes({p, ""}) & attr::Archiv) != 0;
    };
    EXPECT_FALSE(frisch("C:\\f\\a"));
    EXPECT_FALSE(frisch("C:\\f\\b"));
    // A regular file of one name in the folder does not concern the links.
    SchreibeDatei(C("f/neu.txt"), "n");
    EXPECT_FALSE(frisch("C:\\f\\a"));
    // Touching one link (its time alone) sets both.
    const struct timespec zeiten[2] = {{UTIME_OMIT, UTIME_OMIT}, {1234567890, 5}};
    ASSERT_EQ(::utimensat(AT_FDCWD, C("f/b").c_str(), zeiten, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(frisch("C:\\f\\a"));
    EXPECT_TRUE(frisch("C:\\f\\b"));
    Sichere("C:\\f\\a", "D:\\ziel\\a");
    Sichere("C:\\f\\b", "D:\\ziel\\b");
    EXPECT_FALSE(frisch("C:\\f\\a"));
    // The folder renamed: its links are to be backed up under their new path.
    sfs::rename(C("f"), C("g"));
    EXPECT_TRUE(frisch("C:\\g\\a"));
    // A record of an unknown form, or of the earlier form (a list of keys), counts as missing.
    sfs::rename(C("g"), C("f"));
    EXPECT_FALSE(frisch("C:\\f\\a"));
    SetzeXattr(C("f"), "user.tresor-ix.verweise", "kaputt");
    EXPECT_TRUE(frisch("C:\\f\\a"));
    SetzeXattr(C("f"), "user.tresor-ix.verweise", std::string("\1\0\0\0\0\0\0\0", 8) + vermerk->substr(8, 16));
    EXPECT_TRUE(frisch("C:\\f\\a"));
}

TEST_F(VerweiseTest, ALinkReplacedAfterItsCopyStaysSet) {
    sfs::create_directories(C("f"));
    sfs::create_symlink("x", C("f/a"));
    const Quellstand stand = fs->Copy(fs->GetFile("C:\\f\\a"), "D:\\ziel\\a");
    sfs::remove(C("f/a"));
    sfs::create_symlink("x2", C("f/a"));
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

TEST_F(VerweiseTest, ThreeThousandLinksInOneFolderShareOneSmallRecord) {
    sfs::create_directories(C("f"));
    constexpr int Anzahl = 3000;
    for (int i = 0; i < Anzahl; ++i)
        sfs::create_symlink("x", C("f/v" + std::to_string(10000 + i)));
    for (int i = 0; i < Anzahl; ++i) {
        const Pfad p = "C:\\f\\v" + std::to_string(10000 + i);
        fs->SetFileAttr(p, 0);
        ASSERT_FALSE(Archiv(p)) << p;
    }
    EXPECT_EQ(Xattr(C("f"), "user.tresor-ix.verweise")->size(), 40u); // with the user's seal
    auto neu = ErzeugePosixDateisystem(tabelle);
    for (const Datei& d : neu->Files(neu->GetFolder("C:\\f")))
        ASSERT_EQ(neu->Attributes(d), 0) << d.Path;
}

} // namespace
} // namespace tresor::test
