#pragma once

#include "engine/Sicherung.h"
#include "fs/Laufwerkstabelle.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tresor {

// Exit statuses of the command line.
inline constexpr int ExitErfolg = 0;    // success, or nothing to back up
inline constexpr int ExitFehler = 1;    // the backup failed its checks, or a platform error
inline constexpr int ExitAbgelehnt = 2; // overlap, backup folder exists, or bad arguments

// What the command line works with; the program passes the real things, tests their own.
struct Befehlszeilenumgebung {
    std::ostream& aus;
    std::ostream& fehler;
    Laufwerkstabelle laufwerke;
    Uhr& uhr;
    Dateisystemfabrik fabrik;  // file-system objects for a real run
    bool terminal = false;     // standard error is a terminal: show progress
    std::string arbeitsordner; // what relative POSIX paths count from
};

// Runs the command line given by the arguments (without the program name) and returns the exit status,
// or nothing when the arguments ask for the window (there are none).
std::optional<int> Befehlszeile(const std::vector<std::string>& argumente, Befehlszeilenumgebung& umgebung);

// The text of --help.
std::string Hilfetext();

} // namespace tresor
