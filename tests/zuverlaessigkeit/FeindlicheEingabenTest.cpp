// Hostile names and shapes in the source tree. Each gets a defined outcome: backed up byte for byte under
// exactly its own name, symbolic links as the same links (never followed), or skipped by design (FIFOs,
// sockets, device nodes: never opened). None of them stops the backup of the rest, hangs, crashes, or makes
// every later run find something to back up.

#include "tests/zuverlaessigkeit/Laufumgebung.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <climits>
#include <sstream>

namespace tresor::test {
namespace {

namespace fs = std::filesystem;

class FeindlicheEingaben : public Laufumgebung {
protected:
    // Creates the folders `namen` one below the other from `basis` and a file in the last one, one name at
    // a time, so the path may be longer than the kernel takes at once. Returns the file's POSIX path.
    static std::string LegeKetteAn(const fs::path& basis, const std::vector<std::string>& namen,
                                   const std::string& datei, const std::string& inhalt) {
        fs::create_directories(basis);
        int fd = ::open(basis.c_str(), O_RDONLY | O_DIRECTORY);
        std::string pfad = basis.string();
        for (const auto& n : namen) {
            if (::mkdirat(fd, n.c_str(), 0755) != 0 && errno != EEXIST)
                throw std::runtime_error("mkdirat " + n);
            const int neu = ::openat(fd, n.c_str(), O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = neu;
            pfad += "/" + n;
        }
        const int f = ::openat(fd, datei.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (f < 0 || ::write(f, inhalt.data(), inhalt.size()) != static_cast<ssize_t>(inhalt.size()))
            throw std::runtime_error("write " + datei);
        ::close(f);
        ::close(fd);
        return pfad + "/" + datei;
    }

    // The mirror of the source in the backup folder of the first run.
    fs::path Kopie(const std::string& rel = {}) const {
        const fs::path s = Z() / "Sicherung-2002-02-07--13-42-00" / "Q";
        return rel.empty() ? s : s / rel;
    }

    // The first run backs up everything that is to be backed up and succeeds; nothing is lost and every
    // file of the source reads as backed up. The second run finds nothing to back up.
    void SichereUndPruefe() {
        EXPECT_EQ(Lauf(), 0) << fehler.str();
        EXPECT_EQ(aus.str(), "Alle Dateien sind in den Ordner: D:\\Z\\Sicherung-2002-02-07--13-42-00 gesichert. \n");
        const Verluste v = Pruefe();
        for (const auto& m : v.Meldungen)
            ADD_FAILURE() << m;
        Berichte("verlust", v.Anzahl);
        for (const auto& [rel, inhalt] : Bestand(Q().string())) {
            EXPECT_FALSE(Archiv(rel)) << rel;
            EXPECT_EQ(InhaltVon((Kopie() / rel).string()), inhalt) << rel;
        }
        EXPECT_EQ(Lauf(), 0) << fehler.str();
        EXPECT_EQ(aus.str(), "Keine Dateien zum Sichern gefunden ! \n");
    }
};

TEST_F(FeindlicheEingaben, OddNamesAndShapesAreBackedUpOrSkippedByDesign) {
    long versucht = 0;
    // Names: a backslash (file and folder), a newline, bytes that are not UTF-8, 255 bytes.
    SchreibeDatei(Q() / "back\\slash", "Rückstrich");
    SchreibeDatei(Q() / "ord\\ner" / "innen", "im Ordner mit Rückstrich");
    SchreibeDatei(Q() / "neue\nZeile", "Zeilenumbruch");
    SchreibeDatei(Q() / "kein-utf8-\xff\xfe\xc3", "Bytes");
    const std::string lang(255, 'L');
    SchreibeDatei(Q() / lang, "255");
    versucht += 4;
    // Symbolic links: a loop of two, a link to its own folder, a link to a folder outside the source.
    fs::create_symlink("schleife2", Q() / "schleife1");
    fs::create_symlink("schleife1", Q() / "schleife2");
    fs::create_directory_symlink(".", Q() / "zurueck");
    SchreibeDatei(temp / "C" / "aussen" / "geheim.txt", "draußen");
    fs::create_directory_symlink(temp / "C" / "aussen", Q() / "draussen");
    versucht += 2;
    // A FIFO (opening it would wait for a writer forever), a socket, a device node.
    ASSERT_EQ(::mkfifo((Q() / "rohr").c_str(), 0644), 0);
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un adresse{};
    adresse.sun_family = AF_UNIX;
    const std::string sockpfad = (Q() / "sockel").string();
    ASSERT_LT(sockpfad.size(), sizeof adresse.sun_path);
    std::copy(sockpfad.begin(), sockpfad.end(), adresse.sun_path);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&adresse), sizeof adresse), 0);
    versucht += 2;
    const bool geraet = ::mknod((Q() / "geraet").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    if (geraet)
        ++versucht;
    else
        std::cout << "Gerätedatei nicht angelegt (kein Recht dazu): übersprungen\n";
    // Hard links, a sparse file of 10 GiB, an empty file, a read-only file, a file in a hidden folder
    // inside a hidden folder.
    // The two names of the hard link lie on both sides of the large sparse file, after which the run makes
    // its copies durable and clears their archive bits: the second name is met once the first is recorded.
    SchreibeDatei(Q() / "a-hart", "zwei Namen");
    fs::create_hard_link(Q() / "a-hart", Q() / "zz-hart");
    {
        const int fd = ::open((Q() / "duenn").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 10ll << 30), 0);
        ASSERT_EQ(::pwrite(fd, "Mitte", 5, 5'000'000'000), 5);
        ASSERT_EQ(::pwrite(fd, "Ende", 4, (10ll << 30) - 4), 4);
        ::close(fd);
    }
    SchreibeDatei(Q() / "leer", "");
    SchreibeDatei(Q() / "nurlesen", "schreibgeschützt");
    fs::permissions(Q() / "nurlesen", fs::perms(0444));
    SchreibeDatei(Q() / ".h1" / ".h2" / "f", "versteckt");
    versucht += 5;

    SichereUndPruefe();
    ::close(s);

    // What the backup holds for each.
    EXPECT_EQ(LiesDatei(Kopie("back\\slash")), "Rückstrich");
    EXPECT_EQ(LiesDatei(Kopie("ord\\ner") / "innen"), "im Ordner mit Rückstrich");
    EXPECT_FALSE(fs::exists(Kopie("ord")));
    EXPECT_EQ(LiesDatei(Kopie("neue\nZeile")), "Zeilenumbruch");
    EXPECT_EQ(LiesDatei(Kopie("kein-utf8-\xff\xfe\xc3")), "Bytes");
    EXPECT_EQ(LiesDatei(Kopie(lang)), "255");
    for (const char* n : {"rohr", "sockel", "geraet"})
        EXPECT_FALSE(fs::exists(fs::symlink_status(Kopie(n)))) << n << " gehört nicht in die Sicherung";
    // Links are kept as the same links, whatever they point to.
    for (const char* n : {"schleife1", "schleife2", "zurueck", "draussen"}) {
        EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Kopie(n)))) << n << " fehlt als Verknüpfung";
        if (fs::is_symlink(fs::symlink_status(Kopie(n)))) {
            EXPECT_EQ(fs::read_symlink(Kopie(n)), fs::read_symlink(Q() / n)) << n;
        }
    }
    for (const auto& [rel, inhalt] : Bestand(Kopie().string()))
        EXPECT_FALSE(rel.ends_with("geheim.txt")) << "der Verweis nach draußen wurde verfolgt: " << rel;
    EXPECT_EQ(fs::read_symlink(Q() / "schleife1"), "schleife2");
    EXPECT_TRUE(fs::is_fifo(Q() / "rohr"));
    EXPECT_EQ(LiesDatei(Kopie("a-hart")), "zwei Namen");
    EXPECT_EQ(LiesDatei(Kopie("zz-hart")), "zwei Namen");
    struct stat st {};
    ASSERT_EQ(::stat(Kopie("duenn").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 10ll << 30);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "die dünne Datei wurde ausgeschrieben";
    EXPECT_EQ(fs::file_size(Kopie("leer")), 0u);
    EXPECT_EQ(fs::status(Kopie("nurlesen")).permissions(), fs::perms(0444));
    EXPECT_EQ(fs::status(Q() / "nurlesen").permissions(), fs::perms(0444));
    EXPECT_EQ(LiesDatei(Kopie(".h1/.h2/f")), "versteckt");
    Berichte("eingabe", versucht);
}

TEST_F(FeindlicheEingaben, LinksAreBackedUpAsLinksWhenNewOrChanged) {
    // A loop, a link to a folder outside the source, a dangling link, a link beside a file in a subfolder.
    fs::create_symlink("schleife2", Q() / "schleife1");
    fs::create_symlink("schleife1", Q() / "schleife2");
    SchreibeDatei(temp / "C" / "aussen" / "geheim.txt", "draußen");
    fs::create_directory_symlink(temp / "C" / "aussen", Q() / "draussen");
    SchreibeDatei(Q() / "u" / "datei", "d");
    fs::create_symlink("datei", Q() / "u" / "zur-datei");
    // Folder times long past: a change made in the same clock tick as a run still moves them on.
    auto alteZeit = [](const fs::path& ordner) {
        const struct timespec zeiten[2] = {{UTIME_OMIT, UTIME_OMIT}, {1'000'000'000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, ordner.c_str(), zeiten, 0), 0);
    };
    alteZeit(Q());
    alteZeit(Q() / "u");
    auto istVerweis = [](const fs::path& p) { return fs::is_symlink(fs::symlink_status(p)); };

    // The first run backs up every link as a link and follows none; the second finds nothing to back up.
    SichereUndPruefe();
    for (const char* n : {"schleife1", "schleife2", "draussen", "u/zur-datei"}) {
        ASSERT_TRUE(istVerweis(Kopie(n))) << n;
        EXPECT_EQ(fs::read_symlink(Kopie(n)), fs::read_symlink(Q() / n)) << n;
        EXPECT_FALSE(Archiv(n)) << n;
    }
    for (const auto& [rel, inhalt] : Bestand(Z().string()))
        EXPECT_FALSE(rel.ends_with("geheim.txt")) << "der Verweis nach draußen wurde verfolgt: " << rel;

    // A link replaced with another target: the next run backs it up (with the other links of its folder),
    // and the run after that finds nothing again.
    fs::remove(Q() / "draussen");
    fs::create_symlink("anderswo", Q() / "draussen");
    EXPECT_TRUE(Archiv("draussen"));
    EXPECT_FALSE(Archiv("u/zur-datei"));
    EXPECT_EQ(Lauf(), 0) << fehler.str();
    EXPECT_EQ(aus.str(), "Alle Dateien sind in den Ordner: D:\\Z\\Sicherung-2002-02-07--13-42-02 gesichert. \n");
    const fs::path zweite = Z() / "Sicherung-2002-02-07--13-42-02" / "Q";
    ASSERT_TRUE(istVerweis(zweite / "draussen"));
    EXPECT_EQ(fs::read_symlink(zweite / "draussen"), "anderswo");
    EXPECT_FALSE(fs::exists(fs::symlink_status(zweite / "u" / "zur-datei"))) << "unverändert, nicht noch einmal";
    EXPECT_EQ(Lauf(), 0) << fehler.str();
    EXPECT_EQ(aus.str(), "Keine Dateien zum Sichern gefunden ! \n");

    // A new dangling link in the subfolder: backed up by the next run.
    alteZeit(Q() / "u");
    fs::create_symlink("gibt-es-nicht", Q() / "u" / "haengend");
    EXPECT_EQ(Lauf(), 0) << fehler.str();
    EXPECT_EQ(aus.str(), "Alle Dateien sind in den Ordner: D:\\Z\\Sicherung-2002-02-07--13-42-04 gesichert. \n");
    const fs::path dritte = Z() / "Sicherung-2002-02-07--13-42-04" / "Q" / "u";
    ASSERT_TRUE(istVerweis(dritte / "haengend"));
    EXPECT_EQ(fs::read_symlink(dritte / "haengend"), "gibt-es-nicht");
    EXPECT_EQ(Lauf(), 0) << fehler.str();
    EXPECT_EQ(aus.str(), "Keine Dateien zum Sichern gefunden ! \n");
    const Verluste v = Pruefe();
    for (const auto& m : v.Meldungen)
        ADD_FAILURE() << m;
}

TEST_F(FeindlicheEingaben, PathsNearAndBeyondTheLengthLimit) {
    // Near: the source path just fits, the mirror in the backup does not. Beyond: the source path too long.
    const std::size_t basis = Q().string().size();
    std::vector<std::string> nah;
    std::size_t laenge = basis;
    while (laenge + 201 + 20 < PATH_MAX - 10) {
        nah.push_back(std::string(200, static_cast<char>('a' + nah.size() % 26)));
        laenge += 201;
    }
    const std::string name(PATH_MAX - 2 - laenge - 1 - 4, 'n');
    ASSERT_LE(name.size(), 255u);
    const std::string nahDatei = LegeKetteAn(Q() / "nah", nah, name, "knapp");
    ASSERT_EQ(nahDatei.size(), static_cast<std::size_t>(PATH_MAX) - 2);

    std::vector<std::string> weit(40, std::string(180, 'w'));
    const std::string weitDatei = LegeKetteAn(Q() / "weit", weit, "datei", "jenseits");
    ASSERT_GT(weitDatei.size(), static_cast<std::size_t>(PATH_MAX) + 3000);
    SchreibeDatei(Q() / "normal", "daneben");

    // A dry run copes with such paths as the real run does.
    std::ostringstream probeAus, probeFehler;
    Sekundenuhr probeuhr;
    Befehlszeilenumgebung probe{
        probeAus, probeFehler, laufwerke, probeuhr, [this] { return ErzeugePosixDateisystem(laufwerke); }, false, "/"};
    EXPECT_EQ(Befehlszeile({"--probe", "--quelle", "C:\\Q", "--ziel", "D:\\Z"}, probe), std::optional<int>(0))
        << probeFehler.str();
    EXPECT_NE(probeAus.str().find("Eine Sicherung würde 3 Dateien"), std::string::npos) << probeAus.str();

    SichereUndPruefe();
    const std::string rel = nahDatei.substr(Q().string().size() + 1);
    EXPECT_EQ(InhaltVon((Kopie() / rel).string()), InhaltAus("knapp"));
    EXPECT_EQ(InhaltVon((Kopie() / weitDatei.substr(Q().string().size() + 1)).string()), InhaltAus("jenseits"));
    EXPECT_EQ(LiesDatei(Kopie("normal")), "daneben");
    Berichte("eingabe", 2);
}

TEST_F(FeindlicheEingaben, AFolderTreeAThousandLevelsDeep) {
    const std::string datei = LegeKetteAn(Q() / "tief", std::vector<std::string>(1000, "d"), "unten", "ganz unten");
    SchreibeDatei(Q() / "oben", "oben");
    SichereUndPruefe();
    EXPECT_EQ(InhaltVon((Kopie() / datei.substr(Q().string().size() + 1)).string()), InhaltAus("ganz unten"));
    Berichte("eingabe", 1);
}

} // namespace
} // namespace tresor::test
