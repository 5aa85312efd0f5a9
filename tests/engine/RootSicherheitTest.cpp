// Root backing up other users' trees while one of them attacks: the attacker (uid 65534) swaps folders of his
// own source tree, or the backup folder in a target folder he owns, for symbolic links at each step of the
// run. Nothing outside the source and the backup folder may be read into the backup, written, chmodded or
// marked; owners, set-ID bits, ACLs and private folders come over as the source has them.

#include "tests/engine/Engineumgebung.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace tresor::test {
namespace {

constexpr uid_t Angreifer = 65534;
constexpr uid_t Anna = 4711;
constexpr uid_t Dritter = 4712;
const std::string Name = "Sicherung-2002-02-07--13-42-27";

std::map<std::string, Zustand> Bestand(const std::filesystem::path& wurzel) {
    return BaumVon(wurzel);
}

// Runs a shell command as the attacker; true when it succeeded.
bool AlsAngreifer(const std::string& befehl) {
    const std::string aufruf = "setpriv --reuid=65534 --regid=65534 --clear-groups -- sh -c '" + befehl + "'";
    return std::system(aufruf.c_str()) == 0;
}

// A POSIX ACL in the kernel's extended-attribute form: version 2, then (tag, permissions, id) entries.
std::string Acl(std::initializer_list<std::tuple<std::uint16_t, std::uint16_t, std::uint32_t>> eintraege) {
    std::string wert;
    auto haenge = [&](const void* p, std::size_t n) { wert.append(static_cast<const char*>(p), n); };
    const std::uint32_t version = 2;
    haenge(&version, 4);
    for (const auto& [tag, rechte, id] : eintraege) {
        haenge(&tag, 2);
        haenge(&rechte, 2);
        haenge(&id, 4);
    }
    return wert;
}

class RootSicherheit : public Engineumgebung {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: the run acts as root over other users' trees";
        // The attacker must be able to reach his folders.
        std::filesystem::permissions(temp.Pfad(), std::filesystem::perms(0755));
        std::filesystem::permissions(Posix("C:\\"), std::filesystem::perms(0755));
        std::filesystem::permissions(Posix("D:\\"), std::filesystem::perms(0755));
    }
    void Lauf(const Pfad& quelle, const Pfad& ziel) {
        fenster.quellPfad = quelle;
        fenster.zielPfad = ziel;
        try {
            sicherung.Sichern_Click();
        } catch (const FsFehler&) {
            // A platform error ends the run; what matters here is what it did to the disk.
            abgebrochen = true;
        }
    }
    void Eigentum(const Pfad& pfad, uid_t uid, mode_t modus) {
        ASSERT_EQ(::lchown(Posix(pfad).c_str(), uid, uid), 0);
        if (!std::filesystem::is_symlink(Posix(pfad))) {
            ASSERT_EQ(::chmod(Posix(pfad).c_str(), modus), 0);
        }
    }
    bool abgebrochen = false;
};

// ---- Swaps of the attacker's source tree (a folder becomes a link to another user's home) ----

struct Schritt {
    const char* Name;
    // The record line of the operation before which the swap happens ("" for: after the first copy).
    const char* Zeilenanfang;
};

class QuelleVertauscht : public RootSicherheit, public ::testing::WithParamInterface<Schritt> {};

