// Sticks, cards and Windows partitions, mounted here through their usual Linux drivers (NTFS through ntfs-3g,
// exFAT through exfat-fuse, each an image file on a loop device) and backed up by the command-line program:
// the real archive bit of NTFS read and cleared, an exFAT stick without attributes of any kind backed up
// through the state file, a target that ignores letter case never losing a copy to another, and a drive whose
// mount went away never written to. The tests need root, /dev/fuse and loop devices, and skip elsewhere.

#include "fs/Attribute.h"
#include "fs/FsFehler.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/ablage/Archivvermerk.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Testhilfen.h"
#include "tests/zuverlaessigkeit/Bestand.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

// The attribute value that ntfs-3g gives a file (system.ntfs_attrib_be, big-endian), or -1.
long NtfsBits(const fs::path& datei) {
    unsigned char b[4];
    if (::getxattr(datei.c_str(), "system.ntfs_attrib_be", b, sizeof b) != 4)
        return -1;
    return (long{b[0]} << 24) | (long{b[1]} << 16) | (long{b[2]} << 8) | b[3];
}

void SetzeNtfsBits(const fs::path& datei, long wert) {
    const unsigned char b[4] = {static_cast<unsigned char>(wert >> 24), static_cast<unsigned char>(wert >> 16),
                                static_cast<unsigned char>(wert >> 8), static_cast<unsigned char>(wert)};
    ASSERT_EQ(::setxattr(datei.c_str(), "system.ntfs_attrib_be", b, sizeof b, 0), 0) << datei;
}

// The attribute value the program reports for a file (any absolute path).
// The attribute value, its archive bit as ArchivGesetzt (Bestand.h) tells it for a run.
int Attribut(const fs::path& datei) {
    const Laufwerkstabelle wurzel({Laufwerk{'C', "/", {}}});
    auto dateisystem = ErzeugePosixDateisystem(wurzel);
    const int wert = dateisystem->Attributes(dateisystem->GetFile(*wurzel.AusPosix(datei.string())));
    return (wert & ~attr::Archiv) | (ArchivGesetzt(datei.string()) ? attr::Archiv : 0);
}

class Medien : public ::testing::Test {
protected:
    Medien() : programm(temp.Pfad()) {
        fs::create_directories(ziel);
        // The state files of this test go to its temporary folder, never to the user's own.
        ::setenv("XDG_STATE_HOME", (temp / "zustand").c_str(), 1);
    }

    std::set<std::string> Sicherungsordner(const fs::path& in) const {
        std::set<std::string> namen;
        for (const auto& e : fs::directory_iterator(in))
            if (e.path().filename().string().starts_with("Sicherung-"))
                namen.insert(e.path().filename().string());
        return namen;
    }

    // A run from `quelle` to `in`; `neu` gets the files of the backup folder it made below its mirror
    // `spiegel` (relative to the backup folder), empty when it made none.
    Programmende Lauf(const fs::path& quelle, const fs::path& in, const fs::path& spiegel,
                      std::map<std::string, Inhalt>& neu) {
        const auto vorher = Sicherungsordner(in);
        Programmende ende = programm.Sichere(quelle.string(), in.string());
        neu.clear();
        for (const auto& n : Sicherungsordner(in))
            if (!vorher.contains(n))
                neu = Bestand((in / n / spiegel).string());
        return ende;
    }

    static std::set<std::string> Namen(const std::map<std::string, Inhalt>& bestand) {
        std::set<std::string> namen;
        for (const auto& [rel, inhalt] : bestand)
            namen.insert(rel);
        return namen;
    }

    TempOrdner temp;
    fs::path ziel = temp / "ziel";
    Programm programm;
};

