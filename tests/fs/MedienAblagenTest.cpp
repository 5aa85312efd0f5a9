// The stores of file systems that keep DOS bits themselves (NTFS through ntfs-3g or the kernel's ntfs3, FAT
// and exFAT through the kernel's ioctls), the state file of those that keep nothing, letter case and the
// drive table kept over a new read of the mount table. The kernel here has no ntfs3, vfat or exFAT driver:
// those stores are driven through the very code the program runs, with a double in place of the system
// calls (the files themselves are real, for their times and sizes). ntfs-3g and exFAT through FUSE are
// tested for real by the program's own runs (tests/zuverlaessigkeit/MedienTest.cpp).

#include "fs/ablage/Ablagen.h"
#include "fs/ablage/EigeneBitsAblage.h"
#include "fs/ablage/Zustandsdatei.h"
#include "fs/posix/Attributwert.h"
#include "fs/posix/OffeneOrdner.h"
#include "tests/fs/FsTestbasis.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

namespace tresor::test {
namespace {

using posix::Bitart;

// The kernel of a file system with DOS bits of its own, in memory: one raw value per entry name, kept as the
// bytes of system.ntfs_attrib_be or system.dos_attrib, or as the value of the FAT ioctls.
class Bitkern : public posix::Bitaufrufe {
public:
    std::map<std::string, std::string> xattr; // "<entry> <attribute name>" -> bytes
    std::map<std::string, std::uint32_t> fat;
    // Called after every write of a value (to change the file behind the store's back).
    std::function<void()> nachSchreiben;
    int schreibvorgaenge = 0;

    ssize_t Getxattr(const posix::Ort& ort, const char* name, void* puffer, std::size_t groesse) override {
        const auto it = xattr.find(Schluessel(ort, name));
        if (it == xattr.end()) {
            errno = ENODATA;
            return -1;
        }
        if (groesse < it->second.size()) {
            errno = ERANGE;
            return -1;
        }
        std::memcpy(puffer, it->second.data(), it->second.size());
        return static_cast<ssize_t>(it->second.size());
    }
    int Setxattr(const posix::Ort& ort, const char* name, const void* wert, std::size_t groesse) override {
        xattr[Schluessel(ort, name)] = std::string(static_cast<const char*>(wert), groesse);
        Geschrieben();
        return 0;
    }
    int FatAttributeLesen(const posix::Ort& ort, std::uint32_t& wert) override {
        const auto it = fat.find(ort.Name);
        if (it == fat.end()) {
            errno = ENOTTY;
            return -1;
        }
        wert = it->second;
        return 0;
    }
    int FatAttributeSchreiben(const posix::Ort& ort, std::uint32_t wert) override {
        fat[ort.Name] = wert;
        Geschrieben();
        return 0;
    }

    static std::string Schluessel(const posix::Ort& ort, const char* name) {
        return std::string(ort.Name) + " " + name;
    }

private:
    void Geschrieben() {
        ++schreibvorgaenge;
        if (nachSchreiben)
            nachSchreiben();
    }
};

// One file on a real folder whose DOS bits a Bitkern keeps, read and written through Attributwert and
// SchreibeAttributwert as the file-system object does.
class EigeneBitsTest : public FsTest, public ::testing::WithParamInterface<Bitart> {
protected:
    const Pfad pfad = "C:\\brief.txt";
    std::filesystem::path posix = C("brief.txt");
    Bitkern kern;
    posix::EigeneBitsAblage ablage{GetParam(), kern};
    posix::OffeneOrdner ordner{tabelle};

    void SetUp() override { SchreibeDatei(posix, "Hallo"); }

