// Root restoring from a target that another user can write: the attacker (uid 65534) owns the target folder
// and the folder that the restore folder lies in, forges records (their trailer is no signature), plants
// links, FIFOs and devices, and swaps the restore folder for a link at each step. A root-owned canary must
// stay exactly as it was, nothing restored may give the attacker what he could not read before, no owner or
// set-ID bit is taken on a record's word, and restore and check end with a clear report.
#include "app/Befehlszeile.h"
#include "engine/bestand/Bestandsformat.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Dateisystemhuelle.h"
#include "tests/Testhilfen.h"
#include "tests/cli/Aufruf.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t Angreifer = 65534;
const std::string Echt = "Sicherung-2026-03-14--09-00-01";   // root's genuine backup
const std::string Falsch = "Sicherung-2026-03-14--09-00-05"; // the attacker's, newer
const std::string Geheim = "GEHEIM: nur für root";

class Uhr1 : public Uhr {
public:
    Datum Date() override { return {2026, 3, 14}; }
    Zeit Time() override { return {9, 0, 1}; }
};

// Runs a shell command as the attacker; its standard output.
std::string AlsAngreifer(const std::string& befehl) {
    const std::string aufruf =
        "setpriv --reuid=65534 --regid=65534 --clear-groups -- sh -c '" + befehl + "' 2>/dev/null";
    std::string aus;
    if (FILE* p = ::popen(aufruf.c_str(), "r")) {
        char puffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(puffer, 1, sizeof puffer, p)) > 0)
            aus.append(puffer, n);
        ::pclose(p);
    }
    return aus;
}

class FeindlicheSicherungen : public ::testing::Test {
public:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: root restores while another user attacks";
        laufwerke = TestLaufwerke(temp);
        fs::permissions(temp.Pfad(), fs::perms(0755));
        fs::create_directories(Q());
        fs::create_directories(Ziel());
        fs::permissions(temp / "C", fs::perms(0755));
        fs::permissions(temp / "D", fs::perms(0755));
        // The canary: a root-only file where the attacker's links point.
        fs::create_directories(temp / "geheim" / "Daten");
        SchreibeDatei(temp / "geheim" / "Daten" / "shadow", Geheim);
        fs::permissions(temp / "geheim" / "Daten" / "shadow", fs::perms(0600));
        fs::permissions(temp / "geheim", fs::perms(0700));
        kanarienvogel = BaumVon(temp / "geheim");
        // The source and root's genuine backup of it; then the attacker gets the target folder.
        SchreibeDatei(Q() / "a.txt", "aaa");
        SchreibeDatei(Q() / "privat.txt", "nur root");
        fs::permissions(Q() / "privat.txt", fs::perms(0600));
        SchreibeDatei(Q() / "programm", "#!/bin/sh\nid -u\n");
        fs::permissions(Q() / "programm", fs::perms(04755));
        fs::create_directories(Q() / "sub");
        SchreibeDatei(Q() / "sub" / "b.txt", "bbb");
        ASSERT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}), 0) << fehler.str();
        ASSERT_TRUE(fs::is_directory(Ziel() / Echt));
        ASSERT_EQ(::chown(Ziel().c_str(), Angreifer, Angreifer), 0);
        // The folder the restore folder lies in is the attacker's too.
        fs::create_directories(Offen());
        ASSERT_EQ(::chown(Offen().c_str(), Angreifer, Angreifer), 0);
    }
    void TearDown() override {
        if (::geteuid() != 0)
            return;
        EXPECT_EQ(BaumVon(temp / "geheim"), kanarienvogel) << "the canary changed";
    }

    int Rufe(std::vector<std::string> argumente, Dateisystemfabrik fabrik = {}) {
        return RufeBefehlszeile(argumente, aus, fehler, laufwerke, uhr, temp / "C", std::move(fabrik));
    }
    int Wiederherstellen(const fs::path& nach, Dateisystemfabrik fabrik = {}) {
        return Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", nach.string()},
                    std::move(fabrik));
    }
    int Pruefen() { return Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten"}); }

    // A backup folder of the attacker's with a record that names the source both ways, its trailer right.
    // `eintraege` follow the source folder's own entry.
    void Faelsche(const std::vector<Bestandseintrag>& eintraege, const std::string& quelle = "C:\\Daten") {
        const fs::path ordner = Ziel() / Falsch;
        fs::create_directories(ordner / "Daten");
        Bestand b;
        b.Ordner = Falsch;
        b.Quelle = quelle;
        b.QuellePosix = Q().string();
        b.Zeit = Falsch.substr(10);
        Bestandseintrag wurzel;
        wurzel.Art = Eintragsart::Ordner;
        wurzel.Ort = "-";
        wurzel.Modus = 0755;
        wurzel.Uid = Angreifer;
        wurzel.Gid = Angreifer;
        wurzel.Pfad = ".";
        b.Eintraege.push_back(wurzel);
        b.Eintraege.insert(b.Eintraege.end(), eintraege.begin(), eintraege.end());
        SchreibeDatei(ordner / "tresor-ix-bestand.txt", SchreibeBestand(b));
        Verschenke(ordner);
    }
    // Everything below `p` becomes the attacker's, as if he had made it.
    static void Verschenke(const fs::path& p) {
        ASSERT_EQ(::lchown(p.c_str(), Angreifer, Angreifer), 0);
        if (fs::is_directory(fs::symlink_status(p))) {
            for (const auto& e : fs::recursive_directory_iterator(p))
                ASSERT_EQ(::lchown(e.path().c_str(), Angreifer, Angreifer), 0);
        }
    }
    static Bestandseintrag Eintrag(Eintragsart art, const std::string& ort, std::int64_t groesse, std::uint32_t modus,
                                   std::uint32_t uid, const std::string& pfad, const std::string& ziel = {}) {
        Bestandseintrag e;
        e.Art = art;
        e.Ort = art == Eintragsart::Ordner ? "-" : ort;
        e.Groesse = groesse;
        e.MtimeNs = 1'700'000'000'000'000'000;
        e.Modus = modus;
        e.Uid = uid;
        e.Gid = uid;
        e.Pfad = pfad;
        e.Verweisziel = ziel;
        return e;
    }
    // Whether a file of the restored tree holds the canary's content, or the attacker can read it there.
    void KeinGeheimnisIn(const fs::path& nach) {
        if (!fs::exists(fs::symlink_status(nach)))
            return;
        for (const auto& e : fs::recursive_directory_iterator(nach)) {
            if (fs::is_symlink(e.symlink_status())) {
                EXPECT_EQ(fs::read_symlink(e.path()).string().find("geheim"), std::string::npos) << e.path();
            } else if (fs::is_regular_file(e.symlink_status())) {
                EXPECT_EQ(LiesDatei(e.path()).find("GEHEIM"), std::string::npos) << e.path();
            }
        }
        EXPECT_EQ(AlsAngreifer("cat " + nach.string() + "/* " + nach.string() + "/*/* 2>/dev/null").find("GEHEIM"),
                  std::string::npos);
    }

    fs::path Q() const { return temp / "C" / "Daten"; }
    fs::path Ziel() const { return temp / "D" / "Backup"; }
    fs::path Offen() const { return temp / "C" / "offen"; }

    TempOrdner temp;
    Laufwerkstabelle laufwerke{std::vector<Laufwerk>{}};
    Uhr1 uhr;
    std::ostringstream aus, fehler;
    std::map<std::string, Zustand> kanarienvogel;
};

