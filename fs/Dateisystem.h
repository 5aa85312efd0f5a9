#pragma once

#include "fs/Eintragsstand.h"
#include "fs/Pfad.h"
#include "fs/system/Inhaltssumme.h"
#include "fs/system/Namensliste.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tresor {

// A folder object: stands for its Path wherever a path is expected.
struct Ordner {
    Pfad Path; // full path, no trailing backslash except for a drive root
    std::string Name;
    bool Einhaengepunkt = false; // listed by SubFolders as a mount point of another file system
};

// A file object.
struct Datei {
    Pfad Path;
    std::string Name; // as stored
};

// The files of one folder as Files lists them: the folder's path once and the names as stored on disk in one
// buffer (Namensliste.h, shared with what the file-system object keeps of the listing), each file object made
// when it is looked at, with its name in program form (Pfadteile.h). A folder of hundreds of thousands of files
// costs its names' bytes, not two strings per file.
class Ordnerdateien {
public:
    Ordnerdateien() = default;
    explicit Ordnerdateien(Pfad ordner, std::shared_ptr<const posix::Namensliste> namen = {})
        : ordner_(std::move(ordner)), namen_(std::move(namen)) {}

    [[nodiscard]] const Pfad& OrdnerPfad() const { return ordner_; }
    [[nodiscard]] std::size_t size() const { return namen_ ? namen_->size() : 0; }
    [[nodiscard]] bool empty() const { return size() == 0; }
    [[nodiscard]] Datei operator[](std::size_t i) const;
    // The names as stored on disk, in the order listed, shared with the file-system object (nothing for a
    // folder without files): for a caller that holds the folder's names beyond the next listing.
    [[nodiscard]] const std::shared_ptr<const posix::Namensliste>& Namen() const { return namen_; }

    class Zeiger {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Datei;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Datei;
        Zeiger() = default;
        Zeiger(const Ordnerdateien* liste, std::size_t i) : liste_(liste), i_(i) {}
        Datei operator*() const { return (*liste_)[i_]; }
        Zeiger& operator++() {
            ++i_;
            return *this;
        }
        Zeiger operator++(int) {
            Zeiger vorher = *this;
            ++i_;
            return vorher;
        }
        bool operator==(const Zeiger& b) const { return i_ == b.i_; }

    private:
        const Ordnerdateien* liste_ = nullptr;
        std::size_t i_ = 0;
    };
    [[nodiscard]] Zeiger begin() const { return {this, 0}; }
    [[nodiscard]] Zeiger end() const { return {this, size()}; }

private:
    Pfad ordner_;
    std::shared_ptr<const posix::Namensliste> namen_;
};

// The state of a file as it was read for a copy: what the archive record holds once the archive bit is
// cleared after that copy. A file whose state has moved on since reads as archive set again.
// For a symbolic link the state of the folder that holds it counts as well (its record lives on that
// folder): the folder's modification time and inode as read before the copy. Files leave them 0.
//
// The status-change time (ctime) moves with every change of content, permission bits, owner, extended
// attributes and names of the file, so it catches a rewrite whose modification time was set back.
// `Veraendert` is set by a copy whose source kept changing while it was copied: no copy was put in place,
// and the file's archive bit must stay set (the run names the file, with `Versuche` and `VersuchtNs`: how many
// copies were tried over how long). `Schnappschuss` is set by a copy taken from a clone of such a file (on a
// file system that clones, btrfs or XFS): the copy in place is one version the file really had, whole, but
// no state can be told for it, so the file's archive bit stays set and the next run copies it again.
// `KopieBekannt`, where the file-system object tells it (a regular file copied for a restore,
// QuellordnerHalten): the copy is a regular file as it was made and named, of the size and modification time
// above, with the bits, owner, group, device and inode of the fields `Kopie...`; a restore holds it against the
// record instead of looking at the copy once more.
struct Quellstand {
    std::int64_t MtimeNs = 0;
    std::int64_t Groesse = 0;
    std::uint64_t Inode = 0;
    bool Gueltig = false;
    std::int64_t OrdnerMtimeNs = 0;
    std::uint64_t OrdnerInode = 0;
    std::int64_t CtimeNs = 0;
    bool Veraendert = false;
    bool Schnappschuss = false;
    int Versuche = 0;
    std::int64_t VersuchtNs = 0;
    bool KopieBekannt = false;
    std::uint32_t KopieModus = 0; // 07777
    std::uint32_t KopieUid = 0;
    std::uint32_t KopieGid = 0;
    std::uint64_t KopieGeraet = 0;
    std::uint64_t KopieInode = 0;
    // Copy: the checksum of the content the copy holds, taken from the bytes as they were copied; none where
    // the object takes none, or the copy holds less than the size.
    std::optional<Inhaltssumme> Inhalt{};
};

