#pragma once

#include "engine/bestand/Auslassungen.h"
#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Bestandsleser.h"
#include "engine/bestand/Kopienblick.h"
#include "engine/bestand/Zielindex.h"
#include "fs/Dateisystem.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/posix/Eintragszugriff.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tresor {

// Writes the record of the source into the backup folder while a backup run walks the source (the form is
// described in Bestandsformat.h). The copy walk tells it what it meets, in the walk's order: each folder it
// mirrors, each file or link it copies or leaves, and each copy that failed its check. It reads each entry's
// kind, permission bits, owner and link target itself (never following a link); a copied file's size and time
// are those of the state the copy was taken from.
//
// The record goes into a temporary file of the backup folder as the walk goes (Dauerschrift) and gets its
// name in Schreibe, after the run's last flush: a run killed at any moment leaves a whole record or a
// temporary file that no reader takes. An entry is final once its copy went through its check and its file
// was marked (the ctime read back, Vermerkt) or failed (Fehlgeschlagen): the run says so for each batch
// (Abgeschlossen). Until then the entries from the first copy of the open batch on are held back (the
// window), everything before them is written. So that a run with few copies among many untouched files holds
// no more than a few thousand entries, the run finishes its batch early once the window is full
// (FensterVoll). Besides the window it keeps the folders on the walk's way with the names of their files (a stopped
// run needs them), the files of several names still to be met and a few thousand of
// the entries not backed up (Auslassungen.h: the further ones wait in a temporary file); nothing else grows with
// the source.
//
// Where the version of an entry that this run did not copy lives: the newest earlier record of the same
// source in the same target names it, when that record's entry has the same kind, size, time (and link
// target) and the copy it names is still there: a file as a regular file of that size, a link of that size and
// target, each looked at by its name in its folder there (held open for the copies beside it). That record is read
// alongside the entries as they are written, both in the walk's order. Where no such record entry exists (the backups
// before records were written, or an entry it lacks), the newest earlier backup folder whose mirror holds a copy of the
// same kind, size and time (and link target) holds it. Otherwise the entry's version is "fehlt": a record never names a
// version that no backup holds.
//
// A file's entry carries the checksum of its version's content: of a copy this run made, the one the copy took
// (Quellstand::Inhalt, none where the copy is not whole); of a version that earlier record names, that record's
// checksum of it (none in a record of an earlier form); none for a version found by its size and time alone.
//
// The names of one file (same inode) share a hard-link group number, given at the first name written; a file
// whose other names lie outside the source (or were not met) has a group of one name, which every reader
// takes as a file of its own.
class Bestandsliste {
public:
    // The most entries held back for copies not yet through before the run finishes its batch early: some
    // 4 MiB of entries, and in a run that copies 1 % of its files one flush of the target per 16,384 entries
    // walked (7 instead of 1 at 100,000 files; the batch of copies, StapelDateien, fills first only where more
    // than one file in eight is copied). A smaller window flushes more often for little memory saved.
    static constexpr std::size_t Fenstergroesse = 16384;

    // `ziel` is the target folder, `ordnername` the name of the backup folder this run creates in it,
    // `zeit` the run's time as the folder name shows it.
    // `fenster`: the most entries held back (Fenstergroesse; tests make it small).
    Bestandsliste(const Laufwerkstabelle& laufwerke, Pfad quelle, Pfad ziel, std::string ordnername,
                  std::size_t fenster = Fenstergroesse);
    // A record not written by Schreibe is dropped (its temporary file removed).
    ~Bestandsliste();
    Bestandsliste(const Bestandsliste&) = delete;
    Bestandsliste& operator=(const Bestandsliste&) = delete;

