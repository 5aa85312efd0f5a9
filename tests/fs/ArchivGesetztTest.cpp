#include "tests/fs/FsTestbasis.h"

#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/XattrAblage.h"
#include "fs/posix/Attributwert.h"
#include "fs/system/Einhaengungen.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace tresor::test {
namespace {

constexpr int A = attr::Archiv;

// The store of extended attributes, counting the reads of user.DOSATTRIB.
class Zaehlablage final : public posix::Attributablage {
public:
    int dosLesungen = 0;
    std::optional<std::uint32_t> LiesDos(const posix::Ort& ort) override {
        ++dosLesungen;
        return innen_.LiesDos(ort);
    }
    bool SchreibeDos(const posix::Ort& ort, std::uint32_t wert) override { return innen_.SchreibeDos(ort, wert); }
    std::optional<posix::Archivvermerk> LiesVermerk(const posix::Ort& ort) override { return innen_.LiesVermerk(ort); }
    bool SchreibeVermerk(const posix::Ort& ort, const posix::Archivvermerk& v) override {
        return innen_.SchreibeVermerk(ort, v);
    }
    bool LoescheVermerk(const posix::Ort& ort) override { return innen_.LoescheVermerk(ort); }
    std::optional<posix::Verweisvermerk> LiesVerweisvermerk(const posix::Ort& o) override {
        return innen_.LiesVerweisvermerk(o);
    }
    bool SchreibeVerweisvermerk(const posix::Ort& o, const posix::Verweisvermerk& v) override {
        return innen_.SchreibeVerweisvermerk(o, v);
    }
    bool LoescheVerweisvermerk(const posix::Ort& o) override { return innen_.LoescheVerweisvermerk(o); }

private:
    posix::XattrAblage innen_;
};

class ArchivGesetztTest : public FsTest {
protected:
    const Pfad pfad = "C:\\daten\\brief.txt";
    std::filesystem::path posix = C("daten/brief.txt");

