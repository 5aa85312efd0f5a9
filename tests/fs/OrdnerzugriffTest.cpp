// The file-system object names entries relative to folders it holds open. These tests pin down that the
// answers stay those of the paths: each entry is found in its own folder, whatever folders were used
// before and however many, and a folder removed and made anew under its path is the new one.
#include "tests/fs/FsTestbasis.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace tresor::test {
namespace {

constexpr int A = attr::Archiv;

class OrdnerzugriffTest : public FsTest {
protected:
    // Folders o0 .. o(n-1) on drive C:, each with a file "f" whose attribute value differs from its
    // neighbours': read-only in the odd folders, system in every third.
    static constexpr int Anzahl = 9;
    void SetUp() override {
        for (int i = 0; i < Anzahl; ++i) {
            const auto datei = C("o" + std::to_string(i) + "/f");
            SchreibeDatei(datei, std::string(static_cast<std::size_t>(i + 1), 'x'));
            if (i % 3 == 0)
                SetzeXattr(datei, "user.DOSATTRIB", std::string("0x4") + '\0');
            if (i % 2 == 1)
                std::filesystem::permissions(datei, std::filesystem::perms(0444));
        }
    }
    static int Erwartet(int i) {
        return A | (i % 2 == 1 ? attr::Schreibgeschuetzt : 0) | (i % 3 == 0 ? attr::System : 0);
    }
    static Pfad Dateipfad(int i) { return "C:\\o" + std::to_string(i) + "\\f"; }
};

TEST_F(OrdnerzugriffTest, SameNameInManyFoldersAnswersForItsOwnFolderInAnyOrder) {
    // Forwards, backwards and by strides: more folders than are held open, so that every way of
    // finding a folder again (held, put aside, opened anew) is taken.
    for (int runde = 0; runde < 3; ++runde) {
        for (int k = 0; k < Anzahl; ++k) {
            const int i = runde == 0 ? k : runde == 1 ? Anzahl - 1 - k : (k * 4) % Anzahl;
            EXPECT_EQ(fs->Attributes(fs->GetFile(Dateipfad(i))), Erwartet(i)) << Dateipfad(i);
            EXPECT_EQ(fs->Dir(Dateipfad(i), 0), i % 3 == 0 ? "" : "f") << Dateipfad(i);
            EXPECT_EQ(fs->Dir(Dateipfad(i), 4), "f") << Dateipfad(i);
        }
    }
}

TEST_F(OrdnerzugriffTest, SetFileAttrAndCopyAfterEachOtherInAlternatingFolders) {
    for (int i = 0; i < Anzahl; ++i) {
        const Pfad ziel = "D:\\z" + std::to_string(i);
        fs->MakeDir(ziel);
        const Datei d = fs->GetFile(Dateipfad(i));
        fs->Copy(d, ziel + "\\f");
        fs->SetFileAttr(d.Path, Erwartet(i) - A);
    }
    for (int i = 0; i < Anzahl; ++i) {
        EXPECT_EQ(fs->Attributes(fs->GetFile(Dateipfad(i))), Erwartet(i) - A) << Dateipfad(i);
        EXPECT_EQ(LiesDatei(D("z" + std::to_string(i) + "/f")), std::string(static_cast<std::size_t>(i + 1), 'x'));
        EXPECT_EQ(fs->Attributes(fs->GetFile("D:\\z" + std::to_string(i) + "\\f")), Erwartet(i));
    }
}

TEST_F(OrdnerzugriffTest, AFolderRemovedAndMadeAnewIsTheNewOne) {
    ASSERT_EQ(fs->Attributes(fs->GetFile(Dateipfad(1))), Erwartet(1));
    std::filesystem::permissions(C("o1/f"), std::filesystem::perms(0644));
    std::filesystem::remove_all(C("o1"));
    EXPECT_EQ(fs->Dir(Dateipfad(1), 16), "");
    EXPECT_THROW((void)fs->GetFile(Dateipfad(1)), FsFehler);

    SchreibeDatei(C("o1/f"), "neu");
    EXPECT_EQ(fs->Dir(Dateipfad(1), 16), "f");
    EXPECT_EQ(fs->Attributes(fs->GetFile(Dateipfad(1))), A);

    // The same for the destination of a copy.
    fs->MakeDir("D:\\z");
    fs->Copy(fs->GetFile(Dateipfad(0)), "D:\\z\\f");
    std::filesystem::remove_all(D("z"));
    fs->MakeDir("D:\\z");
    fs->Copy(fs->GetFile(Dateipfad(2)), "D:\\z\\f");
    EXPECT_EQ(LiesDatei(D("z/f")), "xxx");
}

TEST_F(OrdnerzugriffTest, ANameWithANulByteIsNoPath) {
    try {
        (void)fs->GetFile(Pfad("C:\\o1\\f\0x", 10));
        FAIL() << "no error";
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Ursache(), std::errc::invalid_argument);
    }
}

TEST_F(OrdnerzugriffTest, AnEntryOfADriveRootAndTheRootItself) {
    SchreibeDatei(C("wurzeldatei"), "w");
    EXPECT_EQ(fs->Attributes(fs->GetFile("C:\\wurzeldatei")), A);
    EXPECT_EQ(fs->Dir("C:\\wurzeldatei", 0), "wurzeldatei");
    EXPECT_EQ(fs->GetFolder("C:\\").Path, "C:\\");
}

} // namespace
} // namespace tresor::test
