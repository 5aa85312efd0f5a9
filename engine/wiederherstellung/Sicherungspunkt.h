#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Bestandsleser.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "engine/wiederherstellung/Wiederherstellung.h"
#include "fs/Dateisystem.h"
#include "fs/Eintragsstand.h"

#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace tresor {

// What restore, check and listing share: the backups of one source in a target and the point chosen, and
// what that point consists of. Everything here comes from the target, which other users may be able to
// write: a backup folder counts only as a real folder directly in the target with a backup's name, and the
// place of the source inside a backup follows from the source asked for, never from a record's lines.

// The backups of one source in a target and the one chosen.
struct Wiederherstellung::Punkt {
    Pfad Ziel;
    Pfad Quelle;
    std::string QuellePosix;
    // Taken as its records name it (Quellzuordnung::WieVerzeichnet): not there today, whatever folder its path
    // names now; it is never compared with that folder nor restored to it.
    bool WieVerzeichnet = false;
    std::vector<std::string> Folge;  // names of the source's backup folders, oldest first
    std::vector<Bestandsfund> Funde; // how their records were found (their heads only: LiesBestandskopf)
    // The owner of each where it is another user's (Sicherungsbesitz): one who may write into the target may
    // have put it there. Such a point is chosen only where asked for by its time or where no other is there.
    std::vector<std::optional<std::uint32_t>> Fremd;
    std::size_t Index = 0; // the chosen point
    // Every backup folder of the target (a real folder with a backup's name): the only places a version
    // is ever read from.
    std::set<std::string> Sicherungen;
    // The other sources whose records in the target name them mirrored at the same place, inside or around the
    // source's mirror: a backup folder without a usable record taken as the source's may be one of theirs.
    std::set<std::string> Andere;
    const std::string& Name() const { return Folge[Index]; }
    // The mirror of the source asked for in the backup folder `ordner`.
    Pfad Spiegel(const std::string& ordner) const { return Spiegelpfad(Unterpfad(Ziel, ordner), Quelle); }
};

// Whether the entries of a record come in the walk's order (Wegordnung), each inside a folder listed before
// it: checked an entry at a time against the folders on the way from the source folder to the last entry,
// so that a record of any size is checked in the room of its deepest path. An entry out of that order, one
// whose folder is missing and one that comes twice all fail.
class Folgepruefung {
public:
    // Whether `e` may follow the entries passed so far; the first must be the source folder ".".
    bool Passt(const Bestandseintrag& e);
    void VonVorn();

private:
    std::vector<std::string> ordner_; // "." and the folders down to the last entry
    std::string vorig_;
    bool vorigOrdner_ = false;
};

// What a point consists of: every entry with the backup folder that holds its version (for a folder: the
// one whose mirror gives its hidden and system bits), given one at a time, in passes as many as needed.
// A record in the walk's order is read as a stream and never held whole: a record of millions of entries
// takes no more room than one of a hundred. A record that an earlier version wrote in another order is read
// whole. Backups without a record are walked side by side for each pass, a folder at a time (Sammelweg), their
// entries in byte order of the paths.
struct Wiederherstellung::Vorlage {
    std::optional<Bestandsleser> Leser;
    std::shared_ptr<const std::vector<Bestandseintrag>> Liste; // the record read whole
    std::shared_ptr<Sammelweg> Weg;                            // the backups without a record
    // The record's head with its mount points and the entries it could not back up; no entries.
    Bestand Kopf;
    bool MitBestand = true;
    // Without records: the other sources mirrored at the same place (Punkt::Andere), whose backups they may be.
    std::set<std::string> Andere;
    // Why the last pass ended before the last entry (German), the record having changed since it was
    // checked; empty when it went through.
    std::string Fehler;

    // Whether the entries come in the walk's order: a record read as a stream, whose order each pass checks.
    [[nodiscard]] bool Wegordnung() const noexcept { return Leser.has_value(); }
    // Before the first entry, for a new pass.
    void VonVorn();
    // The next entry, valid until the next call; nullptr after the last one, or where the record turns out
    // not to be what it was when checked (then Fehler says why).
    const Bestandseintrag* Naechster();
    // Goes once through a record read as a stream: every entry and its order, and each mount point a folder;
    // counts the files and links and their bytes on the way (Gezaehlt).
    bool Durchgesehen();
    // The files and links of a record gone through, and the bytes of its files: so a restore of the whole point
    // and a check need no pass of their own to count them.
    bool Gezaehlt = false;
    std::uint64_t DateienGesamt = 0;
    std::uint64_t BytesGesamt = 0;
    // The backup folder whose mirror holds the entry's version, or for a folder its bits.
    const std::string& Ort(const Bestandseintrag& e, const std::string& punkt) const {
        return e.Art == Eintragsart::Ordner && e.Ort == "-" ? punkt : e.Ort;
    }

private:
    // The walk over the backups without a record, one step (Ohnebestand.cpp, where Sammelweg is known).
    void WegVonVorn();
    const Bestandseintrag* WegNaechster();

    std::size_t stelle_ = 0;
    Folgepruefung folge_;
};

// A folder's names as its listing gave them (Ordnerdateien::Namen), in byte order: the list itself where it is
// in that order, each name once, else a sorted copy; an empty list for none.
std::shared_ptr<const posix::Namensliste> InByteordnung(std::shared_ptr<const posix::Namensliste> namen);

// A folder listed in byte order of the names as stored on disk: its path as the file-system object gives it,
// its files' and links' names as the listing gave them (InByteordnung: shared with the file-system object
// where already in that order), and its subfolders' names in a buffer of their own, sorted.
struct Ordnerinhalt {
    Pfad Weg;
    std::shared_ptr<const posix::Namensliste> Dateien;
    posix::Namensliste Unterordner;
};
Ordnerinhalt LiesOrdnerinhalt(Dateisystem& fso, const Pfad& ordner);

// The kind of a record's entry that an entry on disk is; nothing for a device, FIFO or socket, which no
// entry ever is.
std::optional<Eintragsart> ArtAus(const Eintragsstand& stand);

// An entry of the record as a state to give a restored entry.
Eintragsstand StandAus(const Bestandseintrag& e);

// "Ordner", "Datei", "Verknüpfung".
const char* Artname(Eintragsart art);

// Why a copy of the backup folder `ort` whose content has not the checksum its record names is not the version
// backed up (a block gone bad, a write to the medium since): "der Inhalt der Kopie in <ort> weicht vom gesicherten
// ab" (the name escaped).
std::string InhaltAbweichend(const std::string& ort);

// The path for messages: "(Quellordner)" for ".", else the path with control characters escaped.
std::string Anzeigepfad(const std::string& relativ);

// Names what keeps the point of a record (its head `kopf`) from being complete beyond its versions: a stopped
// run, the entries it could not back up, the mounted file systems it did not enter. One line each to `aus`;
// returns how many.
long NenneLuecken(const Bestand& kopf, std::ostream& aus);

// The time part of a backup folder's name.
std::string Zeitteil(const std::string& ordnername);

// The head of the record of the backup folder `name` in `ziel` (LiesBestandskopf); where the backup folder cannot
// be read at all (blocks of the medium that no longer read, or this user may not read it), a torn record that says so:
// one such folder keeps none of the others from being listed, restored or checked.
Bestandsfund LesbarerKopf(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name);
// Whether the backup folder `name` in `ziel` holds a folder that mirrors `quelle`: also where that cannot be looked
// at for a read error, for then it may.
bool SpiegelDa(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name, const Pfad& quelle);

} // namespace tresor