    void SetUp() override { SchreibeDatei(posix, "Hallo Welt"); }
    bool Gesetzt() { return fs->ArchivGesetzt(fs->GetFile(pfad)); }
    int Wert() { return fs->Attributes(fs->GetFile(pfad)); }
    static std::int64_t Ctime(const std::filesystem::path& p) {
        struct stat st {};
        EXPECT_EQ(::lstat(p.c_str(), &st), 0);
        return posix::CtimeNs(st);
    }
    // Makes `aenderung` right after the record's write, with no wait: a change at any moment after it gives
    // the file another ctime, which the exact rule catches.
    void GleichDanach(const std::function<void()>& aenderung) {
        const std::int64_t vorher = Ctime(posix);
        aenderung();
        EXPECT_NE(Ctime(posix), vorher);
    }
};

// What happens to a backed-up file once its record is written, and whether its archive bit must read set
// afterwards. Both ways of asking must agree.
struct Nachher {
    const char* Name;
    std::function<void(const std::filesystem::path&)> Aenderung;
    bool Gesetzt;
};

void SetzeXattrText(const std::filesystem::path& p, const char* name, const std::string& wert) {
    ASSERT_EQ(::lsetxattr(p.c_str(), name, wert.data(), wert.size(), 0), 0) << p << " " << name;
}

TEST_F(ArchivGesetztTest, AgreesWithTheAttributeValueAfterEveryLaterChange) {
    const std::vector<Nachher> faelle = {
        {"nothing", nullptr, false},
        {"DOSATTRIB with the archive bit",
         [](auto& p) { SetzeXattrText(p, "user.DOSATTRIB", std::string("0x20\0", 5)); }, true},
        {"DOSATTRIB with the hidden bit", [](auto& p) { SetzeXattrText(p, "user.DOSATTRIB", std::string("0x2\0", 4)); },
         true},
        {"DOSATTRIB written and removed",
         [](auto& p) {
             SetzeXattrText(p, "user.DOSATTRIB", std::string("0x0\0", 4));
             ASSERT_EQ(::lremovexattr(p.c_str(), "user.DOSATTRIB"), 0);
         },
         true},
        {"another extended attribute", [](auto& p) { SetzeXattrText(p, "user.anderes", "1"); }, true},
        {"the same mode again", [](auto& p) { ASSERT_EQ(::chmod(p.c_str(), 0644), 0); }, true},
        {"the same size, the time put back",
         [](auto& p) {
             struct stat st {};
             ASSERT_EQ(::stat(p.c_str(), &st), 0);
             SchreibeDatei(p, "Hallo Welt"); // the same content even: only the ctime tells
             const struct timespec zeiten[2] = {st.st_atim, st.st_mtim};
             ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), zeiten, 0), 0);
         },
         true},
    };
    for (const auto& fall : faelle) {
        for (const bool dosVorher : {false, true}) {
            SCOPED_TRACE(std::string(fall.Name) + (dosVorher ? ", DOSATTRIB there before" : ""));
            (void)::lremovexattr(posix.c_str(), "user.DOSATTRIB");
            (void)::lremovexattr(posix.c_str(), posix::ArchivvermerkName);
            (void)::lremovexattr(posix.c_str(), "user.anderes");
            ASSERT_EQ(::chmod(posix.c_str(), 0644), 0);
            if (dosVorher)
                SetzeXattrText(posix, "user.DOSATTRIB", std::string("0x20\0", 5)); // as a server marks a write
            fs = ErzeugePosixDateisystem(tabelle);
            EXPECT_TRUE(Gesetzt());
            fs->SetFileAttr(pfad, 0);
            if (dosVorher) {
                EXPECT_EQ(Xattr(posix, "user.DOSATTRIB"), std::string("0x0\0", 4));
            }
            if (fall.Aenderung)
                GleichDanach([&] { fall.Aenderung(posix); });
            for (int objekt = 0; objekt < 2; ++objekt) {
                // The same object that cleared the bit, and a fresh one (the next run).
                EXPECT_EQ(Gesetzt(), fall.Gesetzt);
                EXPECT_EQ((Wert() & A) != 0, fall.Gesetzt);
                fs = ErzeugePosixDateisystem(tabelle);
            }
        }
    }
}

