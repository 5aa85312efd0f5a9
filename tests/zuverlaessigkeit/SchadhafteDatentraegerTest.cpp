// Disks that fail: a backup disk that lay unused for years and now fails to read some of its blocks, and a disk
// restored onto that fails to write. Each disk an image on a loop device. The backup disk's blocks the test breaks
// itself while it is unmounted (btrfs, whose data checksums make a broken copy or record an input/output error;
// ext4, whose checksums of folders make a broken folder unreadable): the restore and the check of a point bring
// back and call whole all that does not lie in the broken blocks, name each entry that does, and end with exit
// status 1; the listing still lists every backup. The disk restored onto claims more room than the memory disk
// that holds its image has: its writes fail once that is full, after the files were closed. Needs root and loop
// devices, and skips elsewhere.
#include "tests/Testhilfen.h"
#include "tests/cli/Aufruf.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

class Sekundenschritt : public Uhr {
public:
    Datum Date() override { return {2026, 3, 14}; }
    Zeit Time() override { return {9, 0, sekunde}; }
    int sekunde = 0;
};

// A backup disk in an image of its own, mounted as D: with an empty folder Backup on it, the source C:\Daten beside
// it, and the command line called with a clock that steps a second a run.
class Sicherungsplatte : public ::testing::Test {
protected:
    // Formats and mounts the disk (`mkfs` as for Abbild); false where that is not permitted (Grund()).
    bool Richte(int mebibyte, std::vector<std::string> mkfs) {
        platte = std::make_unique<Abbild>(temp / "platte.img", temp / "D", mebibyte, std::move(mkfs));
        if (!platte->Bereit() || !platte->Einhaengen())
            return false;
        fs::create_directories(temp / "C" / "Daten");
        fs::create_directories(platte->Punkt() / "Backup");
        laufwerke = Laufwerkstabelle({Laufwerk{'C', (temp / "C").string(), {}}, Laufwerk{'D', platte->Punkt(), {}}});
        return true;
    }
    int Rufe(const std::vector<std::string>& argumente) {
        return RufeBefehlszeile(argumente, aus, fehler, laufwerke, uhr, temp.Pfad());
    }

    TempOrdner temp;
    std::unique_ptr<Abbild> platte; // unmounted before the temporary folder goes
    Laufwerkstabelle laufwerke;
    Sekundenschritt uhr;
    std::ostringstream aus, fehler;
};

// A content of `groesse` bytes that occurs nowhere else on the disk: `marke` repeated.
std::string Muster(const std::string& marke, std::size_t groesse) {
    std::string s;
    while (s.size() < groesse)
        s += marke;
    s.resize(groesse);
    return s;
}

// Overwrites `laenge` bytes of the image at `stelle`.
void Ueberschreibe(const fs::path& bild, std::uint64_t stelle, std::size_t laenge) {
    std::fstream f(bild, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(stelle));
    const std::string muell(laenge, '\x5a');
    f.write(muell.data(), static_cast<std::streamsize>(muell.size()));
}

// Where `inhalt` begins in the image; npos where it is not there.
std::size_t Finde(const fs::path& bild, const std::string& inhalt) {
    std::ifstream f(bild, std::ios::binary);
    const std::string alles((std::istreambuf_iterator<char>(f)), {});
    return alles.find(inhalt);
}

// The files below `wurzel` with their content, and every other entry with an empty one, by relative path.
std::map<std::string, std::string> Eintraege(const fs::path& wurzel) {
    std::map<std::string, std::string> e;
    if (!fs::exists(wurzel))
        return e;
    for (const auto& d : fs::recursive_directory_iterator(wurzel))
        e[fs::relative(d.path(), wurzel).string()] = d.is_regular_file() ? LiesDatei(d.path()) : std::string();
    return e;
}

enum class Schaden {
    Kopie,         // a block of one copy in the middle backup (btrfs)
    Bestandsliste, // a block inside the middle backup's record (btrfs)
    Ordner,        // the middle backup folder's own block, which holds its names (ext4)
};

struct Fall {
    const char* Name;
    Schaden Was;
    // The point restored and checked: the middle one, else the newest.
    bool Mitte;
    // Its entries that neither the restore nor the check can bring back; all of them where `Mitte`.
    std::set<std::string> Verloren;
    // What the restore and the check say of it.
    const char* Grund;
    // Restored into a folder on the backup disk itself, where a copy may share the blocks of its backup.
    bool AufDiePlatte = false;
};

