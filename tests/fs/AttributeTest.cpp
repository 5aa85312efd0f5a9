#include "tests/fs/FsTestbasis.h"

#include "fs/ablage/Archivvermerk.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

namespace tresor::test {
namespace {

constexpr int A = attr::Archiv;

class ArchivbitTest : public FsTest {
protected:
    const Pfad pfad = "C:\\daten\\brief.txt";
    std::filesystem::path posix = C("daten/brief.txt");

    void SetUp() override { SchreibeDatei(posix, "Hallo Welt"); }
    int Wert() { return fs->Attributes(fs->GetFile(pfad)); }
    // Puts the file's modification time into the past, so that any later write moves it visibly.
    void Zurueckdatieren() const {
        const struct timespec zeiten[2] = {{1000000000, 0}, {1000000000, 123456789}};
        ASSERT_EQ(::utimensat(AT_FDCWD, posix.c_str(), zeiten, AT_SYMLINK_NOFOLLOW), 0);
    }
    void Loeschen() {
        Zurueckdatieren();
        fs->SetFileAttr(pfad, 0);
        ASSERT_EQ(Wert(), 0);
    }
};

TEST_F(ArchivbitTest, NewFileHasTheArchiveBit) {
    EXPECT_EQ(Wert(), A);
}

TEST_F(ArchivbitTest, SetFileAttrWithout32ClearsItAndSettingRemovesTheRecord) {
    fs->SetFileAttr(pfad, 0);
    EXPECT_EQ(Wert(), 0);
    ASSERT_TRUE(Xattr(posix, "user.tresor-ix.archiv").has_value());
    fs->SetFileAttr(pfad, A);
    EXPECT_EQ(Wert(), A);
    EXPECT_FALSE(Xattr(posix, "user.tresor-ix.archiv").has_value());
}

TEST_F(ArchivbitTest, SetAgainAfterAWriteOfTheSameSize) {
    Loeschen();
    std::fstream f(posix, std::ios::in | std::ios::out | std::ios::binary);
    f.write("J", 1);
    f.close();
    EXPECT_EQ(Wert(), A);
}

TEST_F(ArchivbitTest, SetAgainAfterAnAppend) {
    Loeschen();
    std::ofstream(posix, std::ios::app) << "!";
    EXPECT_EQ(Wert(), A);
}

TEST_F(ArchivbitTest, SetAgainAfterATruncate) {
    Loeschen();
    std::filesystem::resize_file(posix, 3);
    EXPECT_EQ(Wert(), A);
}

TEST_F(ArchivbitTest, SetAgainAfterAModificationTimeChangeAlone) {
    Loeschen();
    const struct timespec zeiten[2] = {{UTIME_OMIT, UTIME_OMIT}, {1000000000, 123456790}}; // one nanosecond on
    ASSERT_EQ(::utimensat(AT_FDCWD, posix.c_str(), zeiten, 0), 0);
    EXPECT_EQ(Wert(), A);
}

TEST_F(ArchivbitTest, SetAgainAfterAReplaceThroughRenameWithSameSizeAndTime) {
    Loeschen();
    // An editor that saves through a new file: same content length, same time, only the inode differs.
    const auto neu = C("daten/.brief.txt.neu");
    SchreibeDatei(neu, "Hallo Erde");
    const struct timespec zeiten[2] = {{1000000000, 0}, {1000000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, neu.c_str(), zeiten, 0), 0);
    // Even the record travels along, as editors that keep extended attributes do.
    SetzeXattr(neu, "user.tresor-ix.archiv", *Xattr(posix, "user.tresor-ix.archiv"));
    std::filesystem::rename(neu, posix);
    EXPECT_EQ(Wert(), A);
}

TEST_F(ArchivbitTest, CopyWithCpPreservingExtendedAttributesHasTheArchiveBit) {
    Loeschen();
    const auto kopie = C("daten/kopie.txt");
    const std::string befehl = "cp -a '" + posix.string() + "' '" + kopie.string() + "'";
    ASSERT_EQ(std::system(befehl.c_str()), 0);
    ASSERT_EQ(Xattr(kopie, "user.tresor-ix.archiv"), Xattr(posix, "user.tresor-ix.archiv")); // record copied
    EXPECT_EQ(fs->Attributes(fs->GetFile("C:\\daten\\kopie.txt")), A);
    EXPECT_EQ(Wert(), 0);
}

TEST_F(ArchivbitTest, ARecordOfAnotherStateLeavesTheBitSet) {
    // The engine clears with the state its copy was taken from; a file written meanwhile has moved on.
    const Quellstand stand = fs->Copy(fs->GetFile(pfad), "C:\\daten\\kopie.txt");
    ASSERT_TRUE(stand.Gueltig);
    Quellstand frueher = stand;
    frueher.MtimeNs -= 1;
    fs->SetFileAttr(pfad, 0, frueher);
    EXPECT_EQ(Wert(), A);
    Quellstand kuerzer = stand;
    kuerzer.Groesse -= 1;
    fs->SetFileAttr(pfad, 0, kuerzer);
    EXPECT_EQ(Wert(), A);
    fs->SetFileAttr(pfad, 0, stand);
    EXPECT_EQ(Wert(), 0);
}

TEST_F(ArchivbitTest, MalformedRecordsAndRecordsOfTheEarlierFormCountAsMissing) {
    fs->SetFileAttr(pfad, 0);
    const std::string gut = *Xattr(posix, "user.tresor-ix.archiv");
    const auto vermerk = posix::LiesArchivvermerk(gut);
    ASSERT_TRUE(vermerk);
    const std::string ohneName = gut.substr(0, gut.rfind(' '));
    for (const std::string& schlecht :
         {gut + " ", "1" + gut.substr(1), gut.substr(0, gut.size() - 1) + "x", gut.substr(0, gut.size() - 1),
          ohneName + " 0" + gut.substr(gut.rfind(' ') + 1), ohneName, std::string("1 2 3"), std::string()}) {
        SetzeXattr(posix, "user.tresor-ix.archiv", schlecht);
        EXPECT_EQ(Wert(), A) << "'" << schlecht << "'";
    }
    // The record of the earlier form (time, size, inode) reads set: the first run after the change of form
    // backs the file up once.
    SetzeXattr(posix, "user.tresor-ix.archiv",
               "1 " + std::to_string(vermerk->Stand.MtimeNs) + " " + std::to_string(vermerk->Stand.Groesse) + " " +
                   std::to_string(vermerk->Stand.Inode));
    EXPECT_EQ(Wert(), A);
    // The good record, written anew by another hand: it matches but for the ctime its write gave, which
    // nobody read back, so it reads set too; written through the object, clear.
    posix::Archivvermerk neu = *vermerk;
    struct timespec jetzt {};
    ::clock_gettime(CLOCK_REALTIME, &jetzt);
    neu.SchreibzeitNs = jetzt.tv_sec * 1'000'000'000LL + jetzt.tv_nsec;
    SetzeXattr(posix, "user.tresor-ix.archiv", posix::ArchivvermerkText(neu));
    EXPECT_EQ(Wert(), A);
    fs->SetFileAttr(pfad, 0);
    EXPECT_EQ(Wert(), 0);
}

TEST_F(ArchivbitTest, AFileOfSeveralNamesIsBackedUpUnderEachOfThem) {
    std::filesystem::create_directories(C("anderswo"));
    std::filesystem::create_hard_link(posix, C("anderswo/zweiter"));
    const Pfad zweiter = "C:\\anderswo\\zweiter";
    auto wertVon = [this](const Pfad& p) { return fs->Attributes(fs->GetFile(p)); };
    auto frisch = [this](const Pfad& p) {
        auto neu = ErzeugePosixDateisystem(tabelle);
        return neu->Attributes(neu->GetFile(p));
    };

    // Cleared under one name, the file is still to be backed up under the other; the records live on the
    // folders, never on the file.
    Zurueckdatieren();
    fs->SetFileAttr(pfad, 0);
    EXPECT_EQ(Wert(), 0);
    EXPECT_EQ(frisch(pfad), 0);
    EXPECT_EQ(wertVon(zweiter), A);
    fs->SetFileAttr(zweiter, 0);
    EXPECT_EQ(frisch(pfad), 0);
    EXPECT_EQ(frisch(zweiter), 0);
    EXPECT_FALSE(Xattr(posix, "user.tresor-ix.archiv").has_value());
    EXPECT_EQ(Xattr(C("anderswo"), "user.tresor-ix.verweise")->size(), 40u); // with the user's seal
    // A change of the file sets it under every name.
    SchreibeDatei(posix, "Hallo Welt!");
    EXPECT_EQ(frisch(pfad), A);
    EXPECT_EQ(frisch(zweiter), A);
    fs->SetFileAttr(zweiter, 0);
    EXPECT_EQ(frisch(pfad), A);
    EXPECT_EQ(frisch(zweiter), 0);
    fs->SetFileAttr(pfad, 0);
    EXPECT_EQ(frisch(pfad), 0);

    // A folder renamed: the name below it is a new name, to be backed up.
    std::filesystem::rename(C("anderswo"), C("woanders"));
    EXPECT_EQ(frisch("C:\\woanders\\zweiter"), A);
    EXPECT_EQ(frisch(pfad), 0);
    // A third name: the link count moves the ctime on, so every name is backed up again.
    std::filesystem::create_hard_link(posix, C("daten/dritter"));
    EXPECT_EQ(frisch(pfad), A);
    EXPECT_EQ(frisch("C:\\daten\\dritter"), A);
    // With one name left, the file reads as any other: backed up under that name once more.
    fs->SetFileAttr(pfad, 0);
    fs->SetFileAttr("C:\\daten\\dritter", 0);
    EXPECT_EQ(frisch(pfad), 0);
    std::filesystem::remove(C("daten/dritter"));
    std::filesystem::remove(C("woanders/zweiter"));
    EXPECT_EQ(frisch(pfad), A);
    fs->SetFileAttr(pfad, 0);
    fs->Festschreiben(); // its own record now: the folder's map holds the state its write left
    EXPECT_EQ(frisch(pfad), 0);
}

TEST_F(ArchivbitTest, ArchiveBitOfDosattribCountsAndClearingClearsItThere) {
    fs->SetFileAttr(pfad, 0);
    SetzeXattr(posix, "user.DOSATTRIB", std::string("0x20\0", 5));
    EXPECT_EQ(Wert(), A);
    fs->SetFileAttr(pfad, 0);
    EXPECT_EQ(Xattr(posix, "user.DOSATTRIB"), std::string("0x0\0", 4)); // kept, never removed
    EXPECT_EQ(Wert(), 0);
}

TEST_F(ArchivbitTest, OwnReadOnlyFileIsClearedAndStaysReadOnly) {
    std::filesystem::permissions(posix, std::filesystem::perms(0444));
    fs->SetFileAttr(pfad, attr::Schreibgeschuetzt);
    EXPECT_EQ(Wert(), attr::Schreibgeschuetzt);
    EXPECT_EQ(Modus(posix), 0444u);
}

// Root may write any file's attributes; the permission rules only show for an ordinary user.
TEST_F(ArchivbitTest, OwnReadOnlyFileOfAnOrdinaryUserIsClearedAndStaysReadOnly) {
    FuerAlleBegehbar();
    std::filesystem::permissions(C("daten"), std::filesystem::perms(0755));
    ASSERT_EQ(::chown(posix.c_str(), Niemand, Niemand), 0);
    std::filesystem::permissions(posix, std::filesystem::perms(0440));
    const auto status = AlsNiemand([&] {
        auto eigenes = ErzeugePosixDateisystem(tabelle);
        eigenes->SetFileAttr(pfad, attr::Schreibgeschuetzt);
        return eigenes->Attributes(eigenes->GetFile(pfad)) == attr::Schreibgeschuetzt ? 0 : 1;
    });
    if (!status)
        GTEST_SKIP() << "needs root to run the subject as another user";
    EXPECT_EQ(*status, 0);
    // The folder is root's: the user could write no map row, so another process has the record alone, which
    // matches but for the ctime (the run takes it as backed up where the target holds that exact state).
    EXPECT_EQ(Wert(), attr::Schreibgeschuetzt | A);
    const auto vermerk = posix::LiesArchivvermerk(Xattr(posix, "user.tresor-ix.archiv").value_or(""));
    ASSERT_TRUE(vermerk);
    struct stat st {};
    ASSERT_EQ(::lstat(posix.c_str(), &st), 0);
    EXPECT_TRUE(posix::PasstBisAufCtime(*vermerk, st, vermerk->Name));
    EXPECT_EQ(Modus(posix), 0440u);
}

TEST_F(ArchivbitTest, ClearingFailsWithTheErrorTypeWhereTheRecordCannotBeWritten) {
    FuerAlleBegehbar();
    std::filesystem::permissions(C("daten"), std::filesystem::perms(0755));
    std::filesystem::permissions(posix, std::filesystem::perms(0644)); // root's file, readable by all
    const auto status = AlsNiemand([&] {
        auto eigenes = ErzeugePosixDateisystem(tabelle);
        if (eigenes->Attributes(eigenes->GetFile(pfad)) != A)
            return 3;
        try {
            eigenes->SetFileAttr(pfad, 0);
        } catch (const FsFehler& f) {
            return f.Operation() == "SetFileAttr" && f.Path() == pfad && f.Ursache().value() == EACCES ? 0 : 2;
        }
        return 1; // no error: silently nothing recorded
    });
    if (!status)
        GTEST_SKIP() << "needs root to run the subject as another user";
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(Wert(), A);
    EXPECT_EQ(Modus(posix), 0644u);
}

// The value just set is the value read, for every combination of the settable bits on a plain name.
class SetzenUndLesenTest : public ArchivbitTest, public ::testing::WithParamInterface<int> {};

TEST_P(SetzenUndLesenTest, AttributesReadAfterSetFileAttrReturnTheValueJustSet) {
    fs->SetFileAttr(pfad, GetParam());
    EXPECT_EQ(Wert(), GetParam());
    fs->SetFileAttr(pfad, A);
    EXPECT_EQ(Wert(), A);
}

INSTANTIATE_TEST_SUITE_P(Werte, SetzenUndLesenTest, ::testing::Values(0, 1, 2, 4, 6, 7, 32, 33, 34, 36, 38, 39));

TEST_F(ArchivbitTest, ReadOnlyRemovesEveryWritePermissionAndClearingGivesTheOwnerWrite) {
    std::filesystem::permissions(posix, std::filesystem::perms(0666));
    fs->SetFileAttr(pfad, attr::Schreibgeschuetzt | A);
    EXPECT_EQ(Modus(posix), 0444u);
    fs->SetFileAttr(pfad, A);
    EXPECT_EQ(Modus(posix), 0644u);
}

TEST_F(ArchivbitTest, HiddenAndSystemAreWrittenAsHexTextWithNul) {
    fs->SetFileAttr(pfad, attr::Versteckt | attr::System | A);
    EXPECT_EQ(Xattr(posix, "user.DOSATTRIB"), std::string("0x26\0", 5));
    EXPECT_EQ(Wert(), attr::Versteckt | attr::System | A);
}

TEST_F(ArchivbitTest, DotNameStaysHiddenAndNeedsNoDosattrib) {
    SchreibeDatei(C("daten/.profil"), "x");
    const Pfad punkt = "C:\\daten\\.profil";
    fs->SetFileAttr(punkt, attr::Versteckt);
    EXPECT_FALSE(Xattr(C("daten/.profil"), "user.DOSATTRIB").has_value());
    EXPECT_EQ(fs->Attributes(fs->GetFile(punkt)), attr::Versteckt);
    fs->SetFileAttr(punkt, 0); // the name says hidden: that cannot be cleared
    EXPECT_EQ(fs->Attributes(fs->GetFile(punkt)), attr::Versteckt);
}

TEST_F(ArchivbitTest, AnExistingDosattribIsRewrittenAndKeepsBitsThisProgramDoesNotUse) {
    SetzeXattr(posix, "user.DOSATTRIB", std::string("0x120\0", 6)); // 0x100: temporary
    fs->SetFileAttr(pfad, attr::System);
    EXPECT_EQ(Xattr(posix, "user.DOSATTRIB"), std::string("0x104\0", 6));
    fs->SetFileAttr(pfad, 0);
    EXPECT_EQ(Xattr(posix, "user.DOSATTRIB"), std::string("0x100\0", 6));
}

TEST_F(ArchivbitTest, FoldersNeverReportTheArchiveBit) {
    std::filesystem::create_directory(C("daten/unter"));
    SetzeXattr(C("daten/unter"), "user.DOSATTRIB", "0x30");
    EXPECT_EQ(fs->Dir("C:\\daten\\unter", 16), "unter");
    fs->SetFileAttr("C:\\daten\\unter", attr::Versteckt);
    EXPECT_EQ(Xattr(C("daten/unter"), "user.DOSATTRIB"), std::string("0x32\0", 5));
    EXPECT_EQ(fs->Dir("C:\\daten\\unter", 16), "");
}

// user.DOSATTRIB in each form Samba and Wine write, built byte by byte. Every binary form here holds
// flags that would read as other bits if the attribute field were taken from the wrong place, and the
// texts ahead of the binary records differ from their attribute fields, so only the field gives the answer.
struct Dosform {
    const char* Name;
    std::string Bytes;
    int Erwartet; // attribute value of a fresh writable file carrying it
};

void PrintTo(const Dosform& form, std::ostream* aus) {
    *aus << form.Name;
}

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s.push_back(static_cast<char>(b));
    return s;
}

const Dosform Dosformen[] = {
    {"HexOhneNul", "0x2", attr::Versteckt | A},
    {"HexMitNul", B({'0', 'x', '6', 0}), attr::Versteckt | attr::System | A},
    {"HexGrossX", "0X4", attr::System | A},
    {"HexMitArchiv", B({'0', 'x', '2', '2', 0}), attr::Versteckt | A},
    // clang-format off
    {"Version3", B({'0', 'x', '2', '0', 0,       // text "0x20" with its NUL
                    0,                           // pad to an even offset
                    3, 0,   3, 0,                // version 3, switch 3
                    0, 0,                        // pad to a multiple of four
                    0x11, 0, 0, 0,               // valid_flags: attrib, create_time
                    0x24, 0, 0, 0,               // attrib: system, archive
                    0, 0, 0, 0,                  // ea_size
                    1, 0, 0, 0, 0, 0, 0, 0,      // size
                    0, 0x10, 0, 0, 0, 0, 0, 0,   // alloc_size
                    1, 2, 3, 4, 5, 6, 7, 1,      // create_time
                    1, 2, 3, 4, 5, 6, 7, 1}),    // change_time
     attr::System | A},
    // A three-letter text puts the version at offset 4, the switch at 6 and the record right at 8.
    {"Version3KurzerText", B({'0', 'x', '4', 0,  // text "0x4" with its NUL, already even
                              3, 0,   3, 0,      // version 3, switch 3, record already aligned
                              0x11, 0, 0, 0,     // valid_flags
                              0x02, 0, 0, 0,     // attrib: hidden
                              0, 0, 0, 0,                  0, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0, 0, 0, 0,      0, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0, 0, 0, 0}),
     attr::Versteckt | A},
    // clang-format on
    // version 4: empty text, 1 byte pad, version 4, switch 4, 2 bytes pad, valid_flags 0x51, attrib 0x06,
    // itime, create_time
    {"Version4",
     B({0, 0, 4, 0, 4, 0, 0, 0, 0x51, 0, 0, 0, 0x06, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9, 1, 8, 8, 8, 8, 8, 8, 8, 1}),
     attr::Versteckt | attr::System | A},
    // version 5: empty text, 1 byte pad, version 5, switch 5, 2 bytes pad, valid_flags 0x11, attrib 0x22,
    // create_time
    {"Version5", B({0, 0, 5, 0, 5, 0, 0, 0, 0x11, 0, 0, 0, 0x22, 0, 0, 0, 8, 8, 8, 8, 8, 8, 8, 1}),
     attr::Versteckt | A},
    {"Unlesbar", "kaputt", A},
    {"VersionUnbekannt", B({0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0x06, 0, 0, 0}), A},
    {"SchalterFalsch", B({0, 0, 5, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0x06, 0, 0, 0}), A},
    {"Abgeschnitten", B({0, 0, 5, 0, 5, 0, 0, 0, 0x11, 0, 0, 0, 0x06}), A},
};

class DosattribLesenTest : public FsTest, public ::testing::WithParamInterface<Dosform> {};

TEST_P(DosattribLesenTest, EveryFormIsReadForFilesAndForDir) {
    const auto p = C("datei");
    SchreibeDatei(p, "x");
    SetzeXattr(p, "user.DOSATTRIB", GetParam().Bytes);
    EXPECT_EQ(fs->Attributes(fs->GetFile("C:\\datei")), GetParam().Erwartet);
    const bool verborgen = (GetParam().Erwartet & (attr::Versteckt | attr::System)) != 0;
    EXPECT_EQ(fs->Dir("C:\\datei", 0), verborgen ? "" : "datei");
    EXPECT_EQ(fs->Dir("C:\\", 0), verborgen ? "" : "datei");
}

INSTANTIATE_TEST_SUITE_P(Formen, DosattribLesenTest, ::testing::ValuesIn(Dosformen),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
} // namespace tresor::test
