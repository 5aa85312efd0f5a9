#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Bestandsleser.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/posix/Eintragszugriff.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace tresor {

// The backups in a target folder and their records: which backup folders there are, where in each the
// mirror of a source lies, and the record each holds.

// The names of the backup folders directly in the target folder, oldest first (their names sort by time).
// Throws FsFehler when the target cannot be listed; an empty list when it does not exist.
std::vector<std::string> Sicherungsordnernamen(Eintragszugriff& zugriff, const Pfad& ziel);

// A path below a folder in program form: `ordner` + "\" + the relative POSIX path in program form. "."
// names the folder itself.
Pfad Unterpfad(const Pfad& ordner, const std::string& relativ);

// The folder that mirrors `quelle` in the backup folder: the backup folder itself for a drive root,
// else the backup folder followed by the source path without its drive letter and colon.
Pfad Spiegelpfad(const Pfad& sicherungsordner, const Pfad& quelle);

// How a backup folder's record was found.
struct Bestandsfund {
    enum class Art { Keiner, Gelesen, Kaputt };
    Art Zustand = Art::Keiner;
    std::shared_ptr<const Bestand> Liste; // when Gelesen
    std::string Fehler;                   // when Kaputt: why (German)
    std::string Dateiname;                // the file it was read from, or the first broken one
    // When Kaputt: the backup folder itself cannot be listed, or its record not opened, for a failure of that
    // folder alone (Uebergehbar: a read error of its medium, or this user may not read it), so nothing in it is
    // known: neither its record nor its copies.
    bool Unlesbar = false;
};

// Whether a failure is one of the medium's blocks that no longer read (an input/output error, a checksum of the
// file system that no longer fits): the entry exists, and nothing in it can be learnt.
bool Lesefehler(const std::error_code& ursache);

// Whether a failure met on one backup folder (listing it, opening its record, looking at a copy in it) is that
// folder's alone, so that it is passed over as one with a torn record and named: its blocks no longer read
// (Lesefehler), or this user may not read it (a disk another user, or another user id on another machine, left
// it shut to). Failures of the target folder itself and of writing (a full disk, a medium mounted read-only)
// are the target's and still end a run.
bool Uebergehbar(const std::error_code& ursache);
// Why such a backup folder was passed over (German), for the message that names it.
std::string Unlesbarkeit(const std::error_code& ursache);

// Reads the record of the backup folder `name` in `ziel`. A record counts only when it is whole, names
// this backup folder, and is not itself the copy of a source file (a drive root's file of that name).
Bestandsfund LiesBestandsfund(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name);
// The same record's head and counts alone (Bestandsleser::LiesKopf: no entries, no mount points, no entries
// not backed up, only their counts), for a listing: it reads the record's first and last lines.
Bestandsfund LiesBestandskopf(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name);
// The same record as a reader before its first entry (Bestandsleser.h), read from the file held open a piece
// at a time, for a walk that goes through it alongside or a restore; its entries are checked as they are read. Nothing
// where LiesBestandsfund finds none; `fund`, where given, learns how it was found (without the entries: its
// Liste stays empty).
std::optional<Bestandsleser> LiesBestandsleser(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name,
                                               Bestandsfund* fund = nullptr);

// Whether the record is one of this source: its `posix` line is the POSIX form of the path asked for today,
// and its `quelle` line that path below its drive ("\Daten" of "C:\Daten"), which is where its backup folder
// mirrors the source. The drive letter may differ: letters follow the order of the mount points at each start,
// and a drive mounted before the source's since the record was written moves its letter. A record that names
// the source only one way is another source's (or a forged one's): its backup folder's mirror of the source
// asked for is not known to be one. A source whose drive is not there today (`quellePosix` empty: the disk
// unplugged or dead) has no POSIX form: its `quelle` line alone is compared ("E:\q", as the listing shows it);
// which of those records are the source's, and how a source is asked for as its records name it, Quellzuordnung.h
// says.
bool GleicheQuelle(const Bestand& bestand, const Pfad& quelle, const std::string& quellePosix);

// The source of a record (its `quelle` and `posix` lines) in program form today: its POSIX path on today's
// drives, where that is the same path below its drive as the record's (the drive's letter may have moved since);
// else the record's own line.
Pfad QuelleHeute(const Laufwerkstabelle& laufwerke, const Pfad& quelle, const std::string& quellePosix);

// Whether the mirrors of two sources in a backup folder lie at the same place or one inside the other: their
// paths below their drives, whatever the drive, name for name (case folded: a target may be blind to it). A
// backup folder without a usable record that holds the mirror of one may be the other's.
bool SpiegelUeberdecken(const Pfad& a, const Pfad& b);

// Whose backup folders in a target are the user's: those of the user running and those of the owner of the target
// folder. Another user who may write into the target (a shared folder) may have put any of the others there, with
// a record he made. On a medium that keeps no owners (FAT, exFAT, a share mounted for one user) every entry shows
// the user the target folder has, so every backup folder is the user's.
class Sicherungsbesitz {
public:
    Sicherungsbesitz(Eintragszugriff& zugriff, const Pfad& ziel);
    // Whether the backup folder (as looked at) is the user's.
    [[nodiscard]] bool Eigen(const Eintragsstand& ordner) const noexcept {
        return ordner.Uid == ich_ || ordner.Uid == ziel_;
    }

private:
    std::uint32_t ich_;
    std::uint32_t ziel_;
};

// A path in program form below its drive: "\Daten" of "C:\Daten", "\" of a drive root; empty for what is
// not such a path.
std::string_view UnterDemLaufwerk(std::string_view pfad);

// Whether the text is a path in the program's form whose every name is one level: a drive letter, ":\",
// then names that are neither empty, "." nor "..", and hold no "/" or NUL.
bool IstProgrammpfad(std::string_view pfad);

} // namespace tresor
