#include "tests/engine/Engineumgebung.h"

namespace tresor::test {
namespace {

class Pfaderstellung : public Engineumgebung {
protected:
    void SetUp() override {
        sicherung.fso = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), &protokoll);
    }
    // The lookups and creations in the order they were made.
    std::vector<std::string> Schritte() const {
        std::vector<std::string> r;
        for (const auto& z : protokoll)
            if (z.rfind("Dir ", 0) == 0 || z.rfind("MakeDir ", 0) == 0)
                r.push_back(z);
        return r;
    }
};

TEST_F(Pfaderstellung, DeepPathLooksUpAndCreatesFromSecondLevelDown) {
    std::filesystem::create_directories(Posix("D:\\Ziel"));
    sicherung.ErstellePfad("D:\\Ziel\\Neu\\Daten");
    const std::vector<std::string> erwartet = {"Dir D:\\Ziel\\Neu 22", "MakeDir D:\\Ziel\\Neu",
                                               "Dir D:\\Ziel\\Neu\\Daten 22", "MakeDir D:\\Ziel\\Neu\\Daten"};
    EXPECT_EQ(Schritte(), erwartet);
    EXPECT_TRUE(std::filesystem::is_directory(Posix("D:\\Ziel\\Neu\\Daten")));
    EXPECT_EQ(std::get<Pfad>(sicherung.tmp), "D:\\Ziel\\Neu\\Daten");
}

TEST_F(Pfaderstellung, ExistingLevelsAreOnlyLookedUp) {
    std::filesystem::create_directories(Posix("D:\\Ziel\\Neu\\Daten"));
    sicherung.ErstellePfad("D:\\Ziel\\Neu\\Daten");
    EXPECT_EQ(Zaehle("MakeDir"), 0u);
    EXPECT_EQ(Zaehle("Dir"), 2u);
}

TEST_F(Pfaderstellung, SingleLevelCreatedWhenMissingAndTmpUntouched) {
    sicherung.tmp = 7;
    sicherung.ErstellePfad("D:\\Einzeln");
    EXPECT_TRUE(std::filesystem::is_directory(Posix("D:\\Einzeln")));
    EXPECT_EQ(std::get<int>(sicherung.tmp), 7);
    protokoll.clear();
    sicherung.ErstellePfad("D:\\Einzeln");
    EXPECT_EQ(Schritte(), std::vector<std::string>{"Dir D:\\Einzeln 22"});
}

TEST_F(Pfaderstellung, ThreeMissingLevelsCreatedInOrderFromTheTop) {
    std::filesystem::create_directories(Posix("D:\\Ziel"));
    sicherung.ErstellePfad("D:\\Ziel\\a\\b\\c");
    std::vector<std::string> erstellt;
    for (const auto& z : Schritte())
        if (z.rfind("MakeDir", 0) == 0)
            erstellt.push_back(z);
    EXPECT_EQ(erstellt,
              (std::vector<std::string>{"MakeDir D:\\Ziel\\a", "MakeDir D:\\Ziel\\a\\b", "MakeDir D:\\Ziel\\a\\b\\c"}));
}

TEST_F(Pfaderstellung, MissingFirstLevelFailsAtSecondAndCreatesNothing) {
    try {
        sicherung.ErstellePfad("D:\\Fehlt\\Neu");
        FAIL() << "no error";
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Operation(), "MakeDir");
        EXPECT_EQ(f.Path(), "D:\\Fehlt\\Neu");
    }
    EXPECT_FALSE(Existiert("D:\\Fehlt"));
}

TEST_F(Pfaderstellung, DriveRootBackslashNeverEndsALevel) {
    std::filesystem::create_directories(Posix("D:\\A"));
    sicherung.ErstellePfad("D:\\A\\B");
    // The first level is A (not "D:"), so only B is looked up.
    EXPECT_EQ(Schritte(), (std::vector<std::string>{"Dir D:\\A\\B 22", "MakeDir D:\\A\\B"}));
}

TEST_F(Pfaderstellung, HiddenAndSystemLevelsCountAsPresent) {
    std::filesystem::create_directories(Posix("D:\\Ziel\\.versteckt"));
    std::filesystem::create_directories(Posix("D:\\Ziel\\Sys"));
    SetzeDosattrib(Posix("D:\\Ziel\\Sys"), attr::System);
    sicherung.ErstellePfad("D:\\Ziel\\.versteckt\\innen");
    sicherung.ErstellePfad("D:\\Ziel\\Sys\\innen");
    EXPECT_TRUE(std::filesystem::is_directory(Posix("D:\\Ziel\\.versteckt\\innen")));
    EXPECT_TRUE(std::filesystem::is_directory(Posix("D:\\Ziel\\Sys\\innen")));
}

TEST_F(Pfaderstellung, PlainFileCountsAsPresentAndLevelBelowItFails) {
    SchreibeDatei(Posix("D:\\Ziel\\Datei"), "x");
    sicherung.ErstellePfad("D:\\Ziel\\Datei");
    EXPECT_EQ(Zaehle("MakeDir"), 0u);
    EXPECT_THROW(sicherung.ErstellePfad("D:\\Ziel\\Datei\\Unter"), FsFehler);
}

} // namespace
} // namespace tresor::test
