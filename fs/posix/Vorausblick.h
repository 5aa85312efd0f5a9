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
// The looks at the files of the walk's next folder may follow on (Anhaengen): the other thread goes on with them
// once those of the folder begun are taken, so that the walk finds them taken when it gets there.
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
    // Has the looks at the entries `namen` of the open folder `ordner` (taken over), `geraet`/`inode`, follow on
    // those of the folder begun last (or of the one appended last, once the walk is in it). False where nothing
    // is looked at ahead for them: no folder begun, the walk not yet in the one appended before, the same folder
    // again, no names.
    bool Anhaengen(Deskriptor ordner, dev_t geraet, ino_t inode, std::shared_ptr<const Namensliste> namen);
    // True where the folder begun or appended last, or the one before it, is `geraet`/`inode` with the names
    // `namen`, and the walk has asked for none of them yet (nor was anything dropped): the looks begun then serve
    // a walk that starts on these names now.
    bool Unberuehrt(dev_t geraet, ino_t inode, const Namensliste* namen) const {
        const Teil* teil = Finde(geraet, inode);
        return teil != nullptr && teil->Namen == namen && ring_.Unberuehrt(namen);
    }
    // The look at the entry `index` of the folder `geraet`/`inode` (begun or appended), where the other thread
    // took it and it succeeded. Nothing where the caller looks itself: not yet stored, failed, another folder, or
    // not an entry still to come (asked twice, no folder begun). The entries before it are passed over either way;
    // an entry reached through another folder drops everything begun.
    std::optional<struct stat> Hole(dev_t geraet, ino_t inode, std::size_t index);
    // Drops the folder begun last; its descriptor is closed once the other thread is done with it.
    void Beende() { ring_.Beende(); }

    // What the other thread did, for tests: entries it looked at and handed out, and entries the walk looked
    // at itself (asked but not handed out).
    using Zaehler = Vorarbeit<struct stat>::Zaehler;
    Zaehler Stand() const { return ring_.Stand(); }

private:
    // A folder of the job, as the walk's thread alone knows it: its entries are the ring's from Beginn on.
    struct Teil {
        dev_t Geraet = 0;
        ino_t Inode = 0;
        const Namensliste* Namen = nullptr;
        std::size_t Beginn = 0;
    };
    const Teil* Finde(dev_t geraet, ino_t inode) const;
    // The folder begun or appended last, and the one before it (where it was appended).
    Teil letzter_;
    std::optional<Teil> davor_;
    Vorarbeit<struct stat> ring_;
};

} // namespace tresor::posix