class BeschaedigteSicherung : public Sicherungsplatte, public ::testing::WithParamInterface<Fall> {};

TEST_P(BeschaedigteSicherung, TheRestComesBackAndEachBrokenEntryIsNamed) {
    const Fall& fall = GetParam();
    const bool ext4 = fall.Was == Schaden::Ordner;
    if (!Richte(ext4 ? 32 : 128,
                ext4 ? std::vector<std::string>{"mkfs.ext4", "-q", "-F", "-b", "4096", "-O", "^has_journal", "-m", "0"}
                     : std::vector<std::string>{"mkfs.btrfs", "-q", "-f"}))
        GTEST_SKIP() << platte->Grund();
    const auto sichere = [&] {
        ++uhr.sekunde;
        EXPECT_EQ(Rufe({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}), 0) << fehler.str();
        return "2026-03-14--09-00-0" + std::to_string(uhr.sekunde);
    };
    const fs::path q = temp / "C" / "Daten";
    // Files too large to lie inside the file system's own records: their blocks are theirs alone.
    SchreibeDatei(q / "a.txt", Muster("erste Fassung von a ", 65536));
    SchreibeDatei(q / "b.txt", Muster("erste Fassung von b ", 65536));
    const std::string s1 = sichere();
    SchreibeDatei(q / "b.txt", Muster("zweite Fassung von b ", 65536));
    SchreibeDatei(q / "m" / "c.txt", Muster("die einzige Fassung von c ", 65536));
    // Enough names that the record of this run fills several blocks of its own.
    if (fall.Was == Schaden::Bestandsliste)
        for (int i = 0; i < 120; ++i)
            SchreibeDatei(q / "viele" / ("n" + std::to_string(100 + i)), "n");
    const std::string s2 = sichere();
    SchreibeDatei(q / "d.txt", "d");
    const std::string s3 = sichere();
    const auto soll = fall.Mitte ? std::map<std::string, std::string>{} : Eintraege(q);
    const std::string stand = fall.Mitte ? s2 : s3;
    const std::string mitte = "Sicherung-" + s2;
    const fs::path bild = temp / "platte.img";
    const std::string bestand = LiesDatei(platte->Punkt() / "Backup" / mitte / "tresor-ix-bestand.txt");
    std::string blocknummer;
    if (ext4) {
        ASSERT_EQ(Fuehre({"sh", "-c", "debugfs -R 'blocks /Backup/" + mitte + "' " + bild.string() + " 2>/dev/null"},
                         &blocknummer),
                  0);
    }
    platte->Aushaengen();

    switch (fall.Was) {
    case Schaden::Kopie: {
        const std::size_t stelle = Finde(bild, Muster("die einzige Fassung von c ", 8192));
        ASSERT_NE(stelle, std::string::npos);
        Ueberschreibe(bild, stelle + 20000, 16);
        break;
    }
    case Schaden::Bestandsliste: {
        // Its head names its backup folder: found only once. Its blocks lie one after the other.
        const std::size_t stelle = Finde(bild, bestand.substr(0, 200));
        ASSERT_NE(stelle, std::string::npos);
        ASSERT_GT(bestand.size(), 8000U);
        ASSERT_EQ(Finde(bild, bestand.substr(0, 8000)), stelle);
        Ueberschreibe(bild, stelle + 6000, 16);
        break;
    }
    case Schaden::Ordner:
        Ueberschreibe(bild, std::stoull(blocknummer) * 4096, 4096);
        break;
    }
    ASSERT_TRUE(platte->Einhaengen()) << platte->Grund();

    // The listing lists every backup.
    EXPECT_EQ(Rufe({"--liste", "--ziel", "D:\\Backup"}), 0) << fehler.str();
    for (const std::string& s : {s1, s3})
        EXPECT_NE(aus.str().find(s + "  C:\\Daten  "), std::string::npos) << aus.str() << fehler.str();

    EXPECT_EQ(Rufe({"--pruefen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", stand}), 1);
    for (const std::string& pfad : fall.Verloren)
        EXPECT_NE(fehler.str().find(": " + pfad + ": "), std::string::npos) << pfad << "\n" << fehler.str();
    EXPECT_NE(fehler.str().find(fall.Grund), std::string::npos) << fehler.str();

    const fs::path nach = fall.AufDiePlatte ? platte->Punkt() / "zurueck" : temp / "C" / "zurueck";
    EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand", stand, "--nach",
                    nach.string()}),
              1);
    for (const std::string& pfad : fall.Verloren)
        EXPECT_NE(fehler.str().find("Nicht wiederhergestellt: " + pfad + ": "), std::string::npos) << pfad << "\n"
                                                                                                   << fehler.str();
    EXPECT_NE(fehler.str().find(fall.Grund), std::string::npos) << fehler.str();
    // Everything else exactly, and nothing half written under any name.
    auto erwartet = soll;
    for (const std::string& pfad : fall.Verloren)
        erwartet.erase(pfad);
    const auto ist = fs::exists(nach) ? Eintraege(nach) : std::map<std::string, std::string>();
    EXPECT_EQ(ist, erwartet);
}

