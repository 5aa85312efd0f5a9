#include "fs/system/Namensliste.h"
#include "tests/fs/FsTestbasis.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace tresor::test {
namespace {

using SammlungenTest = FsTest;

std::vector<std::string> Namen(const std::vector<Ordner>& v) {
    std::vector<std::string> n;
    for (const auto& o : v)
        n.push_back(o.Name);
    return n;
}
std::vector<std::string> Namen(const Ordnerdateien& v) {
    std::vector<std::string> n;
    for (const auto& d : v)
        n.push_back(d.Name);
    return n;
}

TEST_F(SammlungenTest, MembersComeInByteOrderOfTheirNamesHiddenAndSystemIncluded) {
    for (const char* n : {"b", "a", "B", ".h", "\xc3\xa4", "sys"})
        SchreibeDatei(C(std::string("f/") + n), "x");
    for (const char* n : {"zo", "Ao", ".ho", "ao"})
        std::filesystem::create_directories(C(std::string("f/") + n));
    SetzeXattr(C("f/sys"), "user.DOSATTRIB", "0x4");
    SetzeXattr(C("f/ao"), "user.DOSATTRIB", "0x16");
    const Ordner f = fs->GetFolder("C:\\f");
    EXPECT_EQ(Namen(fs->Files(f)), (std::vector<std::string>{".h", "B", "a", "b", "sys", "\xc3\xa4"}));
    EXPECT_EQ(Namen(fs->SubFolders(f)), (std::vector<std::string>{".ho", "Ao", "ao", "zo"}));
}

// A walk lists a folder's subfolders and then its files: the second listing tells every change made in between,
// whether the folder had been quiet for a while before (its listing may be taken again) or was written just
// before the first listing, so that a change within the same tick of the clock leaves its modification time.
TEST_F(SammlungenTest, AChangeBetweenTwoListingsOfAFolderIsSeenByTheSecond) {
    for (const bool ruhig : {true, false}) {
        SCOPED_TRACE(ruhig ? "quiet before" : "written just before");
        std::filesystem::remove_all(C("f"));
        SchreibeDatei(C("f/alt"), "x");
        std::filesystem::create_directories(C("f/u"));
        if (ruhig) {
            struct stat st {};
            ASSERT_EQ(::stat(C("f").c_str(), &st), 0);
            const auto mtime = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
            std::this_thread::sleep_until(
                std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    mtime + std::chrono::milliseconds(60))));
        }
        fs = ErzeugePosixDateisystem(tabelle);
        const Ordner f = fs->GetFolder("C:\\f");
        EXPECT_EQ(Namen(fs->SubFolders(f)), (std::vector<std::string>{"u"}));
        SchreibeDatei(C("f/neu"), "x");
        std::filesystem::remove(C("f/alt"));
        EXPECT_EQ(Namen(fs->Files(f)), (std::vector<std::string>{"neu"}));
        // Unchanged: the same entries again.
        EXPECT_EQ(Namen(fs->SubFolders(f)), (std::vector<std::string>{"u"}));
        EXPECT_EQ(Namen(fs->Files(f)), (std::vector<std::string>{"neu"}));
    }
}

TEST_F(SammlungenTest, FoldersRegularFilesAndLinksFifosAndSocketsNever) {
    SchreibeDatei(C("f/datei"), "x");
    std::filesystem::create_directories(C("f/ordner"));
    std::filesystem::create_symlink(C("f/datei"), C("f/dateiverweis"));
    std::filesystem::create_directory_symlink(C("f/ordner"), C("f/ordnerverweis"));
    std::filesystem::create_hard_link(C("f/datei"), C("f/harter"));
    ASSERT_EQ(::mkfifo(C("f/rohr").c_str(), 0644), 0);
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un adresse{};
    adresse.sun_family = AF_UNIX;
    const std::string sockpfad = C("f/sockel").string();
    ASSERT_LT(sockpfad.size(), sizeof adresse.sun_path);
    std::copy(sockpfad.begin(), sockpfad.end(), adresse.sun_path);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&adresse), sizeof adresse), 0);
    ::close(s);

    const Ordner f = fs->GetFolder("C:\\f");
    // Links are files, whatever they point to; a link to a folder is never a subfolder.
    EXPECT_EQ(Namen(fs->Files(f)), (std::vector<std::string>{"datei", "dateiverweis", "harter", "ordnerverweis"}));
    EXPECT_EQ(Namen(fs->SubFolders(f)), std::vector<std::string>{"ordner"});
}

