// The copy of a file onto targets of several file systems: an ext4 image and a tmpfs, where the copy is an
// unnamed file until it is complete, and an exFAT stick through FUSE, which makes no unnamed files and gets
// the copy under a temporary name. On each: the copy arrives whole under its name, replaces a file of that
// name, and leaves nothing behind when it is stopped amid its content or when its name cannot be given.
// The tests need root, loop devices and /dev/fuse, and skip elsewhere.

#include "fs/FsFehler.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/posix/PosixDateisystem.h"
#include "tests/Testhilfen.h"
#include "tests/zuverlaessigkeit/Programm.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

enum class Zielart { Ext4, Tmpfs, ExfatFuse };

struct Ziel {
    const char* Name;
    Zielart Art;
    bool Unbenannt; // the copy stays without a name until it is complete
};

// A tmpfs of its own on a folder, unmounted when it goes.
class Tmpfs {
public:
    explicit Tmpfs(fs::path punkt) : punkt_(std::move(punkt)) {
        fs::create_directories(punkt_);
        if (::geteuid() != 0)
            grund_ = "Einhängen braucht root";
        else if (::mount("tmpfs", punkt_.c_str(), "tmpfs", 0, "size=16m") != 0)
            grund_ = std::string("tmpfs nicht einhängbar: ") + std::strerror(errno);
        else
            eingehaengt_ = true;
    }
    ~Tmpfs() {
        if (eingehaengt_)
            (void)::umount2(punkt_.c_str(), MNT_DETACH);
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    bool Bereit() const { return eingehaengt_; }
    const std::string& Grund() const { return grund_; }

private:
    fs::path punkt_;
    bool eingehaengt_ = false;
    std::string grund_;
};

class KopieZiele : public ::testing::TestWithParam<Ziel> {
protected:
    void SetUp() override {
        const fs::path punkt = temp / "ziel";
        switch (GetParam().Art) {
        case Zielart::Ext4:
            abbild = std::make_unique<Abbild>(temp / "ext4.img", punkt, 16);
            if (!abbild->Bereit() || !abbild->Einhaengen())
                GTEST_SKIP() << abbild->Grund();
            break;
        case Zielart::Tmpfs:
            tmpfs = std::make_unique<Tmpfs>(punkt);
            if (!tmpfs->Bereit())
                GTEST_SKIP() << tmpfs->Grund();
            break;
        case Zielart::ExfatFuse:
            medium = std::make_unique<Medium>(temp / "exfat.img", punkt, Medienart::Exfat, 16);
            if (!medium->Bereit() || !medium->Einhaengen())
                GTEST_SKIP() << medium->Grund();
            break;
        }
        ordner = punkt / "kopien";
        fs::create_directories(ordner);
        fs::create_directories(temp / "quelle");
        laufwerke =
            Laufwerkstabelle({Laufwerk{'C', (temp / "quelle").string(), {}}, Laufwerk{'D', punkt.string(), {}}});
    }
    void TearDown() override {
        medium.reset();
        abbild.reset();
        tmpfs.reset();
    }

    // The names in the copies' folder, sorted.
    std::vector<std::string> Namen() const {
        std::vector<std::string> namen;
        for (const auto& e : fs::directory_iterator(ordner))
            namen.push_back(e.path().filename().string());
        std::sort(namen.begin(), namen.end());
        return namen;
    }
    static bool Temporaer(const std::string& name) { return name.starts_with(".tresor-ix-") && name.ends_with(".tmp"); }