TEST_P(QuelleVertauscht, NothingOfAnotherUsersHomeIsCopiedOrMarked) {
    // Anna's home: private, her thesis under the same names as the attacker's files.
    for (const char* rel : {"x.txt", "inner\\b.txt", "inner\\c.txt"}) {
        Schreibe(std::string("C:\\home\\anna\\") + rel, std::string("Annas Arbeit, ") + rel);
        Eigentum(std::string("C:\\home\\anna\\") + rel, Anna, 0600);
    }
    Eigentum("C:\\home\\anna\\inner", Anna, 0700);
    Eigentum("C:\\home\\anna", Anna, 0700);
    // The attacker's tree: the same names one level down.
    for (const char* rel : {"a.txt", "sub\\x.txt", "sub\\inner\\b.txt", "sub\\inner\\c.txt"}) {
        Schreibe(std::string("C:\\home\\mallory\\") + rel, "eigenes");
        Eigentum(std::string("C:\\home\\mallory\\") + rel, Angreifer, 0644);
    }
    Eigentum("C:\\home\\mallory\\sub\\inner", Angreifer, 0755);
    Eigentum("C:\\home\\mallory\\sub", Angreifer, 0755);
    Eigentum("C:\\home\\mallory", Angreifer, 0755);
    std::filesystem::create_directories(Posix("D:\\ziel"));
    const auto annaVorher = Bestand(Posix("C:\\home\\anna"));

    const std::string tausch = "mv " + Posix("C:\\home\\mallory\\sub").string() + " " +
                               Posix("C:\\home\\mallory\\weg").string() + " && ln -s " +
                               Posix("C:\\home\\anna").string() + " " + Posix("C:\\home\\mallory\\sub").string();
    bool getauscht = false;
    const std::string anfang = GetParam().Zeilenanfang;
    vorher = [&](const std::string& zeile) {
        if (!getauscht && zeile.starts_with(anfang))
            getauscht = AlsAngreifer(tausch);
    };
    Lauf("C:\\home\\mallory", "D:\\ziel");
    ASSERT_TRUE(getauscht);

    EXPECT_EQ(Bestand(Posix("C:\\home\\anna")), annaVorher) << "another user's files were changed or marked";
    for (const auto& e : std::filesystem::recursive_directory_iterator(Posix("D:\\ziel"))) {
        if (e.is_regular_file()) {
            EXPECT_EQ(LiesDatei(e.path()).find("Annas Arbeit"), std::string::npos) << e.path();
        }
    }
    // Either the run named the attacked entries as not backed up, or it ended with the platform's report.
    EXPECT_TRUE(abgebrochen || sicherung.ausgang == Ausgang::Fehlschlag || sicherung.ausgang == Ausgang::Erfolg);
}

