#pragma once

#include "fs/Attributablage.h"
#include "fs/Dateisystem.h"
#include "fs/OffeneOrdner.h"

#include <sys/stat.h>

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
//   32 archive    regular files and symbolic links, never folders: set unless the file carries an archive
//                 record that still matches it (Archivvermerk.h), and always set while the store's DOS bits
//                 carry the archive bit (an SMB server sets it for writes over the network). A symbolic link
//                 reads set unless its folder's link record holds it (Verweisvermerk.h); read-only and
//                 system are never reported or stored for a link, hidden follows its name.

// The attribute value of a file or folder whose lstat data is `st`, reached through `ort`. `name` is its last
// name (a dot name is hidden). `voll`, its whole POSIX path, is needed only for a file of several names
// (st_nlink > 1): each name is backed up and recorded apart.
int Attributwert(Attributablage& ablage, const Ort& ort, std::string_view name, const struct stat& st,
                 std::string_view voll = {});

// The attribute value of the symbolic link `name` (its name on disk) in the open folder `ordnerFd`, whose lstat
// data is `st`: hidden for a dot name, archive unless the folder's record matches the folder as it is now and
// holds the link's key. `ablage` is the store of the folder's file system.
int Verweiswert(Attributablage& ablage, int ordnerFd, std::string_view name, const struct stat& st);

// Gives the entry the attribute value `wert`: the read-only bit in the permission bits, hidden and system
// in the store, the archive bit as the record. Clearing the archive bit records `stand` when it is valid
// (the state a copy was taken from), else the entry's present state `st`; setting it removes the record.
// The store needs write permission on the entry: a read-only file or folder of the user's own gets it for
// the moment and its final mode afterwards. Fails with FsFehler naming the operation "SetFileAttr" and
// `pfad`; a link record that has no room left is left as it was (the link keeps its archive bit).
void SchreibeAttributwert(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort, const struct stat& st,
                          int wert, const Quellstand& stand, std::string_view voll);

} // namespace tresor::posix
