#pragma once

#include "fs/Dateisystem.h"
#include "fs/ablage/Attributablage.h"
#include "fs/ablage/Ordnertafeln.h"
#include "fs/posix/OffeneOrdner.h"

#include <sys/stat.h>

#include <optional>
#include <string_view>

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
//                 matches it, and always set while the store's DOS bits carry the archive bit (an SMB server
//                 sets it for writes over the network). A file of one name has its record on itself
//                 (Archivvermerk.h); a symbolic link and a file of several names have theirs on their folder
//                 (Verweisvermerk.h, Ordnertafeln.h). Read-only and system are never reported or stored for a
//                 link, hidden follows its name.

// Where the archive record of a file or link is found and what it is bound to.
struct Vermerkort {
    std::uint64_t Name = 0;         // Namenskennung of the entry's path within its file system
    int OrdnerFd = AT_FDCWD;        // its folder, held open (AT_FDCWD: none, the entry reads set)
    std::uint64_t OrdnerName = 0;   // Namenskennung of the folder's path within its file system
    std::string_view Eintrag;       // its name on disk
    Ordnertafeln* Tafeln = nullptr; // the folder tables of the file-system object
};

// The attribute value of a file or folder whose lstat data is `st`, reached through `ort`. `name` is its last
// name (a dot name is hidden). `vermerkort` tells where a file's record is; without it a file reads set.
int Attributwert(Attributablage& ablage, const Ort& ort, std::string_view name, const struct stat& st,
                 const Vermerkort* vermerkort = nullptr);

// The archive bit alone of the regular file whose lstat data is `st` (what Attributwert would report as bit 32),
// reached through `ort`. Where the file's record (or its folder's table) matches, user.DOSATTRIB is not read:
// the record binds the file's ctime, which every later write of user.DOSATTRIB moves on (the kernel stamps
// each change of an extended attribute), and a record is only ever written after the archive bit was taken
// out of user.DOSATTRIB (SchreibeAttributwert). So a DOSATTRIB that carries the archive bit while the record
// matches can only have been written within the record's own ctime window (Archivvermerk.h), which the
// record lets pass for any other extended attribute as well. Where the store keeps the bits itself, they
// are read. `vermerk`, where given, is the file's record as read a moment before (Vorleser.h): the ctime in
// `st` then tells whether it is still the file's record.
bool Archivbit(Attributablage& ablage, const Ort& ort, const struct stat& st, const Vermerkort* vermerkort,
               const std::optional<Archivvermerk>* vermerk = nullptr);

// The attribute value of the symbolic link whose lstat data is `st`: hidden for a dot name, archive unless
// its folder's record holds it as it is now.
int Verweiswert(Attributablage& ablage, const struct stat& st, const Vermerkort& vermerkort);

// Gives the entry the attribute value `wert`: the read-only bit in the permission bits, hidden and system
// in the store, the archive bit as the record. Clearing the archive bit records the state `stand` when it is
// valid (the state a copy was taken from), else the entry's present state `st`; where the entry's present
// state is no longer `stand` (it changed after its copy) the record is removed instead, so it reads set.
// Setting the archive bit removes the record. The store needs write permission on the entry: a read-only
// file or folder of the user's own gets it for the moment and its final mode afterwards. Fails with FsFehler
// naming the operation "SetFileAttr" and `pfad` (also where the record has no room: E2BIG, ENOSPC).
void SchreibeAttributwert(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort, const struct stat& st,
                          int wert, const Quellstand& stand, const Vermerkort& vermerkort);

} // namespace tresor::posix
