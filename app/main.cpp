#include "app/Befehlszeile.h"
#include "app/Umgebung.h"
#include "app/Wachhund.h"
#include "fs/FsFehler.h"
#include "fs/posix/PosixDateisystem.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

// The signal that asked a command-line run to stop, 0 while none did.
volatile std::sig_atomic_t abbruchsignal = 0;

// SIGINT and SIGTERM: the first asks the run to stop at its next check point, after which it makes its copies
// durable and ends with 128 + the signal's number; a second ends the program at once, as the signal's
// default would have done.
void Signalbehandlung(int signal) {
    if (abbruchsignal != 0) {
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        sigaction(signal, &standard, nullptr);
        raise(signal);
        return;
    }
    abbruchsignal = signal;
}

void SignaleAbfangen() {
    struct sigaction behandlung {};
    behandlung.sa_handler = Signalbehandlung;
    sigemptyset(&behandlung.sa_mask);
    // Interrupted system calls go on: the run looks at the signal at its own check points.
    behandlung.sa_flags = SA_RESTART;
    sigaction(SIGINT, &behandlung, nullptr);
    sigaction(SIGTERM, &behandlung, nullptr);
}

// With arguments the program runs its command line and ends with its exit status; without any, or with
// --sicherungen, it starts the window (nothing is returned).
std::optional<int> Argumente(int argc, char* argv[]) {
    if (argc <= 1)
        return std::nullopt;
    const std::vector<std::string> argumente(argv + 1, argv + argc);
    // The backups window is the window's program too.
    if (argumente.front() == "--sicherungen")
        return std::nullopt;
    // From the start: reading the mount table looks at every mount point, and a share that does not answer
    // would hold even that for ever. The command line sets its bound (--zeitlimit) once it has read it.
    const int sekunden = tresor::ZeitlimitSekunden(argumente);
    tresor::Wachhund wachhund(
        std::chrono::seconds(sekunden),
        "Ein Laufwerk antwortet seit " + std::to_string(sekunden) + " Sekunden nicht: tresor-ix wird beendet.",
        [](const std::string& meldung) {
            std::cerr << (isatty(STDERR_FILENO) == 1 ? "\r\033[K" : "") << meldung << '\n' << std::flush;
            std::_Exit(tresor::ExitFehler);
        });
    tresor::Systemuhr uhr;
    const tresor::Laufwerkstabelle tabelle = tresor::Laufwerkstabelle::AusMountTabelle();
    std::error_code fehler;
    tresor::Befehlszeilenumgebung umgebung{std::cout,
                                           std::cerr,
                                           tabelle,
                                           uhr,
                                           [&tabelle] { return tresor::ErzeugePosixDateisystem(tabelle); },
                                           isatty(STDERR_FILENO) == 1,
                                           std::filesystem::current_path(fehler).string(),
                                           &abbruchsignal,
                                           SignaleAbfangen,
                                           &wachhund};
    return tresor::Befehlszeile(argumente, umgebung);
}

// Replaces this process by the window's program: next to this one (a build folder), else in the package's
// folder of private programs. Returns only when neither can be started, after saying so.
[[noreturn]] void StarteFenster(char* argv[]) {
    std::error_code fehler;
    const std::filesystem::path hier = std::filesystem::read_symlink("/proc/self/exe", fehler).parent_path();
    int nummer = ENOENT;
    // Run by root, the window's program starts without another user's libraries or plugins.
    (void)tresor::OhneFremdeLadepfade();
    for (const std::filesystem::path& fenster :
         {hier / "tresor-ix-fenster", hier / TRESOR_FENSTER_RELATIV / "tresor-ix-fenster"}) {
        ::execv(fenster.c_str(), argv);
        if (errno != ENOENT)
            nummer = errno;
    }
    std::cerr << "tresor-ix: das Fenster kann nicht gestartet werden: "
              << tresor::Fehlertext(std::error_code(nummer, std::system_category())) << '\n';
    std::exit(1);
}

} // namespace

int main(int argc, char* argv[]) {
    // The file-system layer keeps the folders of a walk open (up to half the limit): as many as the system
    // grants, so that deep trees are walked without opening their folders again and again.
    if (struct rlimit grenze{}; ::getrlimit(RLIMIT_NOFILE, &grenze) == 0 && grenze.rlim_cur < grenze.rlim_max) {
        grenze.rlim_cur = std::min<rlim_t>(grenze.rlim_max, 65536);
        (void)::setrlimit(RLIMIT_NOFILE, &grenze);
    }
    // Room for those folders in the table of descriptors now, while this process has one thread (the watchdog
    // and the helper threads of a run come later).
    if (struct rlimit grenze{}; ::getrlimit(RLIMIT_NOFILE, &grenze) == 0)
        tresor::Deskriptorplatz(static_cast<int>(std::min<rlim_t>(grenze.rlim_cur, 8192)));
    if (const std::optional<int> status = Argumente(argc, argv))
        return *status;

    // The window is a program of its own, so that a run from the command line loads none of the window's
    // libraries (they take longer to load than a nightly run with nothing to back up takes to walk its tree).
    StarteFenster(argv);
}
