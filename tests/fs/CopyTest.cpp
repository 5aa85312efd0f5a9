#include "tests/fs/FsTestbasis.h"

#include "fs/system/Inhaltssumme.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tresor::test {
namespace {

class CopyTest : public FsTest {
protected:
    void SetUp() override { std::filesystem::create_directories(D("ziel")); }

    static struct stat Stat(const std::filesystem::path& p) {
        struct stat st {};
        EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
        return st;
    }
    // Names in the destination folder other than the expected ones: leftovers of a temporary file.
    std::vector<std::string> Inhalt(const std::filesystem::path& ordner) const {
        std::vector<std::string> namen;
        for (const auto& e : std::filesystem::directory_iterator(ordner))
            namen.push_back(e.path().filename().string());
        std::sort(namen.begin(), namen.end());
        return namen;
    }
};

TEST_F(CopyTest, CarriesContentModificationTimeAndPermissionBits) {
    const auto quelle = C("brief.txt");
    SchreibeDatei(quelle, "Sehr geehrte Damen und Herren");
    std::filesystem::permissions(quelle, std::filesystem::perms(0750));
    const struct timespec zeiten[2] = {{UTIME_OMIT, UTIME_OMIT}, {1234567890, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, quelle.c_str(), zeiten, 0), 0);

    const Quellstand stand = fs->Copy(fs->GetFile("C:\\brief.txt"), "D:\\ziel\\brief.txt");

    const auto kopie = D("ziel/brief.txt");
    EXPECT_EQ(LiesDatei(kopie), "Sehr geehrte Damen und Herren");
    const struct stat kst = Stat(kopie);
    EXPECT_EQ(kst.st_mtim.tv_sec, 1234567890);
    EXPECT_EQ(kst.st_mtim.tv_nsec, 987654321);
    EXPECT_EQ(kst.st_mode & 07777, 0750u);
    const struct stat qst = Stat(quelle);
    EXPECT_TRUE(stand.Gueltig);
    EXPECT_EQ(stand.Inode, qst.st_ino);
    EXPECT_EQ(stand.Groesse, 29);
    EXPECT_EQ(stand.MtimeNs, 1234567890LL * 1000000000 + 987654321);
    EXPECT_EQ(Inhalt(D("ziel")), std::vector<std::string>{"brief.txt"});
}

TEST_F(CopyTest, CarriesReadOnlyHiddenAndSystemButNeverTheArchiveRecord) {
    const auto quelle = C("akte");
    SchreibeDatei(quelle, "x");
    fs->SetFileAttr("C:\\akte", attr::Schreibgeschuetzt | attr::Versteckt | attr::System);
    ASSERT_EQ(fs->Attributes(fs->GetFile("C:\\akte")), attr::Schreibgeschuetzt | attr::Versteckt | attr::System);

    (void)fs->Copy(fs->GetFile("C:\\akte"), "D:\\ziel\\akte");

    EXPECT_EQ(fs->Attributes(fs->GetFile("D:\\ziel\\akte")),
              attr::Schreibgeschuetzt | attr::Versteckt | attr::System | attr::Archiv);
    EXPECT_FALSE(Xattr(D("ziel/akte"), "user.tresor-ix.archiv").has_value());
    EXPECT_EQ(Stat(D("ziel/akte")).st_mode & 0222, 0u);
}

TEST_F(CopyTest, ADotNameCarriesHiddenWithoutAnExtendedAttribute) {
    SchreibeDatei(C(".profil"), "x");
    (void)fs->Copy(fs->GetFile("C:\\.profil"), "D:\\ziel\\.profil");
    EXPECT_EQ(fs->Attributes(fs->GetFile("D:\\ziel\\.profil")), attr::Versteckt | attr::Archiv);
    EXPECT_FALSE(Xattr(D("ziel/.profil"), "user.DOSATTRIB").has_value());
    // Under a name without the dot, the copy keeps hidden through the extended attribute.
    (void)fs->Copy(fs->GetFile("C:\\.profil"), "D:\\ziel\\profil");
    EXPECT_EQ(fs->Attributes(fs->GetFile("D:\\ziel\\profil")), attr::Versteckt | attr::Archiv);
}

TEST_F(CopyTest, ReplacesAnExistingLongerReadOnlyDestination) {
    SchreibeDatei(C("neu"), "kurz");
    SchreibeDatei(D("ziel/neu"), "ein viel laengerer alter Inhalt");
    std::filesystem::permissions(D("ziel/neu"), std::filesystem::perms(0444));
    (void)fs->Copy(fs->GetFile("C:\\neu"), "D:\\ziel\\neu");
    EXPECT_EQ(LiesDatei(D("ziel/neu")), "kurz");
    EXPECT_EQ(Stat(D("ziel/neu")).st_mode & 07777, Stat(C("neu")).st_mode & 07777);
}

TEST_F(CopyTest, KeepsHolesOfSparseFiles) {
    const auto quelle = C("duenn");
    {
        const int fd = ::open(quelle.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "anfang", 6, 0), 6);
        ASSERT_EQ(::pwrite(fd, "mitte", 5, 32 << 20), 5);
        ASSERT_EQ(::ftruncate(fd, 64 << 20), 0); // ends in a hole
        ::close(fd);
    }
    (void)fs->Copy(fs->GetFile("C:\\duenn"), "D:\\ziel\\duenn");
    const auto kopie = D("ziel/duenn");
    const struct stat kst = Stat(kopie);
    EXPECT_EQ(kst.st_size, 64 << 20);
    EXPECT_LT(kst.st_blocks * 512, 1 << 20) << "holes were written out";
    EXPECT_EQ(LiesDatei(kopie), LiesDatei(quelle));
}

