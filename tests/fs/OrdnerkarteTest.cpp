#include "tests/fs/FsTestbasis.h"

#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/Ordnerkarte.h"
#include "fs/ablage/Ordnertafeln.h"
#include "fs/ablage/Siegel.h"
#include "fs/ablage/Verweisvermerk.h"
#include "fs/system/Bytes.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/ErweiterteAttribute.h"
#include "fs/system/Zeitraster.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace tresor::test {
namespace {

using posix::Kartenzeile;
using posix::LiesOrdnerkarte;
using posix::Ordnerkarte;
using posix::OrdnerkarteName;
using posix::OrdnerkartenWert;

struct stat Lstat(const std::filesystem::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st;
}

// Waits until the coarse clock has passed every ctime below `ordner`: the map takes those files from then on.
void WarteAufGewisseStempel(const std::filesystem::path& ordner) {
    std::int64_t spaetester = posix::CtimeNs(Lstat(ordner));
    for (const auto& e : std::filesystem::directory_iterator(ordner))
        spaetester = std::max(spaetester, posix::CtimeNs(Lstat(e.path())));
    while (posix::GrobeUhrNs() <= spaetester + 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

std::optional<Ordnerkarte> KarteVon(const std::filesystem::path& ordner) {
    std::string wert(4096, '\0');
    const ssize_t n = ::lgetxattr(ordner.c_str(), OrdnerkarteName, wert.data(), wert.size());
    if (n < 0)
        return std::nullopt;
    wert.resize(static_cast<std::size_t>(n));
    return LiesOrdnerkarte(wert);
}

TEST(Ordnerkarte, StoredValueRoundTripsAndEveryOtherFormIsRejected) {
    const Ordnerkarte karte{12345, 0x9f3c2a1b4d5e6f70ull, {30, 10, 20}};
    const std::string wert = OrdnerkartenWert(karte);
    ASSERT_EQ(wert.size(), 17u + 3 * 8 + posix::Siegel::Laenge);
    const auto gelesen = LiesOrdnerkarte(wert);
    ASSERT_TRUE(gelesen);
    EXPECT_EQ(gelesen->OrdnerInode, 12345u);
    EXPECT_EQ(gelesen->OrdnerName, 0x9f3c2a1b4d5e6f70ull);
    EXPECT_EQ(gelesen->Zeilen, (std::vector<std::uint64_t>{10, 20, 30}));
    EXPECT_TRUE(LiesOrdnerkarte(OrdnerkartenWert(Ordnerkarte{1, 2, {}})));

    // Forms that are wrong under the user's own seal too.
    std::string unsortiert = wert.substr(0, 17);
    posix::HaengeLe64An(unsortiert, 2);
    posix::HaengeLe64An(unsortiert, 1);
    unsortiert = posix::Benutzersiegel().Versiegelt(unsortiert);
    std::string andereForm = wert.substr(0, wert.size() - posix::Siegel::Laenge);
    andereForm[0] = 1; // the earlier form, whose rows were taken within a window of time
    andereForm = posix::Benutzersiegel().Versiegelt(andereForm);
    const std::string voll = OrdnerkartenWert(Ordnerkarte{1, 2, std::vector<std::uint64_t>(posix::MaxZeilen, 7)});
    std::string zuVoll = voll.substr(0, voll.size() - posix::Siegel::Laenge);
    posix::HaengeLe64An(zuVoll, 7);
    zuVoll = posix::Benutzersiegel().Versiegelt(zuVoll);
    // The same rows under no seal, under another key's, and with a row added under the old seal: what the owner
    // of a folder could write without the user's key.
    const std::string ohneSiegel = wert.substr(0, wert.size() - posix::Siegel::Laenge);
    const std::string fremd = posix::Siegel(std::array<unsigned char, 16>{1, 2, 3}).Versiegelt(ohneSiegel);
    std::string mehr = ohneSiegel;
    posix::HaengeLe64An(mehr, 40);
    mehr += wert.substr(ohneSiegel.size());
    for (const std::string& falsch : {std::string(), wert.substr(0, 16), wert.substr(0, wert.size() - 1), andereForm,
                                      unsortiert, zuVoll, ohneSiegel, fremd, mehr}) {
        SCOPED_TRACE(falsch.size());
        EXPECT_FALSE(LiesOrdnerkarte(falsch));
    }
    EXPECT_TRUE(LiesOrdnerkarte(voll));
}

// A map of any number of rows up to the most is read whole from its folder, however long its value is against
// the buffer each read starts with; so is any other value against the length its reader expects.
TEST(Ordnerkarte, EveryMapAndValueIsReadWholeWhateverItsLength) {
    TempOrdner tmp;
    const auto ordner = tmp / "o";
    std::filesystem::create_directories(ordner);
    const posix::Deskriptor fd(::open(ordner.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fd.gueltig());
    const struct stat ost = Lstat(ordner);
    for (const std::size_t zeilen :
         {std::size_t{0}, std::size_t{29}, std::size_t{30}, std::size_t{50}, posix::MaxZeilen}) {
        SCOPED_TRACE(zeilen);
        Ordnerkarte karte{static_cast<std::uint64_t>(ost.st_ino), 99, {}};
        for (std::size_t i = 0; i < zeilen; ++i)
            karte.Zeilen.push_back(1000 + 3 * i);
        const std::string wert = OrdnerkartenWert(karte);
        ASSERT_EQ(::lsetxattr(ordner.c_str(), OrdnerkarteName, wert.data(), wert.size(), 0), 0);
        std::uint64_t inode = 0;
        const auto gelesen = posix::KarteDesOrdners(fd.get(), 99, inode);
        EXPECT_EQ(inode, static_cast<std::uint64_t>(ost.st_ino));
        ASSERT_TRUE(gelesen);
        EXPECT_EQ(gelesen->Zeilen, karte.Zeilen);
    }
    // The attribute space of a folder is a few KiB: the values below are read without the map.
    ASSERT_EQ(::lremovexattr(ordner.c_str(), OrdnerkarteName), 0);
    struct Fall {
        std::size_t laenge;
        std::size_t erwartet;
    };
    const std::vector<Fall> faelle = {{0, 256},   {255, 256},   {256, 256},   {257, 256},  {3000, 256},
                                      {10, 2048}, {2048, 2048}, {2049, 2048}, {3000, 2048}};
    for (const Fall& f : faelle) {
        SCOPED_TRACE(std::to_string(f.laenge) + " bytes, " + std::to_string(f.erwartet) + " expected");
        std::string wert(f.laenge, 'x');
        for (std::size_t i = 0; i < wert.size(); ++i)
            wert[i] = static_cast<char>('a' + i % 26);
        ASSERT_EQ(::lsetxattr(ordner.c_str(), "user.test", wert.data(), wert.size(), 0), 0);
        const auto gelesen = posix::LiesXattr(posix::Ort::OrdnerSelbst(fd.get()), "user.test", f.erwartet);
        ASSERT_TRUE(gelesen);
        EXPECT_EQ(*gelesen, wert);
    }
    EXPECT_FALSE(posix::LiesXattr(posix::Ort::OrdnerSelbst(fd.get()), "user.fehlt", 2048));
    EXPECT_EQ(errno, ENODATA);
}

TEST(Ordnerkarte, RowChangesWithNameInodeCtimeSizeAndMtime) {
    struct stat st {};
    st.st_ino = 77;
    st.st_size = 20480;
    st.st_ctim = {1'700'000'000, 5};
    st.st_mtim = {1'699'000'000, 0};
    st.st_atim = {1'699'500'000, 0};
    struct Fall {
        const char* Name;
        const char* Datei;
        std::function<void(struct stat&)> Anders;
        bool Zeile;         // the row changes
        bool FruehereZeile; // the row of the earlier versions changes
    };
    const std::vector<Fall> faelle = {
        {"another name", "b.txt", [](struct stat&) {}, true, true},
        {"another inode", "a.txt", [](struct stat& s) { s.st_ino = 78; }, true, true},
        {"another ctime", "a.txt", [](struct stat& s) { s.st_ctim.tv_nsec = 6; }, true, true},
        // A change that got the same ctime (a clock put back, stamps of whole seconds): size or time tell it.
        {"another size", "a.txt", [](struct stat& s) { s.st_size = 20481; }, true, false},
        {"another mtime", "a.txt", [](struct stat& s) { s.st_mtim.tv_sec = 5; }, true, false},
        {"another mtime by a nanosecond", "a.txt", [](struct stat& s) { s.st_mtim.tv_nsec = 1; }, true, false},
        // Reading a file moves its access time alone: every read would otherwise cost the file its row.
        {"another access time", "a.txt", [](struct stat& s) { s.st_atim.tv_sec = 9; }, false, false},
    };
    const std::uint64_t zeile = Kartenzeile("a.txt", st);
    const std::uint64_t frueher = posix::FruehereKartenzeile("a.txt", st);
    EXPECT_NE(zeile, frueher);
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        struct stat anders = st;
        f.Anders(anders);
        EXPECT_EQ(Kartenzeile(f.Datei, anders) != zeile, f.Zeile);
        EXPECT_EQ(posix::FruehereKartenzeile(f.Datei, anders) != frueher, f.FruehereZeile);
    }
    // A map of either row: the earlier one counts only where the file's record matched.
    const Ordnerkarte neu{1, 2, {zeile}};
    const Ordnerkarte alt{1, 2, {frueher}};
    EXPECT_TRUE(posix::HaeltZeile(neu, "a.txt", st, false));
    EXPECT_FALSE(posix::HaeltZeile(alt, "a.txt", st, false));
    EXPECT_TRUE(posix::HaeltZeile(alt, "a.txt", st, true));
}

// When the walk's map is written, and with which rows.
TEST(Ordnerkarte, WrittenOnlyOnceEveryEntryWasAskedInOrderAndOnlyWithCertainStamps) {
    TempOrdner tmp;
    const auto ordner = tmp / "o";
    std::filesystem::create_directories(ordner);
    const std::int64_t uhr = 1'800'000'000'500'000'000; // half a second past a whole (and even) second
    auto eintrag = [](std::int64_t ctime, ino_t ino) {
        struct stat st {};
        st.st_ino = ino;
        st.st_ctim = {static_cast<time_t>(ctime / 1'000'000'000), static_cast<long>(ctime % 1'000'000'000)};
        return st;
    };
    const struct stat alt = eintrag(uhr - 1'000'000'000, 1);   // long before the listing
    const struct stat eben = eintrag(uhr - 1, 2);              // a stamp of nanoseconds just before: certain
    const struct stat gleich = eintrag(uhr, 3);                // the clock's own tick: a change now may get it
    const struct stat sekunde = eintrag(uhr - 500'000'000, 4); // a stamp of whole seconds whose step is not over
    struct Fall {
        const char* Name;
        std::vector<std::size_t> Reihenfolge;
        std::vector<bool> Zeile;
        std::vector<const struct stat*> Stand;
        bool Geschrieben;
        std::vector<std::size_t> Zeilen; // indexes whose rows the written map holds
    };
    const std::vector<Fall> faelle = {
        {"all in order", {0, 1, 2}, {true, true, true}, {&alt, &eben, &gleich}, true, {0, 1}},
        {"a record that did not match", {0, 1, 2}, {true, false, true}, {&alt, &eben, &alt}, true, {0, 2}},
        {"a stamp of a second not yet over", {0, 1}, {true, true}, {&alt, &sekunde}, true, {0}},
        {"one left out", {0, 2}, {true, true, true}, {&alt, &eben, &alt}, false, {}},
        {"asked twice", {0, 0, 1, 2}, {true, true, true}, {&alt, &eben, &alt}, false, {}},
        {"not to the end", {0, 1}, {true, true, true}, {&alt, &eben, &alt}, false, {}},
        {"nothing to hold", {0, 1}, {false, false}, {&alt, &alt}, false, {}},
    };
    const posix::Deskriptor fd(::open(ordner.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(fd.gueltig());
    for (const auto& fall : faelle) {
        SCOPED_TRACE(fall.Name);
        (void)::removexattr(ordner.c_str(), OrdnerkarteName);
        posix::Kartenstand stand;
        stand.Neu(fall.Zeile.size(), uhr);
        stand.Lies(fd.get(), 99);
        for (const std::size_t i : fall.Reihenfolge) {
            const std::string name = "f" + std::to_string(i);
            stand.Gefragt(fd.get(), i, name, *fall.Stand[i], fall.Zeile[i]);
        }
        const auto karte = KarteVon(ordner);
        ASSERT_EQ(karte.has_value(), fall.Geschrieben);
        if (!karte)
            continue;
        EXPECT_EQ(karte->OrdnerInode, Lstat(ordner).st_ino);
        EXPECT_EQ(karte->OrdnerName, 99u);
        std::vector<std::uint64_t> erwartet;
        for (const std::size_t i : fall.Zeilen)
            erwartet.push_back(Kartenzeile("f" + std::to_string(i), *fall.Stand[i]));
        std::sort(erwartet.begin(), erwartet.end());
        EXPECT_EQ(karte->Zeilen, erwartet);
    }
}

// A folder of backed-up files on disk, walked as the scan walks it.
class OrdnerkarteAufDerPlatte : public FsTest {
protected:
    const std::vector<std::string> namen = {"a.txt", "b.txt", "c.txt"};

    void SetUp() override {
        for (const auto& n : namen)
            SchreibeDatei(C("daten/" + n), "Inhalt von " + n);
    }
    // Clears the archive bit of every file (as a backup does): the batch written gives the map their rows.
    // Then a walk once the stamps are certain, which keeps them.
    void Gesichert() {
        fs = ErzeugePosixDateisystem(tabelle);
        for (const auto& n : namen)
            if (std::filesystem::exists(C("daten/" + n)))
                fs->SetFileAttr("C:\\daten\\" + n, 0);
        fs->Festschreiben();
        WarteAufGewisseStempel(C("daten"));
        (void)Gesetzte();
    }
    // The files whose archive bit reads set, asked in listing order by a fresh object (the next run).
    std::vector<std::string> Gesetzte() {
        fs = ErzeugePosixDateisystem(tabelle);
        std::vector<std::string> gesetzt;
        for (const Datei& d : fs->Files(fs->GetFolder("C:\\daten")))
            if (fs->ArchivGesetzt(d))
                gesetzt.push_back(d.Name);
        return gesetzt;
    }
};

TEST_F(OrdnerkarteAufDerPlatte, AWalkWritesTheMapAndTheNextWalkTrustsIt) {
    Gesichert();
    const auto karte = KarteVon(C("daten"));
    ASSERT_TRUE(karte);
    EXPECT_EQ(karte->Zeilen.size(), namen.size());
    EXPECT_TRUE(Gesetzte().empty());

    // A file without a record reads clear while the map holds a row for it: the record is not read.
    ASSERT_EQ(::removexattr(C("daten/b.txt").c_str(), posix::ArchivvermerkName), 0);
    Ordnerkarte falsch = *karte;
    falsch.Zeilen.push_back(Kartenzeile("b.txt", Lstat(C("daten/b.txt"))));
    const std::string wert = OrdnerkartenWert(falsch);
    SetzeXattr(C("daten"), OrdnerkarteName, wert);
    EXPECT_TRUE(Gesetzte().empty());
}

// After a run's last batch the maps' rows wait until the file-system object goes, each taken from its file as it is
// then: a file changed since its mark gets none, and reads set.
TEST_F(OrdnerkarteAufDerPlatte, TheLastBatchsRowsAreWrittenWhenTheObjectGoesFromTheFilesAsTheyAreThen) {
    struct Fall {
        const char* Name;
        bool Zuletzt;   // FestschreibenZuletzt in place of Festschreiben
        bool Geaendert; // b.txt appended to after the batch, before the object goes
        std::size_t Zeilen;
        std::vector<std::string> Gesetzt;
    };
    const std::vector<Fall> faelle = {
        {"a batch", false, false, 3, {}},
        {"the last batch", true, false, 3, {}},
        {"the last batch, a file changed after it", true, true, 2, {"b.txt"}},
    };
    for (const auto& fall : faelle) {
        SCOPED_TRACE(fall.Name);
        std::filesystem::remove_all(C());
        SetUp();
        fs = ErzeugePosixDateisystem(tabelle);
        for (const auto& n : namen)
            fs->SetFileAttr("C:\\daten\\" + n, 0);
        if (fall.Zuletzt)
            fs->FestschreibenZuletzt();
        else
            fs->Festschreiben();
        if (fall.Geaendert)
            SchreibeDatei(C("daten/b.txt"), "Inhalt von b.txt und mehr");
        fs.reset();
        const auto karte = KarteVon(C("daten"));
        ASSERT_TRUE(karte);
        EXPECT_EQ(karte->Zeilen.size(), fall.Zeilen);
        EXPECT_EQ(Gesetzte(), fall.Gesetzt);
    }
}

// The row of a state whose ctime a later change got exactly (a clock put back on a file system of whole-second
// stamps), and the rows of earlier versions (name, inode and ctime alone): a file reads clear only in the state
// its record holds, and the walk writes the rows of today in place of the earlier ones.
TEST_F(OrdnerkarteAufDerPlatte, ARowVouchesOnlyForTheSizeAndTimeItWasTakenWith) {
    struct Fall {
        const char* Name;
        bool Geaendert; // a.txt changed after its backup
        // The row of a.txt written into the map, from its state now and the state its backup holds.
        std::function<std::uint64_t(const struct stat& jetzt, const struct stat& gesichert)> Zeile;
        std::vector<std::string> Gesetzt;
    };
    const auto mitGesichertem = [](struct stat jetzt, const struct stat& gesichert) {
        jetzt.st_size = gesichert.st_size;
        jetzt.st_mtim = gesichert.st_mtim;
        return jetzt;
    };
    const std::vector<Fall> faelle = {
        {"the row of its state", false, [](const auto& j, const auto&) { return Kartenzeile("a.txt", j); }, {}},
        {"an earlier version's row of its state",
         false,
         [](const auto& j, const auto&) { return posix::FruehereKartenzeile("a.txt", j); },
         {}},
        {"a row of the same ctime and the size and time backed up",
         true,
         [&](const auto& j, const auto& g) { return Kartenzeile("a.txt", mitGesichertem(j, g)); },
         {"a.txt"}},
        {"an earlier version's row of the same ctime",
         true,
         [](const auto& j, const auto&) { return posix::FruehereKartenzeile("a.txt", j); },
         {"a.txt"}},
    };
    for (const Fall& fall : faelle) {
        SCOPED_TRACE(fall.Name);
        std::filesystem::remove_all(C());
        SetUp();
        Gesichert();
        const auto karte = KarteVon(C("daten"));
        ASSERT_TRUE(karte);
        const struct stat gesichert = Lstat(C("daten/a.txt"));
        if (fall.Geaendert)
            SchreibeDatei(C("daten/a.txt"), "Inhalt von a.txt, geändert");
        const struct stat jetzt = Lstat(C("daten/a.txt"));
        Ordnerkarte gefaelscht{karte->OrdnerInode, karte->OrdnerName, {fall.Zeile(jetzt, gesichert)}};
        for (const char* n : {"b.txt", "c.txt"})
            gefaelscht.Zeilen.push_back(Kartenzeile(n, Lstat(C("daten") / n)));
        const std::string wert = OrdnerkartenWert(gefaelscht);
        SetzeXattr(C("daten"), OrdnerkarteName, wert);
        EXPECT_EQ(Gesetzte(), fall.Gesetzt);
        // The walk asked every file: the map holds the rows of today of the files that read clear.
        std::vector<std::uint64_t> erwartet;
        for (const auto& n : namen)
            if (std::find(fall.Gesetzt.begin(), fall.Gesetzt.end(), n) == fall.Gesetzt.end())
                erwartet.push_back(Kartenzeile(n, Lstat(C("daten") / n)));
        std::sort(erwartet.begin(), erwartet.end());
        const auto danach = KarteVon(C("daten"));
        ASSERT_TRUE(danach);
        EXPECT_EQ(danach->Zeilen, erwartet);
    }
}

// After the map is written, every change of a file reads set, as the record alone would tell.
TEST_F(OrdnerkarteAufDerPlatte, EveryLaterChangeStillReadsSet) {
    struct Fall {
        const char* Name;
        std::function<void(const std::filesystem::path& daten)> Aenderung;
        std::vector<std::string> Gesetzt;
    };
    const std::vector<Fall> faelle = {
        {"nothing", [](const auto&) {}, {}},
        {"appended", [](const auto& d) { SchreibeDatei((d / "b.txt"), "Inhalt von b.txt und mehr"); }, {"b.txt"}},
        {"rewritten with its size and time set back",
         [](const auto& d) {
             const auto p = (d / "b.txt");
             const auto zeit = std::filesystem::last_write_time(p);
             SchreibeDatei(p, "Inhalt von B.TXT");
             std::filesystem::last_write_time(p, zeit);
         },
         {"b.txt"}},
        {"permission bits", [](const auto& d) { ASSERT_EQ(::chmod((d / "b.txt").c_str(), 0600), 0); }, {"b.txt"}},
        {"another extended attribute", [](const auto& d) { SetzeXattr((d / "b.txt"), "user.x", "1"); }, {"b.txt"}},
        {"a second name elsewhere",
         [](const auto& d) { std::filesystem::create_hard_link((d / "b.txt"), d.parent_path() / "b-zweit.txt"); },
         {"b.txt"}},
        {"renamed over another",
         [](const auto& d) { std::filesystem::rename((d / "a.txt"), (d / "c.txt")); },
         {"c.txt"}},
        {"replaced by a new file",
         [](const auto& d) {
             std::filesystem::remove((d / "c.txt"));
             SchreibeDatei((d / "c.txt"), "Inhalt von c.txt");
         },
         {"c.txt"}},
    };
    for (const auto& fall : faelle) {
        SCOPED_TRACE(fall.Name);
        std::filesystem::remove_all(C());
        SetUp();
        Gesichert();
        ASSERT_TRUE(KarteVon(C("daten")));
        fall.Aenderung(C("daten"));
        EXPECT_EQ(Gesetzte(), fall.Gesetzt);
    }
}

TEST_F(OrdnerkarteAufDerPlatte, AMapMovedWithItsFolderIsNotUsed) {
    Gesichert();
    // The folder moved: the records name the old path, and so does the map; the files' inodes and ctimes stay.
    std::filesystem::rename(C("daten"), C("neu"));
    std::filesystem::create_directories(C("daten"));
    std::filesystem::rename(C("neu"), C("daten/drin"));
    fs = ErzeugePosixDateisystem(tabelle);
    std::vector<std::string> gesetzt;
    for (const Datei& d : fs->Files(fs->GetFolder("C:\\daten\\drin")))
        if (fs->ArchivGesetzt(d))
            gesetzt.push_back(d.Name);
    EXPECT_EQ(gesetzt, namen);
}

// A map fills the folder's attribute space no further than a link's record needs: it gives way to the record.
TEST_F(OrdnerkarteAufDerPlatte, MakesRoomForTheRecordOfTheFolderLinks) {
    Gesichert();
    ASSERT_TRUE(KarteVon(C("daten")));
    std::filesystem::create_symlink("a.txt", C("daten/verweis"));
    // Fill the folder's attribute space.
    int fuellung = 0;
    for (const std::size_t groesse : {200u, 1u}) {
        for (int n = 0; n < 200; ++n, ++fuellung) {
            const std::string name = "user.f" + std::to_string(fuellung);
            const std::string wert(groesse, 'x');
            if (::setxattr(C("daten").c_str(), name.c_str(), wert.data(), wert.size(), 0) != 0)
                break;
        }
    }
    if (fuellung >= 400)
        GTEST_SKIP() << "the file system of the temporary folder has room without end for extended attributes";
    fs = ErzeugePosixDateisystem(tabelle);
    ASSERT_TRUE(fs->ArchivGesetzt(fs->GetFile("C:\\daten\\verweis")));
    fs->SetFileAttr("C:\\daten\\verweis", 0);
    EXPECT_FALSE(KarteVon(C("daten")));
    EXPECT_TRUE(Xattr(C("daten"), posix::VerweisvermerkName));
    fs = ErzeugePosixDateisystem(tabelle);
    EXPECT_FALSE(fs->ArchivGesetzt(fs->GetFile("C:\\daten\\verweis")));
}

// A shared sticky folder of the attacker's (uid 65534) where the victim's file and link lie. Root backs them up;
// the victim changes them; the attacker, who owns the folder and so its extended attributes, writes the map row
// or the link digest of the changed state, as anyone can compute them. Root's next walk still sees the change.
TEST_F(OrdnerkarteAufDerPlatte, AForgedRowOrDigestOfAnotherUserHidesNoChange) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the run is root's over another user's folder";
    constexpr uid_t Opfer = 4711;
    std::filesystem::permissions(tmp.Pfad(), std::filesystem::perms(0755));
    std::filesystem::permissions(C(), std::filesystem::perms(0755));
    ASSERT_EQ(::chown(C("daten").c_str(), Niemand, Niemand), 0);
    std::filesystem::permissions(C("daten"), std::filesystem::perms(01777));
    for (const auto& n : namen)
        ASSERT_EQ(::chown(C("daten/" + n).c_str(), Opfer, Opfer), 0);
    std::filesystem::create_symlink("a.txt", C("daten/zeiger"));
    ASSERT_EQ(::lchown(C("daten/zeiger").c_str(), Opfer, Opfer), 0);
    auto hex = [](const std::string& wert) {
        std::string h = "0x";
        for (const unsigned char c : wert) {
            char b[3];
            std::snprintf(b, sizeof b, "%02x", c);
            h += b;
        }
        return h;
    };
    // Sets the attribute as the attacker; true when he could.
    auto alsAngreifer = [&](const char* name, const std::string& wert) {
        const std::string befehl = "setpriv --reuid=65534 --regid=65534 --clear-groups -- setfattr -n " +
                                   std::string(name) + " -v " + hex(wert) + " " + C("daten").string();
        return std::system(befehl.c_str()) == 0;
    };
    struct Fall {
        const char* Name;
        const char* Eintrag;  // the victim's entry that changes
        const char* Attribut; // the record the attacker forges
        // The forged values: unsealed as before, and with the last seal kept over the forged content.
        std::function<std::vector<std::string>()> Faelsche;
    };
    const std::vector<Fall> faelle = {
        {"a map row", "b.txt", OrdnerkarteName,
         [&] {
             const auto karte = KarteVon(C("daten"));
             EXPECT_TRUE(karte);
             Ordnerkarte f = karte ? *karte : Ordnerkarte{};
             f.Zeilen.push_back(Kartenzeile("b.txt", Lstat(C("daten/b.txt"))));
             const std::string alt = *Xattr(C("daten"), OrdnerkarteName);
             const std::string roh = OrdnerkartenWert(f).substr(0, OrdnerkartenWert(f).size() - posix::Siegel::Laenge);
             return std::vector<std::string>{roh, roh + alt.substr(alt.size() - posix::Siegel::Laenge)};
         }},
        {"a link digest", "zeiger", posix::VerweisvermerkName,
         [&] {
             const std::string alt = *Xattr(C("daten"), posix::VerweisvermerkName);
             const auto v = posix::LiesVerweisvermerk(alt);
             EXPECT_TRUE(v);
             const posix::Verweisvermerk f{
                 v ? v->OrdnerInode : 0, v ? v->OrdnerName : 0,
                 posix::Pruefsumme(posix::FnvAnfang, posix::Ordnertafeln::Kennung("zeiger", Lstat(C("daten/zeiger"))))};
             const std::string roh = posix::VerweisvermerkWert(f).substr(0, 32);
             return std::vector<std::string>{roh, roh + alt.substr(32)};
         }},
    };
    for (const Fall& f : faelle) {
        SCOPED_TRACE(f.Name);
        Gesichert();
        fs = ErzeugePosixDateisystem(tabelle);
        fs->SetFileAttr("C:\\daten\\zeiger", 0);
        ASSERT_TRUE(Xattr(C("daten"), f.Attribut));
        ASSERT_TRUE(Gesetzte().empty());
        // The victim's change: new content, or a link to elsewhere.
        if (std::string(f.Eintrag) == "zeiger") {
            std::filesystem::remove(C("daten/zeiger"));
            std::filesystem::create_symlink("c.txt", C("daten/zeiger"));
            ASSERT_EQ(::lchown(C("daten/zeiger").c_str(), Opfer, Opfer), 0);
        } else {
            SchreibeDatei(C("daten/b.txt"), "vom Opfer geändert");
        }
        WarteAufGewisseStempel(C("daten"));
        for (const std::string& wert : f.Faelsche()) {
            ASSERT_TRUE(alsAngreifer(f.Attribut, wert));
            const auto gesetzt = Gesetzte();
            EXPECT_NE(std::find(gesetzt.begin(), gesetzt.end(), f.Eintrag), gesetzt.end()) << wert.size();
        }
    }
}

} // namespace
} // namespace tresor::test