    // A source folder the run mirrors (the source folder itself first).
    void Ordner(const Pfad& quellordner);
    // A file or link the run copied, with the state the copy was taken from. `gesehen` is the state the run's look
    // at it saw before the copy, where that look tells it (a regular file): where the copy was taken from that very
    // state, the entry is not looked at again.
    void Kopiert(const Pfad& quelle, const Quellstand& stand, const Eintragsstand& gesehen = {});
    // A file or link the run did not copy (its archive bit was clear). `gesehen` is the state the run's look at
    // it saw, where that look tells it (a regular file); else the entry is looked at here. `index`, where given,
    // was just asked about this very file: where it reads the newest earlier record, its entry of the file is
    // taken from there, and the record is not read a second time for it.
    void Gelassen(const Pfad& quelle, const Eintragsstand& gesehen = {}, const Zielindex* index = nullptr);
    // An entry whose copy failed its check, made or not: its version is "fehlt" unless an earlier backup
    // holds it.
    void Fehlgeschlagen(const Pfad& quelle);
    // The file `quelle` copied in this run was marked as backed up: `danach` is its state read back after its
    // archive record was written (its ctime moved by that write). Ignored when it is not that file's state.
    void Vermerkt(const Pfad& quelle, const Quellstand& danach);
    // Every copy told so far went through its check and marking: their entries are final and written.
    void Abgeschlossen();
    // Whether the window holds more entries than it may: the run is to finish its open batch.
    [[nodiscard]] bool FensterVoll() const { return !kopiert_.empty() && fenster_.size() > fenstergroesse_; }
    // The entries held back now.
    [[nodiscard]] std::size_t Gehalten() const { return fenster_.size(); }
    // A file or link whose name the target cannot store (Dateisystem::NurWindowsNamen): its version is "fehlt", and
    // no earlier backup folder is looked in for a copy of it (asking the target for that name is what must not be).
    void Unspeicherbar(const Pfad& quelle);
    // An entry (file or folder) the run could not back up, with the reason: the record names it.
    void Ausgelassen(const Pfad& quelle, const std::string& grund);
    // A folder the run mirrors on which another file system is mounted: mirrored empty, not entered.
    void Einhaengepunkt(const Pfad& quellordner);

    // Finishes the record once every copy of the run is durable and gives it its name in the backup folder;
    // returns that name. Throws FsFehler when it cannot be written. `abgebrochen`: the run was stopped before
    // its walk was through; the record says so, and the entries after the last one written are taken from the
    // newest earlier record (their versions where the copies they name are still there, else "fehlt").
    std::string Schreibe(std::uint64_t dateien, std::uint64_t bytes, bool abgebrochen = false);
    // The earlier backup folders that could not be read for a failure of their own (Uebergehbar), each with why
    // (German): one newer than the earlier record taken (passed over as one with a torn record is), and those in
    // which a copy could not be looked at (its version is not taken from there).
    [[nodiscard]] const std::map<std::string, std::string>& Unlesbar() const { return unlesbar_; }

private:
    // What Verorte needs of an earlier record's entry of a file or link, held with the entry in the window: its
    // place as an index into orte_, its size, time, inode and ctime, a link's target and a file's checksum.
    struct Frueheintrag {
        std::int64_t Groesse = 0;
        std::int64_t MtimeNs = 0;
        std::int64_t CtimeNs = 0;
        std::uint64_t Inode = 0;
        std::uint32_t Ort = 0;
        std::string Verweisziel;
        Kopiebefund Befund = Kopiebefund::Ungesehen; // the index's look at the copy it names, where it took one
        std::optional<Inhaltssumme> Inhalt{};
    };
    struct Fenstereintrag {
        Bestandseintrag E;
        bool Verorten = false;     // its version is still to be found
        bool FruehBekannt = false; // the index told the newest earlier record's entry of its path: Frueh
        std::optional<Frueheintrag> Frueh;
        std::uint64_t Namen = 1; // names of the file in the source, when it was looked at
    };
    // A folder on the walk's way and the names (hashed) of the files and links written in it: eight bytes a
    // name, sorted when first asked after a name was added (a stopped run asks; a run that goes on never does).
    struct Wegordner {
        std::string Pfad;
        mutable std::vector<std::uint64_t> Dateien;
        mutable bool Sortiert = true;
        void Hinzu(std::uint64_t streuwert);
        [[nodiscard]] bool Enthaelt(std::uint64_t streuwert) const;
    };