// The copy's checksum is that of the very bytes a reader of the copy gets, holes read as zeros, whatever the
// pieces and holes it was copied in; the summing itself gives one answer for one content in any pieces.
TEST_F(CopyTest, GivesTheChecksumOfTheContentItCopied) {
    struct Stueck {
        off_t ab;
        std::string text;
    };
    struct Fall {
        const char* name;
        std::vector<Stueck> stuecke;
        off_t groesse;
    };
    std::string bunt(5 * (1 << 20) + 123, '\0');
    for (std::size_t i = 0; i < bunt.size(); ++i)
        bunt[i] = static_cast<char>(i * 7 + i / 4099);
    const std::vector<Fall> faelle = {
        {"empty", {}, 0},
        {"small", {{0, "Sehr geehrte Damen und Herren"}}, 29},
        {"several pieces of a mebibyte", {{0, bunt}}, static_cast<off_t>(bunt.size())},
        {"holes inside and at the end", {{0, "anfang"}, {8 << 20, "mitte"}}, 16 << 20},
        {"a hole at the start", {{4 << 20, "spaet"}}, (4 << 20) + 5},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.name);
        const auto quelle = C(f.name);
        const int fd = ::open(quelle.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        for (const Stueck& st : f.stuecke)
            ASSERT_EQ(::pwrite(fd, st.text.data(), st.text.size(), st.ab), static_cast<ssize_t>(st.text.size()));
        ASSERT_EQ(::ftruncate(fd, f.groesse), 0);
        ::close(fd);
        const Quellstand stand =
            fs->Copy(fs->GetFile(std::string("C:\\") + f.name), std::string("D:\\ziel\\") + f.name);
        const std::string inhalt = LiesDatei(D("ziel") / f.name);
        ASSERT_EQ(inhalt, LiesDatei(quelle));
        Summierer ganz;
        ganz.Dazu(inhalt.data(), inhalt.size());
        ASSERT_TRUE(stand.Inhalt.has_value());
        EXPECT_EQ(*stand.Inhalt, ganz.Summe());
        // The same content summed in other pieces, its zeros as a hole.
        Summierer stueckweise;
        std::size_t pos = 0;
        for (std::size_t laenge = 1; pos < inhalt.size(); laenge = laenge * 3 + 1) {
            const std::size_t n = std::min(laenge, inhalt.size() - pos);
            if (std::all_of(inhalt.begin() + static_cast<std::ptrdiff_t>(pos),
                            inhalt.begin() + static_cast<std::ptrdiff_t>(pos + n), [](char c) { return c == 0; }))
                stueckweise.Nullen(n);
            else
                stueckweise.Dazu(inhalt.data() + pos, n);
            pos += n;
        }
        EXPECT_EQ(stueckweise.Summe(), ganz.Summe());
        EXPECT_EQ(LiesInhaltssumme(InhaltssummeText(ganz.Summe())), ganz.Summe());
    }
    // Another content, another checksum; the text form takes nothing but its own 32 digits.
    Summierer a, b;
    a.Dazu("a", 1);
    b.Dazu("b", 1);
    EXPECT_NE(a.Summe(), b.Summe());
    for (const std::string& text :
         {std::string(31, '0'), std::string(33, '0'), std::string(32, 'A'), std::string(32, 'g')})
        EXPECT_EQ(LiesInhaltssumme(text), std::nullopt) << text;
}

