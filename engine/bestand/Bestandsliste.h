#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "fs/Dateisystem.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/posix/Eintragszugriff.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tresor {

// Collects the record of the source during a backup run and writes it into the backup folder at the end
// (the form is described in Bestandsformat.h). The copy walk tells it what it meets, in the walk's order:
// each folder it mirrors, each file or link it copies or leaves, and each copy that failed its check.
// It reads each entry's kind, permission bits, owner and link target itself (never following a link); a
// copied file's size and time are those of the state the copy was taken from.
//
// Where the version of an entry that this run did not copy lives: the newest earlier record of the same
// source in the same target names it, when that record's entry has the same kind, size, time (and link
// target) and the copy it names is still there with that size. Where no such record entry exists (the
// backups before records were written, or an entry it lacks), the newest earlier backup folder whose
// mirror holds a copy of the same kind, size and time (and link target) holds it. Otherwise the entry's
// version is "fehlt": a record never names a version that no backup holds.
class Bestandsliste {
public:
    // `ziel` is the target folder, `ordnername` the name of the backup folder this run creates in it,
    // `zeit` the run's time as the folder name shows it.
    Bestandsliste(const Laufwerkstabelle& laufwerke, Pfad quelle, Pfad ziel, std::string ordnername);

    // A source folder the run mirrors (the source folder itself first).
    void Ordner(const Pfad& quellordner);
    // A file or link the run copied, with the state the copy was taken from.
    void Kopiert(const Pfad& quelle, const Quellstand& stand);
    // A file or link the run did not copy (its archive bit was clear). `gesehen` is the state the run's look at
    // it saw, where that look tells it (a regular file); else the entry is looked at here.
    void Gelassen(const Pfad& quelle, const Eintragsstand& gesehen = {});
    // An entry whose copy failed its check, made or not: its version is "fehlt" unless an earlier backup
    // holds it.
    void Fehlgeschlagen(const Pfad& quelle);
    // The file `quelle` copied in this run was marked as backed up: `danach` is its state read back after its
    // archive record was written (its ctime moved by that write). Ignored when it is not that file's state.
    void Vermerkt(const Pfad& quelle, const Quellstand& danach);
    // An entry (file or folder) the run could not back up, with the reason: the record names it.
    void Ausgelassen(const Pfad& quelle, const std::string& grund);
    // A folder the run mirrors on which another file system is mounted: mirrored empty, not entered.
    void Einhaengepunkt(const Pfad& quellordner);

    // Writes the record into the backup folder once every copy of the run is durable; returns its file
    // name. Throws FsFehler when it cannot be written. `abgebrochen`: the run was stopped before its walk
    // was through; the record says so.
    std::string Schreibe(std::uint64_t dateien, std::uint64_t bytes, bool abgebrochen = false);

private:
    std::string Relativ(const Pfad& quelle) const;
    bool Eintrag(const Pfad& quelle, Eintragsart art, const Eintragsstand& stand, std::string ort);
    void Ordne();
    void Verorte(bool abgebrochen);
    bool Passt(const Bestandseintrag& e, const Eintragsstand& kopie) const;
    void Verbuende();

    Laufwerkstabelle laufwerke_;
    Eintragszugriff zugriff_;
    Eintragszugriff kopien_; // a second access for the backups, so the walk's folder stays open
    Pfad quelle_, ziel_;
    std::string ordnername_;
    std::vector<Bestandseintrag> eintraege_;
    std::unordered_map<std::string, std::size_t> kopiert_; // source path -> entry, of this run's copies
    std::vector<std::size_t> offen_;                       // entries whose version is still to be found
    std::vector<std::size_t> mehrnamig_;                   // files of several names
    std::vector<Auslassung> ausgelassen_;
    std::vector<std::string> einhaengepunkte_;
    std::unordered_set<std::string> ordner_; // the folders recorded, relative
};

} // namespace tresor