    // The raw value as the kernel keeps it.
    void SetzeRoh(std::uint32_t wert) {
        switch (GetParam()) {
        case Bitart::Ntfs3g:
            kern.xattr["brief.txt system.ntfs_attrib_be"] = {static_cast<char>(wert >> 24),
                                                             static_cast<char>(wert >> 16),
                                                             static_cast<char>(wert >> 8), static_cast<char>(wert)};
            break;
        case Bitart::Ntfs3:
            kern.xattr["brief.txt system.dos_attrib"] = std::string(1, static_cast<char>(wert));
            break;
        case Bitart::Fat:
            kern.fat["brief.txt"] = wert;
            break;
        }
    }
    std::uint32_t Roh() {
        switch (GetParam()) {
        case Bitart::Ntfs3g: {
            const std::string& b = kern.xattr.at("brief.txt system.ntfs_attrib_be");
            EXPECT_EQ(b.size(), 4u) << "four bytes, big-endian";
            std::uint32_t w = 0;
            for (const char c : b)
                w = (w << 8) | static_cast<unsigned char>(c);
            return w;
        }
        case Bitart::Ntfs3: {
            const std::string& b = kern.xattr.at("brief.txt system.dos_attrib");
            EXPECT_EQ(b.size(), 1u) << "one byte";
            return static_cast<unsigned char>(b[0]);
        }
        case Bitart::Fat:
            return kern.fat.at("brief.txt");
        }
        return 0;
    }
    struct stat Stat() const {
        struct stat st {};
        EXPECT_EQ(::lstat(posix.c_str(), &st), 0);
        return st;
    }
    int Wert() {
        posix::Eintragsort ort;
        ordner.VerorteOderWirf("Attributes", pfad, ort);
        return posix::Attributwert(ablage, ort.Wo(), "brief.txt", Stat());
    }
    void Schreibe(int wert, const Quellstand& stand) {
        posix::Eintragsort ort;
        ordner.VerorteOderWirf("SetFileAttr", pfad, ort);
        posix::SchreibeAttributwert(ablage, pfad, ort, Stat(), wert, stand, {});
    }
    // A bit of the raw value that this program never touches (NTFS "not indexed"; FAT has none for files
    // but the volume label's, 8).
    std::uint32_t Fremdbit() const {
        return GetParam() == Bitart::Fat ? 0x08 : GetParam() == Bitart::Ntfs3 ? 0x40 : 0x2000;
    }
};

TEST_P(EigeneBitsTest, EveryBitIsReadFromTheFileSystemsOwnValue) {
    SetzeRoh(0x20 | 0x04 | 0x02 | 0x01);
    EXPECT_EQ(Wert(), attr::Archiv | attr::System | attr::Versteckt | attr::Schreibgeschuetzt);
    SetzeRoh(0x00);
    EXPECT_EQ(Wert(), 0) << "no archive record is asked: the bit is the record";
    SetzeRoh(0x20);
    EXPECT_EQ(Wert(), attr::Archiv);
}

TEST_P(EigeneBitsTest, ClearingTheArchiveBitAfterACopyTakesAwayThatBitAlone) {
    SetzeRoh(0x20 | 0x04 | Fremdbit());
    const Quellstand stand = posix::StandAus(Stat());
    const mode_t modus = Stat().st_mode;
    Schreibe(attr::System, stand);
    EXPECT_EQ(Roh(), 0x04 | Fremdbit());
    EXPECT_EQ(Wert(), attr::System);
    EXPECT_EQ(Stat().st_mode, modus) << "the mode is left alone";
}

TEST_P(EigeneBitsTest, FileChangedSinceItsCopyKeepsTheArchiveBit) {
    SetzeRoh(0x20);
    const Quellstand stand = posix::StandAus(Stat());
    SchreibeDatei(posix, "Hallo, und weiter");
    Schreibe(0, stand);
    EXPECT_EQ(Roh() & 0x20, 0x20u);
    EXPECT_EQ(Wert(), attr::Archiv);
}

TEST_P(EigeneBitsTest, FileWrittenWhileItsBitIsClearedGetsItBack) {
    SetzeRoh(0x20);
    const Quellstand stand = posix::StandAus(Stat());
    // The write lands right after the bit was cleared, before anyone looks again; this driver would not set
    // the bit itself.
    kern.nachSchreiben = [this] {
        kern.nachSchreiben = nullptr;
        SchreibeDatei(posix, "Hallo, waehrenddessen geschrieben");
    };
    Schreibe(0, stand);
    EXPECT_EQ(Roh() & 0x20, 0x20u);
    EXPECT_EQ(Wert(), attr::Archiv);
}

TEST_P(EigeneBitsTest, ReadOnlyHiddenAndSystemAreWrittenNatively) {
    SetzeRoh(0x20);
    Schreibe(attr::Archiv | attr::Schreibgeschuetzt | attr::Versteckt, {});
    EXPECT_EQ(Roh() & 0x27, 0x23u);
    EXPECT_EQ(Wert(), attr::Archiv | attr::Schreibgeschuetzt | attr::Versteckt);
    const int vorher = kern.schreibvorgaenge;
    Schreibe(attr::Archiv | attr::Schreibgeschuetzt | attr::Versteckt, {});
    EXPECT_EQ(kern.schreibvorgaenge, vorher) << "an unchanged value is not written again";
}

INSTANTIATE_TEST_SUITE_P(
    Arten, EigeneBitsTest, ::testing::Values(Bitart::Ntfs3g, Bitart::Ntfs3, Bitart::Fat), [](const auto& info) {
        return std::string(info.param == Bitart::Ntfs3g ? "ntfs3g" : info.param == Bitart::Ntfs3 ? "ntfs3" : "fat");
    });

TEST(Zustandsdatei, RecordsOfAnyNameComeBackAndATornFileHoldsNothing) {
    const posix::Zustandsbestand bestand = {
        {"DCIM/IMG_0001.JPG", "1 1700000000123456789 4096 0"},
        {std::string("mit\nZeilenumbruch\tund Tab %41 und \x01\xff", 35), "1 1 2 0"},
        {"Leerzeichen am Ende ", "1 3 4 0"},
    };
    const std::string text = posix::ZustandsText(bestand);
    EXPECT_EQ(posix::LiesZustand(text), bestand);
    EXPECT_EQ(posix::LiesZustand(posix::ZustandsText({})), posix::Zustandsbestand{});
    // Cut short anywhere, or one byte changed anywhere: nothing.
    for (std::size_t n = 0; n < text.size(); ++n)
        EXPECT_FALSE(posix::LiesZustand(text.substr(0, n)).has_value()) << "cut at " << n;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string anders = text;
        anders[i] = static_cast<char>(anders[i] ^ 0x01);
        EXPECT_FALSE(posix::LiesZustand(anders).has_value()) << "byte " << i;
    }
}

TEST(GrossKlein, NamesDifferingInCaseOnlyAreOneName) {
    struct Fall {
        const char* a;
        const char* b;
        bool gleich;
    };
    for (const Fall& f : {Fall{"F.txt", "f.TXT", true}, Fall{"Ärger", "äRGER", true}, Fall{"ΣΟΦΙΑ", "σοφια", true},
                          Fall{"a.txt", "b.txt", false}, Fall{"a", "a ", false}, Fall{"\xff", "\xfe", false},
                          Fall{"\xff", "\xff", true}})
        EXPECT_EQ(posix::GleichOhneGrossKlein(f.a, f.b), f.gleich) << f.a << " / " << f.b;
}

// Clearing the archive bit changes no other permission bit: a read-only file stays read-only with exactly
// its mode, a writable one keeps its mode too; only setting or clearing read-only itself changes the mode.
TEST_F(FsTest, ArchiveBitClearedKeepsTheModeExactly) {
    struct Fall {
        mode_t vorher;
        int wert;
        mode_t nachher;
    };
    for (const Fall& f : {Fall{0464, attr::Schreibgeschuetzt, 0464}, Fall{0444, attr::Schreibgeschuetzt, 0444},
                          Fall{0640, 0, 0640}, Fall{0604, 0, 0604}, Fall{0464, 0, 0664}, Fall{0666, 1, 0444}}) {
        const auto datei = C("modus.txt");
        std::filesystem::remove(datei);
        SchreibeDatei(datei, "x");
        ASSERT_EQ(::chmod(datei.c_str(), f.vorher), 0);
        fs->SetFileAttr("C:\\modus.txt", f.wert);
        struct stat st {};
        ASSERT_EQ(::lstat(datei.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, f.nachher) << std::oct << f.vorher << " with value " << f.wert;
        EXPECT_EQ(fs->Attributes(fs->GetFile("C:\\modus.txt")), f.wert);
    }
}

// A drive table read again keeps every letter on its mount: new mounts take free letters, vanished ones stay
// taken and not ready.
TEST(Laufwerksbuchstaben, LettersStayWithTheirMountsForTheProgramsLife) {
    auto tabelle = [](std::vector<std::pair<std::string, dev_t>> punkte) {
        std::vector<Laufwerk> l{Laufwerk{'C', "/", {}, 1}};
        char b = 'D';
        for (auto& [punkt, geraet] : punkte)
            l.push_back(Laufwerk{b++, punkt, {}, geraet});
        return Laufwerkstabelle(std::move(l));
    };
    const Laufwerkstabelle anfang = tabelle({{"/media/b", 10}, {"/media/c", 11}});
    // A mount that sorts first, one gone, one of another device at a known place.
    const Laufwerkstabelle jetzt = tabelle({{"/media/a", 12}, {"/media/b", 10}, {"/media/c", 13}});
    const Laufwerkstabelle neu = anfang.Fortgeschrieben(jetzt);
    EXPECT_EQ(neu.ZuPosix("D:\\x"), "/media/b/x");
    ASSERT_NE(neu.Finde('E'), nullptr);
    EXPECT_FALSE(neu.Finde('E')->Bereit) << "/media/c is another file system now";
    EXPECT_FALSE(neu.ZuPosix("E:\\x").has_value());
    EXPECT_FALSE(neu.AusPosix("/media/c/x").value_or("").starts_with("E:"));
    // The new mounts take F: and G: in the order of their mount points.
    EXPECT_EQ(neu.ZuPosix("F:\\"), "/media/a");
    EXPECT_EQ(neu.ZuPosix("G:\\"), "/media/c");
    EXPECT_EQ(neu.ZuPosix("C:\\etc"), "/etc");
    // Read once more with /media/b gone as well: nothing moves.
    const Laufwerkstabelle spaeter = neu.Fortgeschrieben(tabelle({{"/media/a", 12}, {"/media/c", 13}}));
    EXPECT_FALSE(spaeter.ZuPosix("D:\\").has_value());
    EXPECT_EQ(spaeter.ZuPosix("F:\\"), "/media/a");
    EXPECT_EQ(spaeter.ZuPosix("G:\\"), "/media/c");
    // The same file system back at its place takes its letter again.
    const Laufwerkstabelle zurueck = spaeter.Fortgeschrieben(tabelle({{"/media/b", 10}}));
    EXPECT_EQ(zurueck.ZuPosix("D:\\"), "/media/b");
}

} // namespace
} // namespace tresor::test