TEST_F(CopyTest, AFailureInTheMiddleLeavesTheDestinationAsItWas) {
    SchreibeDatei(C("gross"), std::string(1 << 20, 'x'));
    SchreibeDatei(D("ziel/gross"), "alt");
    // A file size limit lets the copy start and fail after 64 KiB.
    const int status = ImKindprozess([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit grenze { 64 << 10, 64 << 10 };
        if (::setrlimit(RLIMIT_FSIZE, &grenze) != 0)
            return 3;
        auto eigenes = ErzeugePosixDateisystem(tabelle);
        try {
            (void)eigenes->Copy(eigenes->GetFile("C:\\gross"), "D:\\ziel\\gross");
            (void)eigenes->Copy(eigenes->GetFile("C:\\gross"), "D:\\ziel\\neu");
        } catch (const FsFehler& f) {
            return f.Operation() == "Copy" && f.Path() == "D:\\ziel\\gross" ? 0 : 2;
        }
        return 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(LiesDatei(D("ziel/gross")), "alt");
    EXPECT_EQ(Inhalt(D("ziel")), std::vector<std::string>{"gross"});
}

// A large copy reports its progress in pieces of at most a mebibyte, with the bytes copied so far and the
// file's size, ending with the whole file; a sparse file counts its holes as it passes them.
TEST_F(CopyTest, ReportsItsProgressPieceByPiece) {
    std::string inhalt(5 * (1 << 20) + 123, '\0');
    for (std::size_t i = 0; i < inhalt.size(); ++i)
        inhalt[i] = static_cast<char>(i * 7 + i / 4099);
    SchreibeDatei(C("gross"), inhalt);
    std::vector<std::uint64_t> stand;
    (void)fs->Copy(fs->GetFile("C:\\gross"), "D:\\ziel\\gross", [&](std::uint64_t kopiert, std::uint64_t groesse) {
        EXPECT_EQ(groesse, inhalt.size());
        stand.push_back(kopiert);
    });
    ASSERT_GE(stand.size(), 6u);
    EXPECT_EQ(stand.back(), inhalt.size());
    for (std::size_t i = 0; i < stand.size(); ++i)
        EXPECT_LE(stand[i] - (i == 0 ? 0 : stand[i - 1]), std::uint64_t{1} << 20) << i;
    EXPECT_TRUE(LiesDatei(D("ziel/gross")) == inhalt);
}

// The caller stops a copy by throwing from its progress callback: the exception passes out of Copy as it was
// thrown, the temporary file is gone, and a file of the destination's name keeps its old content.
TEST_F(CopyTest, AStopFromTheProgressCallbackLeavesTheDestinationAsItWas) {
    struct Halt {};
    SchreibeDatei(C("gross"), std::string(4 << 20, 'x'));
    SchreibeDatei(C("neu"), std::string(4 << 20, 'y'));
    SchreibeDatei(D("ziel/gross"), "alt");
    for (const char* name : {"gross", "neu"}) {
        SCOPED_TRACE(name);
        int stuecke = 0;
        EXPECT_THROW((void)fs->Copy(fs->GetFile(std::string("C:\\") + name), std::string("D:\\ziel\\") + name,
                                    [&](std::uint64_t, std::uint64_t) {
                                        if (++stuecke == 2)
                                            throw Halt{};
                                    }),
                     Halt);
        EXPECT_EQ(stuecke, 2);
    }
    EXPECT_EQ(LiesDatei(D("ziel/gross")), "alt");
    EXPECT_EQ(Inhalt(D("ziel")), std::vector<std::string>{"gross"});
}

TEST_F(CopyTest, AnUnreadableSourceFailsWithoutCreatingTheDestination) {
    FuerAlleBegehbar();
    std::filesystem::permissions(D("ziel"), std::filesystem::perms(0777));
    SchreibeDatei(C("geheim"), "x");
    std::filesystem::permissions(C("geheim"), std::filesystem::perms(0600)); // root's own
    const auto status = AlsNiemand([&] {
        auto eigenes = ErzeugePosixDateisystem(tabelle);
        try {
            (void)eigenes->Copy(eigenes->GetFile("C:\\geheim"), "D:\\ziel\\geheim");
        } catch (const FsFehler& f) {
            return f.Path() == "C:\\geheim" && f.Ursache().value() == EACCES ? 0 : 2;
        }
        return 1;
    });
    if (!status)
        GTEST_SKIP() << "needs root to run the subject as another user";
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(Inhalt(D("ziel")).empty());
}

TEST_F(CopyTest, ADestinationFolderWithoutWritePermissionFailsCleanly) {
    FuerAlleBegehbar();
    SchreibeDatei(C("brief"), "x");
    std::filesystem::permissions(C("brief"), std::filesystem::perms(0644));
    std::filesystem::permissions(D("ziel"), std::filesystem::perms(0755)); // root's folder
    const auto status = AlsNiemand([&] {
        auto eigenes = ErzeugePosixDateisystem(tabelle);
        try {
            (void)eigenes->Copy(eigenes->GetFile("C:\\brief"), "D:\\ziel\\brief");
        } catch (const FsFehler& f) {
            return f.Path() == "D:\\ziel\\brief" && f.Ursache().value() == EACCES ? 0 : 2;
        }
        return 1;
    });
    if (!status)
        GTEST_SKIP() << "needs root to run the subject as another user";
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(Inhalt(D("ziel")).empty());
}

// The ACL of a folder or file as its extended attribute holds it: the owner rwx, user 65534 rwx, the owning
// group r-x, the mask rwx, others r-x.
std::string Acl() {
    std::string wert;
    auto zahl = [&](std::uint32_t z, int bytes) {
        for (int i = 0; i < bytes; ++i)
            wert.push_back(static_cast<char>((z >> (8 * i)) & 0xff));
    };
    zahl(2, 4); // version
    const std::uint32_t eintraege[][3] = {
        {0x01, 7, ~0U}, {0x02, 7, Niemand}, {0x04, 5, ~0U}, {0x10, 7, ~0U}, {0x20, 5, ~0U}};
    for (const auto& e : eintraege) {
        zahl(e[0], 2);
        zahl(e[1], 2);
        zahl(e[2], 4);
    }
    return wert;
}

// The copy's owner, group and ACL are the source's, whatever the copy got from its folder when it was made: a
// group from a set-group-ID folder, an ACL from the folder's default ACL.
TEST_F(CopyTest, CarriesOwnerGroupAndAclWhateverItsFolderGaveIt) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give files other owners";
    struct Fall {
        const char* Name;
        uid_t Uid;
        gid_t Gid;
        bool OrdnerGruppe;   // the destination folder set-group-ID, of group 65534
        bool OrdnerStandard; // the destination folder with a default ACL
        bool QuelleAcl;      // the source with an ACL of its own
    };
    const Fall faelle[] = {
        {"wurzel", 0, 0, false, false, false},           {"niemand", Niemand, Niemand, false, false, false},
        {"gruppe_vom_ordner", 0, 0, true, false, false}, {"acl_vom_ordner", 0, 0, false, true, false},
        {"eigene_acl", 0, 0, false, true, true},
    };
    for (const auto& f : faelle) {
        SCOPED_TRACE(f.Name);
        const auto ordner = D(f.Name);
        std::filesystem::create_directories(ordner);
        if (f.OrdnerGruppe) {
            ASSERT_EQ(::chown(ordner.c_str(), 0, Niemand), 0);
            ASSERT_EQ(::chmod(ordner.c_str(), 02755), 0);
        }
        const std::string acl = Acl();
        if (f.OrdnerStandard && ::setxattr(ordner.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0) != 0)
            GTEST_SKIP() << "no ACLs here: " << std::strerror(errno);
        const auto quelle = C(f.Name);
        SchreibeDatei(quelle, f.Name);
        ASSERT_EQ(::chown(quelle.c_str(), f.Uid, f.Gid), 0);
        ASSERT_EQ(::chmod(quelle.c_str(), 0640), 0);
        if (f.QuelleAcl)
            SetzeXattr(quelle, "system.posix_acl_access", acl);

        (void)fs->Copy(fs->GetFile(std::string("C:\\") + f.Name), std::string("D:\\") + f.Name + "\\kopie");

        const struct stat st = Stat(ordner / "kopie");
        EXPECT_EQ(st.st_uid, f.Uid);
        EXPECT_EQ(st.st_gid, f.Gid);
        EXPECT_EQ(Xattr(ordner / "kopie", "system.posix_acl_access").has_value(), f.QuelleAcl);
        if (!f.QuelleAcl) {
            EXPECT_EQ(st.st_mode & 07777, 0640u);
        }
        EXPECT_EQ(LiesDatei(ordner / "kopie"), f.Name);
    }
}

// The source's hidden and system bits and its ACL reach the copy whatever else its attributes hold: a listing that
// does not fit its buffer, an archive record beside them, none of them at all. The destination folder has no
// default ACL, so the source alone tells whether the copy gets one.
TEST_F(CopyTest, CarriesDosBitsAndAclWhateverElseTheSourcesAttributesHold) {
    struct Fall {
        const char* Name;
        int Bits;     // user.DOSATTRIB of the source, 0 for none
        int Weitere;  // further user attributes of 60-byte names
        bool Vermerk; // the source marked as backed up first
        bool QuelleAcl;
    };
    const Fall faelle[] = {
        {"nichts", 0, 0, false, false},
        {"nur_dos", attr::Versteckt | attr::System, 0, false, false},
        {"dos_hinter_langer_liste", attr::System, 30, false, false},
        {"acl_hinter_langer_liste", 0, 30, false, true},
        {"vermerk_und_dos", attr::Versteckt, 0, true, false},
        {"nur_acl", 0, 0, false, true},
        {"vermerk_und_acl", 0, 0, true, true},
    };
    for (const auto& f : faelle) {
        SCOPED_TRACE(f.Name);
        const auto quelle = C(f.Name);
        SchreibeDatei(quelle, f.Name);
        ASSERT_EQ(::chmod(quelle.c_str(), 0640), 0);
        for (int i = 0; i < f.Weitere; ++i) {
            char name[80];
            (void)std::snprintf(name, sizeof name, "user.weiteres-attribut-mit-einem-langen-namen-%014d", i);
            SetzeXattr(quelle, name, "x");
        }
        if (f.Bits != 0)
            SetzeDosattrib(quelle, f.Bits);
        if (f.QuelleAcl)
            SetzeXattr(quelle, "system.posix_acl_access", Acl());
        if (f.Vermerk) {
            auto frueher = ErzeugePosixDateisystem(tabelle);
            frueher->SetFileAttr(std::string("C:\\") + f.Name, f.Bits);
            frueher->Festschreiben();
        }

        (void)fs->Copy(fs->GetFile(std::string("C:\\") + f.Name), std::string("D:\\ziel\\") + f.Name);

        const auto kopie = D(std::string("ziel/") + f.Name);
        EXPECT_EQ(fs->Attributes(fs->GetFile(std::string("D:\\ziel\\") + f.Name)), f.Bits | attr::Archiv);
        EXPECT_EQ(Xattr(kopie, "system.posix_acl_access").has_value(), f.QuelleAcl);
        EXPECT_FALSE(Xattr(kopie, "user.tresor-ix.archiv").has_value());
        EXPECT_EQ(LiesDatei(kopie), f.Name);
    }
}

// The copy has the source's permission bits whatever the umask takes from new files, and a read-only source
// keeps its hidden and system bits, which are written while the copy can still be written: also for a user
// without privileges, who needs the write permission for that.
TEST_F(CopyTest, CarriesThePermissionBitsWhateverTheUmask) {
    struct Fall {
        const char* Name;
        mode_t Modus;
        mode_t Umask;
        int Bits; // the source's hidden and system bits
        bool AlsNiemand;
    };
    const Fall faelle[] = {
        {"gewoehnlich", 0644, 022, 0, false},
        {"umask_nimmt_schreibrecht", 0666, 022, 0, false},
        {"umask_nimmt_alles", 0755, 077, 0, false},
        {"privat", 0600, 0, 0, false},
        {"nur_lesbar_versteckt", 0444, 022, attr::Versteckt | attr::System, false},
        {"setuid", 04755, 022, 0, false},
        {"klebrig", 01640, 0, 0, false},
        {"niemand_nur_lesbar", 0444, 022, attr::Versteckt | attr::System, true},
        {"niemand_umask", 0664, 027, 0, true},
    };
    FuerAlleBegehbar();
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        if (f.AlsNiemand && ::geteuid() != 0)
            continue; // a plain user runs the rows above as himself
        const auto quelle = C(f.Name);
        SchreibeDatei(quelle, f.Name);
        if (f.Bits != 0)
            fs->SetFileAttr(std::string("C:\\") + f.Name, f.Bits);
        ASSERT_EQ(::chmod(quelle.c_str(), f.Modus), 0);
        std::filesystem::create_directories(D(f.Name));
        if (f.AlsNiemand) {
            ASSERT_EQ(::chown(D(f.Name).c_str(), Niemand, Niemand), 0);
        }
        const Pfad ziel = std::string("D:\\") + f.Name + "\\kopie";
        const mode_t alt = ::umask(f.Umask);
        if (f.AlsNiemand) {
            const auto status = AlsNiemand([&] {
                (void)fs->Copy(fs->GetFile(std::string("C:\\") + f.Name), ziel);
                return 0;
            });
            EXPECT_EQ(status.value_or(0), 0);
        } else {
            (void)fs->Copy(fs->GetFile(std::string("C:\\") + f.Name), ziel);
        }
        (void)::umask(alt);
        const auto kopie = D(std::string(f.Name) + "/kopie");
        EXPECT_EQ(LiesDatei(kopie), f.Name);
        EXPECT_EQ(Modus(kopie), f.Modus);
        const int schreibschutz = (f.Modus & S_IWUSR) == 0 ? attr::Schreibgeschuetzt : 0;
        EXPECT_EQ(fs->Attributes(fs->GetFile(ziel)), f.Bits | schreibschutz | attr::Archiv);
    }
}

TEST_F(CopyTest, NeverOpensAFifo) {
    ASSERT_EQ(::mkfifo(C("rohr").c_str(), 0644), 0);
    EXPECT_THROW((void)fs->GetFile("C:\\rohr"), FsFehler);
    // Even given as a file object, the copy refuses at once instead of waiting for a writer.
    EXPECT_THROW((void)fs->Copy(Datei{"C:\\rohr", "rohr"}, "D:\\ziel\\rohr"), FsFehler);
    EXPECT_TRUE(Inhalt(D("ziel")).empty());
}

TEST_F(CopyTest, NeverFollowsASymbolicLink) {
    SchreibeDatei(C("echt"), "x");
    std::filesystem::create_symlink(C("echt"), C("verweis"));
    // The link is copied as the same link; the file it points to is not read.
    (void)fs->Copy(Datei{"C:\\verweis", "verweis"}, "D:\\ziel\\verweis");
    EXPECT_EQ(Inhalt(D("ziel")), std::vector<std::string>{"verweis"});
    EXPECT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(D("ziel/verweis"))));
    EXPECT_EQ(std::filesystem::read_symlink(D("ziel/verweis")), C("echt"));
}

} // namespace
} // namespace tresor::test
