// A disk that is gone, whose letter another disk has today: each disk an ext4 image on a loop device, and the drive
// table of each start read from the mount table (this test's mounts), so that letters follow the order of the mount
// points as they do for the program. The gone disk's backups come back as their records name the source, and the
// folder that its letter names today, with backups of its own in the same target, is never mixed in. Needs root and
// loop devices, and skips elsewhere.
#include "tests/Testhilfen.h"
#include "tests/cli/Aufruf.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

class Sekundentakt : public Uhr {
public:
    Datum Date() override { return {2026, 3, 14}; }
    Zeit Time() override { return {9, 0, sekunde}; }
    int sekunde = 0;
};

// The files below `wurzel` with their content, by relative path.
std::map<std::string, std::string> Dateien(const fs::path& wurzel) {
    std::map<std::string, std::string> dateien;
    for (const auto& e : fs::recursive_directory_iterator(wurzel))
        if (e.is_regular_file())
            dateien[fs::relative(e.path(), wurzel).string()] = LiesDatei(e.path());
    return dateien;
}

TEST(VerlorenesLaufwerk, AGoneDisksBackupsComeBackAsRecordedWhenItsLetterNamesAnotherDiskToday) {
    TempOrdner temp;
    const fs::path m = temp / "m";
    // Mount points in this order: the new disk sorts before the gone one, the target after both.
    Abbild alt(temp / "alt.img", m / "b-alt", 16);
    Abbild neu(temp / "neu.img", m / "a-neu", 16);
    Abbild ziel(temp / "ziel.img", m / "z-ziel", 16);
    if (!alt.Bereit() || !alt.Einhaengen())
        GTEST_SKIP() << alt.Grund();
    ASSERT_TRUE(ziel.Einhaengen()) << ziel.Grund();
    // The drive table at a start: C: and this test's mounts, lettered from D: on in the order of their mount points.
    const auto start = [&m] {
        std::ifstream ein("/proc/self/mountinfo");
        std::string text;
        for (std::string zeile; std::getline(ein, zeile);)
            if (zeile.find(" " + m.string() + "/") != std::string::npos)
                text += zeile + "\n";
        return Laufwerkstabelle::AusMountinfo(text);
    };
    Sekundentakt uhr;
    std::ostringstream aus, fehler;
    Laufwerkstabelle laufwerke;
    const auto rufe = [&](const std::vector<std::string>& a) {
        return RufeBefehlszeile(a, aus, fehler, laufwerke, uhr, temp.Pfad());
    };
    fs::create_directories(ziel.Punkt() / "Backup");

    // The first disk is D:, the target E:.
    laufwerke = start();
    ASSERT_EQ(laufwerke.ZuPosix("D:\\"), alt.Punkt().string());
    SchreibeDatei(alt.Punkt() / "Fotos" / "urlaub.jpg", "vom alten Laufwerk");
    SchreibeDatei(alt.Punkt() / "Fotos" / "2025" / "winter.jpg", "Schnee");
    ++uhr.sekunde;
    ASSERT_EQ(rufe({"--quelle", "D:\\Fotos", "--ziel", "E:\\Backup"}), 0) << fehler.str();
    const auto altesLaufwerk = Dateien(alt.Punkt() / "Fotos");
    alt.Aushaengen();

    // It died. A new disk is mounted, before it in the order: the new one is D: at the next start. Its folder
    // Fotos is backed up into the same target.
    ASSERT_TRUE(neu.Einhaengen()) << neu.Grund();
    laufwerke = start();
    ASSERT_EQ(laufwerke.ZuPosix("D:\\"), neu.Punkt().string());
    SchreibeDatei(neu.Punkt() / "Fotos" / "neu.jpg", "vom neuen Laufwerk");
    ++uhr.sekunde;
    ASSERT_EQ(rufe({"--quelle", "D:\\Fotos", "--ziel", "E:\\Backup"}), 0) << fehler.str();
    const auto neuesLaufwerk = Dateien(neu.Punkt() / "Fotos");

    ASSERT_EQ(rufe({"--liste", "--ziel", "E:\\Backup"}), 0) << fehler.str();
    EXPECT_NE(aus.str().find("  D:\\Fotos (früher " + (alt.Punkt() / "Fotos").string() + ")  "), std::string::npos)
        << aus.str();
    EXPECT_NE(aus.str().find("  D:\\Fotos  "), std::string::npos) << aus.str();
    struct Fall {
        const char* was;
        std::vector<std::string> weitere;
        const std::map<std::string, std::string>& soll;
    };
    const std::vector<Fall> faelle = {
        {"the gone disk's folder, as recorded", {"--wie-verzeichnet"}, altesLaufwerk},
        {"the folder D: names today", {}, neuesLaufwerk},
    };
    int nummer = 0;
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.was);
        std::vector<std::string> pruefen = {"--pruefen", "--ziel", "E:\\Backup", "--quelle", "D:\\Fotos"};
        pruefen.insert(pruefen.end(), f.weitere.begin(), f.weitere.end());
        EXPECT_EQ(rufe(pruefen), 0) << fehler.str();
        const fs::path nach = temp / ("zurueck" + std::to_string(++nummer));
        std::vector<std::string> zurueck = {"--wiederherstellen", "--ziel", "E:\\Backup", "--quelle",
                                            "D:\\Fotos",          "--nach", nach.string()};
        zurueck.insert(zurueck.end(), f.weitere.begin(), f.weitere.end());
        ASSERT_EQ(rufe(zurueck), 0) << fehler.str();
        EXPECT_EQ(Dateien(nach), f.soll);
    }
}

} // namespace
} // namespace tresor::test
