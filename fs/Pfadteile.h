#pragma once

#include "fs/Pfad.h"

#include <string>
#include <string_view>

namespace tresor::posix {

// Pieces of paths in the program's form and of names on disk, as the Linux backend takes them apart.
//
// A Linux name may hold any byte but "/" and NUL. A backslash inside a name is written as "/" in the
// program's form (a byte that never occurs in a Linux name), and a "/" of the program form is a backslash
// on disk (Laufwerkstabelle, NamenAusPosix). So the name "a\b" is listed with the Name "a/b" and the Path
// "C:\f\a/b": one level, never two; the engine splits paths at backslashes only, and the copy gets exactly
// the bytes of its name on disk. Names that are not UTF-8, or hold a newline, are bytes like any other and
// are kept as they are.

// The last name of a path in program form (after the last backslash); "" for a drive root.
std::string LetzterName(std::string_view pfad);
// "X:\": three characters, letter, colon, backslash.
bool IstLaufwerkswurzel(std::string_view pfad);
// A folder object's path: no trailing backslash, except for a drive root.
Pfad OhneSchraegstrich(Pfad pfad);
// The program path of the entry `name` (program form) in the folder `eltern`.
Pfad KindPfad(const Pfad& eltern, const std::string& name);
// The POSIX path of the entry `name` (on disk) in the POSIX folder `ordner`.
std::string PosixKind(const std::string& ordner, const std::string& name);
// A name that begins with a dot is hidden, except the entries "." and "..".
bool IstPunktname(std::string_view name);
// A name on disk in the program's form: a backslash inside it is written as "/".
std::string Programmname(const std::string& name);

// Fails for a path that the drive table could not translate: with EINVAL when it is not in program form
// (or holds a NUL byte, which would cut a name short in every system call), else with ENODEV, "Laufwerk
// nicht bereit".
[[noreturn]] void Unbrauchbar(const char* operation, const Pfad& pfad);

} // namespace tresor::posix