TEST_F(SammlungenTest, NamesWithABackslashAreOneLevelWrittenWithASlash) {
    SchreibeDatei(C("f/a\\b"), "x");
    SchreibeDatei(C("f/x\\y/innen"), "i");
    SchreibeDatei(C("f/gut"), "x");
    const Ordner f = fs->GetFolder("C:\\f");
    const auto dateien = fs->Files(f);
    EXPECT_EQ(Namen(dateien), (std::vector<std::string>{"a/b", "gut"}));
    EXPECT_EQ(dateien[0].Path, "C:\\f\\a/b");
    const auto ordner = fs->SubFolders(f);
    ASSERT_EQ(Namen(ordner), std::vector<std::string>{"x/y"});
    EXPECT_EQ(ordner[0].Path, "C:\\f\\x/y");
    const auto innen = fs->Files(fs->GetFolder(ordner[0].Path));
    ASSERT_EQ(Namen(innen), std::vector<std::string>{"innen"});
    EXPECT_EQ(innen[0].Path, "C:\\f\\x/y\\innen");

    // The copy gets exactly the bytes of the name on disk.
    std::filesystem::create_directories(D("z"));
    (void)fs->Copy(fs->GetFile("C:\\f\\a/b"), "D:\\z\\a/b");
    EXPECT_EQ(LiesDatei(D("z/a\\b")), "x");
    EXPECT_EQ(fs->Attributes(fs->GetFile("C:\\f\\a/b")) & attr::Archiv, attr::Archiv);
    fs->SetFileAttr("C:\\f\\a/b", 0);
    EXPECT_EQ(fs->Attributes(fs->GetFile("C:\\f\\a/b")), 0);
}

TEST_F(SammlungenTest, PathsJoinParentAndNameWithOneBackslash) {
    SchreibeDatei(C("f/g/datei"), "x");
    const Ordner wurzel = fs->GetFolder("C:\\");
    EXPECT_EQ(wurzel.Path, "C:\\");
    const auto ebene1 = fs->SubFolders(wurzel);
    ASSERT_EQ(ebene1.size(), 1u);
    EXPECT_EQ(ebene1[0].Path, "C:\\f");
    const auto ebene2 = fs->SubFolders(ebene1[0]);
    ASSERT_EQ(ebene2.size(), 1u);
    EXPECT_EQ(ebene2[0].Path, "C:\\f\\g");
    EXPECT_EQ(ebene2[0].Name, "g");
    const auto dateien = fs->Files(ebene2[0]);
    ASSERT_EQ(dateien.size(), 1u);
    EXPECT_EQ(dateien[0].Path, "C:\\f\\g\\datei");
    EXPECT_EQ(fs->GetFolder("C:\\f\\g\\").Path, "C:\\f\\g");
    EXPECT_EQ(fs->GetFile("C:\\f\\g\\datei").Name, "datei");
}

TEST_F(SammlungenTest, GetFolderAndGetFileAcceptOnlyTheirKind) {
    SchreibeDatei(C("datei"), "x");
    std::filesystem::create_directories(C("ordner"));
    std::filesystem::create_directory_symlink(C("ordner"), C("verweis"));
    EXPECT_THROW((void)fs->GetFolder("C:\\datei"), FsFehler);
    EXPECT_THROW((void)fs->GetFolder("C:\\fehlt"), FsFehler);
    EXPECT_THROW((void)fs->GetFolder("C:\\verweis"), FsFehler);
    EXPECT_THROW((void)fs->GetFile("C:\\ordner"), FsFehler);
    EXPECT_THROW((void)fs->GetFile("C:\\fehlt"), FsFehler);
    try {
        (void)fs->GetFolder("C:\\fehlt");
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Operation(), "GetFolder");
        EXPECT_EQ(f.Ursache().value(), ENOENT);
    }
}