INSTANTIATE_TEST_SUITE_P(
    Faelle, BeschaedigteSicherung,
    ::testing::Values(
        Fall{"Kopie", Schaden::Kopie, false, {"m/c.txt"}, "Ein-/Ausgabefehler"},
        Fall{"KopieAufDiePlatte", Schaden::Kopie, false, {"m/c.txt"}, "Ein-/Ausgabefehler", true},
        Fall{"Bestandsliste", Schaden::Bestandsliste, true, {}, " ist nicht brauchbar: "},
        Fall{"Ordner", Schaden::Ordner, false, {"b.txt", "m/c.txt"}, "Daten auf dem Datenträger beschädigt"}),
    [](const ::testing::TestParamInfo<Fall>& i) { return std::string(i.param.Name); });

// A backup disk with one backup folder whose own block no longer reads (ext4): a backup run into it and a thinning
// of it go on, name that folder and end with exit status 1. The run copies again what it can no longer vouch for,
// so that its point is whole; the thinning keeps that folder and every point whose copies it might need.
struct Folgefall {
    const char* Name;
    int Kaputt;       // the backup broken: 1 the oldest, 3 the newest
    bool Ausduennen;  // a thinning that keeps the newest point alone, else a backup run
    std::set<int> Da; // after the thinning: the backups still there
};

class UnlesbarerOrdner : public Sicherungsplatte, public ::testing::WithParamInterface<Folgefall> {};

