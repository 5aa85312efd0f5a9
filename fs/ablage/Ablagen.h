#pragma once

#include "fs/ablage/Attributablage.h"
#include "fs/ablage/EigeneBitsAblage.h"
#include "fs/ablage/XattrAblage.h"
#include "fs/ablage/ZustandsAblage.h"

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tresor::posix {

// Chooses for each file system the store of its DOS bits and archive records (Attributablage), once per
// device, so that the operations never ask which kind it is:
// - the kernel's vfat, msdos and exFAT drivers: their own DOS bits through the FAT attribute ioctls;
// - the kernel's NTFS driver (ntfs3): its own DOS bits in system.dos_attrib;
// - NTFS through FUSE (ntfs-3g): its own DOS bits in system.ntfs_attrib_be (found by asking for it, as the
//   mount table calls every FUSE block file system alike "fuseblk");
// - any other file system that holds user extended attributes: those (XattrAblage);
// - one that holds neither (exFAT through FUSE, some network shares): a state file of the user's
//   (ZustandsAblage) in $XDG_STATE_HOME/tresor-ix/ (by default ~/.local/state/tresor-ix/), named after the
//   file system's UUID ("<UUID>.zustand", from /dev/disk/by-uuid or, where that is missing, the device's
//   own superblock as far as it can be read), else after its device and size ("geraet-<device
//   path>-<blocks>.zustand"): a name that stays as long as the medium is mounted from the same device node.
//   A name that another medium comes to share can only make files of that medium read as archive set or,
//   where name, size and times all match, as backed up: the records hold all three.
// Where a kind cannot be made out (a failing call), the extended attributes are taken.
//
// It also knows per device whether the file system ignores letter case (GrossKleinBlind).
class Ablagen {
public:
    Ablagen();
    ~Ablagen();
    Ablagen(const Ablagen&) = delete;
    Ablagen& operator=(const Ablagen&) = delete;

    // The store of the file system `geraet`; `ort` names an entry of it, should the file system have to be
    // asked what it is.
    Attributablage& Fuer(dev_t geraet, const Ort& ort);

    // True when `ablage` is the store of user extended attributes (whose records another thread may read).
    [[nodiscard]] bool InErweitertenAttributen(const Attributablage& ablage) const { return &ablage == &xattr_; }

    // True when the file system `geraet` ignores letter case (vfat, exFAT, file systems through FUSE or the
    // network that answer a name in other case). Known from the type of file system where it tells (the
    // usual Linux file systems never ignore case: no call at all after the first for a device); else found
    // out from the entry `name` of the open folder `ordnerFd` (which exists): its name in other case names
    // an entry there and the listing holds no such name. Undecided (false) as long as only names without
    // letters have been seen. Folders that ignore case on a file system that otherwise does not (ext4's
    // casefold) are not told apart.
    bool GrossKleinBlind(dev_t geraet, int ordnerFd, const char* name);
    // The same, nothing while it is undecided.
    std::optional<bool> GrossKleinBlindBekannt(dev_t geraet, int ordnerFd, const char* name);

    // Writes the state files whose records changed. False when one could not be written; `datei` then
    // names it and errno tells why.
    [[nodiscard]] bool Festschreiben(std::string& datei);

private:
    std::unique_ptr<Attributablage> Waehle(dev_t geraet, const Ort& ort);

    XattrAblage xattr_;
    Bitaufrufe aufrufe_;
    std::map<dev_t, Attributablage*> gewaehlt_;
    std::vector<std::unique_ptr<Attributablage>> eigene_;
    std::vector<ZustandsAblage*> zustaende_;
    std::map<dev_t, bool> blind_;
};

// The folder of the state files: $XDG_STATE_HOME/tresor-ix when XDG_STATE_HOME is an absolute path, else
// $HOME/.local/state/tresor-ix.
std::string Zustandsordner();

// Case-blind comparison of two names (UTF-8; letters of any script through their upper-case forms, other
// bytes as they are).
bool GleichOhneGrossKlein(std::string_view a, std::string_view b);

} // namespace tresor::posix