    static Eintragsart ArtAus(const Eintragsstand& stand);
    std::string Relativ(const Pfad& quelle) const;
    std::optional<std::size_t> Eintrag(const Pfad& quelle, Eintragsart art, const Eintragsstand& stand, std::string ort,
                                       bool verorten);
    std::optional<std::size_t> Halte(Fenstereintrag g);
    void Leere();
    void Ausschreiben(Fenstereintrag& g);
    void Beginne();
    void Schreib(Bestandseintrag& e);
    Bestandsleser* Vorher();
    // The earlier backup folders (frueher_), listed when first needed.
    void Fruehere();
    const Bestandseintrag* BisZu(const Bestandseintrag& e);
    // `befund`: what a look at the copy that `v` names found a moment ago, where one was taken.
    void Verorte(Bestandseintrag& e, const Bestandseintrag* v, Kopiebefund befund = Kopiebefund::Ungesehen);
    // The state of the copy of `relativ` (a path as in the record) in the backup folder `ordner`, if there is one.
    std::optional<Eintragsstand> Kopie(const std::string& ordner, const std::string& relativ);
    bool NochDa(const Bestandseintrag& v, Kopiebefund befund = Kopiebefund::Ungesehen);
    bool Passt(const Bestandseintrag& e, const Eintragsstand& kopie) const;
    std::uint64_t Gruppe(std::uint64_t inode, std::uint64_t namen);
    bool AlsDateiGeschrieben(const std::string& pfad) const;
    void NimmUebrige();

    Laufwerkstabelle laufwerke_;
    Eintragszugriff zugriff_;
    Eintragszugriff kopien_; // a second access for the backups, so the walk's folder stays open
    Pfad quelle_, ziel_;
    std::string ordnername_;
    std::size_t fenstergroesse_;
    Bestand kopf_;
    std::optional<Dauerschrift> datei_;
    std::unique_ptr<Bestandsschreiber> schreiber_;
    std::deque<Fenstereintrag> fenster_;                   // no copy of it all as it grows
    std::unordered_map<std::string, std::size_t> kopiert_; // source path -> window place, of the open batch
    std::optional<std::pair<std::string, bool>> letzter_;  // the entry written last (path, folder)
    std::vector<Wegordner> weg_;
    // Files of several names met: inode -> group number and names still to be met.
    std::unordered_map<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>> gruppen_;
    std::uint64_t gruppe_ = 0;
    // The newest earlier record of this source, read alongside the entries written (opened when first needed).
    bool vorherGesucht_ = false;
    bool fruehereGesucht_ = false;
    std::optional<Bestandsleser> vorher_;
    const Bestandseintrag* v_ = nullptr; // its entry in hand
    bool vBegonnen_ = false;
    std::vector<std::string> frueher_; // the earlier backup folders, oldest first
    // The places of the Frueheintrag entries, each once (backup folders of the target): by number and by name.
    std::vector<std::string> orte_;
    std::unordered_map<std::string, std::uint32_t> ortnummern_;
    Auslassungen ausgelassen_;
    std::vector<std::string> einhaengepunkte_;
    // The folders taken into the record on the way to the last one taken (each inside the one before), relative.
    // The walk meets a folder before its content and leaves it for good, so that an entry's folder, where the
    // record holds it, is here, still in the window, or among the folders written on the way (weg_): nothing is
    // held per folder of the source.
    std::vector<std::string> ordnerweg_;
    // Whether the record holds the folder `ordner`, asked for the folder of an entry that may still be written
    // (one that comes after the entry written last).
    [[nodiscard]] bool OrdnerVerzeichnet(std::string_view ordner) const;
    // The copies in the target's backup folders, looked at through `kopien_`: a folder's entries come one after
    // another in the walk's order, and their copies lie in one or a few backup folders, whose folders in hand stay
    // held.
    Kopienblick kopienblick_;
    std::map<std::string, std::string> unlesbar_; // see Unlesbar
};

} // namespace tresor
