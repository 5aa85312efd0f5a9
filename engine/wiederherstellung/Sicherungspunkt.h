#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "engine/wiederherstellung/Wiederherstellung.h"
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
    std::vector<std::string> Folge;  // names of the source's backup folders, oldest first
    std::vector<Bestandsfund> Funde; // their records (only the chosen one keeps its entries)
    std::size_t Index = 0;           // the chosen point
    // Every backup folder of the target (a real folder with a backup's name): the only places a version
    // is ever read from.
    std::set<std::string> Sicherungen;
    const std::string& Name() const { return Folge[Index]; }
    // The mirror of the source asked for in the backup folder `ordner`.
    Pfad Spiegel(const std::string& ordner) const { return Spiegelpfad(Unterpfad(Ziel, ordner), Quelle); }
};

// What a point consists of: every entry with the backup folder that holds its version (for a folder: the
// one whose mirror gives its hidden and system bits).
struct Wiederherstellung::Vorlage {
    // The record's own entries (a folder's place "-" stands for the point's backup folder), or those
    // gathered from backups without a record; shared, not copied, for a record of a whole disk is large.
    std::shared_ptr<const std::vector<Bestandseintrag>> Liste;
    std::vector<Bestandseintrag> Gesammelt;
    bool MitBestand = true;
    const std::vector<Bestandseintrag>& Eintraege() const { return Liste ? *Liste : Gesammelt; }
    // The backup folder whose mirror holds the entry's version, or for a folder its bits.
    const std::string& Ort(const Bestandseintrag& e, const std::string& punkt) const {
        return e.Art == Eintragsart::Ordner && e.Ort == "-" ? punkt : e.Ort;
    }
};

// The kind of a record's entry that an entry on disk is; nothing for a device, FIFO or socket, which no
// entry ever is.
std::optional<Eintragsart> ArtAus(const Eintragsstand& stand);

// An entry of the record as a state to give a restored entry.
Eintragsstand StandAus(const Bestandseintrag& e);

// "Ordner", "Datei", "Verknüpfung".
const char* Artname(Eintragsart art);

// The path for messages: "(Quellordner)" for ".", else the path with control characters escaped.
std::string Anzeigepfad(const std::string& relativ);

// Names what keeps the point of a record from being complete beyond its versions: a stopped run, the entries
// it could not back up, the mounted file systems it did not enter. One line each to `aus`; returns how many.
long NenneLuecken(const Bestandsfund& fund, std::ostream& aus);

// The time part of a backup folder's name.
std::string Zeitteil(const std::string& ordnername);

} // namespace tresor
