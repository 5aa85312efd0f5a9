#include "tests/engine/Engineumgebung.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <map>
#include <optional>

namespace tresor::test {
namespace {

class Aenderungssuche : public Engineumgebung {
protected:
    // A tree whose files all read archive clear.
    void Unveraendert(const std::vector<Pfad>& dateien) {
        for (const auto& d : dateien)
            Schreibe(d, "x", 0);
    }
    std::vector<std::string> GeoeffneteOrdner() const {
        std::vector<std::string> r;
        for (const auto& z : protokoll)
            if (z.rfind("GetFolder ", 0) == 0)
                r.push_back(z.substr(10));
        return r;
    }
};

TEST_F(Aenderungssuche, EmptyFolderLeavesFlagAndPointsFcAtIt) {
    std::filesystem::create_directories(Posix("C:\\Leer"));
    sicherung.fso = ErzeugePosixDateisystem(laufwerke);
    sicherung.AttrTest("C:\\Leer");
    EXPECT_EQ(sicherung.tmp_sichern, "nein");
    ASSERT_TRUE(sicherung.fc.has_value());
    EXPECT_EQ(sicherung.fc->Ordner, "C:\\Leer");
    EXPECT_TRUE(sicherung.fc->Elemente.empty());
    EXPECT_TRUE(std::holds_alternative<std::monostate>(sicherung.tmp));
}

TEST_F(Aenderungssuche, DeepFileFoundDepthFirstAndLaterFoldersNotOpened) {
    Unveraendert({"C:\\Q\\a.txt", "C:\\Q\\A\\x.txt", "C:\\Q\\A\\A1\\y.txt", "C:\\Q\\C\\z.txt"});
    Schreibe("C:\\Q\\B\\B1\\B2\\neu.txt", "neu");
    sicherung.fso = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), &protokoll);
    sicherung.AttrTest("C:\\Q");
    EXPECT_EQ(sicherung.tmp_sichern, "ja");
    // Each folder is got once by the walk, for its subfolders and its files; C comes after the find and stays closed.
    const std::vector<std::string> erwartet = {"C:\\Q",    "C:\\Q\\A",     "C:\\Q\\A\\A1",
                                               "C:\\Q\\B", "C:\\Q\\B\\B1", "C:\\Q\\B\\B1\\B2"};
    EXPECT_EQ(GeoeffneteOrdner(), erwartet);
    EXPECT_EQ(sicherung.fc->Ordner, "C:\\Q\\B\\B1\\B2");
}

TEST_F(Aenderungssuche, FileInTopFolderEndsScanBeforeAnySubfolder) {
    Unveraendert({"C:\\Q\\A\\x.txt"});
    Schreibe("C:\\Q\\b.txt", "neu");
    sicherung.fso = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), &protokoll);
    sicherung.AttrTest("C:\\Q");
    EXPECT_EQ(sicherung.tmp_sichern, "ja");
    EXPECT_EQ(Zaehle("SubFolders C:\\Q"), 1u); // taken before the files were examined
    EXPECT_EQ(Zaehle("GetFolder C:\\Q\\A"), 0u);
}

TEST_F(Aenderungssuche, StopsAtFirstQualifyingFileOfAFolder) {
    Schreibe("C:\\Q\\a.txt", "x", 32);
    Schreibe("C:\\Q\\b.txt", "x", 32);
    sicherung.fso = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), &protokoll);
    sicherung.AttrTest("C:\\Q");
    EXPECT_EQ(Zaehle("Attributes C:\\Q\\a.txt"), 1u);
    EXPECT_EQ(Zaehle("Attributes C:\\Q\\b.txt"), 0u);
}

TEST_F(Aenderungssuche, WholeValueComparedWithThirtyTwo) {
    // Values below 32 never count, whatever bits they hold; 32 and above always do.
    for (int wert : {0, 1, 2, 4, 7}) {
        Schreibe("C:\\N\\f.txt", "x", wert);
        sicherung.tmp_sichern = "nein";
        sicherung.fso = ErzeugePosixDateisystem(laufwerke);
        sicherung.AttrTest("C:\\N");
        EXPECT_EQ(sicherung.tmp_sichern, "nein") << wert;
    }
    for (int wert : {32, 33, 38}) {
        Schreibe("C:\\J\\f.txt", "x", wert);
        sicherung.tmp_sichern = "nein";
        sicherung.fso = ErzeugePosixDateisystem(laufwerke);
        sicherung.AttrTest("C:\\J");
        EXPECT_EQ(sicherung.tmp_sichern, "ja") << wert;
    }
    // A value that reaches 32 only through higher bits counts as well.
    Schreibe("C:\\H\\f.txt", "x", 0);
    attributfilter = [](const Datei&, int) { return 64; };
    auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), nullptr);
    h->attributfilter = attributfilter;
    sicherung.fso = std::move(h);
    sicherung.tmp_sichern = "nein";
    sicherung.AttrTest("C:\\H");
    EXPECT_EQ(sicherung.tmp_sichern, "ja");
}

TEST_F(Aenderungssuche, HiddenAndSystemEntriesAreExamined) {
    Schreibe("C:\\Q\\.versteckt\\.innen\\.datei", "neu");
    sicherung.fso = ErzeugePosixDateisystem(laufwerke);
    sicherung.AttrTest("C:\\Q");
    EXPECT_EQ(sicherung.tmp_sichern, "ja");

    Schreibe("C:\\S\\Sys\\f.txt", "x", 32 + 4);
    sicherung.tmp_sichern = "nein";
    sicherung.fso = ErzeugePosixDateisystem(laufwerke);
    sicherung.AttrTest("C:\\S");
    EXPECT_EQ(sicherung.tmp_sichern, "ja");
}

