#pragma once

#include "fs/Dateisystem.h"
#include "fs/ablage/Attributablage.h"
#include "fs/ablage/Ordnerkarte.h"
#include "fs/ablage/Ordnertafeln.h"
#include "fs/posix/OffeneOrdner.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_set>

namespace tresor::posix {

// What the attribute value of an entry means on Linux, read and written through the store of its file
// system (Attributablage). No other bit than these is ever reported:
//   1  read-only  the owner has no write permission (S_IWUSR). Setting the bit removes every write
//                 permission; clearing it gives the owner write permission.
//   2  hidden     the name begins with a dot ("." and ".." excepted), or the store keeps the hidden bit.
//                 A dot name is hidden whatever the store says, so the hidden bit of a dot name cannot be
//                 cleared.
//   4  system     the store keeps the system bit.
//   16 directory  the entry is a directory (lstat; symbolic links are never followed).
//   32 archive    regular files and symbolic links, never folders: set unless the entry's record still
//                 matches it exactly, and always set while the store's DOS bits carry the archive bit (an SMB
//                 server sets it for writes over the network). A file of one name has its record on itself
//                 (Archivvermerk.h), which matches but for the ctime its own write gave; the exact state after
//                 that write is known to the object that wrote it (Vermerkte, for its batch) and to the folder's map
//                 (Ordnerkarte.h), and the file reads clear in that very state only; a symbolic link and a file of
//                 several names have theirs on their folder (Verweisvermerk.h, Ordnertafeln.h). Read-only and system
//                 are never reported or stored for a link, hidden follows its name.

// The files whose own record (Archivvermerk.h) one file-system object wrote since its last batch was written
// (Festschreiben), each in the state that write left it: device, inode, the ctime read back right after the
// write, and the key of its name. Such a file reads archive clear for that object while it is in that very
// state; any change after the read-back gives it another ctime. (The record alone cannot tell: it cannot hold
// the ctime its own write gives.) A run asks for a marked file again only within its batch (the check of each
// copy); once the batch is written, its folder's map (Ordnerkarte.h) holds the states it has room for, and the
// target's record of the source holds every one. So what is kept is one batch, whatever the size of a folder
// or the store of its file system.
class Vermerkte {
public:
    void Merke(const struct stat& st, std::uint64_t name);
    [[nodiscard]] bool Kennt(const struct stat& st, std::uint64_t name) const;
    // Forgets every state: the batch was written.
    void Vergiss();
    [[nodiscard]] std::size_t Anzahl() const { return staende_.size(); }

private:
    struct Stand {
        dev_t Geraet;
        ino_t Inode;
        std::int64_t CtimeNs;
        std::uint64_t Name;
        bool operator==(const Stand&) const = default;
    };
    struct Streuung {
        std::size_t operator()(const Stand& s) const noexcept;
    };
    std::unordered_set<Stand, Streuung> staende_;
};

// Where the archive record of a file or link is found and what it is bound to.
struct Vermerkort {
    std::uint64_t Name = 0;             // Namenskennung of the entry's path within its file system
    int OrdnerFd = AT_FDCWD;            // its folder, held open (AT_FDCWD: none, the entry reads set)
    std::uint64_t OrdnerName = 0;       // Namenskennung of the folder's path within its file system
    std::string_view Eintrag;           // its name on disk
    Ordnertafeln* Tafeln = nullptr;     // the folder tables of the file-system object
    const Vermerkte* Gemerkt = nullptr; // the records the file-system object wrote, in the state they left
    bool KarteFragen = true;            // false: the folder's map was asked already (Kartenstand)
    const Kartenstand* Karte = nullptr; // that map, asked for the earlier rows where the record matched
};

// The attribute value of a file or folder whose lstat data is `st`, reached through `ort`. `name` is its last
// name (a dot name is hidden). `vermerkort` tells where a file's record is; without it a file reads set.
int Attributwert(Attributablage& ablage, const Ort& ort, std::string_view name, const struct stat& st,
                 const Vermerkort* vermerkort = nullptr);

// The archive bit of a file of one name by its own record: clear where the record matches exactly, or where
// it matches but for the ctime and the file's exact state is one known to be backed up (written through this
// object, Vermerkte, or a row of its folder's map, Ordnerkarte.h). `bisAufCtime`, where given, is set when the
// bit is set only for the ctime: the record matches in all else, and whoever knows the file's exact state
// otherwise (the target's record of the source) may take it as backed up.
bool VermerkArchiv(const std::optional<Archivvermerk>& vermerk, const struct stat& st, const Vermerkort& vermerkort,
                   bool* bisAufCtime = nullptr);

// The archive bit alone of the regular file whose lstat data is `st` (what Attributwert would report as bit 32),
// reached through `ort`. Where the file reads clear by its record (or its folder's table), user.DOSATTRIB is
// not read: that binds the file's exact ctime, which every later write of user.DOSATTRIB moves on (the kernel
// stamps each change of an extended attribute), and a record is only ever written after the archive bit was
// taken out of user.DOSATTRIB (SchreibeAttributwert). Where the store keeps the bits itself, they are read.
// `vermerk`, where given, is the file's record as read a moment before (Vorleser.h): the ctime in `st` then
// tells whether it is still the file's record. `bisAufCtime` as for VermerkArchiv.
bool Archivbit(Attributablage& ablage, const Ort& ort, const struct stat& st, const Vermerkort* vermerkort,
               const std::optional<Archivvermerk>* vermerk = nullptr, bool* bisAufCtime = nullptr);

// The attribute value of the symbolic link whose lstat data is `st`: hidden for a dot name, archive unless
// its folder's record holds it as it is now.
int Verweiswert(Attributablage& ablage, const struct stat& st, const Vermerkort& vermerkort);

// Gives the entry the attribute value `wert`: the read-only bit in the permission bits, hidden and system
// in the store, the archive bit as the record. Clearing the archive bit records the state `stand` when it is
// valid (the state a copy was taken from), else the entry's present state `st`; where the entry's present
// state is no longer `stand` (it changed after its copy) the record is removed instead, so it reads set.
// Setting the archive bit removes the record. The store needs write permission on the entry: a read-only
// file or folder of the user's own gets it for the moment and its final mode afterwards. Fails with FsFehler
// naming the operation "SetFileAttr" and `pfad` (also where the record has no room: E2BIG, ENOSPC). Returns
// true where a file's own record was written on it (Archivvermerk.h): read back, the file's state matches
// the record but for the ctime where its time, size and inode are still those of `st`.
// `dosGelesen`, where given, is user.DOSATTRIB as read a moment before on the same entry (else it is read here).
bool SchreibeAttributwert(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort, const struct stat& st,
                          int wert, const Quellstand& stand, const Vermerkort& vermerkort,
                          const std::optional<std::uint32_t>* dosGelesen = nullptr);

// What LoescheArchivbit did: whether the archive bit read set (else nothing was written), and whether the file's
// own record was written (as SchreibeAttributwert returns it).
struct Archivbitloeschung {
    bool Gesetzt = false;
    bool Vermerkt = false;
};

// Attributwert of the entry, then, where it has the archive bit, SchreibeAttributwert with that value less the
// archive bit: what clearing the archive bit alone does, with one read of user.DOSATTRIB for both (the value's
// hidden and system bits and the bits written back are the same read; `dosGelesen`, where given, is that read,
// made a moment before while the entry was in the state `st`; `ohneVermerk`: the entry is known to hold no
// archive record in that state, which is then not read). Fails as SchreibeAttributwert.
Archivbitloeschung LoescheArchivbit(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort,
                                    const struct stat& st, const Quellstand& stand, const Vermerkort& vermerkort,
                                    const std::optional<std::uint32_t>* dosGelesen = nullptr, bool ohneVermerk = false);

} // namespace tresor::posix
