#pragma once

#include "fs/ablage/Archivvermerk.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Namensliste.h"
#include "fs/system/Vorarbeit.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tresor::posix {

// Reads the archive records of a folder's files ahead, on a thread of its own (Vorarbeit.h: in the walk's order,
// each handed out for its very entry only, never waited for, at most Vorlauf ahead), so that on a machine of two
// cores the walk's thread looks at each file (its lstat) while the other reads the records. Where the other thread
// has not yet read an entry, or is on it right now, Hole reads it itself; having caught up, the walk then also
// keeps the next half of what lies ahead for itself, and the other thread goes on beyond it.
//
// A record read ahead is older than the lstat the caller takes afterwards; the record binds the file's ctime,
// which every later write of the record (or of anything else of the file) moves on, so a record that still
// matches that lstat is the file's record at the moment of the lstat (Archivbit in Attributwert.h). Reads
// never fail here: an entry that cannot be read has no record, as for the caller's own read.
class Vorleser {
public:
    // Reads the record of the entry `name` of the open folder `ordnerFd`; called on either thread.
    using Lesen = std::function<std::optional<Archivvermerk>(int ordnerFd, const char* name)>;
    // How many entries are read ahead of the walk at most.
    static constexpr std::size_t Vorlauf = Vorarbeit<std::optional<Archivvermerk>>::Vorlauf;

    // Without `lesen`, the records are read from the extended attribute user.tresor-ix.archiv. `gelesen`, where
    // given, is called on the other thread after it read an entry (its name on disk); a test waits there.
    explicit Vorleser(Lesen lesen = {}, std::function<void(const std::string& name)> gelesen = {});

    // Begins reading ahead the entries `namen` (names on disk) of the open folder `ordnerFd`, from the index
    // `ab` on; the walk will ask for them in this order. The descriptor stays the caller's (a copy is read
    // through). Drops the folder begun before. False where nothing is read ahead (no copy of the descriptor,
    // no thread).
    bool Beginne(int ordnerFd, std::shared_ptr<const Namensliste> namen, std::size_t ab);
    // The same for names given one string each (a short list).
    bool Beginne(int ordnerFd, const std::vector<std::string>& namen, std::size_t ab);
    // The record of the entry `index` of the folder begun last, as read since Beginne: taken from the other
    // thread where it is done, else read here. Nothing (the outer optional) when the index is not one still
    // to come of that folder (asked twice, or no folder begun).
    std::optional<std::optional<Archivvermerk>> Hole(std::size_t index);
    // Drops the folder begun last; its descriptor copy is closed once the other thread is done with it.
    void Beende() { ring_.Beende(); }

    // What the other thread did, for tests: entries it read, and entries the walk read itself.
    struct Zaehler {
        std::uint64_t Vorgelesen = 0;
        std::uint64_t Selbst = 0;
        bool Wartet = false; // the other thread sleeps
    };
    Zaehler Stand() const;

private:
    const Lesen lesen_; // used by the ring's thread: made before it, gone after it
    Vorarbeit<std::optional<Archivvermerk>> ring_;
};

} // namespace tresor::posix
