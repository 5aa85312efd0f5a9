#include "tests/zuverlaessigkeit/Programm.h"

#include "tests/Testhilfen.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <thread>

extern char** environ;

namespace tresor::test {

namespace {

std::vector<char*> Argv(const std::vector<std::string>& befehl) {
    std::vector<char*> argv;
    for (const auto& a : befehl)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Starts the command with standard output and error going to the given files ("" for /dev/null).
pid_t Spawne(const std::vector<std::string>& befehl, const std::string& aus, const std::string& fehler) {
    posix_spawn_file_actions_t aktionen;
    posix_spawn_file_actions_init(&aktionen);
    posix_spawn_file_actions_addopen(&aktionen, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&aktionen, 1, aus.empty() ? "/dev/null" : aus.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&aktionen, 2, fehler.empty() ? "/dev/null" : fehler.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    auto argv = Argv(befehl);
    if (posix_spawnp(&pid, argv[0], &aktionen, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&aktionen);
    return pid;
}

int Status(int roh) {
    return WIFEXITED(roh) ? WEXITSTATUS(roh) : -1;
}

} // namespace

int Fuehre(const std::vector<std::string>& befehl, std::string* ausgabe) {
    const std::string datei =
        ausgabe ? (std::filesystem::temp_directory_path() / ("tresor-befehl-" + std::to_string(::getpid()) + ".txt"))
                      .string()
                : std::string();
    const pid_t pid = Spawne(befehl, datei, datei);
    if (pid < 0)
        return -1;
    int roh = 0;
    ::waitpid(pid, &roh, 0);
    if (ausgabe) {
        *ausgabe = LiesDatei(datei);
        std::filesystem::remove(datei);
    }
    return Status(roh);
}

Programm::Programm(std::filesystem::path arbeitsordner) : ordner_(std::move(arbeitsordner)) {}

void Programm::NaechsteSekunde() {
    while (std::time(nullptr) <= letzteSekunde_)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    letzteSekunde_ = std::time(nullptr);
}

std::vector<std::string> Programm::Befehl(const std::string& quelle, const std::string& ziel, bool alsNiemand) {
    if (!alsNiemand)
        return {TRESOR_PROGRAMM, "--quelle", quelle, "--ziel", ziel};
    // The build folder need not be open to other users: the unprivileged run gets a copy of its own.
    if (niemandsProgramm_.empty()) {
        const auto kopie = ordner_ / "tresor-ix";
        std::filesystem::copy_file(TRESOR_PROGRAMM, kopie, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::permissions(kopie, std::filesystem::perms(0755));
        niemandsProgramm_ = kopie;
    }
    return {"setpriv",
            "--reuid=65534",
            "--regid=65534",
            "--clear-groups",
            niemandsProgramm_.string(),
            "--quelle",
            quelle,
            "--ziel",
            ziel};
}

Programmende Programm::Sichere(const std::string& quelle, const std::string& ziel, bool alsNiemand) {
    NaechsteSekunde();
    const auto aus = (ordner_ / "aus.txt").string();
    const auto fehler = (ordner_ / "fehler.txt").string();
    const pid_t pid = Spawne(Befehl(quelle, ziel, alsNiemand), aus, fehler);
    Programmende ende;
    if (pid < 0)
        return ende;
    int roh = 0;
    ::waitpid(pid, &roh, 0);
    letzteSekunde_ = std::time(nullptr);
    ende.Status = Status(roh);
    ende.Aus = LiesDatei(aus);
    ende.Fehler = LiesDatei(fehler);
    return ende;
}

pid_t Programm::Starte(const std::string& quelle, const std::string& ziel, const std::vector<std::string>& weitere) {
    NaechsteSekunde();
    auto befehl = Befehl(quelle, ziel, false);
    befehl.insert(befehl.end(), weitere.begin(), weitere.end());
    return Spawne(befehl, (ordner_ / "aus.txt").string(), (ordner_ / "fehler.txt").string());
}

Programmende Programm::Warte(pid_t pid, bool toeten, bool* getoetet) {
    Programmende ende;
    // A start that failed has no process: waitpid(-1) would wait for any child of the test, and kill(-1) would
    // signal every process the test may signal.
    if (pid <= 0) {
        if (getoetet)
            *getoetet = false;
        return ende;
    }
    int roh = 0;
    bool lief = false;
    if (toeten) {
        lief = ::waitpid(pid, &roh, WNOHANG) == 0;
        if (lief)
            ::kill(pid, SIGKILL);
    }
    if (!toeten || lief)
        ::waitpid(pid, &roh, 0);
    // The program read its clock before it ended, perhaps a second later than it was started on a busy
    // machine: the next run must start after the second of its end, or both name the same backup folder.
    letzteSekunde_ = std::time(nullptr);
    // A process that ended by itself just before the kill counts as not killed.
    if (getoetet)
        *getoetet = lief && WIFSIGNALED(roh) && WTERMSIG(roh) == SIGKILL;
    ende.Status = Status(roh);
    ende.Aus = LiesDatei(ordner_ / "aus.txt");
    ende.Fehler = LiesDatei(ordner_ / "fehler.txt");
    return ende;
}

Abbild::Abbild(std::filesystem::path datei, std::filesystem::path einhaengepunkt, int mebibyte,
               std::vector<std::string> mkfs)
    : datei_(std::move(datei)), punkt_(std::move(einhaengepunkt)) {
    if (::geteuid() != 0) {
        grund_ = "Einhängen braucht root";
        return;
    }
    std::filesystem::create_directories(punkt_);
    std::string ausgabe;
    if (mkfs.empty())
        mkfs = {"mkfs.ext4", "-q", "-F", "-O", "^has_journal", "-m", "0"};
    mkfs.push_back(datei_.string());
    if (Fuehre({"truncate", "-s", std::to_string(mebibyte) + "M", datei_.string()}, &ausgabe) != 0 ||
        Fuehre(mkfs, &ausgabe) != 0) {
        grund_ = mkfs[0] + " fehlgeschlagen: " + ausgabe;
        return;
    }
    bereit_ = true;
}

bool Abbild::Einhaengen(bool nurLesen) {
    std::string ausgabe;
    const std::string optionen = nurLesen ? "loop,ro" : "loop";
    if (Fuehre({"mount", "-o", optionen, datei_.string(), punkt_.string()}, &ausgabe) != 0) {
        grund_ = "mount -o loop nicht erlaubt: " + ausgabe;
        bereit_ = false;
        return false;
    }
    eingehaengt_ = true;
    return true;
}

void Abbild::Aushaengen() {
    if (!eingehaengt_)
        return;
    if (Fuehre({"umount", punkt_.string()}) != 0)
        (void)Fuehre({"umount", "-l", punkt_.string()});
    eingehaengt_ = false;
}

Abbild::~Abbild() {
    Aushaengen();
}

Medium::Medium(std::filesystem::path datei, std::filesystem::path einhaengepunkt, Medienart art, int mebibyte)
    : datei_(std::move(datei)), punkt_(std::move(einhaengepunkt)), art_(art) {
    if (::geteuid() != 0) {
        grund_ = "Einhängen braucht root";
        return;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0 || ::access("/dev/loop-control", R_OK | W_OK) != 0) {
        grund_ = "/dev/fuse oder Loop-Geräte fehlen";
        return;
    }
    std::filesystem::create_directories(punkt_);
    std::string ausgabe;
    if (Fuehre({"truncate", "-s", std::to_string(mebibyte) + "M", datei_.string()}, &ausgabe) != 0) {
        grund_ = "truncate fehlgeschlagen: " + ausgabe;
        return;
    }
    const int status = art_ == Medienart::Ntfs ? Fuehre({"mkntfs", "-q", "-F", "-f", datei_.string()}, &ausgabe)
                                               : Fuehre({"mkfs.exfat", datei_.string()}, &ausgabe);
    if (status != 0) {
        grund_ = "Formatieren fehlgeschlagen (mkntfs/mkfs.exfat): " + ausgabe;
        return;
    }
    bereit_ = true;
}

bool Medium::Einhaengen() {
    if (!bereit_)
        return false;
    std::string ausgabe;
    if (Fuehre({"losetup", "-f", "--show", datei_.string()}, &ausgabe) != 0) {
        grund_ = "losetup nicht möglich: " + ausgabe;
        bereit_ = false;
        return false;
    }
    geraet_ = ausgabe.substr(0, ausgabe.find('\n'));
    const int status = art_ == Medienart::Ntfs ? Fuehre({"ntfs-3g", geraet_, punkt_.string()}, &ausgabe)
                                               : Fuehre({"mount.exfat-fuse", geraet_, punkt_.string()}, &ausgabe);
    if (status != 0) {
        grund_ = "Einhängen nicht möglich: " + ausgabe;
        bereit_ = false;
        (void)Fuehre({"losetup", "-d", geraet_});
        geraet_.clear();
        return false;
    }
    eingehaengt_ = true;
    return true;
}

void Medium::Aushaengen() {
    if (eingehaengt_) {
        if (Fuehre({"umount", punkt_.string()}) != 0)
            (void)Fuehre({"umount", "-l", punkt_.string()});
        eingehaengt_ = false;
    }
    if (!geraet_.empty()) {
        // The unmount returns before the FUSE driver has written what it still holds and let go of the device;
        // `losetup -d` of a device still open only marks it to be let go at its last close. Mounted again
        // before that, the stick would be read without the driver's last writes: wait until the device is
        // free (its loop folder in sysfs is gone once it is), which is after the driver's last close.
        for (int versuch = 0; versuch < 50 && Fuehre({"losetup", "-d", geraet_}) != 0; ++versuch)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::filesystem::path belegt =
            std::filesystem::path("/sys/block") / std::filesystem::path(geraet_).filename() / "loop";
        for (int versuch = 0; versuch < 300 && std::filesystem::exists(belegt); ++versuch)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        geraet_.clear();
    }
}

Medium::~Medium() {
    Aushaengen();
}

} // namespace tresor::test
