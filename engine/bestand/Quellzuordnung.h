#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "fs/Laufwerkstabelle.h"

#include <optional>
#include <string>
#include <utility>

namespace tresor {

// Which records in a target are those of the source a restore, a check or a listing asks for.

// A source as asked for. Taken as today's drives name it, its records are those that name its place in the file
// system today and its path below the drive (GleicheQuelle). Taken as its records name it (`WieVerzeichnet`, and
// always where its path names no drive today), it is a source that is not there: its disk unplugged or dead, its
// letter perhaps given to another drive since (letters follow the order of the mount points at each start). Its
// records are those whose `quelle` line is exactly `Quelle` and whose source no drive reaches today
// (HeuteErreichbar): the folder that the letter names today, with backups of its own in the same target, is
// another source and never mixed in.
struct Quellangabe {
    Pfad Quelle; // in program form, as its records name it where taken so
    bool WieVerzeichnet = false;
    // Where not empty, only the records whose `posix` line is exactly this (the place the source had): two
    // sources that bore one name are told apart by it.
    std::string Posix;

    Quellangabe() = default;
    // A source asked for as today's drives name it (a path converts, so every caller that names a present
    // source by its path stays as it was).
    Quellangabe(Pfad quelle) : Quelle(std::move(quelle)) {}
    Quellangabe(const char* quelle) : Quelle(quelle) {}
    Quellangabe(Pfad quelle, std::string posix) // as its records name it, pinned where `posix`
        : Quelle(std::move(quelle)), WieVerzeichnet(true), Posix(std::move(posix)) {}
};

// Whether today's drives reach the source of a record (its head): its place in the file system is, today, the same
// path below a drive as the record's (QuelleHeute), whatever that drive's letter is now.
bool HeuteErreichbar(const Laufwerkstabelle& laufwerke, const Bestand& kopf);

// The source shown for text: "E:\Fotos", or "E:\Fotos (früher /data/Fotos)" for one asked for as its records name
// it whose place is given; control characters escaped (Anzeigetext).
std::string Quelltext(const Pfad& quelle, const std::optional<std::string>& frueher);
// The same of a source as asked for.
std::string Quelltext(const Quellangabe& angabe);

// The line that tells the user who found no backups of a source by its path today that a source of that name, or
// at that place, is not there and is asked for as its records name it (`quelle`, `posix`: its record's lines).
std::string HinweisWieVerzeichnet(const Pfad& quelle, const std::string& posix);

// The records of one source asked for: built once, asked for each record.
class Quellzuordnung {
public:
    // `laufwerke` must outlive the object.
    Quellzuordnung(const Laufwerkstabelle& laufwerke, Quellangabe angabe);

    // Whether the record (its head) is the source's.
    [[nodiscard]] bool Nimmt(const Bestand& kopf) const;
    // Whether the record is of a source that is not there and bore the name asked for, or had the place the path
    // names today: asked for by its path today, such a source is not found; asked for as its records name it, it
    // is. False for a source taken as recorded already and for a record this object takes.
    [[nodiscard]] bool Verdeckt(const Bestand& kopf) const;
    // Whether the source is taken as its records name it: asked for so, or its path names no drive today.
    // Such a source is not there: its backups are restored and checked, never compared with a folder of today,
    // restored to their original place, or thinned.
    [[nodiscard]] bool WieVerzeichnet() const noexcept { return angabe_.WieVerzeichnet || posix_.empty(); }
    // Whether a backup folder without a record, whose mirror of the source is there, counts as the source's:
    // where the path names a drive today, such a folder is that drive's folder's (as a source is asked for by
    // its path); as its records name it, it is not known to be the source's.
    [[nodiscard]] bool MitOrdnernOhneBestand() const noexcept { return !angabe_.WieVerzeichnet || posix_.empty(); }
    [[nodiscard]] const Quellangabe& Angabe() const noexcept { return angabe_; }
    // The POSIX form of the path on today's drives; empty where it names none.
    [[nodiscard]] const std::string& PosixHeute() const noexcept { return posix_; }
    // The source for messages (Quelltext).
    [[nodiscard]] std::string Text() const { return Quelltext(angabe_); }

private:
    const Laufwerkstabelle& laufwerke_;
    Quellangabe angabe_;
    std::string posix_;
};

} // namespace tresor
