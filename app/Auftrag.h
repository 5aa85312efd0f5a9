#pragma once

#include "engine/ausduennung/Ausduennung.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tresor {

// A backup job of the command line (--auftrag NAME): a small text file that names the source and the
// target, so that a scheduled run (the systemd user units tresor-ix@NAME.timer/.service) needs nothing
// but the job's name. The file holds lines
//
//     # a comment
//     QUELLE=/home/anna/Dokumente
//     ZIEL=/media/anna/SICHERUNG
//
// Each of QUELLE and ZIEL appears exactly once, at the start of its line; its value is every byte after
// the "=" up to the end of the line, taken as it stands: blanks (also leading and trailing ones),
// quotes, backslashes, "$" and bytes that are not UTF-8 belong to the path, nothing is expanded or
// evaluated. A value is an absolute Linux path or a path in drive form (D:\Daten). Empty lines, lines of
// blanks and lines whose first non-blank character is "#" are skipped; any other line is an error.
// A folder whose name holds a line break cannot be named in a job file.
//
// A job may also name a retention rule, each part at most once, as a whole number from 1 to 100000:
//
//     BEHALTE_LETZTE=7
//     BEHALTE_TAGE=7
//     BEHALTE_WOCHEN=4
//     BEHALTE_MONATE=12
//     BEHALTE_JAHRE=5
//
// With any of them the job thins the target's backups of its source after each backup that succeeded, as
// --aufraeumen does.
struct Auftrag {
    std::string quelle;
    std::string ziel;
    Behalteregel behalte;
};

// What is wrong with a job or its file, as a German text for the user.
class Auftragsfehler : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The folder of the job files: $XDG_CONFIG_HOME/tresor-ix when that is an absolute path, else
// $HOME/.config/tresor-ix, else the home folder of the user database's entry. The two values are the
// environment's (null when unset). Throws Auftragsfehler when no home folder is known.
[[nodiscard]] std::filesystem::path Auftragsordner(const char* xdgConfigHome, const char* home);

// The file of a job given on the command line: a value holding a "/" is the path of the file (a
// relative one counts from the working folder); any other value is a job's name, whose file is
// NAME.conf in the folder of the job files (Auftragsordner of the two environment values). Throws
// Auftragsfehler for an empty name or one beginning with a dot.
[[nodiscard]] std::filesystem::path Auftragsdatei(const std::string& angabe, const std::string& arbeitsordner,
                                                  const char* xdgConfigHome, const char* home);

// The job that the text of a job file describes. Throws Auftragsfehler naming the line at fault.
[[nodiscard]] Auftrag LiesAuftrag(std::string_view text);

// Reads and parses a job file. Only a regular file of at most 64 KiB is read (a FIFO or a device never
// blocks the run), opened without following a link, owned by the running user or by root and writable by
// nobody else (its group and others have no write permission), so that no other user can make a job of
// root's back up what he names into where he names. Throws Auftragsfehler when it is missing, unreadable,
// not such a file, or wrong.
[[nodiscard]] Auftrag LadeAuftrag(const std::filesystem::path& datei);

} // namespace tresor