// What ArchivbitLoeschen did with the archive bit of a copied file.
struct Archivloeschung {
    // The bit read set, and SetFileAttr was called; `Danach` is what it returned (the state read back).
    bool Gesetzt = false;
    Quellstand Danach;
    // Whether the file reads archive clear now, where the object tells it from that very state read back after
    // its own write (a later change is one made after the file was backed up, which the next run sees). Nothing
    // where it does not tell: the caller asks Attributes.
    std::optional<bool> Geloescht;
};

// Told how far one copy has come: the bytes of the file's content copied so far and the file's size when its
// copy began. A copy made again because its source changed meanwhile goes on from the count reached, which
// holds until the new copy passes it: the count never falls back, unless to the size of a source that became
// smaller, and never exceeds the size. Copy calls it while the content is copied, after each piece of at most a few
// mebibytes (so that a caller hears of a large file often enough to show its progress and to take a stop request),
// never once the copy is in place. It may throw to stop the copy: the temporary file is then removed, nothing is left
// under the destination's name, and the exception passes out of Copy as it was thrown.
using Kopierfortschritt = std::function<void(std::uint64_t kopiert, std::uint64_t groesse)>;

// How MakeDir creates a folder.
enum class Anlage {
    Standard, // the user's default permissions
    Privat,   // accessible to the owner only; gets its final bits later (see OrdnerAbschliessen)
};

// The file-system object: every operation the backup engine performs on disk. Every failure throws
// FsFehler with the operation, the path and the reason; nothing fails silently.
//
// Collections list their members in byte order of their names. SubFolders lists directories only,
// Files regular files and symbolic links; FIFOs, sockets and device files are never listed or opened, and
// symbolic links are never followed: a link is backed up as the same link, whatever it points to.
class Dateisystem {
public:
    virtual ~Dateisystem() = default;