TEST_F(Medien, NtfsSourceClearsTheRealArchiveBitAndFollowsWhatWindowsMarks) {
    Medium stick(temp / "ntfs.img", temp / "ntfs", Medienart::Ntfs, 16);
    if (!stick.Einhaengen())
        GTEST_SKIP() << stick.Grund();
    const fs::path quelle = stick.Punkt() / "Daten";
    SchreibeDatei(quelle / "a.txt", "eins");
    SchreibeDatei(quelle / "b.txt", "zwei");
    SchreibeDatei(quelle / "unter" / "c.txt", "drei");
    for (const char* rel : {"a.txt", "b.txt", "unter/c.txt"})
        ASSERT_NE(NtfsBits(quelle / rel) & 0x20, 0) << rel << ": a new file carries the archive bit";

    std::map<std::string, Inhalt> neu;
    Programmende ende = Lauf(quelle, ziel, "Daten", neu);
    ASSERT_EQ(ende.Status, 0) << ende.Aus << ende.Fehler;
    EXPECT_EQ(Namen(neu), (std::set<std::string>{"a.txt", "b.txt", "unter/c.txt"}));
    for (const char* rel : {"a.txt", "b.txt", "unter/c.txt"}) {
        EXPECT_EQ(NtfsBits(quelle / rel) & 0x20, 0) << rel << ": the file system's own bit is cleared";
        EXPECT_EQ(Attribut(quelle / rel) & attr::Archiv, 0) << rel;
    }

    ende = Lauf(quelle, ziel, "Daten", neu);
    EXPECT_EQ(ende.Status, 0) << ende.Fehler;
    EXPECT_TRUE(neu.empty()) << "a second run finds nothing";

    // A write through the mount: the driver sets the bit, and exactly that file is copied.
    { std::ofstream(quelle / "a.txt", std::ios::app) << " und mehr"; }
    ende = Lauf(quelle, ziel, "Daten", neu);
    ASSERT_EQ(ende.Status, 0) << ende.Fehler;
    EXPECT_EQ(Namen(neu), (std::set<std::string>{"a.txt"}));
    EXPECT_EQ(neu["a.txt"], InhaltAus("eins und mehr"));

    // The bit set by hand, as Windows does for a file it wants backed up: exactly that file.
    SetzeNtfsBits(quelle / "b.txt", NtfsBits(quelle / "b.txt") | 0x20);
    ende = Lauf(quelle, ziel, "Daten", neu);
    ASSERT_EQ(ende.Status, 0) << ende.Fehler;
    EXPECT_EQ(Namen(neu), (std::set<std::string>{"b.txt"}));

    // Hidden, system and read-only set natively arrive in the copy (an ext4 target keeps them as the
    // permission bits and user.DOSATTRIB), and the source keeps them.
    SetzeNtfsBits(quelle / "unter" / "c.txt", 0x20 | 0x1 | 0x2 | 0x4);
    EXPECT_EQ(Attribut(quelle / "unter" / "c.txt"),
              attr::Schreibgeschuetzt | attr::Versteckt | attr::System | attr::Archiv);
    const auto vorher = Sicherungsordner(ziel);
    ende = programm.Sichere(quelle.string(), ziel.string());
    ASSERT_EQ(ende.Status, 0) << ende.Fehler;
    std::string ordner;
    for (const auto& n : Sicherungsordner(ziel))
        if (!vorher.contains(n))
            ordner = n;
    ASSERT_FALSE(ordner.empty());
    const fs::path kopie = ziel / ordner / "Daten" / "unter" / "c.txt";
    EXPECT_EQ(Attribut(kopie), attr::Schreibgeschuetzt | attr::Versteckt | attr::System | attr::Archiv);
    EXPECT_EQ(NtfsBits(quelle / "unter" / "c.txt") & 0x27, 0x7) << "only the archive bit was taken away";
}

