#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Bestandsleser.h"
#include "engine/bestand/Kopienblick.h"
#include "fs/Eintragsstand.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/Pfad.h"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace tresor {

// What a target holds of a source: the index that makes each target complete on its own. A file is to be
// backed up when its archive bit is set or when this target holds no version of its present state: a new
// empty target, a backup folder deleted since, a second disk used in turn with this one.
//
// It is the newest record of the source in the target (Bestandsformat.h), found at the start of a run and
// then read alongside each walk of the source: the record lists its entries in the walk's order
// (Wegordnung), so the walk asks for its files in that order and the reader only ever moves forward
// (Bestandsleser.h), without a map of the record and without a system call more per file. The entries are read
// and checked on a thread of their own, a few blocks ahead of the walk at most. An entry the record
// holds and the walk does not meet (gone from the source) is passed over; a file the walk meets and the
// record does not hold, or holds out of the walk's order (a record that others changed), counts as not held,
// and so does everything after a malformed entry: the record can only make the run copy more, never less.
//
// A file counts as held when the record names it with the very state it has now (size, modification time,
// inode and the ctime read back after its archive record was written, so that a change made at any moment
// after it, whatever it does to size and times, is another state) and with a version in a backup folder that
// is still there; on a file system whose inode numbers do not last, size and times are the state. A record of
// the first form holds no ctimes: under it no file counts as held, and the first run after it backs
// everything up once. A symbolic link counts as held the same way, in the state the walk's look saw (a link put
// in the place of another is another state, whose bit a run into another target may have cleared); where the walk
// did not look at it, by any version of a link of that name.
class Zielindex {
public:
    // Finds the newest readable record of `quelle` in the target folder `ziel`. A target that cannot be
    // listed, or holds no record of the source, holds nothing.
    Zielindex(const Laufwerkstabelle& laufwerke, const Pfad& ziel, const Pfad& quelle);
    ~Zielindex();
    Zielindex(const Zielindex&) = delete;
    Zielindex& operator=(const Zielindex&) = delete;

    // A walk of the source begins: the record is read from its first entry again. `kopienAnsehen`: the walk writes a
    // record of its own, which names the copies this record names where they are still there; the thread that
    // reads the record ahead looks at each of those copies as well (KopieDa).
    void Neu(bool kopienAnsehen = false);
    // Whether the target holds a version of the file or link `pfad` (a path in the source, in program form)
    // in the state `jetzt`. `jetzt` of kind Anderes stands for a symbolic link whose state the walk did not
    // read. Asked in the walk's order since Neu; a file asked out of that order counts as not held.
    [[nodiscard]] bool Haelt(const Pfad& pfad, const Eintragsstand& jetzt);
    // True when a record was found.
    [[nodiscard]] bool Gelesen() const { return leser_.has_value(); }
    // After Haelt answered by the record (read up to that file in the walk's order): the path it asked, as the
    // record writes it; else nullptr. Valid until the next call.
    [[nodiscard]] const std::string* Beantwortet() const { return beantwortet_ ? &zuletzt_ : nullptr; }
    // The record's entry of that path (a file or link), or nullptr where it holds none. Valid until the next call.
    [[nodiscard]] const Bestandseintrag* Gefunden() const { return gefunden_; }
    // What the look at the copy that entry names found, since Neu(true): Da where that copy is in a backup folder
    // of the target, of the entry's kind and size (a link also of its target), looked at by its name a moment ago,
    // as Kopienblick::Da; Fehlt where it is not, or where the entry names no backup folder the target held at the
    // start; Ungesehen where that look failed (the caller looks itself) or none was taken.
    [[nodiscard]] Kopiebefund KopieDa() const {
        return gefunden_ != nullptr ? gefundenBefund_ : Kopiebefund::Ungesehen;
    }
    // The backup folder whose record is read ("" when none).
    [[nodiscard]] const std::string& Ordner() const { return ordner_; }
    // The backup folders that could not be read for a failure of their own (Uebergehbar), each with why (German),
    // so far: a newer one than the record read (passed over as one with a torn record is), and those in which a
    // copy the record names could not be looked at (KopieDa: Fehlt, so the file is copied again).
    [[nodiscard]] std::map<std::string, std::string> Unlesbar();
    // Whether the target may hold less than the record says: Unlesbar is not empty once each backup folder in which
    // the record names versions (besides its own) was listed once more, those that cannot be read now joining it.
    // For a scan that found nothing to back up: a walk that copies looks at each copy itself (KopieDa). A listing
    // per such folder, none per file.
    [[nodiscard]] bool Uebergangen();

private:
    // The entries read on a thread of their own, a block ahead of the walk (see Zielindex.cpp).
    class Vorlauf;
    const Bestandseintrag* Naechster();

    Pfad quelle_;
    Pfad ziel_;
    std::optional<Laufwerkstabelle> laufwerke_; // for the looks at copies, where a record was found
    std::optional<Bestandsleser> leser_;
    std::unique_ptr<Vorlauf> vorlauf_;                    // while a walk goes through the record
    std::set<std::string, std::less<>> sicherungen_;      // the backup folders in the target now
    const Bestandseintrag* eintrag_ = nullptr;            // the record's entry in hand, nullptr at its end
    bool begonnen_ = false;                               // eintrag_ was read since Neu
    std::string zuletzt_;                                 // the file asked last since Neu
    std::string frage_;                                   // the file asked now (the buffer of the one before)
    bool beantwortet_ = false;                            // see Beantwortet
    const Bestandseintrag* gefunden_ = nullptr;           // see Gefunden
    Kopiebefund befund_ = Kopiebefund::Ungesehen;         // of eintrag_
    Kopiebefund gefundenBefund_ = Kopiebefund::Ungesehen; // see KopieDa
    std::string ordner_;                                  // see Ordner
    std::map<std::string, std::string> unlesbar_;         // see Unlesbar, as far as gathered from the Vorlauf
};

// The path of an entry of the source relative to the source, as the record writes it ("." for the source).
std::string RelativZurQuelle(const Pfad& quelle, const Pfad& pfad);
// The same into `in`, whose buffer is used again.
void RelativZurQuelleIn(const Pfad& quelle, const Pfad& pfad, std::string& in);

} // namespace tresor