    // A folder object for an existing folder (a symbolic link is not a folder).
    [[nodiscard]] virtual Ordner GetFolder(const Pfad& pfad) = 0;
    // The direct subfolders, hidden and system folders included. A folder that is a mount point of
    // another file system, or the folder excluded with Ausschliessen, is never entered: the first is
    // listed but its own SubFolders and Files are empty, the second is not listed at all.
    [[nodiscard]] virtual std::vector<Ordner> SubFolders(const Ordner& ordner) = 0;
    // The files directly in the folder, hidden and system files and symbolic links included.
    // Held compactly (Ordnerdateien): a folder may hold hundreds of thousands of files.
    [[nodiscard]] virtual Ordnerdateien Files(const Ordner& ordner) = 0;
    // A file object for an existing file or symbolic link (never followed).
    [[nodiscard]] virtual Datei GetFile(const Pfad& pfad) = 0;
    // The attribute value at the moment of the read (bits 1, 2, 4, 16, 32 only).
    [[nodiscard]] virtual int Attributes(const Datei& datei) = 0;
    // True when Attributes would report 32 or more at this moment (the archive bit): for callers that need
    // that bit alone, so that reads which only the other bits need can be left out. Fails as Attributes does,
    // naming the operation "Attributes".
    [[nodiscard]] virtual bool ArchivGesetzt(const Datei& datei) { return Attributes(datei) >= 32; }
    // GetFile and ArchivGesetzt in one look at the entry: the file object when its archive bit is set, nothing
    // when it is clear. Fails as GetFile does where the path names no file or symbolic link (naming "GetFile").
    // `gesehen`, where given, receives what that look saw of a regular file or symbolic link (kind, size,
    // modification time, permission bits, owner, inode, ctime; a link's target is not read); it is left of kind
    // Anderes where the object does not tell, and the caller looks for itself.
    [[nodiscard]] virtual std::optional<Datei> DateiZuSichern(const Pfad& pfad, Eintragsstand* gesehen = nullptr) {
        (void)gesehen;
        Datei datei = GetFile(pfad);
        if (!ArchivGesetzt(datei))
            return std::nullopt;
        return datei;
    }
    // Copies the file to the destination path: content, modification time, permission bits and the
    // read-only, hidden and system bits; never the archive record, so the copy reads archive set. The
    // copy is written under a temporary name in the destination folder and renamed into place when
    // complete; an existing file of that name is replaced. A symbolic link is copied as the same link
    // (its target text), never followed. Returns the state the copy was taken from. A copy whose source
    // changed while it was copied is made again, a few times; a source that still changes leaves no copy
    // under the destination name and returns a state marked Veraendert. `fortschritt`, when given, hears of
    // the copy's progress and may stop it (see Kopierfortschritt).
    virtual Quellstand Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt = {}) = 0;
    // For a restore, which never sets the attribute value of a file it copies from: the copies need not be
    // remembered for SetFileAttr (whose record goes only to the very file a backup copied), so that memory
    // does not grow with the number of files copied.
    virtual void KopienVergessen() {}
    // For a restore, which looks at every copy before and after it is made and holds it against its record:
    // a file is copied from the folder held since it was met, even where that folder has been renamed since,
    // without its path looked up anew for every copy (a backup copies again from the folder the path names
    // now, for its record tells that path). Its content is read, never shared with the backup's copy (a
    // reflink): a copy whose blocks no longer read fails instead of giving a file that cannot be read.
    virtual void QuellordnerHalten() {}
    // For the walks of a backup: the look at each file of a folder listed by Files may be taken a moment before
    // the walk asks for it (on another thread). Such a look answers as if the walk had passed that moment
    // earlier, which is no different from a change made a moment after the walk passed: the next run finds it.
    virtual void VorausSchauen() {}
    // The name, as stored, of the first entry that the path names and the mask admits, or "".
    // A path without trailing backslash names its last component; a path with one lists the folder
    // (".", ".." first unless it is a drive root). An entry is admitted when each of its hidden (2),
    // system (4) and directory (16) bits is also set in the mask.
    [[nodiscard]] virtual std::string Dir(const Pfad& pfad, int maske) = 0;
    // Dir of one path for several masks, in the order given: each answer is what Dir with that mask yields.
    // A path that names one entry is looked at once for all of them, so that the answers all tell of one
    // moment and cost one look.
    [[nodiscard]] virtual std::vector<std::string> DirJeMaske(const Pfad& pfad, std::span<const int> masken) {
        std::vector<std::string> namen;
        namen.reserve(masken.size());
        for (const int maske : masken)
            namen.push_back(Dir(pfad, maske));
        return namen;
    }
    // Creates one folder; its parent must exist.
    virtual void MakeDir(const Pfad& pfad, Anlage anlage = Anlage::Standard) = 0;
    // For the copy walk: the private folders `namen` are about to be made in the folder `ordner`, which this run
    // made, each as MakeDir(ordner + "\\" + name, Anlage::Privat) would make it, in this order. A file system may
    // make them ahead, on another thread, while the walk goes on; VorausAngelegt then takes each one.
    virtual void OrdnerVoraus(const Pfad& ordner, std::span<const std::string> namen) {
        (void)ordner;
        (void)namen;
    }
    // Whether the folder `pfad`, announced by OrdnerVoraus, was made ahead: then it is there, private and empty, and
    // the caller makes it no more. False where it was not (the name was taken, or nothing was made ahead): then
    // nothing was made for it, and the caller does what it would do without OrdnerVoraus. Asked once per folder.
    [[nodiscard]] virtual bool VorausAngelegt(const Pfad& pfad) {
        (void)pfad;
        return false;
    }
    // A folder announced by OrdnerVoraus that the walk does not mirror into after all: where it was made ahead and
    // is still empty, it is removed.
    virtual void VorausVerwerfen(const Pfad& pfad) noexcept { (void)pfad; }
    // Sets the file's attribute value. Clearing the archive bit records `stand` when it is valid (the
    // state a copy was taken from), else the file's present state. Returns the state of a regular file
    // read back through its own descriptor once everything was written (its ctime moved on by that
    // write): the exact state that the target's record holds for it. Invalid where not known.
    virtual Quellstand SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand = {}) = 0;

    // Clears the archive bit of the file a copy was taken from, and no other bit: Attributes, then where that
    // reads the archive bit SetFileAttr with the value less 32 and `stand`, the state the copy was taken from.
    // An object that answers both from one look at the file (and Geloescht from what it read back) may do so;
    // the answers and failures are those of the two calls (operations "Attributes" and "SetFileAttr").
    virtual Archivloeschung ArchivbitLoeschen(const Datei& datei, const Quellstand& stand) {
        Archivloeschung loeschung;
        const int wert = Attributes(datei);
        if ((wert & 32) != 0) {
            loeschung.Gesetzt = true;
            loeschung.Danach = SetFileAttr(datei.Path, wert - 32, stand);
        }
        return loeschung;
    }

    // Beyond the platform's classic operations, for a safe run:

    // Makes every copy written so far to the file system that holds `pfad` durable on its medium. The path
    // need not exist any more; its nearest existing folder names the file system.
    virtual void Sync(const Pfad& pfad) = 0;
    // Gives the mirror folder `ziel` the permission bits and the hidden and system bits of the source
    // folder `quelle`. Called once the mirror's content is written.
    virtual void OrdnerAbschliessen(const Pfad& quelle, const Pfad& ziel) = 0;
    // From now on SubFolders never lists this folder, whatever path leads to it (device and inode).
    virtual void Ausschliessen(const Pfad& ordner) = 0;
    // True when the file system of the existing folder ignores letter case, so that names that differ in
    // case only name one entry there (and Dir yields the name as stored). False where that is not known.
    // Decided once per file system: asking costs no system call per file.
    [[nodiscard]] virtual bool GrossKleinBlind(const Pfad& ordner) {
        (void)ordner;
        return false;
    }
    // True when the file system of the existing folder stores only the names Windows allows (an SMB share
    // through smbnetfs, a FAT or exFAT medium: NurWindowsNamen, from the mount table; a medium through FUSE, which
    // the table shows as "fuseblk" only, by one file of such a name made in the folder and removed), so that any
    // other name (WindowsName, Laufwerkstabelle.h) must never be asked for there. False where that is not known.
    // Decided once per file system, as GrossKleinBlind.
    [[nodiscard]] virtual bool NurWindowsNamen(const Pfad& ordner) {
        (void)ordner;
        return false;
    }
    // NurWindowsNamen where the answer needs no write: nothing where only the probe of a medium through FUSE would
    // tell and this object has not made it. For a run that must not change the target (the dry run).
    [[nodiscard]] virtual std::optional<bool> NurWindowsNamenBekannt(const Pfad& ordner) {
        return NurWindowsNamen(ordner);
    }
    // Writes what records of cleared archive bits are kept apart from the files (the state files of file
    // systems that can hold no record themselves); called after each batch of cleared bits. Fails with
    // FsFehler naming "SetFileAttr" and the file that could not be written.
    virtual void Festschreiben() {}
    // Festschreiben after the last batch of a run: the records are written as there. What Festschreiben writes
    // besides for later runs alone (the rows of the folders' maps, which wait for the clock step of the ctimes just
    // given) may wait until the next Festschreiben or until the object goes, so that the run does not wait for it.
    virtual void FestschreibenZuletzt() { Festschreiben(); }

    // For restores, which write only below folders held open (a folder got with GetFolder or made with
    // MakeDir while no held folder covers it): every path below one is reached from it one name at a time,
    // never following a link. Fail with FsFehler (ENOSYS where a file-system object has no such operation).

    // The entry's state as lstat gives it (a link's target text read), or nothing when it is not there.
    [[nodiscard]] virtual std::optional<Eintragsstand> Stand(const Pfad& pfad);
    // Gives the entry (never followed) the owner and group (when `besitzer`), then the permission bits of
    // `stand.Modus` (not on a link), then the modification time, which becomes the access time too.
    virtual void SetzeStand(const Pfad& pfad, const Eintragsstand& stand, bool besitzer);
    // Removes the file or link (never a folder).
    virtual void Entferne(const Pfad& pfad);
    // Makes `neu` another name of the regular file `vorhanden` (a hard link, never following a link).
    virtual void Verknuepfe(const Pfad& vorhanden, const Pfad& neu);
};

} // namespace tresor