TEST_P(UnlesbarerOrdner, BackupAndThinningGoOnAndNameIt) {
    const Folgefall& fall = GetParam();
    if (!Richte(32, {"mkfs.ext4", "-q", "-F", "-b", "4096", "-O", "^has_journal", "-m", "0"}))
        GTEST_SKIP() << platte->Grund();
    const std::vector<std::string> sichern = {"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"};
    std::vector<std::string> punkte;
    const auto sichere = [&] {
        ++uhr.sekunde;
        punkte.push_back("Sicherung-2026-03-14--09-00-0" + std::to_string(uhr.sekunde));
        return Rufe(sichern);
    };
    const fs::path q = temp / "C" / "Daten";
    SchreibeDatei(q / "a.txt", Muster("erste Fassung von a ", 65536));
    SchreibeDatei(q / "b.txt", Muster("erste Fassung von b ", 65536));
    ASSERT_EQ(sichere(), 0) << fehler.str();
    SchreibeDatei(q / "b.txt", Muster("zweite Fassung von b ", 65536));
    SchreibeDatei(q / "m" / "c.txt", Muster("die einzige Fassung von c ", 65536));
    ASSERT_EQ(sichere(), 0) << fehler.str();
    SchreibeDatei(q / "d.txt", "d");
    ASSERT_EQ(sichere(), 0) << fehler.str();
    const std::string kaputt = punkte[static_cast<std::size_t>(fall.Kaputt - 1)];
    const fs::path bild = temp / "platte.img";
    std::string blocknummer;
    ASSERT_EQ(Fuehre({"sh", "-c", "debugfs -R 'blocks /Backup/" + kaputt + "' " + bild.string() + " 2>/dev/null"},
                     &blocknummer),
              0);
    platte->Aushaengen();
    Ueberschreibe(bild, std::stoull(blocknummer) * 4096, 4096);
    ASSERT_TRUE(platte->Einhaengen()) << platte->Grund();
    const std::string genannt =
        kaputt + ": Der Sicherungsordner ist nicht lesbar: Daten auf dem Datenträger beschädigt";

    if (fall.Ausduennen) {
        EXPECT_EQ(Rufe({"--aufraeumen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--behalte-letzte", "1"}), 1);
        EXPECT_NE(fehler.str().find("Bleibt: " + genannt + "."), std::string::npos) << fehler.str();
        std::set<int> da;
        for (int i = 1; i <= 3; ++i)
            if (fs::exists(platte->Punkt() / "Backup" / punkte[static_cast<std::size_t>(i - 1)]))
                da.insert(i);
        EXPECT_EQ(da, fall.Da);
        // The newest point still has every version that does not lie in the broken folder alone.
        const std::set<std::string> nurDort = fall.Kaputt == 1   ? std::set<std::string>{"a.txt"}
                                              : fall.Kaputt == 2 ? std::set<std::string>{"b.txt", "m/c.txt"}
                                                                 : std::set<std::string>{};
        if (fall.Kaputt == 3)
            return;
        const fs::path nach = temp / "C" / "zurueck";
        EXPECT_EQ(
            Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", nach.string()}), 1);
        auto erwartet = Eintraege(q);
        for (const std::string& pfad : nurDort)
            erwartet.erase(pfad);
        EXPECT_EQ(Eintraege(nach), erwartet) << fehler.str();
        return;
    }

    SchreibeDatei(q / "e.txt", "e");
    EXPECT_EQ(sichere(), 1);
    EXPECT_NE(fehler.str().find("D:\\Backup\\" + genannt), std::string::npos) << fehler.str();
    // The new point is whole: what lay only in the broken folder was copied again.
    const fs::path nach = temp / "C" / "zurueck";
    EXPECT_EQ(Rufe({"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--stand",
                    punkte.back().substr(10), "--nach", nach.string()}),
              0)
        << fehler.str();
    EXPECT_EQ(Eintraege(nach), Eintraege(q));
}

INSTANTIATE_TEST_SUITE_P(Faelle, UnlesbarerOrdner,
                         ::testing::Values(Folgefall{"SicherungAeltester", 1, false, {}},
                                           Folgefall{"SicherungMitte", 2, false, {}},
                                           Folgefall{"SicherungNeuester", 3, false, {}},
                                           Folgefall{"AusduennungGehender", 1, true, {1, 3}},
                                           Folgefall{"AusduennungMitte", 2, true, {1, 2, 3}},
                                           Folgefall{"AusduennungNeuester", 3, true, {1, 2, 3}}),
                         [](const ::testing::TestParamInfo<Folgefall>& i) { return std::string(i.param.Name); });

TEST(SchadhaftesZiel, ARestoreWhoseWritesNeverReachTheDiskSaysSo) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "Einhängen braucht root";
    TempOrdner temp;
    const fs::path speicher = temp / "speicher";
    fs::create_directories(speicher);
    ASSERT_EQ(Fuehre({"mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", speicher.string()}), 0);
    struct Aushaengen {
        fs::path punkt;
        ~Aushaengen() { (void)Fuehre({"umount", "-l", punkt.string()}); }
    } const aushaengen{speicher};
    Abbild platte(speicher / "platte.img", temp / "E", 64);
    if (!platte.Bereit() || !platte.Einhaengen())
        GTEST_SKIP() << platte.Grund();
    fs::create_directories(temp / "D" / "Backup");
    const Laufwerkstabelle laufwerke({Laufwerk{'C', (temp / "C").string(), {}},
                                      Laufwerk{'D', (temp / "D").string(), {}}, Laufwerk{'E', platte.Punkt(), {}}});
    std::mt19937_64 zufall(7);
    for (const char* name : {"a", "b", "c"}) {
        std::string inhalt(2 << 20, '\0');
        for (char& c : inhalt)
            c = static_cast<char>(zufall());
        SchreibeDatei(temp / "C" / "Daten" / name, inhalt);
    }
    Sekundenschritt uhr;
    std::ostringstream aus, fehler;
    ASSERT_EQ(
        RufeBefehlszeile({"--quelle", "C:\\Daten", "--ziel", "D:\\Backup"}, aus, fehler, laufwerke, uhr, temp.Pfad()),
        0)
        << fehler.str();

    EXPECT_EQ(RufeBefehlszeile(
                  {"--wiederherstellen", "--ziel", "D:\\Backup", "--quelle", "C:\\Daten", "--nach", "E:\\zurueck"}, aus,
                  fehler, laufwerke, uhr, temp.Pfad()),
              1)
        << aus.str() << fehler.str();
    EXPECT_NE(fehler.str().find("Nicht dauerhaft geschrieben: Was in E:\\zurueck wiederhergestellt wurde, hat der "
                                "Datenträger nicht vollständig aufgenommen ("),
              std::string::npos)
        << fehler.str();
}

} // namespace
} // namespace tresor::test