TEST_F(Medien, CopiesOnAnNtfsTargetCarryReadOnlyAndHiddenAsTheFileSystemsOwnBits) {
    Medium stick(temp / "ntfs.img", temp / "ntfs", Medienart::Ntfs, 16);
    if (!stick.Einhaengen())
        GTEST_SKIP() << stick.Grund();
    const fs::path quelle = temp / "quelle";
    SchreibeDatei(quelle / "nurlesen.txt", "r");
    ASSERT_EQ(::chmod((quelle / "nurlesen.txt").c_str(), 0444), 0);
    SchreibeDatei(quelle / ".versteckt", "v");
    SchreibeDatei(quelle / "normal.txt", "n");
    std::map<std::string, Inhalt> neu;
    const Programmende ende = Lauf(quelle, stick.Punkt(), quelle.relative_path(), neu);
    ASSERT_EQ(ende.Status, 0) << ende.Aus << ende.Fehler;
    ASSERT_EQ(neu.size(), 3u);
    std::string ordner;
    for (const auto& n : Sicherungsordner(stick.Punkt()))
        ordner = n;
    const fs::path spiegel = stick.Punkt() / ordner / quelle.relative_path();
    // Windows sees what the copy is: read-only, hidden, and new (archive).
    EXPECT_EQ(NtfsBits(spiegel / "nurlesen.txt") & 0x27, 0x21);
    EXPECT_EQ(NtfsBits(spiegel / ".versteckt") & 0x27, 0x22);
    EXPECT_EQ(NtfsBits(spiegel / "normal.txt") & 0x27, 0x20);
}