// Each row tampers with the target; restore and check must end with a report, the canary stays, and the
// entry the attacker aimed at is not in the restored tree.
TEST_F(FeindlicheSicherungen, TamperedBackupsLeadNothingOutsideTheTarget) {
    const auto D = Eintragsart::Datei;
    const auto O = Eintragsart::Ordner;
    const auto V = Eintragsart::Verweis;
    const std::int64_t n = static_cast<std::int64_t>(Geheim.size());
    struct Fall {
        const char* Name;
        std::function<void(FeindlicheSicherungen&)> Anrichten;
        int Wiederherstellen; // exit status of the restore
        int Pruefen;          // and of the check
        const char* Ziel;     // the entry aimed at, never restored
    };
    const std::vector<Fall> faelle = {
        {"a backup folder that is a link to a folder outside, named by a forged record",
         [&](FeindlicheSicherungen& t) {
             fs::create_directory_symlink(t.temp / "geheim", t.Ziel() / "Sicherung-2000-01-01--00-00-00");
             t.Faelsche({Eintrag(D, "Sicherung-2000-01-01--00-00-00", n, 0644, Angreifer, "shadow")});
         },
         1, 1, "shadow"},
        {"a folder inside a real backup folder that is a link",
         [&](FeindlicheSicherungen& t) {
             t.Faelsche(
                 {Eintrag(O, "-", 0, 0755, Angreifer, "sub"), Eintrag(D, Falsch, n, 0644, Angreifer, "sub/shadow")});
             fs::create_directory_symlink(t.temp / "geheim" / "Daten", t.Ziel() / Falsch / "Daten" / "sub");
         },
         1, 1, "sub/shadow"},
        {"the source's mirror in a backup that is a link",
         [&](FeindlicheSicherungen& t) {
             t.Faelsche({Eintrag(D, Falsch, n, 0644, Angreifer, "shadow")});
             fs::remove(t.Ziel() / Falsch / "Daten");
             fs::create_directory_symlink(t.temp / "geheim" / "Daten", t.Ziel() / Falsch / "Daten");
         },
         1, 1, "shadow"},
        {"a quelle line that climbs out of the backup",
         [&](FeindlicheSicherungen& t) {
             t.Faelsche({Eintrag(D, Falsch, n, 0644, Angreifer, "shadow")}, "C:\\..\\..\\..\\geheim\\Daten");
         },
         1, 1, "shadow"},
        {"a copy that is a link where the record says file",
         [&](FeindlicheSicherungen& t) {
             t.Faelsche({Eintrag(D, Falsch, n, 0644, Angreifer, "shadow")});
             fs::create_symlink(t.temp / "geheim" / "Daten" / "shadow", t.Ziel() / Falsch / "Daten" / "shadow");
         },
         1, 1, "shadow"},
        {"a copy that is a FIFO",
         [&](FeindlicheSicherungen& t) {
             t.Faelsche({Eintrag(D, Falsch, 0, 0644, Angreifer, "shadow")});
             ASSERT_EQ(::mkfifo((t.Ziel() / Falsch / "Daten" / "shadow").c_str(), 0666), 0);
         },
         1, 1, "shadow"},
        {"a copy that is a device that never ends",
         [&](FeindlicheSicherungen& t) {
             t.Faelsche({Eintrag(D, Falsch, 0, 0644, Angreifer, "shadow")});
             ASSERT_EQ(::mknod((t.Ziel() / Falsch / "Daten" / "shadow").c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
         },
         1, 1, "shadow"},
    };
    // Paths the record itself may not hold: each makes the forged record unusable, so nothing is restored.
    const std::vector<std::pair<const char*, Bestandseintrag>> pfade = {
        {"a step up", Eintrag(D, Falsch, n, 0644, Angreifer, "../../../geheim/Daten/shadow")},
        {"an escaped slash", Eintrag(D, Falsch, n, 0644, Angreifer, "a%2F..%2F..%2Fshadow")},
        {"an absolute path", Eintrag(D, Falsch, n, 0644, Angreifer, "/shadow")},
        {"an entry below a link", Eintrag(D, Falsch, n, 0644, Angreifer, "zeiger/shadow")},
    };
    std::vector<Fall> alle = faelle;
    for (const auto& [name, e] : pfade)
        alle.push_back({name,
                        [&, e](FeindlicheSicherungen& t) {
                            t.Faelsche({Eintrag(V, Falsch, 10, 0777, Angreifer, "zeiger", t.temp / "geheim"), e});
                        },
                        1, 1, "shadow"});
    int nummer = 0;
    for (const Fall& f : alle) {
        SCOPED_TRACE(f.Name);
        fs::remove_all(Ziel() / Falsch);
        fs::remove(Ziel() / "Sicherung-2000-01-01--00-00-00");
        f.Anrichten(*this);
        const fs::path nach = Offen() / ("zurueck" + std::to_string(++nummer));
        EXPECT_EQ(Wiederherstellen(nach), f.Wiederherstellen) << fehler.str();
        EXPECT_FALSE(fehler.str().empty());
        EXPECT_FALSE(fs::exists(fs::symlink_status(nach / f.Ziel))) << fehler.str();
        KeinGeheimnisIn(nach);
        EXPECT_EQ(Pruefen(), f.Pruefen) << aus.str() << fehler.str();
        EXPECT_FALSE(fehler.str().empty());
        EXPECT_EQ(BaumVon(temp / "geheim"), kanarienvogel);
    }
}

// Owners and special bits as root: the record's owner only where the copy has it.
TEST_F(FeindlicheSicherungen, OwnersAndSpecialBitsComeOnlyWithTheCopysOwner) {
    struct Fall {
        const char* Name;
        std::function<void(FeindlicheSicherungen&)> Anrichten;
        const char* Pfad;
        mode_t Modus;
        uid_t Uid;
        int Status;
    };
    const std::vector<Fall> faelle = {
        {"root's genuine 4755 program", [](FeindlicheSicherungen&) {}, "programm", 04755, 0, 0},
        {"a record claiming root 4755 over the attacker's copy",
         [](FeindlicheSicherungen& t) {
             t.Faelsche({Eintrag(Eintragsart::Datei, Falsch, 3, 04755, 0, "evil")});
             SchreibeDatei(t.Ziel() / Falsch / "Daten" / "evil", "sh\n");
             fs::permissions(t.Ziel() / Falsch / "Daten" / "evil", fs::perms(04755));
             Verschenke(t.Ziel() / Falsch);
         },
         "evil", 0755, Angreifer, 1},
        {"a record opening root's private copy to everyone",
         [](FeindlicheSicherungen& t) { t.Faelsche({Eintrag(Eintragsart::Datei, Echt, 8, 0644, 0, "privat.txt")}); },
         "privat.txt", 0600, 0, 0},
    };
    int nummer = 0;
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        fs::remove_all(Ziel() / Falsch);
        f.Anrichten(*this);
        const fs::path nach = Offen() / ("zurueck" + std::to_string(++nummer));
        EXPECT_EQ(Wiederherstellen(nach), f.Status) << fehler.str();
        struct stat st {};
        ASSERT_EQ(::lstat((nach / f.Pfad).c_str(), &st), 0) << fehler.str();
        EXPECT_EQ(st.st_mode & 07777, f.Modus);
        EXPECT_EQ(st.st_uid, f.Uid);
        if (f.Status != 0) {
            EXPECT_NE(fehler.str().find(std::string("Besitzer der Kopie: ") + f.Pfad), std::string::npos)
                << fehler.str();
        }
        KeinGeheimnisIn(nach);
        EXPECT_EQ(AlsAngreifer("cat " + (nach / "privat.txt").string()), "");
    }
    // Restored by the attacker himself: his own files, no set-ID bit of root's. (Root's record is private to
    // root; here root has made it readable.)
    fs::remove_all(Ziel() / Falsch);
    fs::permissions(Ziel() / Echt / "tresor-ix-bestand.txt", fs::perms(0644));
    const fs::path nach = Offen() / "als-benutzer";
    const pid_t kind = ::fork();
    ASSERT_GE(kind, 0);
    if (kind == 0) {
        const int r = ::setgroups(0, nullptr) == 0 && ::setresgid(Angreifer, Angreifer, Angreifer) == 0 &&
                              ::setresuid(Angreifer, Angreifer, Angreifer) == 0
                          ? Wiederherstellen(nach)
                          : 99;
        ::_exit(r);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(kind, &status, 0), kind);
    EXPECT_EQ(WEXITSTATUS(status), 1) << "privat.txt is root's alone";
    struct stat st {};
    ASSERT_EQ(::lstat((nach / "programm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, Angreifer);
    EXPECT_FALSE(fs::exists(nach / "privat.txt"));
}

// The restore folder swapped for a link to the canary's folder at each step of a restore, for a folder the
// restore makes and for one that exists empty: everything goes into the folder held from the start.
TEST_F(FeindlicheSicherungen, TheRestoreFolderSwappedForALinkAtEachStepLeadsNowhere) {
    // The line of the file-system object before which the swap happens.
    const std::vector<std::pair<const char*, std::string>> schritte = {
        {"once it is held", "GetFolder D:\\Backup"},
        {"between files", "Copy "},
        {"before folder bits are set", "OrdnerAbschliessen "},
    };
    int nummer = 0;
    for (const bool vorhanden : {false, true}) {
        for (const auto& [name, zeile] : schritte) {
            SCOPED_TRACE(std::string(name) + (vorhanden ? ", existing folder" : ", new folder"));
            const fs::path nach = Offen() / ("zurueck" + std::to_string(++nummer));
            const fs::path weg = Offen() / ("weg" + std::to_string(nummer));
            if (vorhanden)
                fs::create_directory(nach);
            int kopien = 0;
            bool gehalten = false, getauscht = false;
            const std::string halten = "SetzeStand C:\\offen\\zurueck" + std::to_string(nummer);
            auto fabrik = [&, zeile]() -> std::unique_ptr<Dateisystem> {
                auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
                h->vorher = [&, zeile](const std::string& z) {
                    // The restore folder is held once it is made private: the steps after that.
                    if (z == halten)
                        gehalten = true;
                    if (!gehalten || getauscht || !z.starts_with(zeile) || (zeile == "Copy " && ++kopien < 2))
                        return;
                    getauscht = true;
                    AlsAngreifer("mv " + nach.string() + " " + weg.string() + " && ln -s " +
                                 (temp / "geheim" / "Daten").string() + " " + nach.string());
                };
                return h;
            };
            const int status = Wiederherstellen(nach, fabrik);
            EXPECT_TRUE(getauscht);
            EXPECT_TRUE(fs::is_symlink(nach));
            // The restore went on in the folder it held, now under the attacker's name for it.
            EXPECT_EQ(status, 0) << fehler.str();
            EXPECT_EQ(LiesDatei(weg / "sub" / "b.txt"), "bbb");
            EXPECT_EQ(BaumVon(temp / "geheim"), kanarienvogel);
            KeinGeheimnisIn(weg);
            EXPECT_EQ(AlsAngreifer("cat " + (weg / "privat.txt").string()), "");
        }
    }
}

} // namespace
} // namespace tresor::test
