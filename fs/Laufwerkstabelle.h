#pragma once

#include "fs/Pfad.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tresor {

// One drive: an upper-case letter and the absolute POSIX folder it stands for.
struct Laufwerk {
    char Buchstabe = 'C';
    std::string Einhaengepunkt; // absolute POSIX path without trailing slash, "/" for the root file system
    std::string Bezeichnung;    // what the drive is, shown after the letter; the mount point when empty
    // The device of the file system mounted there when the table was made (st_dev of the mount point), 0
    // where not known (tables of tests). Nothing is made on a drive whose mount point has another device now.
    dev_t Geraet = 0;
    // False for a drive whose mount went away while the program runs: its letter stays taken, and every
    // path on it fails as "not ready".
    bool Bereit = true;

    // "D: [/media/anna/STICK]": letter, colon, blank, then what the drive is in brackets.
    std::string Text() const;
    // "D:\": the drive's root in the program's path form.
    Pfad Wurzel() const;
};

// Maps drive letters to mounted file systems. Built from the mount table at start and refreshed when
// the drive list is opened; tests build their own table that maps letters to temporary folders.
class Laufwerkstabelle {
public:
    Laufwerkstabelle() = default;
    explicit Laufwerkstabelle(std::vector<Laufwerk> laufwerke);

    // The drives of this machine: C: is "/", then from D: on the mounted file systems that hold user
    // data (block devices, user mounts under /media, /run/media, /mnt), in the order of their mount
    // points. Pseudo file systems are never drives.
    static Laufwerkstabelle AusMountTabelle();
    // The same from the text of a /proc/self/mountinfo file (for tests).
    static Laufwerkstabelle AusMountinfo(std::string_view mountinfo);

    // The table after a new read of the mount table (`jetzt`), with the letters of this one kept for the
    // program's life: a drive that is still mounted (same mount point, same device where both are known)
    // keeps its letter; one that went away keeps its letter, not ready; a new mount takes the first letter
    // from D: on that no drive of this table holds (none left: it gets none). So a letter never comes to
    // name another file system.
    [[nodiscard]] Laufwerkstabelle Fortgeschrieben(const Laufwerkstabelle& jetzt) const;

    // Every drive, not-ready ones included, by letter.
    const std::vector<Laufwerk>& Laufwerke() const noexcept { return laufwerke_; }
    // The drive of a letter (upper or lower case), or nullptr.
    const Laufwerk* Finde(char buchstabe) const noexcept;

    // Program form to POSIX: "C:\home\anna" -> "/home/anna", "D:\" -> the mount point of D:. A slash of
    // the program form is a backslash inside a name: "C:\a/b" -> "/a\b" (see NamenAusPosix).
    // Nothing when the path is not in program form or names no drive of the table that is ready.
    std::optional<std::string> ZuPosix(std::string_view pfad) const;
    // POSIX to program form, through the drive with the longest mount point that covers the absolute,
    // lexically normal path: "/a\b" -> "C:\a/b". Nothing when no drive covers it.
    std::optional<Pfad> AusPosix(std::string_view posix) const;
    // True when the absolute POSIX folder is the mount point of a drive of the table other than "/".
    bool IstEinhaengepunkt(std::string_view posix) const;

private:
    std::vector<Laufwerk> laufwerke_;
};

// Whether a file system of the mount table's type `typ`, mounted with the file system's options `optionen`,
// stores only names that Windows allows (WindowsName): a share through the FUSE SMB client smbnetfs, whose
// server refuses the others (and which then answers every call with an input/output error for a while); the
// kernel's SMB client where it neither maps those characters into Unicode's private range ("mapposix", its
// default, or "mapchars") nor speaks the protocol's POSIX extensions ("posix", or the old protocol's Unix
// extensions, "unix"); FAT and exFAT through the kernel's drivers, which refuse them or drop a trailing dot.
bool NurWindowsNamen(std::string_view typ, std::string_view optionen);
// Whether a name in the program's form (a slash there is a backslash of the name on disk) is one such a file
// system stores under exactly its bytes: UTF-8, none of : ? * " < > | \ nor a control character, no dot or blank
// at its end, and no name of a device (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, bare or with any ending, in any
// letter case).
bool WindowsName(std::string_view name);
// The form under which a file system that ignores letter case finds a name (UTF-8: letters of any script through
// their upper-case forms, a byte of no valid sequence standing for itself): names of one form are one name there.
std::u32string GrossKleinForm(std::string_view name);

// A POSIX name (or a relative POSIX path) in the program's form. A Linux name may hold a backslash but
// never a slash, so the program form writes a backslash inside a name as a slash and every slash of the
// POSIX form as a backslash. The mapping is one-to-one: such a name is one level of a path, never two, and
// its copy gets exactly the bytes of its name on disk. Applied twice it gives the input back.
std::string NamenAusPosix(std::string_view posix);
// The same appended to `an` (a path being built, without a string of its own).
void NamenAusPosixAn(std::string_view posix, std::string& an);

} // namespace tresor
