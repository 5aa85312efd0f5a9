// The archive record's form, its exact rule, and the path within a file system that it is bound to.

#include "tests/fs/FsTestbasis.h"

#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/Verweisvermerk.h"
#include "fs/system/Einhaengungen.h"

#include <sys/mount.h>

#include <cstring>
#include <functional>

namespace tresor::test {
namespace {

using posix::Archivvermerk;

Archivvermerk Beispiel() {
    Archivvermerk v;
    v.Stand.MtimeNs = 1765188000123456789;
    v.Stand.Groesse = 4096;
    v.Stand.Inode = 1835012;
    v.Stand.CtimeNs = 1765188000223456789;
    v.Stand.Gueltig = true;
    v.SchreibzeitNs = 1765188001000000000;
    v.Name = 0x9f3c2a1b4d5e6f70;
    return v;
}

TEST(Archivvermerk, TextFormAndItsReading) {
    const std::string text = posix::ArchivvermerkText(Beispiel());
    EXPECT_EQ(text, "2 1765188000123456789 4096 1835012 1765188000223456789 1765188001000000000 9f3c2a1b4d5e6f70");
    const auto gelesen = posix::LiesArchivvermerk(text);
    ASSERT_TRUE(gelesen);
    EXPECT_TRUE(posix::Gleich(gelesen->Stand, Beispiel().Stand));
    EXPECT_EQ(gelesen->SchreibzeitNs, Beispiel().SchreibzeitNs);
    EXPECT_EQ(gelesen->Name, Beispiel().Name);
    // A name key keeps its leading zeros; a time before 1970 is negative.
    Archivvermerk klein = Beispiel();
    klein.Name = 0x12;
    klein.Stand.MtimeNs = -5;
    EXPECT_EQ(posix::LiesArchivvermerk(posix::ArchivvermerkText(klein))->Name, 0x12u);
    EXPECT_EQ(posix::LiesArchivvermerk(posix::ArchivvermerkText(klein))->Stand.MtimeNs, -5);
    for (const std::string schlecht :
         {"1 1765188000123456789 4096 1835012", "1 1765188000123456789 4096 1835012 0123456789abcdef",
          "2 1 2 3 4 5 0123456789abcde", "2 1 2 3 4 5 0123456789abcdef0", "2 1 2 3 4 5 0123456789abcdeg",
          "2 1 2 3 4 0123456789abcdef", "2  1 2 3 4 5 0123456789abcdef", "2 1 2 3 4 5 0123456789abcdef ", "2 ",
          "3 1 2 3 4 5 0123456789abcdef", ""})
        EXPECT_FALSE(posix::LiesArchivvermerk(schlecht)) << schlecht;
}

TEST(Archivvermerk, MatchesExactlyOrButForTheCtimeAndNothingElse) {
    const Archivvermerk v = Beispiel();
    auto stat = [](const Archivvermerk& v) {
        struct stat st {};
        st.st_mtim = {v.Stand.MtimeNs / 1'000'000'000, v.Stand.MtimeNs % 1'000'000'000};
        st.st_ctim = {v.Stand.CtimeNs / 1'000'000'000, v.Stand.CtimeNs % 1'000'000'000};
        st.st_size = v.Stand.Groesse;
        st.st_ino = v.Stand.Inode;
        return st;
    };
    struct Fall {
        const char* Name;
        std::function<void(struct stat&)> Aenderung;
        std::uint64_t Name_;
        bool Passt;
        bool BisAufCtime;
    };
    const std::vector<Fall> faelle = {
        {"as recorded (a store that keeps records apart)", [](struct stat&) {}, v.Name, true, true},
        {"the ctime one nanosecond on (its own write, or any change)", [](struct stat& st) { ++st.st_ctim.tv_nsec; },
         v.Name, false, true},
        {"the ctime 10 ms on (once a window let it pass)", [](struct stat& st) { st.st_ctim.tv_nsec += 10'000'000; },
         v.Name, false, true},
        {"the ctime before the recorded one", [](struct stat& st) { --st.st_ctim.tv_nsec; }, v.Name, false, true},
        {"another modification time", [](struct stat& st) { ++st.st_mtim.tv_nsec; }, v.Name, false, false},
        {"another size", [](struct stat& st) { ++st.st_size; }, v.Name, false, false},
        {"another inode", [](struct stat& st) { ++st.st_ino; }, v.Name, false, false},
        {"another name", [](struct stat&) {}, v.Name ^ 1, false, false},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        struct stat st = stat(v);
        f.Aenderung(st);
        EXPECT_EQ(posix::Passt(v, st, f.Name_), f.Passt);
        EXPECT_EQ(posix::PasstBisAufCtime(v, st, f.Name_), f.BisAufCtime);
    }
}

TEST(Archivvermerk, ThePathWithinItsFileSystem) {
    const posix::Einhaengungen tabelle("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                                       "30 22 8:17 / /media/anna/STICK rw - vfat /dev/sdb1 rw\n"
                                       "31 22 8:17 / /mnt/stick\\040zwei rw - vfat /dev/sdb1 rw\n"
                                       "32 22 8:1 /home/anna/Daten /srv/daten rw - ext4 /dev/sda1 rw\n"
                                       "33 22 0:40 / /media/an rw - tmpfs tmpfs rw\n"
                                       "34 22 0:41 / /mnt/doppelt rw - tmpfs tmpfs rw\n"
                                       "35 22 8:33 / /mnt/doppelt rw - ext4 /dev/sdc1 rw\n"
                                       "kaputte zeile\n");
    for (const auto& [posix, imDateisystem] : std::vector<std::pair<std::string, std::string>>{
             {"/home/anna/a.txt", "/home/anna/a.txt"},
             {"/media/anna/STICK/Fotos/a.jpg", "/Fotos/a.jpg"},  // the stick at one place ...
             {"/mnt/stick zwei/Fotos/a.jpg", "/Fotos/a.jpg"},    // ... and at another
             {"/media/anna/STICK", "/"},                         //
             {"/srv/daten/x", "/home/anna/Daten/x"},             // a bind mount of a folder
             {"/media/anna/STICKER/b", "/media/anna/STICKER/b"}, // not below the stick's mount point
             {"/media/anx", "/media/anx"},                       // nor below /media/an
             {"/mnt/doppelt/c", "/c"}}) {                        // the later mount hides the earlier
        EXPECT_EQ(tabelle.ImDateisystem(posix), imDateisystem) << posix;
    }
    EXPECT_EQ(posix::Einhaengungen("").ImDateisystem("/a/b"), "/a/b");
}

TEST(Archivvermerk, TheFolderRecordIsOfFixedSizeAndReadsOnlyItsOwnForm) {
    const posix::Verweisvermerk v{11, 22, 33};
    const std::string wert = posix::VerweisvermerkWert(v);
    EXPECT_EQ(wert.size(), 40u); // 32 and the user's seal
    const auto gelesen = posix::LiesVerweisvermerk(wert);
    ASSERT_TRUE(gelesen);
    EXPECT_EQ(gelesen->OrdnerInode, 11u);
    EXPECT_EQ(gelesen->OrdnerName, 22u);
    EXPECT_EQ(gelesen->Pruefsumme, 33u);
    EXPECT_FALSE(posix::LiesVerweisvermerk(wert.substr(0, 24)));
    EXPECT_FALSE(posix::LiesVerweisvermerk(wert + std::string(8, '\0')));
    std::string alt = wert;
    alt[0] = 1; // the earlier form's version
    EXPECT_FALSE(posix::LiesVerweisvermerk(alt));
}

class ArchivvermerkAufDerPlatte : public FsTest {
protected:
    const Pfad pfad = "C:\\daten\\brief.txt";
    std::filesystem::path posix = C("daten/brief.txt");
    void SetUp() override { SchreibeDatei(posix, "Hallo Welt"); }
    int Wert() { return ErzeugePosixDateisystem(tabelle)->Attributes({pfad, "brief.txt"}); }
};

TEST_F(ArchivvermerkAufDerPlatte, TheRecordMatchesTheFileAsItsOwnWriteLeftItAndAChangeOfStatusAfterwardsSetsIt) {
    std::filesystem::permissions(posix, std::filesystem::perms(0444)); // lent write permission given back too
    fs->SetFileAttr(pfad, attr::Schreibgeschuetzt);
    // The object that wrote it knows the state its write left; others once the batch is written.
    EXPECT_EQ(fs->Attributes({pfad, "brief.txt"}), attr::Schreibgeschuetzt);
    EXPECT_EQ(Wert(), attr::Schreibgeschuetzt | attr::Archiv);
    fs->Festschreiben();
    EXPECT_EQ(Wert(), attr::Schreibgeschuetzt);
    // A change of status alone, at once.
    std::filesystem::permissions(posix, std::filesystem::perms(0440));
    EXPECT_EQ(fs->Attributes({pfad, "brief.txt"}), attr::Schreibgeschuetzt | attr::Archiv);
    EXPECT_EQ(Wert(), attr::Schreibgeschuetzt | attr::Archiv);
}

TEST_F(ArchivvermerkAufDerPlatte, ARecordBoundToAnotherNameReadsSet) {
    fs->SetFileAttr(pfad, 0);
    fs->Festschreiben();
    EXPECT_EQ(Wert(), 0);
    // The same inode, time, size and ctime under another name: moved there with its record, by a tool that
    // keeps the ctime (a restore of the attribute, say).
    std::filesystem::rename(posix, C("daten/anders.txt"));
    EXPECT_EQ(ErzeugePosixDateisystem(tabelle)->Attributes({"C:\\daten\\anders.txt", "anders.txt"}), attr::Archiv);
    std::filesystem::rename(C("daten/anders.txt"), posix);
    // Back under its name, but renaming moved the ctime on.
    EXPECT_EQ(Wert(), attr::Archiv);
}

TEST_F(ArchivvermerkAufDerPlatte, AMediumMountedElsewhereKeepsItsRecords) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "bind mounts need root";
    const std::filesystem::path medium = tmp / "medium";
    const std::filesystem::path erster = C("erster");
    const std::filesystem::path zweiter = C("zweiter");
    for (const auto& p : {medium, erster, zweiter})
        std::filesystem::create_directories(p);
    SchreibeDatei(medium / "a.txt", "a");
    if (::mount(medium.c_str(), erster.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "no bind mount here: " << std::strerror(errno);
    {
        auto f = ErzeugePosixDateisystem(tabelle);
        f->SetFileAttr("C:\\erster\\a.txt", 0);
        f->Festschreiben();
        EXPECT_EQ(f->Attributes({"C:\\erster\\a.txt", "a.txt"}), 0);
    }
    ASSERT_EQ(::umount(erster.c_str()), 0);
    ASSERT_EQ(::mount(medium.c_str(), zweiter.c_str(), nullptr, MS_BIND, nullptr), 0);
    EXPECT_EQ(ErzeugePosixDateisystem(tabelle)->Attributes({"C:\\zweiter\\a.txt", "a.txt"}), 0);
    ASSERT_EQ(::umount(zweiter.c_str()), 0);
}

} // namespace
} // namespace tresor::test
