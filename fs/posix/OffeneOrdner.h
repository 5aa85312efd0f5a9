#pragma once

#include "fs/Laufwerkstabelle.h"
#include "fs/Pfad.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Ort.h"
#include "fs/system/Systempfad.h"

#include <sys/stat.h>

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tresor::posix {

// An entry as the system calls name it: relative to its folder, held open for the next operations in the
// same folder, or as a whole path where the path ends in no name of its own (a drive root, ".", "..", a
// trailing backslash). A held root of the walks (see OffeneOrdner::Halte) is named as "." in its own
// descriptor. Filled by OffeneOrdner::Verorte; valid while the OffeneOrdner that filled it lives.
class Eintragsort {
public:
    Ort Wo() const { return ganz_ ? Ort(*ganz_) : Ort(ordner_, name_.c_str()); }
    // The folder descriptor, AT_FDCWD for a whole path.
    int Ordner() const { return ganz_ ? AT_FDCWD : ordner_; }
    // The name in that folder on disk, or the whole path.
    const char* Name() const { return ganz_ ? ganz_->c_str() : name_.c_str(); }
    bool Ganz() const { return ganz_.has_value(); }
    // The device of the folder (0 for a whole path).
    dev_t OrdnerGeraet() const { return ordnerGeraet_; }
    // The inode of the folder (0 for a whole path).
    ino_t OrdnerInode() const { return ordnerInode_; }
    // True when the entry is the open file `fd` itself (see Selbst): Name() is then empty.
    bool IstSelbst() const { return !ganz_ && name_.empty(); }
    // The entry that the open descriptor `fd` stands for, on the device `geraet`: the calls then act on that
    // very file, whatever its path names meanwhile. The descriptor stays the caller's.
    static Eintragsort Selbst(int fd, dev_t geraet) {
        Eintragsort e;
        e.ordner_ = fd;
        e.ordnerGeraet_ = geraet;
        return e;
    }

private:
    friend class OffeneOrdner;
    int ordner_ = AT_FDCWD;
    dev_t ordnerGeraet_ = 0;
    ino_t ordnerInode_ = 0;
    std::string ordnerpfad_; // the key of the held-open folder, empty for a whole path
    std::string name_;
    std::optional<Systempfad> ganz_;
};

// The held-open folders through which every entry is reached.
//
// Roots: a folder handed to Halte (the source folder of a walk, the backup folder from its creation) is held
// for the life of this object. Every path below a held root is reached from its descriptor one name at a
// time, each folder opened with O_NOFOLLOW | O_DIRECTORY, so that a folder swapped for a symbolic link, or a
// link anywhere on the way, fails the call (ELOOP, ENOTDIR) instead of leading it outside the root. A folder
// renamed away while it is held stays the folder the calls go to: nothing a user does to a tree below a root
// makes a call reach an entry outside that root. Paths outside every root (the target folder, a source before
// its walk began) are reached as the kernel resolves their whole path.
//
// Cache: folders met on the way stay open, keyed by their program path, the most recently used first, up to
// a share of the process's descriptor limit (Platz; the older half is let go where the process runs out
// of descriptors all the same); a path is resolved from its nearest held ancestor, so the
// lookups of a walk down a tree cost one open per level and never a walk of the whole path, and a tree whose
// folders all fit answers every further lookup with the one call on the entry itself. A folder that is removed
// meanwhile fails the calls as its path would (see Erneuert for one made anew), and one renamed away is found
// out by AmOrt where it matters (the copy of a file; on a local file system first by Nachsehen, one look at the
// file its path names now); the descriptors are closed with this object.
class OffeneOrdner {
public:
    // The drive table translates program paths; it must outlive this object.
    explicit OffeneOrdner(const Laufwerkstabelle& laufwerke) : laufwerke_(laufwerke) {}

    // Fills `ort` for the program path. Returns 0, or the error number of the way to the entry's folder
    // (which the path-based call would have met as well; below a root also ELOOP or ENOTDIR for a link on
    // the way). A path not in program form fails with FsFehler (Unbrauchbar).
    [[nodiscard]] int Verorte(const char* operation, const Pfad& pfad, Eintragsort& ort);
    // Verorte, failing with FsFehler where the way to the folder fails.
    void VerorteOderWirf(const char* operation, const Pfad& pfad, Eintragsort& ort);
    // After a call through a held-open folder found no entry: true when that folder was removed since it was
    // opened (a folder of that path may have been made anew), in which case it is opened again and `ort` is
    // filled anew, so that the call can be repeated as the path would have been resolved now. A root is never
    // opened anew.
    [[nodiscard]] bool Erneuert(const char* operation, const Pfad& pfad, Eintragsort& ort);
    // True when the folder through which `ort` reached its entry is still the folder its program path names
    // now, looked up afresh from its root without following links. A root, and an entry named by its whole
    // path, always are. Where it is not (the folder, or one above it, was renamed away since it was opened),
    // it, every folder held below it and every one held on the way to it from its root are let go, so that the
    // next Verorte resolves the path anew from the root, and the caller does what it did again: an entry read
    // through such a folder is not the entry of that path.
    [[nodiscard]] bool AmOrt(const Eintragsort& ort);
    // The entry `ort` names, as its program path names it now: looked up afresh from its root without following
    // a link (the last name included), and looked at. Nothing where its folder is a root or it is named by its
    // whole path (where AmOrt is always true), or where the lookup fails. An entry found here that is the very
    // file read through `ort`, in the very state it was read in, is that path's file: whatever happened to its
    // folder meanwhile, that file has the path now (moving or linking it would have moved its ctime).
    [[nodiscard]] std::optional<struct stat> Nachsehen(const Eintragsort& ort);
    // lstat of the entry; fails with FsFehler naming the operation and the path.
    struct stat StatAn(const char* operation, const Pfad& pfad, Eintragsort& ort);

    // Opens the folder `pfad` itself with `flags` (O_DIRECTORY, O_NOFOLLOW and O_CLOEXEC are added): through
    // its held folder, or from its root's descriptor when it is a root. Returns the descriptor, or an invalid
    // one with errno set.
    Deskriptor OeffneOrdner(const char* operation, const Pfad& pfad, int flags);

    // Holds the open folder `fd` (a folder, never a link) as a root of the walks for the program path
    // `pfad` (no trailing backslash but a drive root's). Its device and inode are `st`'s.
    void Halte(const Pfad& pfad, Deskriptor fd, const struct stat& st);
    // Lets go of the root `pfad` and of every folder held below it (a root that was removed, made anew).
    void LasseLos(const Pfad& pfad);
    // The held root of that path, or -1.
    [[nodiscard]] int Wurzel(const Pfad& pfad) const;
    // True when the path lies below a held root or is one.
    [[nodiscard]] bool UnterWurzel(const Pfad& pfad) const;

private:
    struct OffenerOrdner {
        Pfad Programmpfad;
        std::uint64_t Schluessel; // hash of the program path
        Deskriptor Fd;
        dev_t Geraet;
        ino_t Inode;
        bool Wurzel;      // never dropped from the cache
        bool UnterWurzel; // reached from a root one name at a time
    };
    using Liste = std::list<OffenerOrdner>;
    // How many folders stay open: an eighth of the descriptor limit, at least 16, at most 16384.
    static std::size_t Platz();
    // After an open failed for want of descriptors: lets go of the older half of the folders held but the
    // roots and `behalten`; true when any went, so that the open is worth repeating.
    bool MachePlatz(const OffenerOrdner* behalten);
    const std::size_t hoechstens_ = Platz();

    // The held folder of the program path `ordnerpfad`, opening it (and caching it) where needed. Returns
    // nullptr with the error number in `fehler`.
    OffenerOrdner* Ordnerfuer(const char* operation, const Pfad& pfad, std::string_view ordnerpfad, int& fehler);
    OffenerOrdner* Finde(std::string_view programmpfad, std::uint64_t schluessel);
    OffenerOrdner& Merke(OffenerOrdner neu);
    void Vergiss(Liste::iterator eintrag);
    // Vergiss for every held folder that meets `bedingung`.
    template <typename Bedingung> void VergissWenn(Bedingung bedingung);
    // The longest root that covers the path, or nullptr.
    const OffenerOrdner* WurzelUeber(std::string_view pfad) const;
    // The names of the held folder `ordnerpfad` below the root `wurzel`, as they are on disk, joined by "/".
    static std::string Relativ(const OffenerOrdner& wurzel, std::string_view ordnerpfad);

    const Laufwerkstabelle& laufwerke_;
    Liste offen_; // most recently used first
    std::unordered_multimap<std::uint64_t, Liste::iterator> index_;
    std::vector<const OffenerOrdner*> wurzeln_; // in offen_, never dropped
};

} // namespace tresor::posix
