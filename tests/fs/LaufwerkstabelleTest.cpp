#include "fs/Laufwerkstabelle.h"
#include "fs/system/Einhaengungen.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <string>

namespace tresor {
namespace {

// A mount table as a desktop machine shows it: pseudo file systems, a blank in a mount point, a user's
// memory file system, a network mount under /mnt, a squashfs image and the EFI partition.
constexpr const char* Beispiel = R"(22 27 0:21 / /proc rw,relatime shared:5 - proc proc rw
23 27 0:22 / /sys rw,relatime shared:6 - sysfs sysfs rw
24 27 0:5 / /dev rw,nosuid shared:2 - devtmpfs udev rw,size=8000000k
25 24 0:23 / /dev/pts rw - devpts devpts rw,mode=600
27 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro
30 27 8:3 / /home rw,relatime shared:2 - ext4 /dev/sda3 rw
31 27 8:17 / /media/anna/MEIN\040STICK rw,nosuid,nodev shared:3 - vfat /dev/sdb1 rw,uid=1000
32 27 0:40 / /run/user/1000 rw,nosuid - tmpfs tmpfs rw,size=1600000k
33 27 0:41 / /mnt/ram rw - tmpfs tmpfs rw
34 27 0:42 / /var/lib/docker/overlay2/abc/merged rw - overlay overlay rw,lowerdir=/x
35 27 7:0 / /snap/core/1 ro - squashfs /dev/loop0 ro
36 27 8:1 / /boot/efi rw - vfat /dev/sda1 rw
37 23 0:30 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw
38 27 253:1 / /srv/daten rw - xfs /dev/mapper/vg-daten rw
39 27 0:51 / /mnt/netz rw - nfs4 server:/export rw
40 30 0:52 / /home/anna/.cache/doc rw - fuse.portal portal rw
41 27 0:53 / /tmp rw - tmpfs tmpfs rw
)";

TEST(LaufwerkstabelleTest, MountinfoYieldsRootThenDataDrivesInMountPointOrder) {
    const auto tabelle = Laufwerkstabelle::AusMountinfo(Beispiel);
    std::vector<std::string> texte;
    for (const auto& l : tabelle.Laufwerke())
        texte.push_back(l.Text());
    EXPECT_EQ(texte, (std::vector<std::string>{"C: [/]", "D: [/home]", "E: [/media/anna/MEIN STICK]", "F: [/mnt/netz]",
                                               "G: [/mnt/ram]", "H: [/srv/daten]"}));
}

TEST(LaufwerkstabelleTest, LettersDependOnTheSetOfMountsNotOnTheirOrderInTheTable) {
    const std::string a = "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n"
                          "2 1 8:3 / /daten rw - ext4 /dev/sda3 rw\n"
                          "3 1 8:4 / /archiv rw - btrfs /dev/sda4 rw\n";
    const std::string b = "3 1 8:4 / /archiv rw - btrfs /dev/sda4 rw\n"
                          "2 1 8:3 / /daten rw - ext4 /dev/sda3 rw\n"
                          "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n";
    const auto ta = Laufwerkstabelle::AusMountinfo(a);
    const auto tb = Laufwerkstabelle::AusMountinfo(b);
    ASSERT_EQ(ta.Laufwerke().size(), 3u);
    ASSERT_EQ(tb.Laufwerke().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(ta.Laufwerke()[i].Buchstabe, tb.Laufwerke()[i].Buchstabe);
        EXPECT_EQ(ta.Laufwerke()[i].Einhaengepunkt, tb.Laufwerke()[i].Einhaengepunkt);
    }
    EXPECT_EQ(ta.Finde('D')->Einhaengepunkt, "/archiv");
}

TEST(LaufwerkstabelleTest, NoLetterBeyondZ) {
    std::string text = "1 0 8:2 / / rw - ext4 /dev/sda2 rw\n";
    for (int i = 0; i < 30; ++i)
        text += std::to_string(i + 10) + " 1 8:9 / /mnt/m" + std::to_string(100 + i) + " rw - ext4 /dev/sdz rw\n";
    const auto tabelle = Laufwerkstabelle::AusMountinfo(text);
    EXPECT_EQ(tabelle.Laufwerke().size(), 24u); // C: to Z:
    EXPECT_EQ(tabelle.Laufwerke().back().Buchstabe, 'Z');
}

TEST(LaufwerkstabelleTest, BrokenLinesAreSkipped) {
    const auto tabelle = Laufwerkstabelle::AusMountinfo("kaputt\n\n1 0 8:2 / /daten rw ext4 /dev/sda rw\n"
                                                        "2 0 8:3 / /media/x rw - ext4 /dev/sdb1 rw");
    ASSERT_EQ(tabelle.Laufwerke().size(), 2u);
    EXPECT_EQ(tabelle.Laufwerke()[1].Einhaengepunkt, "/media/x");
}

// Targets as the mount table shows them, told by their device: which store only the names Windows allows.
TEST(LaufwerkstabelleTest, TargetsThatStoreOnlyWindowsNamesByTheirMountTableLine) {
    const posix::Einhaengungen tabelle(
        "27 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
        "45 27 0:60 / /mnt/smb\040netz rw,nosuid,nodev shared:9 - fuse.smbnetfs smbnetfs rw,user_id=0,group_id=0\n"
        "46 27 0:61 / /mnt/cifs rw - cifs //srv/ziel rw,vers=3.1.1,cache=strict,uid=0,mapposix,rsize=4194304\n"
        "47 27 0:62 / /mnt/roh rw - cifs //srv/ziel rw,vers=3.0,nomapposix,nounix,uid=0\n"
        "48 27 0:63 / /mnt/sfu rw - cifs //srv/ziel rw,vers=2.1,mapchars\n"
        "49 27 0:64 / /mnt/posix rw - smb3 //srv/ziel rw,vers=3.1.1,posix\n"
        "50 27 0:65 / /mnt/ssh rw - fuse.sshfs anna@srv: rw,user_id=0\n"
        "51 27 8:17 / /media/anna/STICK rw - vfat /dev/sdb1 rw,uid=1000\n"
        "52 27 8:33 / /media/anna/KARTE rw - exfat /dev/sdc1 rw\n"
        "53 27 8:49 / /media/anna/PLATTE rw - fuseblk /dev/sdd1 rw,user_id=0\n"
        "54 27 0:66 /ziel /mnt/gebunden rw - fuse.smbnetfs smbnetfs rw\n"
        "55 27 0:67 / /mnt/alt rw - cifs //srv/ziel rw,vers=1.0,unix,uid=0\n");
    struct Zeile {
        unsigned haupt, neben;
        const char* typ; // "" where the table shows no such device
        bool nurWindows;
    } const zeilen[] = {
        {8, 2, "ext4", false},  {0, 60, "fuse.smbnetfs", true}, {0, 61, "cifs", false},         {0, 62, "cifs", true},
        {0, 63, "cifs", false}, {0, 64, "smb3", false},         {0, 65, "fuse.sshfs", false},   {8, 17, "vfat", true},
        {8, 33, "exfat", true}, {8, 49, "fuseblk", false},      {0, 66, "fuse.smbnetfs", true}, {0, 99, "", false},
        {0, 67, "cifs", false},
    };
    for (const Zeile& z : zeilen) {
        const auto art = tabelle.ArtVon(makedev(z.haupt, z.neben));
        EXPECT_EQ(art ? art->Typ : std::string(), z.typ) << z.haupt << ":" << z.neben;
        EXPECT_EQ(art && NurWindowsNamen(art->Typ, art->Optionen), z.nurWindows) << z.haupt << ":" << z.neben;
    }
}

TEST(LaufwerkstabelleTest, NamesWindowsAllows) {
    struct Zeile {
        std::string name;
        bool erlaubt;
    } const zeilen[] = {
        {"brief.txt", true},
        {".versteckt", true},
        {"mit blank.txt", true},
        {" vorne", true},
        {"Grüße.txt", true},
        {"a:b", false},
        {"was?", false},
        {"stern*", false},
        {"\"zitat\"", false},
        {"<klein", false},
        {"groß>", false},
        {"rohr|x", false},
        {"schräg/strich", false},
        {"ende.", false},
        {"ende ", false},
        {"tab\tname", false},
        {"a.b.c", true},
        {std::string("\x7f"), true},
        {"..x", true},
        // The names of devices, bare or with any ending, in any letter case; not as a part of a longer name.
        {"aux.txt", false},
        {"CON", false},
        {"nul", false},
        {"Com1.log", false},
        {"lpt9.tar.gz", false},
        {"prn", false},
        {"com0", true},
        {"console", true},
        {"auxiliar.txt", true},
        {"brief.aux", true},
        {"com10", true},
        // Bytes that are no UTF-8: no name such a file system can spell.
        {"lat\xfcn", false},
        {"\xc3", false},
        {"ende\xe2\x82", false},
        {"\xed\xa0\x80", false},
        {"\xc0\xaf", false},
        {"\xe2\x82\xac", true},
        {"\xf0\x9f\x98\x80.txt", true},
    };
    for (const Zeile& z : zeilen)
        EXPECT_EQ(WindowsName(z.name), z.erlaubt) << z.name;
}

TEST(LaufwerkstabelleTest, ThisMachineHasRootAsDriveC) {
    const auto tabelle = Laufwerkstabelle::AusMountTabelle();
    ASSERT_FALSE(tabelle.Laufwerke().empty());
    EXPECT_EQ(tabelle.Laufwerke().front().Buchstabe, 'C');
    EXPECT_EQ(tabelle.Laufwerke().front().Einhaengepunkt, "/");
}

TEST(LaufwerkTest, TextShowsTheLabelWhenThereIsOneAndRootIsLetterColonBackslash) {
    const Laufwerk mitName{'E', "/media/anna/STICK", "STICK"};
    const Laufwerk ohneName{'E', "/media/anna/STICK", ""};
    EXPECT_EQ(mitName.Text(), "E: [STICK]");
    EXPECT_EQ(ohneName.Text(), "E: [/media/anna/STICK]");
    EXPECT_EQ(ohneName.Wurzel(), "E:\\");
}

class UebersetzungTest : public ::testing::Test {
protected:
    Laufwerkstabelle tabelle{
        {Laufwerk{'C', "/", {}}, Laufwerk{'D', "/home", {}}, Laufwerk{'E', "/media/anna/MEIN STICK", {}}}};
};

TEST_F(UebersetzungTest, ProgramFormToPosix) {
    const std::pair<std::string, std::optional<std::string>> faelle[] = {
        {"C:\\home\\anna", "/home/anna"},
        {"C:\\", "/"},
        {"D:\\", "/home"},
        {"D:\\anna\\Briefe", "/home/anna/Briefe"},
        {"E:\\Fotos\\2020", "/media/anna/MEIN STICK/Fotos/2020"},
        {"e:\\klein", "/media/anna/MEIN STICK/klein"},
        {"C:\\Ordner\\", "/Ordner/"},
        {"Q:\\x", std::nullopt}, // no such drive
        {"C:", std::nullopt},    // no backslash after the colon
        {"C:/home", std::nullopt},
        {"\\\\server\\x", std::nullopt},
        {"1:\\x", std::nullopt},
        {"", std::nullopt},
        {std::string("C:\\a\0b", 6), std::nullopt},
    };
    for (const auto& [programm, posix] : faelle)
        EXPECT_EQ(tabelle.ZuPosix(programm), posix) << programm;
}

TEST_F(UebersetzungTest, PosixToProgramFormThroughTheLongestCoveringMountPoint) {
    const std::pair<std::string, std::optional<std::string>> faelle[] = {
        {"/", "C:\\"},
        {"/etc/fstab", "C:\\etc\\fstab"},
        {"/home", "D:\\"},
        {"/home/", "D:\\"},
        {"/home/anna/Briefe", "D:\\anna\\Briefe"},
        {"/homeoffice/x", "C:\\homeoffice\\x"}, // a plain prefix of /home, but not below it
        {"/media/anna/MEIN STICK/a b", "E:\\a b"},
        {"/media/anna/MEIN STICKER", "C:\\media\\anna\\MEIN STICKER"},
        {"relativ/pfad", std::nullopt},
        {"/home/anna/a\\b", "D:\\anna\\a/b"}, // a backslash inside a name is written as a slash
        {"/a\\\\b\\/c", "C:\\a//b/\\c"},
    };
    for (const auto& [posix, programm] : faelle)
        EXPECT_EQ(tabelle.AusPosix(posix), programm) << posix;
}

TEST_F(UebersetzungTest, TranslationRoundTrips) {
    for (const std::string p :
         {"C:\\usr\\lib", "D:\\anna", "E:\\Fotos\\Urlaub 2020\\bild.jpg", "E:\\", "C:\\a/b\\c", "D:\\x/\\/y"})
        EXPECT_EQ(tabelle.AusPosix(*tabelle.ZuPosix(p)), p);
    EXPECT_EQ(tabelle.ZuPosix("C:\\a/b\\c"), "/a\\b/c");
    EXPECT_EQ(NamenAusPosix("a\\b/c"), "a/b\\c");
    EXPECT_EQ(NamenAusPosix(NamenAusPosix("a\\b/c")), "a\\b/c");
}

TEST_F(UebersetzungTest, PathsNoDriveCoversHaveNoProgramForm) {
    const Laufwerkstabelle ohneWurzel{{Laufwerk{'D', "/daten", {}}}};
    EXPECT_EQ(ohneWurzel.AusPosix("/etc"), std::nullopt);
    EXPECT_EQ(ohneWurzel.AusPosix("/daten/x"), "D:\\x");
}

TEST_F(UebersetzungTest, MountPointsOfDrivesOtherThanRoot) {
    EXPECT_TRUE(tabelle.IstEinhaengepunkt("/home"));
    EXPECT_TRUE(tabelle.IstEinhaengepunkt("/media/anna/MEIN STICK"));
    EXPECT_FALSE(tabelle.IstEinhaengepunkt("/"));
    EXPECT_FALSE(tabelle.IstEinhaengepunkt("/home/anna"));
    EXPECT_EQ(tabelle.Finde('d')->Einhaengepunkt, "/home");
    EXPECT_EQ(tabelle.Finde('Q'), nullptr);
}

} // namespace
} // namespace tresor
