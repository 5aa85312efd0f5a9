#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace tresor::test {

// Runs a command (searched in PATH) and waits for it; its output goes to `ausgabe` when given, else nowhere.
// Returns the exit status, or -1 when it did not exit normally.
int Fuehre(const std::vector<std::string>& befehl, std::string* ausgabe = nullptr);

// How a run of the program ended.
struct Programmende {
    int Status = -1; // exit status; -1 when it was killed or crashed
    std::string Aus;
    std::string Fehler;
};

// Runs of the command-line program, the built binary. Each run starts in a later second of the clock than
// the one before, so that every run gets a backup folder name of its own.
class Programm {
public:
    // `arbeitsordner` takes the output files (and a copy of the binary for runs as another user).
    explicit Programm(std::filesystem::path arbeitsordner);

    // A backup run: tresor-ix --quelle QUELLE --ziel ZIEL, waited for. As the unprivileged user 65534
    // (through setpriv) when `alsNiemand`.
    Programmende Sichere(const std::string& quelle, const std::string& ziel, bool alsNiemand = false);

    // Starts a backup run and returns at once; Warte collects it. -1 where it could not be started (Warte then
    // gives status -1 at once).
    pid_t Starte(const std::string& quelle, const std::string& ziel, const std::vector<std::string>& weitere = {});
    // Waits for a started run; kills it with SIGKILL first when `toeten`. `getoetet` tells whether the kill
    // met the process still running.
    Programmende Warte(pid_t pid, bool toeten, bool* getoetet = nullptr);

private:
    void NaechsteSekunde();
    std::vector<std::string> Befehl(const std::string& quelle, const std::string& ziel, bool alsNiemand);

    std::filesystem::path ordner_;
    std::filesystem::path niemandsProgramm_;
    long letzteSekunde_ = 0;
};

// An ext4 image (or another file system's) of its own, mounted on a folder by `mount -o loop`, unmounted when it goes.
// Where mounting is not permitted, Bereit() is false and Grund() says why; the test then skips.
class Abbild {
public:
    // `mkfs`: the command that formats it, the image's path appended (mkfs.ext4 without a journal when empty).
    Abbild(std::filesystem::path datei, std::filesystem::path einhaengepunkt, int mebibyte,
           std::vector<std::string> mkfs = {});
    ~Abbild();
    Abbild(const Abbild&) = delete;
    Abbild& operator=(const Abbild&) = delete;

    bool Einhaengen(bool nurLesen = false);
    void Aushaengen();
    bool Bereit() const noexcept { return bereit_; }
    const std::string& Grund() const noexcept { return grund_; }
    const std::filesystem::path& Punkt() const noexcept { return punkt_; }

private:
    std::filesystem::path datei_, punkt_;
    bool bereit_ = false;
    bool eingehaengt_ = false;
    std::string grund_;
};

// The file systems a Medium can hold, each mounted through its usual Linux driver.
enum class Medienart {
    Ntfs,  // mkntfs, mounted by ntfs-3g (FUSE)
    Exfat, // mkfs.exfat, mounted by mount.exfat-fuse (FUSE)
};

// A stick or card in an image file: formatted, attached to a loop device (losetup) and mounted through the
// file system's usual driver on a fresh folder. The destructor unmounts and detaches it, also when the test
// failed; declare it after the temporary folder it lives in, so that it goes first. Where root, /dev/fuse,
// loop devices or the tools are missing, Bereit() is false and Grund() says why; the test then skips.
class Medium {
public:
    Medium(std::filesystem::path datei, std::filesystem::path einhaengepunkt, Medienart art, int mebibyte);
    ~Medium();
    Medium(const Medium&) = delete;
    Medium& operator=(const Medium&) = delete;

    bool Einhaengen();
    void Aushaengen();
    bool Bereit() const noexcept { return bereit_; }
    const std::string& Grund() const noexcept { return grund_; }
    const std::filesystem::path& Punkt() const noexcept { return punkt_; }

private:
    std::filesystem::path datei_, punkt_;
    Medienart art_;
    std::string geraet_; // the loop device while attached
    bool bereit_ = false;
    bool eingehaengt_ = false;
    std::string grund_;
};

} // namespace tresor::test
