#include "tests/fs/FsTestbasis.h"

#include <set>

namespace tresor::test {
namespace {

using DirTest = FsTest;

// One kind of entry and the masks in use that admit it. Hidden comes from a dot name or from the hidden
// bit of user.DOSATTRIB, system from its system bit.
struct Zulassungsfall {
    const char* Name;
    bool Ordner;
    const char* Dosattrib; // nullptr: none
    std::set<int> Zugelassen;
};

const Zulassungsfall Zulassungsfaelle[] = {
    {"datei", false, nullptr, {0, 2, 4, 6, 7, 16}},
    {".punktdatei", false, nullptr, {2, 6, 7}},
    {"versteckt", false, "0x2", {2, 6, 7}},
    {"system", false, "0x4", {4, 6, 7}},
    {"beides", false, "0x6", {6, 7}},
    {".punktsystem", false, "0x4", {6, 7}},                   // hidden by its name, system by its bit
    {"archivnurgesetzt", false, "0x21", {0, 2, 4, 6, 7, 16}}, // read-only and archive never matter
    {"ordner", true, nullptr, {16}},
    {".punktordner", true, nullptr, {}},
    {"versteckterordner", true, "0x12", {}},
    {"systemordner", true, "0x14", {}},
    {"beidesordner", true, "0x16", {}},
};

void PrintTo(const Zulassungsfall& fall, std::ostream* aus) {
    *aus << fall.Name;
}

constexpr int MaskenInGebrauch[] = {0, 2, 4, 6, 7, 16};
// The same masks asked at once, those that need no stored bits first: each answer must be its own mask's.
constexpr int MaskenJeEintrag[] = {6, 7, 16, 0, 2, 4};

class DirZulassungTest : public FsTest, public ::testing::WithParamInterface<Zulassungsfall> {};

// Each entry alone in drive D:'s root, so the listing's first admitted entry is this one or none.
TEST_P(DirZulassungTest, EachMaskInUseAdmitsExactlyTheEntriesWhoseBitsItHolds) {
    const auto& fall = GetParam();
    const auto p = D(fall.Name);
    if (fall.Ordner)
        std::filesystem::create_directory(p);
    else
        SchreibeDatei(p, "x");
    if (fall.Dosattrib != nullptr)
        SetzeXattr(p, "user.DOSATTRIB", std::string(fall.Dosattrib) + '\0');

    for (int maske : MaskenInGebrauch) {
        const std::string erwartet = fall.Zugelassen.contains(maske) ? fall.Name : "";
        EXPECT_EQ(fs->Dir(std::string("D:\\") + fall.Name, maske), erwartet) << "named, mask " << maske;
        EXPECT_EQ(fs->Dir("D:\\", maske), erwartet) << "listed, mask " << maske;
    }
    std::vector<std::string> erwartet;
    for (int maske : MaskenJeEintrag)
        erwartet.push_back(fall.Zugelassen.contains(maske) ? fall.Name : "");
    EXPECT_EQ(fs->DirJeMaske(std::string("D:\\") + fall.Name, MaskenJeEintrag), erwartet) << "named, all masks";
    EXPECT_EQ(fs->DirJeMaske("D:\\", MaskenJeEintrag), erwartet) << "listed, all masks";
}

INSTANTIATE_TEST_SUITE_P(Eintraege, DirZulassungTest, ::testing::ValuesIn(Zulassungsfaelle), [](const auto& info) {
    std::string n;
    for (char c : std::string(info.param.Name))
        n += (c == '.') ? '_' : c;
    return n;
});

TEST_F(DirTest, HiddenFolderWithMask16YieldsEmpty) {
    std::filesystem::create_directories(C(".versteckt"));
    std::filesystem::create_directories(C("dosversteckt"));
    SetzeXattr(C("dosversteckt"), "user.DOSATTRIB", "0x2");
    EXPECT_EQ(fs->Dir("C:\\.versteckt", 16), "");
    EXPECT_EQ(fs->Dir("C:\\dosversteckt", 16), "");
}

TEST_F(DirTest, FileFoundWithMask16) {
    SchreibeDatei(C("ordner/datei.txt"), "x");
    EXPECT_EQ(fs->Dir("C:\\ordner\\datei.txt", 16), "datei.txt");
}

TEST_F(DirTest, NamedEntryIsTheNameAsStoredAndLetterCaseIsExact) {
    SchreibeDatei(C("Briefe/Gross.TXT"), "x");
    EXPECT_EQ(fs->Dir("C:\\Briefe\\Gross.TXT", 0), "Gross.TXT");
    EXPECT_EQ(fs->Dir("C:\\Briefe\\gross.txt", 0), "");
    EXPECT_EQ(fs->Dir("C:\\briefe\\Gross.TXT", 0), "");
    const std::string keinUtf8 = "a\xff\xfe";
    SchreibeDatei(C("Briefe/" + keinUtf8), "x");
    EXPECT_EQ(fs->Dir("C:\\Briefe\\" + keinUtf8, 0), keinUtf8);
}

TEST_F(DirTest, MissingEntriesYieldEmpty) {
    SchreibeDatei(C("datei"), "x");
    EXPECT_EQ(fs->Dir("C:\\fehlt", 16), "");
    EXPECT_EQ(fs->Dir("C:\\fehlt\\tiefer", 16), "");
    EXPECT_EQ(fs->Dir("C:\\datei\\unter", 16), ""); // a file is not a folder
    EXPECT_EQ(fs->Dir("C:\\fehlt\\", 16), "");      // a listing of a folder that is not there
    for (const char* fehlt : {"C:\\fehlt", "C:\\fehlt\\tiefer", "C:\\datei\\unter"})
        EXPECT_EQ(fs->DirJeMaske(fehlt, MaskenJeEintrag), std::vector<std::string>(6)) << fehlt;
}

TEST_F(DirTest, ListingOfAFolderStartsWithDotThenDotDotThenEntriesInByteOrder) {
    SchreibeDatei(C("f/b"), "x");
    SchreibeDatei(C("f/a"), "x");
    SchreibeDatei(C("f/B"), "x");
    SchreibeDatei(C("f/.c"), "x");
    std::filesystem::create_directory(C("f/A-ordner"));
    EXPECT_EQ(fs->Dir("C:\\f\\", 16), ".");
    EXPECT_EQ(fs->Dir("C:\\f\\", 0), "B");  // "." and ".." are folders, "A-ordner" too
    EXPECT_EQ(fs->Dir("C:\\f\\", 2), ".c"); // '.' sorts before 'B'
    EXPECT_EQ(fs->Dir("C:\\f\\", 7), ".c");
}

TEST_F(DirTest, EmptyFolderListsDotWithMask16AndNothingWithMask0) {
    std::filesystem::create_directory(C("leer"));
    EXPECT_EQ(fs->Dir("C:\\leer\\", 16), ".");
    EXPECT_EQ(fs->Dir("C:\\leer\\", 0), "");
    EXPECT_EQ(fs->Dir("C:\\leer\\", 7), "");
}

TEST_F(DirTest, DriveRootListsItsFirstEntryNeverDotOrTheDriveName) {
    std::filesystem::create_directory(D("ordner"));
    SchreibeDatei(D("zdatei"), "x");
    EXPECT_EQ(fs->Dir("D:\\", 16), "ordner");
    EXPECT_EQ(fs->Dir("D:\\", 0), "zdatei");
    EXPECT_EQ(fs->Dir("C:\\", 16), ""); // drive C: of the test is empty: no "." either
}

TEST_F(DirTest, SymbolicLinksAndOtherEntriesAreNeverFollowed) {
    std::filesystem::create_directory(C("ziel"));
    std::filesystem::create_directory(C("f"));
    std::filesystem::create_directory_symlink(C("ziel"), C("f/verweis"));
    // The link is an entry without the directory bit, whatever it points to.
    EXPECT_EQ(fs->Dir("C:\\f\\verweis", 0), "verweis");
    EXPECT_EQ(fs->Dir("C:\\f\\", 0), "verweis");
    EXPECT_EQ(fs->DirJeMaske("C:\\f\\verweis", MaskenJeEintrag), std::vector<std::string>(6, "verweis"));
}

TEST_F(DirTest, NamesWithABackslashAreListedWithASlash) {
    SchreibeDatei(C("f/a\\b"), "x");
    EXPECT_EQ(fs->Dir("C:\\f\\", 0), "a/b");
    EXPECT_EQ(fs->Dir("C:\\f\\a/b", 0), "a/b");
    // The program form "a\b" is two levels, which do not exist.
    EXPECT_EQ(fs->Dir("C:\\f\\a\\b", 0), "");
}

TEST_F(DirTest, DriveNotInTheTableIsNotReady) {
    try {
        (void)fs->Dir("Q:\\", 16);
        FAIL() << "no error";
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Operation(), "Dir");
        EXPECT_EQ(f.Path(), "Q:\\");
        EXPECT_EQ(f.Ursache().value(), ENODEV);
        EXPECT_NE(f.Bericht().find("Laufwerk nicht bereit"), std::string::npos);
    }
    EXPECT_THROW((void)fs->Dir("kein Pfad", 0), FsFehler);
}

} // namespace
} // namespace tresor::test