TEST_F(Aenderungssuche, FlagAlreadySetExaminesTopFilesOnly) {
    Unveraendert({"C:\\Q\\a.txt"});
    Schreibe("C:\\Q\\A\\neu.txt", "neu");
    sicherung.tmp_sichern = "ja";
    sicherung.fso = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), &protokoll);
    sicherung.AttrTest("C:\\Q");
    EXPECT_EQ(Zaehle("Attributes C:\\Q\\a.txt"), 1u);
    EXPECT_EQ(Zaehle("GetFolder C:\\Q\\A"), 0u);
}

TEST_F(Aenderungssuche, ScanChangesNothingOnDisk) {
    Schreibe("C:\\Q\\a.txt", "a", 33);
    Schreibe("C:\\Q\\B\\b.txt", "b");
    auto bild = [this] {
        std::map<std::string, std::pair<long long, std::string>> r;
        for (const auto& e : std::filesystem::recursive_directory_iterator(Posix("C:\\Q"))) {
            struct stat st {};
            lstat(e.path().c_str(), &st);
            char puffer[256] = {};
            getxattr(e.path().c_str(), "user.tresor-ix.archiv", puffer, sizeof puffer);
            r[e.path().string()] = {static_cast<long long>(st.st_mtim.tv_nsec) + st.st_mtim.tv_sec * 1000000000LL +
                                        st.st_mode * 7 + st.st_size * 13,
                                    puffer};
        }
        return r;
    };
    const auto vorher = bild();
    sicherung.fso = ErzeugePosixDateisystem(laufwerke);
    sicherung.AttrTest("C:\\Q");
    EXPECT_EQ(bild(), vorher);
}

TEST_F(Aenderungssuche, VanishedFolderIsSimplyNotThereAndKeepsFlag) {
    Unveraendert({"C:\\Q\\A\\x.txt"});
    std::filesystem::create_directories(Posix("C:\\Q\\B"));
    sicherung.fso = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), &protokoll);
    static_cast<Dateisystemhuelle&>(*sicherung.fso).vorher = [this](const std::string& z) {
        if (z == "GetFolder C:\\Q\\A")
            std::filesystem::remove_all(Posix("C:\\Q\\B"));
    };
    sicherung.AttrTest("C:\\Q");
    EXPECT_EQ(sicherung.tmp_sichern, "nein");
    EXPECT_EQ(sicherung.fc->Ordner, "C:\\Q\\A");
    // An error of the top folder itself still ends the scan.
    std::filesystem::remove_all(Posix("C:\\Q"));
    EXPECT_THROW(sicherung.AttrTest("C:\\Q"), FsFehler);
}

TEST_F(Aenderungssuche, AVanishedFileIsPassedOverAnUnreadableOneCountsAsFound) {
    Unveraendert({"C:\\Q\\a.txt", "C:\\Q\\b.txt"});
    for (const auto& [fehler, gefunden] :
         {std::pair{std::errc::no_such_file_or_directory, "nein"}, std::pair{std::errc::io_error, "ja"}}) {
        auto h = std::make_unique<Dateisystemhuelle>(ErzeugePosixDateisystem(laufwerke), &protokoll);
        h->vorher = [f = fehler](const std::string& z) {
            if (z == "Attributes C:\\Q\\a.txt")
                throw FsFehler("Attributes", "C:\\Q\\a.txt", std::make_error_code(f));
        };
        sicherung.fso = std::move(h);
        sicherung.tmp_sichern = "nein";
        sicherung.AttrTest("C:\\Q");
        EXPECT_EQ(sicherung.tmp_sichern, gefunden);
    }
}

TEST_F(Aenderungssuche, AFileWhoseDosattribWasWrittenAfterItsRecordIsFound) {
    // The scan asks for the archive bit alone; user.DOSATTRIB written after the record (by a file server
    // marking the file, or to hide it) must still make the file count, whatever its value says.
    for (const auto& [dos, gefunden] : std::vector<std::pair<std::optional<std::string>, const char*>>{
             {std::nullopt, "nein"}, {std::string("0x20\0", 5), "ja"}, {std::string("0x2\0", 4), "ja"}}) {
        SCOPED_TRACE(dos ? dos->c_str() : "unchanged");
        const auto p = Posix("C:\\Q\\f.txt");
        std::filesystem::remove_all(Posix("C:\\Q"));
        Schreibe("C:\\Q\\f.txt", "x", 0);
        ASSERT_GT(::getxattr(p.c_str(), "user.tresor-ix.archiv", nullptr, 0), 0);
        // Right after the record's write: the exact rule has no window to wait for.
        if (dos) {
            ASSERT_EQ(::setxattr(p.c_str(), "user.DOSATTRIB", dos->data(), dos->size(), 0), 0);
        }
        sicherung.tmp_sichern = "nein";
        sicherung.fso = ErzeugePosixDateisystem(laufwerke);
        sicherung.AttrTest("C:\\Q");
        EXPECT_EQ(sicherung.tmp_sichern, gefunden);
    }
}

} // namespace
} // namespace tresor::test
