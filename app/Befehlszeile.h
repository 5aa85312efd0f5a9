#pragma once

#include "engine/sicherung/Sicherung.h"
#include "fs/Laufwerkstabelle.h"

#include <csignal>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tresor {

class Wachhund;

// Exit statuses of the command line.
inline constexpr int ExitErfolg = 0;    // success, or nothing to back up
inline constexpr int ExitFehler = 1;    // the backup failed its checks, or a platform error
inline constexpr int ExitAbgelehnt = 2; // overlap, backup folder exists, or bad arguments
// A run stopped by a signal (SIGINT, SIGTERM) ends with 128 + the signal's number: 130, 143.
inline constexpr int ExitSignal = 128;

// What the command line works with; the program passes the real things, tests their own.
struct Befehlszeilenumgebung {
    std::ostream& aus;
    std::ostream& fehler;
    Laufwerkstabelle laufwerke;
    Uhr& uhr;
    Dateisystemfabrik fabrik;  // file-system objects for a real run
    bool terminal = false;     // standard error is a terminal: show progress
    std::string arbeitsordner; // what relative POSIX paths count from
    // The number of the signal that asked the run to stop, 0 while none did; the program's signal handler
    // writes it. Nothing: the run cannot be stopped.
    const volatile std::sig_atomic_t* abbruchsignal = nullptr;
    // Called once just before a backup run, a thinning, a restore or a check starts: from then on a signal only
    // asks it to stop. The listing and the parsing before keep the signals' default effect.
    std::function<void()> abbruchBereit = {};
    // The program's watchdog (Wachhund.h), which ends it when a backup shows no sign of life for the bound of
    // --zeitlimit (a share whose server stopped answering). Switched off for the modes that report no
    // progress. Nothing: no bound is kept (tests that run in this process).
    Wachhund* wachhund = nullptr;
};

// How long a backup run may go without progress before it is ended, unless --zeitlimit says otherwise.
inline constexpr int StandardZeitlimitSekunden = 600;

// The bound that --zeitlimit gives among the arguments, or the standard one where none is given or it is not
// valid (Befehlszeile then refuses it): for the watchdog, which must be running before the arguments are read.
int ZeitlimitSekunden(const std::vector<std::string>& argumente);

// Runs the command line given by the arguments (without the program name) and returns the exit status,
// or nothing when the arguments ask for the window (there are none).
std::optional<int> Befehlszeile(const std::vector<std::string>& argumente, Befehlszeilenumgebung& umgebung);

// The progress line of a terminal: files and bytes copied, the folder, and of a large file its own bytes.
std::string Fortschrittszeile(const Fortschritt& stand);

// The text of --help.
std::string Hilfetext();

} // namespace tresor
