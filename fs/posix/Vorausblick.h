#pragma once

#include "fs/system/Deskriptor.h"
#include "fs/system/Namensliste.h"

#include <sys/stat.h>

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tresor::posix {

// Takes the looks at a folder's files (their lstat) ahead of the walk, on a thread of its own, in the order in
// which the walk asks for them, so that on a machine of two cores the walk's thread does the rest of its work
// on each file (records, maps, the index) while the other looks at the next ones. Results are handed out in
// the walk's order only, each for the very entry it was taken for: the same folder (its device and inode, as
// the walk reaches it), the same name, the same listing. Where the other thread has not yet stored an entry,
// the caller looks at it itself, so the walk never waits; where it has caught up with the other thread, it
// takes the next few entries itself as well and the other thread goes on beyond them. At most Vorlauf entries
// are looked at ahead of the walk, so memory stays flat whatever the folder holds. A look that failed is
// never handed out: the walk looks again and meets the failure itself.
//
// A look taken ahead is a moment older than the walk's asking: it answers as if the walk had passed a moment
// earlier. A caller uses it only where that answer is as good as the walk's own (see PosixDateisystem.cpp).
class Vorausblick {
public:
    // How many entries are looked at ahead of the walk at most.
    static constexpr std::size_t Vorlauf = 256;
    // Entries the walk takes itself once it has caught up with the other thread.
    static constexpr std::size_t Abstand = 4;
    // Folders of fewer files are not worth waking the other thread for: the walk looks at them itself.
    static constexpr std::size_t Mindestens = 4;

    // `gesehen`, where given, is called on the other thread after it looked at an entry (its name on disk), before
    // what it saw is stored for the walk (as it takes the next entry); a test waits there, or changes the tree
    // behind it.
    explicit Vorausblick(std::function<void(const std::string& name)> gesehen = {});
    ~Vorausblick();
    Vorausblick(const Vorausblick&) = delete;
    Vorausblick& operator=(const Vorausblick&) = delete;

    // Begins the looks at the entries `namen` (names on disk) of the open folder `ordner` (taken over), whose
    // device and inode are `geraet` and `inode`; the walk will ask for them in this order. Drops the folder
    // begun before. False where nothing is looked at ahead (no names, no thread).
    bool Beginne(Deskriptor ordner, dev_t geraet, ino_t inode, std::shared_ptr<const Namensliste> namen);
    // The look at the entry `index` of the folder begun last, where the other thread took it and it
    // succeeded, and where the walk reaches that entry through the folder `geraet`/`inode`. Nothing where the
    // caller looks itself: not yet stored, failed, another folder, or not an entry still to come (asked twice,
    // no folder begun). The entries before `index` are passed over either way.
    std::optional<struct stat> Hole(dev_t geraet, ino_t inode, std::size_t index);
    // Drops the folder begun last; its descriptor is closed once the other thread is done with it.
    void Beende();

    // What the other thread did, for tests: entries it looked at and handed out, and entries the walk looked
    // at itself (asked but not handed out).
    struct Zaehler {
        std::uint64_t Vorab = 0;
        std::uint64_t Selbst = 0;
        bool Wartet = false; // the other thread sleeps
    };
    Zaehler Stand() const;

private:
    struct Auftrag {
        Deskriptor Ordner;
        dev_t Geraet = 0;
        ino_t Inode = 0;
        std::shared_ptr<const Namensliste> Namen;
    };
    enum class Zustand : std::uint8_t { Leer, InArbeit, Fertig, Fehlschlag };
    struct Platz {
        std::size_t Index = 0;
        Zustand Was = Zustand::Leer;
        struct stat St {};
    };

    void Arbeite();
    bool KannArbeiten() const;

    std::function<void(const std::string&)> gesehen_;
    mutable std::mutex m_;
    std::condition_variable arbeit_;
    std::shared_ptr<Auftrag> auftrag_;
    std::uint64_t generation_ = 0;
    std::size_t naechster_ = 0;  // the next entry not yet begun by anyone
    std::size_t verbraucht_ = 0; // entries before it were asked for (or passed over)
    bool wartet_ = false;        // the other thread sleeps
    bool ende_ = false;
    std::array<Platz, Vorlauf> plaetze_;
    Zaehler zaehler_;
    std::thread faden_;
};

} // namespace tresor::posix
