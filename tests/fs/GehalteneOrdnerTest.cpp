// The walks from held folders: below the folder a walk began in, and below the backup folder from its creation,
// every path is reached one name at a time from the held descriptor, never through a link.

#include "tests/fs/FsTestbasis.h"

namespace tresor::test {
namespace {

class GehalteneOrdnerTest : public FsTest {};

TEST_F(GehalteneOrdnerTest, ALinkOnTheWayBelowTheSourceFailsEveryCallInsteadOfLeadingOutside) {
    SchreibeDatei(C("quelle/a/b/f"), "eigen");
    SchreibeDatei(C("fremd/b/f"), "fremd");
    (void)fs->GetFolder("C:\\quelle");
    // The folder a is swapped for a link to a tree outside the source, before the walk came to it.
    std::filesystem::rename(C("quelle/a"), C("weg"));
    std::filesystem::create_directory_symlink(C("fremd"), C("quelle/a"));

    EXPECT_THROW((void)fs->GetFolder("C:\\quelle\\a\\b"), FsFehler);
    EXPECT_THROW((void)fs->GetFile("C:\\quelle\\a\\b\\f"), FsFehler);
    EXPECT_EQ(fs->Dir("C:\\quelle\\a\\b\\f", 0), "");
    EXPECT_EQ(fs->Dir("C:\\quelle\\a\\b\\", 16), "");
    EXPECT_THROW((void)fs->Files(Ordner{"C:\\quelle\\a\\b", "b"}), FsFehler);
    EXPECT_THROW(fs->SetFileAttr("C:\\quelle\\a\\b\\f", 0), FsFehler);
    EXPECT_THROW(fs->Copy(Datei{"C:\\quelle\\a\\b\\f", "f"}, "D:\\f"), FsFehler);
    EXPECT_FALSE(std::filesystem::exists(D("f")));
    EXPECT_EQ(::getxattr(C("fremd/b/f").c_str(), "user.tresor-ix.archiv", nullptr, 0), -1);
}

// The calls of restores below a held folder: through a link on the way, or a last name that steps up, none
// reaches the file outside, and none changes it.
TEST_F(GehalteneOrdnerTest, TheCallsOfRestoresNeverLeaveAHeldFolder) {
    SchreibeDatei(C("quelle/a/f"), "eigen");
    SchreibeDatei(C("fremd/f"), "fremd");
    std::filesystem::permissions(C("fremd/f"), std::filesystem::perms(0600));
    (void)fs->GetFolder("C:\\quelle");
    std::filesystem::rename(C("quelle/a"), C("weg"));
    std::filesystem::create_directory_symlink(C("fremd"), C("quelle/a"));
    const auto vorher = ZustandVon(C("fremd/f"));
    const auto obenVorher = ZustandVon(C());
    Eintragsstand offen;
    offen.Modus = 0666;
    struct Fall {
        const char* Name;
        std::function<void()> Ruf;
    };
    const std::vector<Fall> faelle = {
        {"Stand through a link", [&] { EXPECT_FALSE(fs->Stand("C:\\quelle\\a\\f")); }},
        {"SetzeStand through a link", [&] { fs->SetzeStand("C:\\quelle\\a\\f", offen, false); }},
        {"Entferne through a link", [&] { fs->Entferne("C:\\quelle\\a\\f"); }},
        {"Stand of a step up", [&] { (void)fs->Stand("C:\\quelle\\.."); }},
        {"SetzeStand of a step up", [&] { fs->SetzeStand("C:\\quelle\\..", offen, false); }},
        {"Entferne of the held folder itself", [&] { fs->Entferne("C:\\quelle\\."); }},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        try {
            f.Ruf();
        } catch (const FsFehler&) {
        }
        EXPECT_EQ(ZustandVon(C("fremd/f")), vorher);
        EXPECT_EQ(ZustandVon(C()), obenVorher);
    }
    EXPECT_THROW((void)fs->Stand("C:\\quelle\\.."), FsFehler);
    EXPECT_TRUE(fs->Stand("C:\\quelle"));
    EXPECT_TRUE(std::filesystem::exists(C("fremd/f")));
}

// A restored entry gets the owner, bits and time asked for, whatever of them it has already: an owner given
// back clears set-ID bits, which the mode then gives back too.
TEST_F(GehalteneOrdnerTest, SetzeStandGivesOwnerBitsAndTimeWhateverTheEntryHasAlready) {
    struct Fall {
        const char* Name;
        bool Ordner;
        mode_t Vorher;
        uid_t UidVorher;
        mode_t Nachher;
        uid_t UidNachher;
    };
    const Fall faelle[] = {
        {"datei_gleich", false, 0644, 0, 0644, 0},
        {"datei_anders", false, 0600, 0, 0640, 0},
        {"ordner_gleich", true, 0755, 0, 0755, 0},
        {"ordner_anders", true, 0700, 0, 0750, 0},
        {"setuid_gleich", false, 04755, 0, 04755, 0},
        {"setuid_neuer_besitzer", false, 04755, 0, 04755, Niemand},
        {"setgid_ordner_neuer_besitzer", true, 02775, 0, 02775, Niemand},
    };
    const bool verwalter = ::geteuid() == 0;
    (void)fs->GetFolder("C:\\");
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        if (!verwalter && (f.UidVorher != ::geteuid() || f.UidNachher != ::geteuid()))
            continue; // another owner needs root
        const auto eintrag = C(f.Name);
        if (f.Ordner)
            std::filesystem::create_directory(eintrag);
        else
            SchreibeDatei(eintrag, "x");
        ASSERT_EQ(::chown(eintrag.c_str(), f.UidVorher, f.UidVorher), 0);
        ASSERT_EQ(::chmod(eintrag.c_str(), f.Vorher), 0);
        Eintragsstand stand;
        stand.Modus = f.Nachher;
        stand.Uid = f.UidNachher;
        stand.Gid = f.UidNachher;
        stand.MtimeNs = 1'234'567'890'123'456'789;
        fs->SetzeStand(std::string("C:\\") + f.Name, stand, verwalter);
        struct stat st {};
        ASSERT_EQ(::lstat(eintrag.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, f.Nachher);
        EXPECT_EQ(st.st_uid, f.UidNachher);
        EXPECT_EQ(st.st_gid, f.UidNachher);
        EXPECT_EQ(st.st_mtim.tv_sec, 1'234'567'890);
        EXPECT_EQ(st.st_mtim.tv_nsec, 123'456'789);
    }
}

TEST_F(GehalteneOrdnerTest, AFolderHeldBeforeItWasSwappedStaysTheFolderTheCallsGoTo) {
    SchreibeDatei(C("quelle/a/f"), "eigen");
    SchreibeDatei(C("fremd/f"), "fremd");
    (void)fs->GetFolder("C:\\quelle");
    EXPECT_GE(fs->Attributes(fs->GetFile("C:\\quelle\\a\\f")), 32);
    std::filesystem::rename(C("quelle/a"), C("weg"));
    std::filesystem::create_directory_symlink(C("fremd"), C("quelle/a"));
    // The record goes on the file that the held folder holds, which is the attacker's own, never on the other.
    fs->SetFileAttr("C:\\quelle\\a\\f", 0);
    EXPECT_GT(::getxattr(C("weg/f").c_str(), "user.tresor-ix.archiv", nullptr, 0), 0);
    EXPECT_EQ(::getxattr(C("fremd/f").c_str(), "user.tresor-ix.archiv", nullptr, 0), -1);
}

TEST_F(GehalteneOrdnerTest, TheBackupFolderIsHeldFromItsCreationWhateverItsPathNamesLater) {
    std::filesystem::create_directories(D("ziel"));
    std::filesystem::create_directories(D("anderswo"));
    SchreibeDatei(C("q/f"), "inhalt");
    fs->MakeDir("D:\\ziel\\sicherung");
    std::filesystem::rename(D("ziel/sicherung"), D("ziel/weg"));
    std::filesystem::create_directory_symlink(D("anderswo"), D("ziel/sicherung"));

    fs->MakeDir("D:\\ziel\\sicherung\\q", Anlage::Privat);
    fs->Copy(fs->GetFile("C:\\q\\f"), "D:\\ziel\\sicherung\\q\\f");
    fs->OrdnerAbschliessen("C:\\q", "D:\\ziel\\sicherung\\q");
    fs->Sync("D:\\ziel\\sicherung\\q\\f");
    EXPECT_EQ(LiesDatei(D("ziel/weg/q/f")), "inhalt");
    EXPECT_TRUE(std::filesystem::is_empty(D("anderswo")));
    // Made again only where the held folder was removed.
    EXPECT_THROW(fs->MakeDir("D:\\ziel\\sicherung"), FsFehler);
}

TEST_F(GehalteneOrdnerTest, TheRecordIsWrittenOnlyOnTheFileThatWasCopied) {
    SchreibeDatei(C("q/f"), "alt");
    (void)fs->GetFolder("C:\\q");
    const Quellstand stand = fs->Copy(fs->GetFile("C:\\q\\f"), "D:\\f");
    // Replaced by another file of the same name and size between the copy and the clearing of its bit.
    SchreibeDatei(C("q/neu"), "neu");
    std::filesystem::rename(C("q/neu"), C("q/f"));
    fs->SetFileAttr("C:\\q\\f", 0, stand);
    EXPECT_GE(fs->Attributes(fs->GetFile("C:\\q\\f")), 32);
    EXPECT_EQ(::getxattr(C("q/f").c_str(), "user.tresor-ix.archiv", nullptr, 0), -1);
}

} // namespace
} // namespace tresor::test