INSTANTIATE_TEST_SUITE_P(Schritte, QuelleVertauscht,
                         ::testing::Values(Schritt{"NachDemSuchlauf", "MakeDir"},
                                           Schritt{"ZwischenKopien", "GetFolder C:\\home\\mallory\\sub\\inner"},
                                           Schritt{"VorDemLoeschenDerArchivbits", "Sync"},
                                           Schritt{"VorDenOrdnerbits", "OrdnerAbschliessen"}),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- Swaps of the backup folder in a target folder the attacker owns ----

class ZielVertauscht : public RootSicherheit, public ::testing::WithParamInterface<Schritt> {};

TEST_P(ZielVertauscht, NothingOutsideTheBackupFolderIsWrittenOrChmodded) {
    // The source: a file named like the stand-in's, folders (0777 ones, whose bits would open the stand-in's),
    // enough files for copies to follow the swap.
    Schreibe("C:\\q\\passwd", "mallory::0:0::/:/bin/sh\n");
    Schreibe("C:\\q\\offen\\z.txt", "z");
    Schreibe("C:\\q\\sub\\x.txt", "x");
    Schreibe("C:\\q\\sub\\y.txt", "y");
    std::filesystem::permissions(Posix("C:\\q"), std::filesystem::perms(0777));
    std::filesystem::permissions(Posix("C:\\q\\sub"), std::filesystem::perms(0777));
    std::filesystem::permissions(Posix("C:\\q\\offen"), std::filesystem::perms(0777));
    // A root-owned stand-in for /etc, with what a run that follows the link would hit.
    Schreibe("D:\\etc\\q\\passwd", "root:x:0:0:root:/root:/bin/bash\n");
    ASSERT_EQ(::lsetxattr(Posix("D:\\etc\\q\\passwd").c_str(), "user.kanarie", "1", 1, 0), 0);
    std::filesystem::create_directories(Posix("D:\\etc\\q\\offen"));
    std::filesystem::permissions(Posix("D:\\etc\\q\\offen"), std::filesystem::perms(0755));
    std::filesystem::permissions(Posix("D:\\etc\\q"), std::filesystem::perms(0755));
    // The target folder is the attacker's.
    std::filesystem::create_directories(Posix("D:\\ziel"));
    Eigentum("D:\\ziel", Angreifer, 0755);
    const auto etcVorher = Bestand(Posix("D:\\etc"));

    const std::string ordner = Posix("D:\\ziel\\" + Name).string();
    const std::string tausch = "mv " + ordner + " " + Posix("D:\\ziel\\weg").string() + " && ln -s " +
                               Posix("D:\\etc").string() + " " + ordner;
    bool getauscht = false;
    const std::string anfang = GetParam().Zeilenanfang;
    if (anfang.empty()) {
        nachKopie = [&](const Datei& d, const Pfad&) {
            if (!getauscht && d.Path.ends_with("offen\\z.txt"))
                getauscht = AlsAngreifer(tausch);
        };
    } else {
        vorher = [&](const std::string& zeile) {
            if (!getauscht && zeile.starts_with(anfang))
                getauscht = AlsAngreifer(tausch);
        };
    }
    Lauf("C:\\q", "D:\\ziel");
    ASSERT_TRUE(getauscht);

    EXPECT_EQ(Bestand(Posix("D:\\etc")), etcVorher) << "the run wrote or chmodded outside its backup folder";
    // What the run wrote went into its own folder, wherever that was moved.
    if (!abgebrochen && sicherung.ausgang == Ausgang::Erfolg) {
        EXPECT_EQ(LiesDatei(Posix("D:\\ziel\\weg\\q\\passwd")), "mallory::0:0::/:/bin/sh\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Schritte, ZielVertauscht,
                         ::testing::Values(Schritt{"NachDemAnlegen", "Ausschliessen"}, Schritt{"ZwischenKopien", ""},
                                           Schritt{"VorDemLoeschenDerArchivbits", "Sync"},
                                           Schritt{"VorDenOrdnerbits", "OrdnerAbschliessen"}),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---- Owners, set-ID bits, ACLs and private ancestors ----

TEST_F(RootSicherheit, TheCopyIsOwnedAndGuardedAsTheSourceAndNobodyReadsMoreInTheBackup) {
    const Pfad docs = "C:\\home\\anna\\Private\\Docs";
    Schreibe(docs + "\\programm", "#!/bin/sh\n");
    Schreibe(docs + "\\gruppenprogramm", "#!/bin/sh\n");
    Schreibe(docs + "\\steuer.txt", "Einkommen");
    Schreibe(docs + "\\gemeinsam\\liste.txt", "Liste");
    Schreibe(docs + "\\offen\\zettel.txt", "Zettel");
    Eigentum(docs + "\\programm", Anna, 04755);
    Eigentum(docs + "\\gruppenprogramm", Anna, 02755);
    Eigentum(docs + "\\steuer.txt", Anna, 0644);
    Eigentum(docs + "\\gemeinsam\\liste.txt", Anna, 0644);
    Eigentum(docs + "\\offen\\zettel.txt", Anna, 0644);
    Eigentum(docs + "\\gemeinsam", Anna, 02775);
    Eigentum(docs + "\\offen", Anna, 0777);
    Eigentum(docs, Anna, 0755);
    Eigentum("C:\\home\\anna\\Private", Anna, 0750);
    Eigentum("C:\\home\\anna", Anna, 0700);
    // An ACL that denies one user what everyone else may: the file is readable by others, not by him.
    const std::string acl = Acl({{0x01, 6, ~0u}, {0x02, 0, Dritter}, {0x04, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 4, ~0u}});
    if (::lsetxattr(Posix(docs + "\\steuer.txt").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "the temporary folder's file system holds no ACLs";
    std::filesystem::create_directories(Posix("D:\\ziel"));

    Lauf(docs, "D:\\ziel");
    ASSERT_FALSE(abgebrochen);
    ASSERT_EQ(sicherung.ausgang, Ausgang::Erfolg);

    const Pfad sicherung = "D:\\ziel\\" + Name;
    // Every mirrored folder and copy has the source's owner, group and bits, set-ID bits among them.
    for (const char* rel : {"\\home", "\\home\\anna", "\\home\\anna\\Private", "\\home\\anna\\Private\\Docs",
                            "\\home\\anna\\Private\\Docs\\programm", "\\home\\anna\\Private\\Docs\\gruppenprogramm",
                            "\\home\\anna\\Private\\Docs\\steuer.txt", "\\home\\anna\\Private\\Docs\\gemeinsam",
                            "\\home\\anna\\Private\\Docs\\gemeinsam\\liste.txt", "\\home\\anna\\Private\\Docs\\offen",
                            "\\home\\anna\\Private\\Docs\\offen\\zettel.txt"}) {
        struct stat q {
        }, k{};
        ASSERT_EQ(::lstat(Posix(std::string("C:") + rel).c_str(), &q), 0) << rel;
        ASSERT_EQ(::lstat(Posix(sicherung + rel).c_str(), &k), 0) << rel;
        EXPECT_EQ(k.st_mode, q.st_mode) << rel;
        EXPECT_EQ(k.st_uid, q.st_uid) << rel;
        EXPECT_EQ(k.st_gid, q.st_gid) << rel;
    }
    EXPECT_EQ(
        ZustandVon(Posix(sicherung + "\\home\\anna\\Private\\Docs\\steuer.txt")).Xattrs["system.posix_acl_access"],
        ZustandVon(Posix(docs + "\\steuer.txt")).Xattrs["system.posix_acl_access"]);
    EXPECT_FALSE(ZustandVon(Posix(docs + "\\steuer.txt")).Xattrs["system.posix_acl_access"].empty());
    // Nobody reads more in the backup than in the source.
    for (const char* rel :
         {"\\home\\anna\\Private\\Docs\\steuer.txt", "\\home\\anna\\Private\\Docs\\offen\\zettel.txt"}) {
        const bool quelle = AlsAngreifer("cat " + Posix(std::string("C:") + rel).string() + " >/dev/null 2>&1");
        const bool kopie = AlsAngreifer("cat " + Posix(sicherung + rel).string() + " >/dev/null 2>&1");
        EXPECT_FALSE(quelle) << rel;
        EXPECT_FALSE(kopie) << rel;
    }
    // The copy of a set-user-ID program never runs with root's rights: it is Anna's, as the source.
    struct stat p {};
    ASSERT_EQ(::stat(Posix(sicherung + "\\home\\anna\\Private\\Docs\\programm").c_str(), &p), 0);
    EXPECT_NE(p.st_uid, 0u);
}

TEST_F(RootSicherheit, AUserCopyingAnotherUsersSetIdProgramGetsItWithoutTheSetIdBits) {
    Schreibe("C:\\q\\programm", "#!/bin/sh\n");
    Eigentum("C:\\q\\programm", Anna, 06755);
    std::filesystem::create_directories(Posix("D:\\frei"));
    std::filesystem::permissions(Posix("D:\\frei"), std::filesystem::perms(0777));
    const pid_t kind = ::fork();
    ASSERT_GE(kind, 0);
    if (kind == 0) {
        // The copy made by an ordinary user.
        if (::setgroups(0, nullptr) != 0 || ::setresgid(Angreifer, Angreifer, Angreifer) != 0 ||
            ::setresuid(Angreifer, Angreifer, Angreifer) != 0)
            ::_exit(2);
        try {
            auto fs = ErzeugePosixDateisystem(laufwerke);
            fs->Copy(fs->GetFile("C:\\q\\programm"), "D:\\frei\\programm");
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(kind, &status, 0), kind);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    ASSERT_EQ(::stat(Posix("D:\\frei\\programm").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, Angreifer);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

} // namespace
} // namespace tresor::test