    TempOrdner temp;
    std::unique_ptr<Abbild> abbild;
    std::unique_ptr<Tmpfs> tmpfs;
    std::unique_ptr<Medium> medium;
    fs::path ordner;
    Laufwerkstabelle laufwerke;
};

// A copy under a new name and one over a file of that name: whole, and while each is made, the folder holds
// no name of it at all where the target makes unnamed files, and exactly one temporary name elsewhere.
TEST_P(KopieZiele, ACopyArrivesWholeUnderItsNameAndNothingElseStays) {
    struct Fall {
        const char* Name;
        const char* Alt; // the content of a file of that name before, or null
    };
    const Fall faelle[] = {{"neu", nullptr}, {"ersetzt", "ein viel laengerer alter Inhalt"}};
    std::vector<std::string> waehrend;
    auto dateisystem = ErzeugePosixDateisystem(laufwerke, [&](const Pfad&, int) { waehrend = Namen(); });
    for (const auto& f : faelle) {
        SCOPED_TRACE(f.Name);
        const std::string inhalt(300 << 10, f.Name[0]);
        SchreibeDatei(temp / "quelle" / f.Name, inhalt);
        if (f.Alt)
            SchreibeDatei(ordner / f.Name, f.Alt);
        const std::vector<std::string> vorher = Namen();
        (void)dateisystem->Copy(dateisystem->GetFile(std::string("C:\\") + f.Name),
                                std::string("D:\\kopien\\") + f.Name);
        const auto temporaere = std::count_if(waehrend.begin(), waehrend.end(), Temporaer);
        EXPECT_EQ(temporaere, GetParam().Unbenannt ? 0 : 1);
        EXPECT_EQ(waehrend.size() - static_cast<std::size_t>(temporaere), vorher.size());
        EXPECT_EQ(LiesDatei(ordner / f.Name), inhalt);
        std::vector<std::string> erwartet = vorher;
        if (!f.Alt)
            erwartet.emplace_back(f.Name);
        std::sort(erwartet.begin(), erwartet.end());
        EXPECT_EQ(Namen(), erwartet);
    }
}

// A copy stopped amid its content (by its progress callback), and one whose name is taken meanwhile by a
// folder, so that it cannot be given: each fails, and the folder holds what it held, nothing partial.
TEST_P(KopieZiele, AStoppedOrUnnamableCopyLeavesNothingBehind) {
    struct Halt {};
    struct Fall {
        const char* Was;
        bool Anhalten;      // stopped from the progress callback
        bool NameAlsOrdner; // the name taken by a folder while the content is copied
        const char* Alt;    // a file of that name before, or null
    };
    const Fall faelle[] = {
        {"angehalten, neu", true, false, nullptr},
        {"angehalten, über einer Datei", true, false, "alt"},
        {"Name von einem Ordner belegt", false, true, nullptr},
    };
    for (const auto& f : faelle) {
        SCOPED_TRACE(f.Was);
        fs::remove_all(ordner);
        fs::create_directories(ordner);
        SchreibeDatei(temp / "quelle" / "gross", std::string(3 << 20, 'g'));
        if (f.Alt)
            SchreibeDatei(ordner / "gross", f.Alt);
        auto dateisystem = ErzeugePosixDateisystem(laufwerke, [&](const Pfad&, int) {
            if (f.NameAlsOrdner)
                fs::create_directory(ordner / "gross");
        });
        int stuecke = 0;
        const auto fortschritt = [&](std::uint64_t, std::uint64_t) {
            if (f.Anhalten && ++stuecke == 2)
                throw Halt{};
        };
        const auto kopiere = [&] {
            (void)dateisystem->Copy(dateisystem->GetFile("C:\\gross"), "D:\\kopien\\gross", fortschritt);
        };
        if (f.Anhalten) {
            EXPECT_THROW(kopiere(), Halt);
        } else {
            EXPECT_THROW(kopiere(), FsFehler);
        }
        EXPECT_EQ(Namen(), (f.Alt || f.NameAlsOrdner ? std::vector<std::string>{"gross"} : std::vector<std::string>{}));
        if (f.Alt) {
            EXPECT_EQ(LiesDatei(ordner / "gross"), f.Alt);
        }
        if (f.NameAlsOrdner) {
            EXPECT_TRUE(fs::is_empty(ordner / "gross"));
        }
    }
}

// Backups by root and by a plain user (the program run as 65534) onto a target that makes unnamed files: every
// copy gets its name, whichever way the kernel lets this user link an unnamed file, and no temporary name
// stays anywhere.
TEST_P(KopieZiele, EveryCopyGetsItsNameForRootAndForAPlainUser) {
    if (!GetParam().Unbenannt)
        GTEST_SKIP() << "Dieses Ziel macht keine unbenannten Dateien";
    if (::geteuid() != 0)
        GTEST_SKIP() << "Nur root kann das Programm als anderer Benutzer starten";
    struct Fall {
        const char* Wer;
        bool AlsNiemand;
    };
    const Fall faelle[] = {{"root", false}, {"niemand", true}};
    fs::permissions(temp.Pfad(), fs::perms(0755));
    Programm programm(temp.Pfad());
    for (const auto& f : faelle) {
        SCOPED_TRACE(f.Wer);
        const fs::path quelle = temp / (std::string("quelle-") + f.Wer);
        const fs::path ziel = ordner / f.Wer;
        const std::map<std::string, std::string> inhalte = {{"a", "a"}, {"b", std::string(70000, 'b')}};
        SchreibeDatei(quelle / "a", inhalte.at("a"));
        SchreibeDatei(quelle / "u" / "b", inhalte.at("b"));
        fs::create_directories(ziel);
        if (f.AlsNiemand) {
            for (const fs::path& p : {quelle, quelle / "a", quelle / "u", quelle / "u" / "b", ziel}) {
                ASSERT_EQ(::lchown(p.c_str(), 65534, 65534), 0) << p;
            }
        }
        const Programmende ende = programm.Sichere(quelle.string(), ziel.string(), f.AlsNiemand);
        ASSERT_EQ(ende.Status, 0) << ende.Aus << ende.Fehler;
        std::map<std::string, std::string> kopien;
        for (const auto& e : fs::recursive_directory_iterator(ziel)) {
            const std::string name = e.path().filename().string();
            EXPECT_FALSE(Temporaer(name)) << e.path();
            if (inhalte.contains(name) && e.is_regular_file())
                kopien[name] = LiesDatei(e.path());
        }
        EXPECT_EQ(kopien, inhalte);
    }
}

INSTANTIATE_TEST_SUITE_P(Ziele, KopieZiele,
                         ::testing::Values(Ziel{"ext4", Zielart::Ext4, true}, Ziel{"tmpfs", Zielart::Tmpfs, true},
                                           Ziel{"exfat_fuse", Zielart::ExfatFuse, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
} // namespace tresor::test