TEST_F(SammlungenTest, AMountPointMetThroughSubFoldersIsListedButNotEntered) {
    SchreibeDatei(C("quelle/stick/datei"), "x");
    std::filesystem::create_directories(C("quelle/stick/unter"));
    SchreibeDatei(C("quelle/normal/datei"), "x");
    // The drive table declares C:\quelle\stick the mount point of drive E:.
    auto mitStick = tabelle.Laufwerke();
    mitStick.push_back(Laufwerk{'E', C("quelle/stick").string(), {}});
    auto fso = ErzeugePosixDateisystem(Laufwerkstabelle(mitStick));

    const auto unter = fso->SubFolders(fso->GetFolder("C:\\quelle"));
    ASSERT_EQ(Namen(unter), (std::vector<std::string>{"normal", "stick"}));
    EXPECT_EQ(fso->Files(unter[0]).size(), 1u);
    EXPECT_TRUE(fso->Files(unter[1]).empty());
    EXPECT_TRUE(fso->SubFolders(unter[1]).empty());

    // As the root of a walk of its own, the drive is entered.
    auto frisch = ErzeugePosixDateisystem(Laufwerkstabelle(mitStick));
    EXPECT_EQ(frisch->Files(frisch->GetFolder("E:\\")).size(), 1u);
    EXPECT_EQ(frisch->SubFolders(frisch->GetFolder("E:\\")).size(), 1u);
}

TEST_F(SammlungenTest, ARealMountPointIsListedButNotEntered) {
    std::filesystem::create_directories(C("quelle/ram"));
    SchreibeDatei(C("quelle/normal"), "x");
    // In a private mount namespace of a child process, so that nothing outside ever sees the mount.
    const int status = ImKindprozess([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tresor-test", C("quelle/ram").c_str(), "tmpfs", 0, "size=1m") != 0)
            return 125;
        SchreibeDatei(C("quelle/ram/datei"), "x");
        std::filesystem::create_directories(C("quelle/ram/unter"));
        auto eigenes = ErzeugePosixDateisystem(tabelle);
        const auto unter = eigenes->SubFolders(eigenes->GetFolder("C:\\quelle"));
        if (Namen(unter) != std::vector<std::string>{"ram"})
            return 1;
        if (!eigenes->Files(unter[0]).empty() || !eigenes->SubFolders(unter[0]).empty())
            return 2;
        // As a walk's root the mounted file system is entered.
        auto frisch = ErzeugePosixDateisystem(tabelle);
        return frisch->Files(frisch->GetFolder("C:\\quelle\\ram")).size() == 1 ? 0 : 3;
    });
    if (status == 125)
        GTEST_SKIP() << "no permission to mount in a private namespace";
    EXPECT_EQ(status, 0);
}

TEST_F(SammlungenTest, AnExcludedFolderIsNeverListedWhateverPathLeadsToIt) {
    std::filesystem::create_directories(C("quelle/sicherung"));
    std::filesystem::create_directories(C("quelle/daten"));
    std::filesystem::create_directory_symlink(C("quelle/sicherung"), D("verweis"));
    fs->Ausschliessen("D:\\verweis");
    EXPECT_EQ(Namen(fs->SubFolders(fs->GetFolder("C:\\quelle"))), std::vector<std::string>{"daten"});
}

TEST_F(SammlungenTest, MakeDirCreatesOneFolderPrivateOrWithTheDefaultPermissions) {
    const mode_t maske = ::umask(022);
    fs->MakeDir("C:\\standard");
    fs->MakeDir("C:\\privat", Anlage::Privat);
    ::umask(maske);
    EXPECT_EQ(Modus(C("standard")), 0755u);
    EXPECT_EQ(Modus(C("privat")), 0700u);
    EXPECT_THROW(fs->MakeDir("C:\\standard"), FsFehler);
    EXPECT_THROW(fs->MakeDir("C:\\fehlt\\neu"), FsFehler);
    EXPECT_THROW(fs->MakeDir("Q:\\neu"), FsFehler);
}

TEST_F(SammlungenTest, OrdnerAbschliessenGivesTheMirrorTheSourceFoldersBits) {
    std::filesystem::create_directories(C("quelle"));
    SetzeXattr(C("quelle"), "user.DOSATTRIB", "0x16");
    std::filesystem::permissions(C("quelle"), std::filesystem::perms(0550));
    fs->MakeDir("D:\\spiegel", Anlage::Privat);
    SchreibeDatei(D("spiegel/inhalt"), "x");
    fs->OrdnerAbschliessen("C:\\quelle", "D:\\spiegel");
    EXPECT_EQ(Modus(D("spiegel")), 0550u);
    std::filesystem::permissions(D("spiegel"), std::filesystem::perms(0750));
    EXPECT_EQ(fs->Dir("D:\\spiegel", 16), "");
    EXPECT_EQ(fs->Dir("D:\\spiegel", 6), "");
    EXPECT_EQ(fs->Dir("D:\\", 6 | 16), "spiegel");
}