TEST_F(Medien, ExfatStickIsBackedUpThroughTheStateFileAcrossRemounts) {
    Medium stick(temp / "exfat.img", temp / "exfat", Medienart::Exfat, 16);
    if (!stick.Einhaengen())
        GTEST_SKIP() << stick.Grund();
    const fs::path quelle = stick.Punkt() / "DCIM";
    SchreibeDatei(quelle / "IMG_0001.JPG", "bild eins");
    SchreibeDatei(quelle / "IMG_0002.JPG", "bild zwei");
    SchreibeDatei(quelle / "100CANON" / "IMG_0003.JPG", "bild drei");

    std::map<std::string, Inhalt> neu;
    Programmende ende = Lauf(quelle, ziel, "DCIM", neu);
    ASSERT_EQ(ende.Status, 0) << ende.Aus << ende.Fehler;
    EXPECT_EQ(Namen(neu), (std::set<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", "100CANON/IMG_0003.JPG"}));
    std::size_t zustaende = 0;
    for (const auto& e : fs::directory_iterator(temp / "zustand" / "tresor-ix")) {
        EXPECT_TRUE(e.path().filename().string().ends_with(".zustand")) << e.path();
        ++zustaende;
    }
    EXPECT_EQ(zustaende, 1u) << "one state file for the one stick";

    ende = Lauf(quelle, ziel, "DCIM", neu);
    EXPECT_EQ(ende.Status, 0) << ende.Fehler;
    EXPECT_TRUE(neu.empty()) << "a second run finds nothing";

    // Unplugged and plugged in again (inode numbers through FUSE change): still nothing to do; then one
    // changed file alone is copied.
    stick.Aushaengen();
    ASSERT_TRUE(stick.Einhaengen()) << stick.Grund();
    ende = Lauf(quelle, ziel, "DCIM", neu);
    EXPECT_EQ(ende.Status, 0) << ende.Fehler;
    EXPECT_TRUE(neu.empty()) << "the records survive a remount";
    SchreibeDatei(quelle / "100CANON" / "IMG_0003.JPG", "bild drei, bearbeitet");
    ende = Lauf(quelle, ziel, "DCIM", neu);
    ASSERT_EQ(ende.Status, 0) << ende.Fehler;
    EXPECT_EQ(Namen(neu), (std::set<std::string>{"100CANON/IMG_0003.JPG"}));

    // A torn state file holds nothing: everything is copied once more, never less.
    for (const auto& e : fs::directory_iterator(temp / "zustand" / "tresor-ix")) {
        const std::string text = LiesDatei(e.path());
        std::ofstream(e.path(), std::ios::binary | std::ios::trunc) << text.substr(0, text.size() / 2);
    }
    ende = Lauf(quelle, ziel, "DCIM", neu);
    ASSERT_EQ(ende.Status, 0) << ende.Fehler;
    EXPECT_EQ(neu.size(), 3u);
}

// The stick stamps whole seconds: a file written again within the second of the version being copied shows
// the same times and size as that version. The copy waits until that second is over before it looks at the
// source, so a rewrite during the copy is seen and the copy made again: the version the file holds afterwards
// is the one in the backup, and no record takes another for it.
TEST_F(Medien, ExfatFileWrittenAgainDuringItsCopyInTheSameSecondIsNeverTakenAsBackedUp) {
    Medium stick(temp / "exfat.img", temp / "exfat", Medienart::Exfat, 16);
    if (!stick.Einhaengen())
        GTEST_SKIP() << stick.Grund();
    const fs::path datei = stick.Punkt() / "notiz.txt";
    const Laufwerkstabelle wurzel({Laufwerk{'C', "/", {}}});
    const Pfad quelle = *wurzel.AusPosix(datei.string());
    const Pfad kopie = *wurzel.AusPosix((ziel / "notiz.txt").string());
    int neu = 0;
    // Inside the first copy of the content, the file gets its second version, of the same size.
    auto dateisystem = ErzeugePosixDateisystem(wurzel, [&](const Pfad&, int) {
        if (neu++ == 0)
            SchreibeDatei(datei, "zweite Fassung");
    });

    // Early in a second, so that without the wait both versions get that second's stamp.
    while (std::chrono::system_clock::now().time_since_epoch() % std::chrono::seconds(1) >
           std::chrono::milliseconds(300))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    SchreibeDatei(datei, "erste Fassung!");
    const Quellstand stand = dateisystem->Copy(dateisystem->GetFile(quelle), kopie);
    EXPECT_FALSE(stand.Veraendert);
    EXPECT_GE(neu, 2) << "the change inside the first copy is seen and the copy made again";
    dateisystem->Sync(kopie);
    const int wert = dateisystem->Attributes(dateisystem->GetFile(quelle));
    dateisystem->SetFileAttr(quelle, wert & ~attr::Archiv, stand);
    dateisystem->Festschreiben();

    EXPECT_EQ(LiesDatei(ziel / "notiz.txt"), "zweite Fassung");
    // Read as the next run reads it: through the state file.
    EXPECT_EQ(Attribut(datei) & attr::Archiv, 0) << "backed up in its present version";
}

TEST_F(Medien, CaseBlindTargetNeverLetsOneCopyReplaceAnother) {
    Medium stick(temp / "exfat.img", temp / "exfat", Medienart::Exfat, 16);
    if (!stick.Einhaengen())
        GTEST_SKIP() << stick.Grund();
    const fs::path quelle = temp / "quelle";
    SchreibeDatei(quelle / "F.txt", "gross");
    SchreibeDatei(quelle / "f.txt", "klein");
    SchreibeDatei(quelle / "A" / "x.txt", "A/x");
    SchreibeDatei(quelle / "a" / "x.txt", "a/x");
    SchreibeDatei(quelle / "a" / "y.txt", "a/y");
    // A pair in a subfolder: its mirror ignores case as the backup folder does.
    SchreibeDatei(quelle / "S" / "G.txt", "S/G");
    SchreibeDatei(quelle / "S" / "g.txt", "S/g");
    const fs::path spiegel = quelle.relative_path();

    std::map<std::string, Inhalt> neu;
    Programmende ende = Lauf(quelle, stick.Punkt(), spiegel, neu);
    EXPECT_EQ(ende.Status, 1) << ende.Aus << ende.Fehler;
    // Failed only through the named files' checks: nothing of the run itself failed on the stick.
    EXPECT_EQ(ende.Fehler.find("Der Vorgang"), std::string::npos) << ende.Fehler;
    // The first of each pair in byte order has its copy, with its own content; nothing was replaced.
    EXPECT_EQ(Namen(neu), (std::set<std::string>{"F.txt", "A/x.txt", "S/G.txt"}));
    EXPECT_EQ(neu["F.txt"], InhaltAus("gross"));
    EXPECT_EQ(neu["A/x.txt"], InhaltAus("A/x"));
    EXPECT_EQ(neu["S/G.txt"], InhaltAus("S/G"));
    for (const char* rel : {"f.txt", "a/x.txt", "a/y.txt", "S/g.txt"}) {
        EXPECT_NE(ende.Fehler.find("Nicht gesichert: " + (quelle / rel).string() + " ("), std::string::npos) << rel;
        EXPECT_NE(Attribut(quelle / rel) & attr::Archiv, 0) << rel << " keeps its archive bit";
    }
    EXPECT_NE(ende.Fehler.find("gleichnamige Kopie (Groß-/Kleinschreibung) vorhanden"), std::string::npos)
        << ende.Fehler;
    EXPECT_EQ(Attribut(quelle / "F.txt") & attr::Archiv, 0);

    // The next run finds them again. Its backup folder is new, so f.txt (whose partner is backed up now) gets
    // its copy; the folder a meets the mirror of A once more (every folder is mirrored), so its files are
    // named again and keep their bits.
    ende = Lauf(quelle, stick.Punkt(), spiegel, neu);
    EXPECT_EQ(ende.Status, 1) << ende.Aus << ende.Fehler;
    // Failed only through the named files' checks: nothing of the run itself failed on the stick.
    EXPECT_EQ(ende.Fehler.find("Der Vorgang"), std::string::npos) << ende.Fehler;
    EXPECT_EQ(Namen(neu), (std::set<std::string>{"f.txt", "S/g.txt"}));
    EXPECT_EQ(neu["f.txt"], InhaltAus("klein"));
    EXPECT_EQ(neu["S/g.txt"], InhaltAus("S/g"));
    EXPECT_EQ(Attribut(quelle / "f.txt") & attr::Archiv, 0);
    for (const char* rel : {"a/x.txt", "a/y.txt"}) {
        EXPECT_NE(ende.Fehler.find("Nicht gesichert: " + (quelle / rel).string() + " ("), std::string::npos) << rel;
        EXPECT_NE(Attribut(quelle / rel) & attr::Archiv, 0) << rel;
    }
}

TEST_F(Medien, AStickThatKeepsNoDosBitsSpecialModesOrLinksStillGetsEveryFile) {
    // Samba stores user.DOSATTRIB on every file it writes, shared folders carry the set-group-ID bit, and the
    // source's own ancestors here include the sticky /tmp. An exFAT stick through FUSE keeps no DOS bits,
    // refuses those mode bits and holds no symbolic links: the backup onto it still holds every file; only the
    // link fails its check, named with its reason.
    Medium stick(temp / "exfat.img", temp / "exfat", Medienart::Exfat, 16);
    if (!stick.Einhaengen())
        GTEST_SKIP() << stick.Grund();
    const fs::path quelle = temp / "quelle";
    const std::map<std::string, const char*> werte{{"archiv.txt", "0x20"},
                                                   {"versteckt.txt", "0x22"},
                                                   {"system.txt", "0x24"},
                                                   {"ohne.txt", nullptr},
                                                   {"gruppe/geteilt.txt", nullptr}};
    for (const auto& [name, wert] : werte) {
        SchreibeDatei(quelle / name, name);
        if (wert != nullptr) {
            ASSERT_EQ(::setxattr((quelle / name).c_str(), "user.DOSATTRIB", wert, std::strlen(wert) + 1, 0), 0);
        }
    }
    ASSERT_EQ(::chmod((quelle / "gruppe").c_str(), 02775), 0);
    ASSERT_EQ(::chmod(temp.Pfad().c_str(), 01777), 0);
    fs::create_symlink("ohne.txt", quelle / "gruppe" / "verweis");
    std::map<std::string, Inhalt> neu;
    const Programmende ende = Lauf(quelle, stick.Punkt(), quelle.relative_path(), neu);
    EXPECT_EQ(ende.Status, 1) << ende.Aus << ende.Fehler;
    EXPECT_NE(ende.Fehler.find("Nicht gesichert: " + (quelle / "gruppe" / "verweis").string() +
                               " (das Ziel kann keine symbolischen Verknüpfungen speichern)"),
              std::string::npos)
        << ende.Fehler;
    EXPECT_EQ(ende.Fehler.find("Der Vorgang"), std::string::npos) << ende.Fehler;
    for (const auto& [name, wert] : werte) {
        EXPECT_EQ(neu[name], InhaltAus(name)) << name;
        EXPECT_EQ(Attribut(quelle / name) & attr::Archiv, 0) << name;
    }
}

TEST_F(Medien, NamesAFuseStickCannotStoreArePassedOverAndNamedInEveryRun) {
    // Through FUSE the mount table shows either stick as "fuseblk" only. exFAT refuses a colon, a question mark
    // and their kind; NTFS through ntfs-3g stores them all.
    struct Zeile {
        Medienart art;
        const char* name;
        bool nurWindows;
    };
    const char* const fremd[] = {"a:b", "x?", "st*r", "q\"", "<l", "g>", "p|p", "b\\s", "punkt.", "blank ", "o:x"};
    for (const Zeile& z : {Zeile{Medienart::Exfat, "exfat", true}, Zeile{Medienart::Ntfs, "ntfs", false}}) {
        SCOPED_TRACE(z.name);
        Medium stick(temp / (std::string(z.name) + ".img"), temp / z.name, z.art, 16);
        if (!stick.Einhaengen())
            GTEST_SKIP() << stick.Grund();
        const fs::path quelle = temp / (std::string("quelle-") + z.name);
        for (const std::string name : fremd)
            SchreibeDatei(name == "o:x" ? quelle / name / "innen.txt" : quelle / name, name);
        SchreibeDatei(quelle / "a.txt", "eins");
        SchreibeDatei(quelle / "zz" / "b.txt", "zwei");
        // The dry run makes no probe: it counts either stick as one that stores only the names Windows allows.
        const Programmende probe =
            programm.Warte(programm.Starte(quelle.string(), stick.Punkt().string(), {"--probe"}), false);
        EXPECT_EQ(probe.Status, 0) << probe.Fehler;
        EXPECT_NE(probe.Aus.find("würde 2 Dateien"), std::string::npos) << probe.Aus;
        for (const std::string name : fremd)
            EXPECT_NE(probe.Fehler.find("Nicht gesichert: " + (quelle / name).string() +
                                        " (das Ziel kann diesen Namen nicht speichern)"),
                      std::string::npos)
                << name << probe.Fehler;
        for (const int lauf : {1, 2}) {
            SCOPED_TRACE(lauf);
            std::map<std::string, Inhalt> neu;
            const Programmende ende = Lauf(quelle, stick.Punkt(), quelle.relative_path(), neu);
            EXPECT_EQ(ende.Status, z.nurWindows ? 1 : 0) << ende.Aus << ende.Fehler;
            EXPECT_EQ(ende.Fehler.find("Der Vorgang"), std::string::npos) << ende.Fehler;
            for (const std::string name : fremd)
                EXPECT_EQ(ende.Fehler.find("Nicht gesichert: " + (quelle / name).string() +
                                           " (das Ziel kann diesen Namen nicht speichern)") != std::string::npos,
                          z.nurWindows)
                    << name << ende.Fehler;
            // The folder is named once, never what it holds.
            EXPECT_EQ(ende.Fehler.find("innen.txt"), std::string::npos) << ende.Fehler;
            std::set<std::string> gesichert;
            for (const auto& [rel, inhalt] : Bestand(quelle.string())) {
                const bool fremderName = rel != "a.txt" && rel != "zz/b.txt";
                EXPECT_EQ(ArchivGesetzt((quelle / rel).string()), z.nurWindows && fremderName) << rel;
                if (lauf == 1 && (!z.nurWindows || !fremderName)) {
                    gesichert.insert(rel);
                    EXPECT_EQ(neu[rel], inhalt) << rel;
                }
            }
            // A second run has nothing left that it could back up.
            EXPECT_EQ(Namen(neu), lauf == 1 ? gesichert : std::set<std::string>{});
            EXPECT_EQ(gesichert.size(), lauf == 2 ? 0u : z.nurWindows ? 2u : 13u);
        }
    }
}

TEST_F(Medien, EveryFileMarkedAsBackedUpHasItsCopyOnTheSticksDevice) {
    // A stick pulled without being unmounted holds what its device held when the run ended: the image copied while
    // still mounted. The FUSE drivers of NTFS and exFAT write each closed file to the device, and the run's flush of
    // the file system writes the device's pages out; no flush per copy is asked there. Every file the run marked has
    // its copy whole on that device.
    for (const Medienart art : {Medienart::Ntfs, Medienart::Exfat}) {
        const std::string name = art == Medienart::Ntfs ? "ntfs" : "exfat";
        SCOPED_TRACE(name);
        Medium stick(temp / (name + ".img"), temp / name, art, 16);
        if (!stick.Einhaengen())
            GTEST_SKIP() << stick.Grund();
        const fs::path quelle = temp / ("quelle-" + name);
        for (const char* rel : {"a.txt", "b.txt", "sub/c.txt", "sub/tief/d.txt", "sub/tief/e.txt"})
            SchreibeDatei(quelle / rel, std::string(3000, rel[0]) + rel);
        std::map<std::string, Inhalt> neu;
        const Programmende ende = Lauf(quelle, stick.Punkt(), quelle.relative_path(), neu);
        ASSERT_EQ(ende.Status, 0) << ende.Aus << ende.Fehler;
        ASSERT_EQ(neu.size(), 5u);

        const fs::path abbild = temp / (name + "-gezogen.img");
        const fs::path punkt = temp / (name + "-gezogen");
        fs::create_directories(punkt);
        ASSERT_EQ(Fuehre({"cp", "--sparse=always", (temp / (name + ".img")).string(), abbild.string()}), 0);
        std::string geraet;
        ASSERT_EQ(Fuehre({"losetup", "-f", "--show", "-r", abbild.string()}, &geraet), 0) << geraet;
        geraet = geraet.substr(0, geraet.find('\n'));
        struct Loesen {
            std::string geraet;
            fs::path punkt;
            ~Loesen() {
                (void)Fuehre({"umount", punkt.string()});
                for (int versuch = 0; versuch < 50 && Fuehre({"losetup", "-d", geraet}) != 0; ++versuch)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        } loesen{geraet, punkt};
        std::string ausgabe;
        ASSERT_EQ(art == Medienart::Ntfs ? Fuehre({"ntfs-3g", "-o", "ro", geraet, punkt.string()}, &ausgabe)
                                         : Fuehre({"mount.exfat-fuse", "-o", "ro", geraet, punkt.string()}, &ausgabe),
                  0)
            << ausgabe;
        const auto ordner = Sicherungsordner(punkt);
        ASSERT_EQ(ordner.size(), 1u);
        const fs::path gesichert = punkt / *ordner.begin() / quelle.relative_path();
        int markiert = 0;
        for (const auto& [rel, inhalt] : Bestand(quelle.string())) {
            if ((Attribut(quelle / rel) & attr::Archiv) != 0)
                continue;
            ++markiert;
            EXPECT_EQ(InhaltVon((gesichert / rel).string()), std::optional<Inhalt>(inhalt)) << rel;
        }
        EXPECT_EQ(markiert, 5);
    }
}

TEST_F(Medien, DriveLettersStayWithTheirMountsAndAVanishedOneIsNeverWrittenTo) {
    Medium stick(temp / "stick.img", temp / "stick", Medienart::Exfat, 16);
    if (!stick.Einhaengen())
        GTEST_SKIP() << stick.Grund();
    const Laufwerkstabelle anfang = Laufwerkstabelle::AusMountTabelle();
    const auto wurzel = anfang.AusPosix(stick.Punkt().string());
    ASSERT_TRUE(wurzel && wurzel->size() == 3) << "the stick is a drive of its own";

    // A second medium whose mount point sorts before the first one's: the first keeps its letter.
    Medium zweiter(temp / "aaa.img", temp / "aaa", Medienart::Exfat, 16);
    ASSERT_TRUE(zweiter.Einhaengen()) << zweiter.Grund();
    const Laufwerkstabelle mitZweitem = anfang.Fortgeschrieben(Laufwerkstabelle::AusMountTabelle());
    EXPECT_EQ(mitZweitem.ZuPosix(*wurzel), stick.Punkt().string());
    const auto zweiteWurzel = mitZweitem.AusPosix(zweiter.Punkt().string());
    ASSERT_TRUE(zweiteWurzel && zweiteWurzel->size() == 3);
    EXPECT_EQ(anfang.Finde((*zweiteWurzel)[0]), nullptr) << "a new mount takes a letter that was free";
    auto dateisystem = ErzeugePosixDateisystem(mitZweitem);
    dateisystem->MakeDir(*wurzel + "vorher");
    EXPECT_TRUE(fs::is_directory(stick.Punkt() / "vorher"));

    // Unplugged: the folder it covered is a plain folder of the disk below now. Nothing may be made there.
    stick.Aushaengen();
    try {
        dateisystem->MakeDir(*wurzel + "Sicherung");
        ADD_FAILURE() << "MakeDir on a drive whose mount went away";
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Ursache(), std::make_error_code(std::errc::no_such_device)) << f.Bericht();
    }
    EXPECT_TRUE(fs::is_empty(stick.Punkt()));

    // Read again: its letter stays taken, not ready; the other keeps its own.
    const Laufwerkstabelle danach = mitZweitem.Fortgeschrieben(Laufwerkstabelle::AusMountTabelle());
    const Laufwerk* alt = danach.Finde((*wurzel)[0]);
    ASSERT_NE(alt, nullptr);
    EXPECT_FALSE(alt->Bereit);
    EXPECT_FALSE(danach.ZuPosix(*wurzel).has_value());
    EXPECT_EQ(danach.ZuPosix(*zweiteWurzel), zweiter.Punkt().string());
}

// The source's records take no disk space of their own on ext4 with inodes of the default 256 bytes: the files'
// usage after a backup equals their usage before, also where their records were of the earlier text form,
// which took a block each and is written small again.
TEST_F(Medien, TheRecordsOfTheSourceTakeNoBlockOfTheirOwnOnExt4) {
    Abbild abbild(temp / "quelle.img", temp / "quelle", 16,
                  {"mkfs.ext4", "-q", "-F", "-I", "256", "-O", "^has_journal", "-m", "0"});
    if (!abbild.Bereit() || !abbild.Einhaengen())
        GTEST_SKIP() << abbild.Grund();
    const fs::path quelle = abbild.Punkt() / "daten";
    std::vector<fs::path> dateien;
    for (int i = 0; i < 40; ++i) {
        dateien.push_back((i % 2 ? quelle / "unter" : quelle) / ("d" + std::to_string(i)));
        SchreibeDatei(dateien.back(), "Inhalt " + std::to_string(i));
    }
    auto bloecke = [&] {
        ::sync();
        long summe = 0;
        for (const auto& d : dateien) {
            struct stat st {};
            EXPECT_EQ(::lstat(d.c_str(), &st), 0) << d;
            summe += st.st_blocks;
        }
        return summe;
    };
    const long vorher = bloecke();
    const fs::path ziel = temp / "ziel";
    fs::create_directories(ziel);
    struct Fall {
        const char* Name;
        std::function<void()> Vorbereitung;
        bool MehrDavor; // the records before the run take blocks
    };
    const std::vector<Fall> faelle = {
        {"files without records", [] {}, false},
        {"records of the earlier text form",
         [&] {
             for (const auto& d : dateien) {
                 struct stat st {};
                 ASSERT_EQ(::lstat(d.c_str(), &st), 0);
                 const std::string text = posix::ArchivvermerkText({posix::StandAus(st), 1, 0x0123456789abcdef});
                 ASSERT_EQ(::setxattr(d.c_str(), posix::ArchivvermerkName, text.data(), text.size(), 0), 0);
             }
         },
         true},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        f.Vorbereitung();
        if (f.MehrDavor) {
            EXPECT_GT(bloecke(), vorher);
        }
        const Programmende ende = programm.Sichere(quelle.string(), ziel.string());
        ASSERT_EQ(ende.Status, 0) << ende.Aus << ende.Fehler;
        EXPECT_EQ(bloecke(), vorher);
        for (const auto& d : dateien)
            EXPECT_FALSE(ArchivGesetzt(d.string())) << d;
    }
}

} // namespace
} // namespace tresor::test
