#include "tests/fs/FsTestbasis.h"

#include <fcntl.h>

#include <climits>

namespace tresor::test {
namespace {

// Paths longer than the kernel takes at once: every operation works on them all the same.
class LangePfadeTest : public FsTest {
protected:
    // A name of 200 bytes that differs by its first letter.
    static std::string Langname(char c) { return std::string(1, c) + std::string(199, 'n'); }

    // Program path of C:\tief, then `stufen` long names below it, created through the file-system object.
    Pfad LegeKetteAn(int stufen) {
        Pfad p = "C:\\tief";
        fs->MakeDir(p);
        for (int i = 0; i < stufen; ++i) {
            p += "\\" + Langname(static_cast<char>('a' + i % 26));
            fs->MakeDir(p);
        }
        return p;
    }

    // The content of a file whose POSIX path may be longer than PATH_MAX, read by walking the folders.
    static std::string LiesLang(const std::string& posix) {
        int fd = ::open("/", O_PATH | O_DIRECTORY);
        std::size_t pos = 1;
        for (;;) {
            const std::size_t ende = posix.find('/', pos);
            const std::string name = posix.substr(pos, ende == std::string::npos ? std::string::npos : ende - pos);
            const int neu = ::openat(fd, name.c_str(), ende == std::string::npos ? O_RDONLY : O_PATH | O_DIRECTORY);
            ::close(fd);
            if (neu < 0)
                return "<fehlt>";
            fd = neu;
            if (ende == std::string::npos)
                break;
            pos = ende + 1;
        }
        std::string inhalt;
        char puffer[4096];
        for (ssize_t n; (n = ::read(fd, puffer, sizeof puffer)) > 0;)
            inhalt.append(puffer, static_cast<std::size_t>(n));
        ::close(fd);
        return inhalt;
    }
};

TEST_F(LangePfadeTest, FoldersFilesCopiesAndAttributesBeyondPathMax) {
    const Pfad tief = LegeKetteAn(30); // about 6,000 bytes
    const std::string posix = *tabelle.ZuPosix(tief);
    ASSERT_GT(posix.size(), static_cast<std::size_t>(PATH_MAX));

    SchreibeDatei(C("kurz/datei"), "Inhalt");
    const Pfad kopie = tief + "\\datei";
    (void)fs->Copy(fs->GetFile("C:\\kurz\\datei"), kopie);
    EXPECT_EQ(LiesLang(posix + "/datei"), "Inhalt");

    // The copy as a source of its own: collections, lookups, attribute values, a further copy.
    const Ordner ordner = fs->GetFolder(tief);
    ASSERT_EQ(fs->Files(ordner).size(), 1u);
    EXPECT_EQ(fs->Files(ordner)[0].Path, kopie);
    EXPECT_EQ(fs->Dir(kopie, 0), "datei");
    EXPECT_EQ(fs->Dir(tief + "\\", 0), "datei");
    EXPECT_EQ(fs->Dir(tief + "\\", 16), ".");
    EXPECT_EQ(fs->Attributes(fs->GetFile(kopie)), attr::Archiv);
    fs->SetFileAttr(kopie, attr::Schreibgeschuetzt | attr::System);
    EXPECT_EQ(fs->Attributes(fs->GetFile(kopie)), attr::Schreibgeschuetzt | attr::System);
    EXPECT_EQ(fs->Dir(kopie, 0), "");
    EXPECT_EQ(fs->Dir(kopie, 4), "datei");
    (void)fs->Copy(fs->GetFile(kopie), tief + "\\zweite");
    EXPECT_EQ(LiesLang(posix + "/zweite"), "Inhalt");
    fs->Sync(tief + "\\zweite");
    fs->Sync(tief + "\\fehlt\\auch");

    // A folder deep down, finished like a mirror folder.
    fs->MakeDir(tief + "\\unten", Anlage::Privat);
    fs->OrdnerAbschliessen("C:\\kurz", tief + "\\unten");
    const auto unter = fs->SubFolders(ordner);
    ASSERT_EQ(unter.size(), 1u);
    EXPECT_EQ(unter[0].Name, "unten");
}

TEST_F(LangePfadeTest, AMissingFolderOnTheWayIsMissingNotAnotherFault) {
    const Pfad tief = LegeKetteAn(25);
    const Pfad weg = tief.substr(0, tief.rfind('\\', tief.rfind('\\') - 1)) + "\\fehlt" +
                     tief.substr(tief.rfind('\\', tief.rfind('\\') - 1)) + "\\x";
    ASSERT_GT(tabelle.ZuPosix(weg)->size(), static_cast<std::size_t>(PATH_MAX));
    EXPECT_EQ(fs->Dir(weg, 16), "");
    EXPECT_EQ(fs->Dir(weg + "\\", 16), "");
    try {
        (void)fs->GetFolder(weg);
        FAIL() << "no error";
    } catch (const FsFehler& f) {
        EXPECT_EQ(f.Operation(), "GetFolder");
        EXPECT_EQ(f.Path(), weg);
        EXPECT_EQ(f.Ursache().value(), ENOENT);
    }
    EXPECT_THROW(fs->MakeDir(weg), FsFehler);
}

TEST_F(LangePfadeTest, PathsRightAtTheLimitOfTheKernel) {
    // The POSIX paths of the last level end just below, at and just above PATH_MAX.
    const Pfad tief = LegeKetteAn(18);
    const std::size_t basis = tabelle.ZuPosix(tief)->size() + 1;
    ASSERT_LT(basis + 255, static_cast<std::size_t>(PATH_MAX) - 10);
    Pfad mitte = tief + "\\" + std::string(255, 'm');
    fs->MakeDir(mitte);
    const std::size_t rest = PATH_MAX - (basis + 256);
    ASSERT_LE(rest + 1, 255u);
    for (std::size_t laenge : {rest - 2, rest - 1, rest, rest + 1}) {
        const std::string name(laenge, 'z');
        const Pfad datei = mitte + "\\" + name;
        SchreibeDatei(C("q"), name.substr(0, 5));
        (void)fs->Copy(fs->GetFile("C:\\q"), datei);
        EXPECT_EQ(fs->Dir(datei, 0), name) << laenge;
        EXPECT_EQ(LiesLang(*tabelle.ZuPosix(datei)), name.substr(0, 5)) << laenge;
    }
    EXPECT_EQ(fs->Files(fs->GetFolder(mitte)).size(), 4u);
}

} // namespace
} // namespace tresor::test
