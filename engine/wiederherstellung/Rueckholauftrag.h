#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Quellzuordnung.h"
#include "fs/Eintragsstand.h"
#include "fs/Pfad.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tresor {

// What a window asks of the backups beside the command line's tasks: the tree of a point in time, and a
// restore of chosen entries, into a folder or back to their original place, with progress and a stop.

// One entry of a point's tree: a folder, file or link of its record, or an entry its run could not back up.
struct Baumeintrag {
    enum class Lage {
        Gesichert,      // its version is in the backup folder `Ort` (a folder: mirrored in every backup)
        Fehlt,          // no backup holds its version, or that backup folder is gone
        NichtGesichert, // its run could not back it up (`Grund`); a version shown is an earlier one
        Eingehaengt,    // a folder on which another file system was mounted: its content is in no backup
    };
    std::string Pfad; // relative POSIX path as in the record, "." for the source folder
    Eintragsart Art = Eintragsart::Datei;
    std::int64_t Groesse = 0;
    std::int64_t MtimeNs = 0;
    std::string Ort; // the backup folder of its version; "" for a folder
    Lage Zustand = Lage::Gesichert;
    std::string Grund; // German, when not Gesichert
    // The last name of the path ("" for the source folder).
    [[nodiscard]] std::string Name() const;
};

// The tree of a point as its record names it.
struct Punktbaum {
    std::string Ordner;     // the point's backup folder
    bool MitBestand = true; // false: gathered from backups without a record (what belongs to it is not known)
    std::vector<Baumeintrag> Eintraege;                     // every folder before what lies in it
    std::vector<std::string> Luecken;                       // what keeps the point from being complete, one line each
    std::map<std::string, std::vector<std::size_t>> Inhalt; // folder path -> its entries (indices), in order
    // The entries directly in the folder `ordner` ("." for the source folder); none for an unknown folder.
    [[nodiscard]] const std::vector<std::size_t>& In(const std::string& ordner) const;
};

// How far a restore has come: files (and links) and their bytes, done and in all, from the record.
struct Rueckholstand {
    std::uint64_t Dateien = 0;
    std::uint64_t DateienGesamt = 0;
    std::uint64_t Bytes = 0;
    std::uint64_t BytesGesamt = 0;
};

// What to do where the restore finds an entry at the original place.
enum class Konfliktwahl {
    Ersetzen,      // the restored version takes its place (a folder is never replaced by a file: kept both)
    BeideBehalten, // the restored one gets the name with the point's date beside it
    Ueberspringen, // the existing one stays, nothing is restored there (a folder: nothing below it)
};

// An entry that is in the way at the original place.
struct Konflikt {
    std::string Pfad;                     // relative to the source, as in the record
    tresor::Pfad Wo;                      // where it lies
    Eintragsart Art = Eintragsart::Datei; // what the point holds there
    std::int64_t Groesse = 0;             // of the point's version
    std::int64_t MtimeNs = 0;
    Eintragsstand Vorhanden; // what is there now
};
struct Konfliktantwort {
    Konfliktwahl Wahl = Konfliktwahl::Ueberspringen;
    bool FuerAlle = false; // the same for every later conflict of this restore, without asking
};

// A restore of a point, or of entries of it.
struct Rueckholauftrag {
    Pfad Ziel;
    // The source (Quellzuordnung.h); one taken as its records name it is not there: it has no original place.
    Quellangabe Quelle;
    std::optional<std::string> Stand; // "yyyy-mm-dd--hh-mm-ss"; the newest point when empty
    // Relative paths of the point; empty: the whole point. A folder brings everything below it.
    std::vector<std::string> Auswahl;
    // A new or empty folder, where the chosen entries land with their paths below the deepest folder that
    // holds all of them (the whole point: the source folder's content). Nothing: the original place.
    std::optional<Pfad> Nach;
    // Asked at the original place for each entry in the way, unless an answer was for all; without it, every
    // such entry is skipped. An existing file that is the point's version (kind, size, time) is no conflict.
    std::function<Konfliktantwort(const Konflikt&)> Frage;
    // Hears of the progress after each entry and during a long copy.
    std::function<void(const Rueckholstand&)> Fortschritt;
    // Once true, the restore stops before the next entry or amid a copy: every file is written under a
    // temporary name and renamed when whole, so nothing half written is left under a real name.
    const std::atomic<bool>* Stopp = nullptr;
};

// What a restore did, beyond its lines of output.
struct Rueckholbericht {
    std::uint64_t Dateien = 0; // files and links restored
    long Ersetzt = 0;
    long Beide = 0;
    long Uebersprungen = 0;
    long Gleich = 0;         // entries found at the original place as the point holds them
    bool Angehalten = false; // stopped (Stopp) before its end
};

// The name for "keep both": "Brief.txt" restored from the point 2026-03-14--09-00-01 becomes
// "Brief (Stand 2026-03-14 09-00-01).txt"; the `nummer`th try (from 2) adds ", 2" and so on.
std::string DatierterName(const std::string& name, const std::string& zeit, int nummer = 1);

} // namespace tresor
