#pragma once

#include "app/Befehlszeile.h"
#include "engine/bestand/Quellzuordnung.h"

#include <optional>
#include <string>

namespace tresor {

// How the command line reads the folders it is given: in program form (D:\\Daten, also D:/Daten) or as POSIX
// paths (relative to the working folder), each as a path in program form.

// An argument the command line refuses: why, in German.
struct Fehlerhaft {
    std::string text;
};

// Whether the text is a path in the program's form: a drive letter, a colon and a backslash (or a slash).
bool Laufwerksform(const std::string& angabe);

// A path in the program's form as the folder it names: the drive letter in upper case, "/" as separator where
// the whole path is written with it, "." left out and ".." taking back the name before it. Throws Fehlerhaft
// (naming `wer`) for a path that mixes both separators or whose ".." would leave the drive.
Pfad OhnePunkte(const std::string& angabe, const std::string& wer);

// An existing folder (the source or target of a backup, the target of the other modes), as a path in program
// form on a drive of the table; `rolle` names it in the refusal ("Quelle", "Ziel").
Pfad Ordnerpfad(const std::string& angabe, const char* rolle, const Befehlszeilenumgebung& u);

// A path that need not exist (a source that is gone, a folder to restore into), in program form. A POSIX path
// counts from the working folder; the links of the part that exists are resolved. A source (`ohneLaufwerk`) may
// be given in program form on a drive that is not there.
Pfad FreierPfad(const std::string& angabe, const char* rolle, const Befehlszeilenumgebung& u,
                bool ohneLaufwerk = false);

// The source of --wiederherstellen, --pruefen or --liste. With --wie-verzeichnet (`frueher`: its value, the place
// the source had, where given) it is taken as its records name it (Quellzuordnung.h): only in the program's form,
// as the listing shows it, for a POSIX path names a folder of today.
Quellangabe Rueckholquelle(const std::string& quelle, const std::optional<std::string>& frueher, bool wieVerzeichnet,
                           const Befehlszeilenumgebung& u);

} // namespace tresor
