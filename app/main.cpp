#include "app/Befehlszeile.h"
#include "fs/PosixDateisystem.h"
#include "ui/Programmkennung.h"
#include "ui/Sicherungsfenster.h"

#include <QApplication>

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

// With arguments the program runs its command line and ends with its exit status; without any it
// starts the window (nothing is returned).
std::optional<int> Argumente(int argc, char* argv[]) {
    if (argc <= 1)
        return std::nullopt;
    const std::vector<std::string> argumente(argv + 1, argv + argc);
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
                                           SignaleAbfangen};
    return tresor::Befehlszeile(argumente, umgebung);
}

} // namespace

int main(int argc, char* argv[]) {
    // The file-system layer keeps the folders of a walk open (up to half the limit): as many as the system
    // grants, so that deep trees are walked without opening their folders again and again.
    if (struct rlimit grenze{}; ::getrlimit(RLIMIT_NOFILE, &grenze) == 0 && grenze.rlim_cur < grenze.rlim_max) {
        grenze.rlim_cur = std::min<rlim_t>(grenze.rlim_max, 65536);
        (void)::setrlimit(RLIMIT_NOFILE, &grenze);
    }
    if (const std::optional<int> status = Argumente(argc, argv))
        return *status;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(tresor::kennung::Produktname));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(tresor::kennung::Major)
                                            .arg(tresor::kennung::Minor)
                                            .arg(tresor::kennung::Revision));
    QApplication::setDesktopFileName(QStringLiteral("tresor-ix"));
    // Every end of the program goes through the window (Abbrechen, closing, a failure).
    QApplication::setQuitOnLastWindowClosed(false);

    tresor::Systemuhr uhr;
    tresor::ui::Sicherungsfenster fenster(
        &tresor::Laufwerkstabelle::AusMountTabelle, uhr,
        [](const tresor::Laufwerkstabelle& tabelle) { return tresor::ErzeugePosixDateisystem(tabelle); });
    QApplication::setWindowIcon(fenster.windowIcon());
    fenster.Laden();
    if (fenster.Beendet())
        return fenster.Exitstatus();
    fenster.show();
    return QApplication::exec();
}