TEST_F(SammlungenTest, SyncFlushesTheFileSystemOfAPathThatNeedNotExistAnyMore) {
    SchreibeDatei(D("x"), "x");
    EXPECT_NO_THROW(fs->Sync("D:\\x"));
    EXPECT_NO_THROW(fs->Sync("D:\\"));
    EXPECT_NO_THROW(fs->Sync("D:\\entfernt\\kopie"));
    EXPECT_THROW(fs->Sync("Q:\\x"), FsFehler);
    // A drive whose folder is gone altogether is not ready.
    auto ohneOrdner = ErzeugePosixDateisystem(Laufwerkstabelle({Laufwerk{'E', (tmp / "weg").string(), {}}}));
    EXPECT_THROW(ohneOrdner->Sync("E:\\x"), FsFehler);
}

// A folder's files come as one list that makes each file object as it is looked at: its path the folder's and
// its name, a backslash of a name on disk in program form, whether the folder holds files alone (whose names the
// list shares with the listing) or folders, a FIFO and links beside them. Their records are asked in any order.
TEST_F(SammlungenTest, AFoldersFilesComeAsAListThatMakesEachFileObjectAsItIsLookedAt) {
    struct Fall {
        const char* ordner;
        bool nurDateien;
    };
    for (const Fall& f : {Fall{"allein", true}, Fall{"gemischt", false}}) {
        SCOPED_TRACE(f.ordner);
        const std::string o = std::string(f.ordner) + "/";
        for (const char* n : {"z", "a\\b", "\xc3\xa4", "B", "m"})
            SchreibeDatei(C(o + n), "x");
        if (!f.nurDateien) {
            std::filesystem::create_directories(C(o + "k"));
            ASSERT_EQ(::mkfifo(C(o + "p").c_str(), 0600), 0);
            std::filesystem::create_symlink("k", C(o + "v"));
        }
        const Ordnerdateien dateien = fs->Files(fs->GetFolder("C:\\" + std::string(f.ordner)));
        const std::vector<std::string> erwartet = f.nurDateien
                                                      ? std::vector<std::string>{"B", "a/b", "m", "z", "\xc3\xa4"}
                                                      : std::vector<std::string>{"B", "a/b", "m", "v", "z", "\xc3\xa4"};
        EXPECT_EQ(Namen(dateien), erwartet);
        ASSERT_EQ(dateien.size(), erwartet.size());
        EXPECT_EQ(dateien[1].Path, "C:\\" + std::string(f.ordner) + "\\a/b");
        // Backwards, against the listing's order: each still found, each file new to the archive.
        for (std::size_t i = dateien.size(); i-- > 0;)
            EXPECT_TRUE(fs->ArchivGesetzt(dateien[i])) << dateien[i].Path;
    }
}

TEST(Namensliste, SortsByBytesAndFindsEachNameAndNoOther) {
    posix::Namensliste liste;
    const std::vector<std::string> namen = {"\xc3\xa4", "b", "", "a", "B", "ab", ".h"};
    for (const std::string& n : namen)
        liste.Hinzu(n);
    const std::vector<std::uint32_t> folge = liste.Sortiere();
    std::vector<std::string> sortiert = namen;
    std::sort(sortiert.begin(), sortiert.end());
    ASSERT_EQ(liste.size(), sortiert.size());
    for (std::size_t i = 0; i < liste.size(); ++i) {
        EXPECT_EQ(liste[i], sortiert[i]);
        EXPECT_EQ(namen[folge[i]], sortiert[i]);
        EXPECT_EQ(std::string(liste.CName(i)), sortiert[i]);
        EXPECT_EQ(liste.Suche(sortiert[i]), i);
    }
    for (const char* fehlt : {"c", "aa", "\xc3", "A", "b\xc3"})
        EXPECT_EQ(liste.Suche(fehlt), liste.size()) << fehlt;
}

} // namespace
} // namespace tresor::test
