#pragma once

#include "fs/system/Deskriptor.h"
#include "fs/system/Namensliste.h"
#include "fs/system/Vorarbeit.h"

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tresor::posix {

// Takes the looks at a folder's files (their lstat) ahead of the walk, on a thread of its own (Vorarbeit.h: in the
// walk's order, each handed out for its very entry only, never waited for, at most Vorlauf ahead). An entry counts
// as the one looked at only when the walk reaches it through the same folder (its device and inode): where it
// comes through another one (renamed, replaced), nothing looked at ahead is handed out and nothing more is looked
// at. Where the walk has caught up with the other thread, it takes the next Abstand entries itself. A look that
// failed is never handed out: the walk looks again and meets the failure itself.
//
// A look taken ahead is a moment older than the walk's asking: it answers as if the walk had passed a moment
// earlier. A caller uses it only where that answer is as good as the walk's own (see PosixDateisystem.cpp).
class Vorausblick {
public:
    // How many entries are looked at ahead of the walk at most.
    static constexpr std::size_t Vorlauf = Vorarbeit<struct stat>::Vorlauf;
    // Entries the walk takes itself once it has caught up with the other thread.
    static constexpr std::size_t Abstand = 4;
    // Folders of fewer files are not worth waking the other thread for: the walk looks at them itself.
    static constexpr std::size_t Mindestens = 4;

    // `gesehen`, where given, is called on the other thread after it looked at an entry (its name on disk), before
    // what it saw is stored for the walk (as it takes the next entry); a test waits there, or changes the tree
    // behind it.
    explicit Vorausblick(std::function<void(const std::string& name)> gesehen = {});

    // Begins the looks at the entries `namen` (names on disk) of the open folder `ordner` (taken over), whose
    // device and inode are `geraet` and `inode`; the walk will ask for them in this order. Drops the folder
    // begun before. False where nothing is looked at ahead (no names, no thread).
    bool Beginne(Deskriptor ordner, dev_t geraet, ino_t inode, std::shared_ptr<const Namensliste> namen);
    // True where the folder begun last is `geraet`/`inode` with the names `namen`, and the walk has asked for none
    // of them yet (nor was anything dropped): the looks begun then serve a walk that starts on these names now.
    bool Unberuehrt(dev_t geraet, ino_t inode, const Namensliste* namen) const {
        return geraet == geraet_ && inode == inode_ && ring_.Unberuehrt(namen);
    }
    // The look at the entry `index` of the folder begun last, where the other thread took it and it
    // succeeded, and where the walk reaches that entry through the folder `geraet`/`inode`. Nothing where the
    // caller looks itself: not yet stored, failed, another folder, or not an entry still to come (asked twice,
    // no folder begun). The entries before `index` are passed over either way.
    std::optional<struct stat> Hole(dev_t geraet, ino_t inode, std::size_t index);
    // Drops the folder begun last; its descriptor is closed once the other thread is done with it.
    void Beende() { ring_.Beende(); }

    // What the other thread did, for tests: entries it looked at and handed out, and entries the walk looked
    // at itself (asked but not handed out).
    using Zaehler = Vorarbeit<struct stat>::Zaehler;
    Zaehler Stand() const { return ring_.Stand(); }

private:
    // The folder begun last, as the walk's thread alone knows it.
    dev_t geraet_ = 0;
    ino_t inode_ = 0;
    Vorarbeit<struct stat> ring_;
};

} // namespace tresor::posix