TEST_F(ArchivGesetztTest, AMatchingRecordSparesTheReadOfDosattribAnyOtherStateReadsIt) {
    fs->SetFileAttr(pfad, 0);
    fs->Festschreiben(); // the folder's map holds the file's state after its record's write
    Zaehlablage ablage;
    const int fd = ::open(C("daten").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const posix::Ort ort(fd, "brief.txt");
    struct stat st {};
    ASSERT_EQ(::fstatat(fd, "brief.txt", &st, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_TRUE(Xattr(posix, posix::ArchivvermerkName).has_value());
    const auto vermerk = posix::LiesArchivvermerk(*Xattr(posix, posix::ArchivvermerkName));
    ASSERT_TRUE(vermerk.has_value());
    posix::Vermerkort vo;
    vo.Name = vermerk->Name;
    vo.OrdnerFd = fd;
    vo.OrdnerName = posix::Namenskennung(posix::Einhaengungen::AusSystem().ImDateisystem(C("daten").string()));
    vo.Eintrag = "brief.txt";

    EXPECT_FALSE(posix::Archivbit(ablage, ort, st, &vo));
    EXPECT_EQ(ablage.dosLesungen, 0);
    // A record of another name, or none: set, and nothing more to read either.
    posix::Vermerkort anderer = vo;
    anderer.Name ^= 1;
    EXPECT_TRUE(posix::Archivbit(ablage, ort, st, &anderer));
    EXPECT_TRUE(posix::Archivbit(ablage, ort, st, nullptr));
    // Without the folder's map the record alone matches but for the ctime: set, and said so.
    posix::Vermerkort ohneKarte = vo;
    ohneKarte.KarteFragen = false;
    bool bisAufCtime = false;
    EXPECT_TRUE(posix::Archivbit(ablage, ort, st, &ohneKarte, nullptr, &bisAufCtime));
    EXPECT_TRUE(bisAufCtime);
    // ... and the state this object remembers writing reads clear.
    posix::Vermerkte gemerkt;
    gemerkt.Merke(st, vo.Name);
    ohneKarte.Gemerkt = &gemerkt;
    EXPECT_FALSE(posix::Archivbit(ablage, ort, st, &ohneKarte));
    EXPECT_EQ(ablage.dosLesungen, 0);
    // The full value still reads it.
    (void)posix::Attributwert(ablage, ort, "brief.txt", st, &vo);
    EXPECT_EQ(ablage.dosLesungen, 1);
    // A record read a moment before counts as the file's while the ctime says nothing was written since.
    const std::optional<posix::Archivvermerk> vorher = vermerk;
    EXPECT_FALSE(posix::Archivbit(ablage, ort, st, &vo, &vorher));
    const std::optional<posix::Archivvermerk> keiner;
    EXPECT_TRUE(posix::Archivbit(ablage, ort, st, &vo, &keiner));
    struct stat spaeter = st;
    spaeter.st_ctim.tv_sec += 1;
    EXPECT_TRUE(posix::Archivbit(ablage, ort, spaeter, &vo, &vorher));
    ::close(fd);
}

TEST_F(ArchivGesetztTest, LinksFoldersAndFilesOfSeveralNamesAnswerAsTheirValue) {
    ASSERT_EQ(::symlink("brief.txt", C("daten/verweis").c_str()), 0);
    ASSERT_EQ(::link(posix.c_str(), C("daten/zweitname").c_str()), 0);
    const std::vector<Pfad> eintraege = {"C:\\daten\\verweis", "C:\\daten\\zweitname", pfad};
    for (int runde = 0; runde < 2; ++runde) {
        for (const auto& e : eintraege) {
            SCOPED_TRACE(e + " round " + std::to_string(runde));
            const Datei d = fs->GetFile(e);
            EXPECT_EQ(fs->ArchivGesetzt(d), (fs->Attributes(d) & A) != 0);
            EXPECT_EQ(fs->ArchivGesetzt(d), runde == 0);
        }
        for (const auto& e : eintraege)
            fs->SetFileAttr(e, 0);
        fs = ErzeugePosixDateisystem(tabelle);
    }
    EXPECT_THROW((void)fs->ArchivGesetzt(Datei{"C:\\daten\\fehlt", "fehlt"}), FsFehler);
    try {
        (void)fs->ArchivGesetzt(Datei{"C:\\daten\\fehlt", "fehlt"});
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Operation(), "Attributes");
        EXPECT_EQ(f.Path(), "C:\\daten\\fehlt");
    }
}

TEST_F(ArchivGesetztTest, DateiZuSichernIsGetFileAndTheArchiveBitInOneLook) {
    ASSERT_EQ(::symlink("brief.txt", C("daten/verweis").c_str()), 0);
    ASSERT_EQ(::mkfifo(C("daten/rohr").c_str(), 0644), 0);
    std::filesystem::create_directories(C("daten/ordner"));
    SchreibeDatei(C("daten/klar.txt"), "gesichert");
    fs->SetFileAttr("C:\\daten\\klar.txt", 0);
    fs = ErzeugePosixDateisystem(tabelle);
    struct Fall {
        Pfad Eintrag;
        bool Zu;    // to be backed up
        int Fehler; // else the error of GetFile
    };
    for (const Fall& f : std::vector<Fall>{{pfad, true, 0},
                                           {"C:\\daten\\verweis", true, 0},
                                           {"C:\\daten\\klar.txt", false, 0},
                                           {"C:\\daten\\fehlt", false, ENOENT},
                                           {"C:\\daten\\ordner", false, EISDIR},
                                           {"C:\\daten\\rohr", false, EINVAL}}) {
        SCOPED_TRACE(f.Eintrag);
        if (f.Fehler != 0) {
            try {
                (void)fs->DateiZuSichern(f.Eintrag);
                ADD_FAILURE() << "no error";
            } catch (const FsFehler& e) {
                EXPECT_EQ(e.Operation(), "GetFile");
                EXPECT_EQ(e.Path(), f.Eintrag);
                EXPECT_EQ(e.Ursache().value(), f.Fehler);
            }
            continue;
        }
        const auto d = fs->DateiZuSichern(f.Eintrag);
        EXPECT_EQ(d.has_value(), f.Zu);
        EXPECT_EQ(fs->Attributes(fs->GetFile(f.Eintrag)) >= 32, f.Zu);
        if (d) {
            EXPECT_EQ(d->Path, f.Eintrag);
            EXPECT_EQ(d->Name, f.Eintrag.substr(f.Eintrag.rfind('\\') + 1));
        }
    }
}

// Records read ahead on the other thread, then the tree changed behind them before the walk asks: each file
// must read as a fresh look at it tells, whatever was read ahead.
TEST_F(ArchivGesetztTest, RecordsReadAheadGiveWayToChangesMadeAfterTheirRead) {
    std::vector<std::string> namen;
    for (int i = 0; i < 8; ++i) {
        namen.push_back("f" + std::to_string(i));
        SchreibeDatei(C("daten/" + namen.back()), "inhalt " + namen.back());
    }

    std::mutex m;
    std::condition_variable cv;
    std::set<std::string> vorgelesen;
    auto walk = ErzeugePosixDateisystem(tabelle, {}, [&](const std::string& name) {
        const std::lock_guard<std::mutex> l(m);
        vorgelesen.insert(name);
        cv.notify_all();
    });
    // Marked by the walking object itself, whose memory of the states its writes left is the only thing that
    // tells them clear: no map yet, so every record is read (ahead).
    for (const auto& n : namen)
        walk->SetFileAttr("C:\\daten\\" + n, 0);
    walk->SetFileAttr(pfad, 0);
    const auto dateien = walk->Files(walk->GetFolder("C:\\daten"));
    ASSERT_EQ(dateien.size(), 9u);
    ASSERT_EQ(dateien[0].Name, "brief.txt");
    EXPECT_FALSE(walk->ArchivGesetzt(dateien[0]));
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return vorgelesen.size() == namen.size(); });
    }

    auto posixVon = [this](const std::string& n) { return C("daten/" + n); };
    ASSERT_EQ(::lremovexattr(posixVon("f1").c_str(), posix::ArchivvermerkName), 0);
    std::ofstream(posixVon("f2"), std::ios::app) << "!";
    std::filesystem::rename(posixVon("f3"), posixVon("weg"));
    std::filesystem::rename(posixVon("f4"), posixVon("f3"));
    SetzeXattrText(posixVon("f5"), "user.DOSATTRIB", std::string("0x20\0", 5));
    SetzeXattrText(posixVon("f6"), posix::ArchivvermerkName, *Xattr(posixVon("f7"), posix::ArchivvermerkName));

    const std::vector<std::optional<bool>> erwartet = {false, true, true, true, std::nullopt, true, true, false};
    for (std::size_t i = 0; i < namen.size(); ++i) {
        SCOPED_TRACE(namen[i]);
        const Datei& d = dateien[i + 1];
        ASSERT_EQ(d.Name, namen[i]);
        if (!erwartet[i])
            EXPECT_THROW((void)walk->ArchivGesetzt(d), FsFehler);
        else
            EXPECT_EQ(walk->ArchivGesetzt(d), *erwartet[i]);
    }
    // The batch written: the folder's map gets the rows of the files still as their records' writes left
    // them, and a fresh object (the next run) reads them so.
    walk->Festschreiben();
    auto frisch = ErzeugePosixDateisystem(tabelle);
    for (std::size_t i = 0; i < namen.size(); ++i) {
        SCOPED_TRACE(namen[i]);
        const Datei& d = dateien[i + 1];
        if (!erwartet[i])
            EXPECT_THROW((void)frisch->Attributes(d), FsFehler);
        else
            EXPECT_EQ((frisch->Attributes(d) & A) != 0, *erwartet[i]);
    }
}

} // namespace
} // namespace tresor::test
