#pragma once

#include "fs/ablage/Attributablage.h"

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace tresor::posix {

// The archive bits of the entries whose record lives on their folder (Verweisvermerk.h): symbolic links and
// regular files of several names. For each folder met, the table of those entries as the folder holds them
// (name and Eintragskennung), read once and read again when the folder's modification time moves on, and the
// entries of it that were backed up through this object.
//
// An entry reads archive set unless its key in the table is its present one and either the folder's record
// matches the table (same folder inode and path, same digest) or the entry was backed up through this object
// in that very state. Clearing its bit marks the entry as backed up in its present state; once every entry of
// the table is marked, the record is written. So a folder of thousands of links gets one record of 32 bytes,
// written once, and a run that stops before the last of them leaves no record: the next run copies them all
// again. The table of one object may miss a change that a link or file makes to its status without touching
// the folder while the same object reads it (the entry itself is always read afresh): the next run sees it.
class Ordnertafeln {
public:
    // True when the entry `name` (on disk) of the open folder `ordnerFd`, whose lstat data is `st`, reads
    // archive set. `ordnerName` is the Namenskennung of the folder's path within its file system. An entry that
    // cannot be looked at reads set.
    bool Archiv(Attributablage& ablage, int ordnerFd, std::uint64_t ordnerName, std::string_view name,
                const struct stat& st);
    // Marks the entry as backed up in the state `st` (its present one) and writes the folder's record when every
    // entry of the table is. Returns 0, or the error number of the failed record write (the entry stays marked
    // for this object; the folder has no record).
    [[nodiscard]] int Erledigt(Attributablage& ablage, int ordnerFd, std::uint64_t ordnerName, std::string_view name,
                               const struct stat& st);
    // The entry reads set again: its mark and the folder's record go. Returns 0 or the error number.
    [[nodiscard]] int Offen(Attributablage& ablage, int ordnerFd, std::string_view name);

    // The key of an entry of the table in the state `st`.
    static std::uint64_t Kennung(std::string_view name, const struct stat& st);
    // True when an entry of this kind has its record on its folder.
    static bool AufDemOrdner(const struct stat& st) {
        return S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink > 1);
    }

private:
    struct Tafel {
        std::int64_t OrdnerMtimeNs = 0;
        std::map<std::string, std::uint64_t> Eintraege; // name on disk -> key as read
        std::map<std::string, std::uint64_t> Erledigt;  // name -> key it was backed up in
        bool Gelesen = false;
        bool Lesbar = true; // false: the folder could not be read
    };
    // The table of the open folder, read afresh when the folder changed; nullptr when the folder cannot be
    // looked at. `ost` receives the folder's lstat data.
    Tafel* Finde(int ordnerFd, struct stat& ost);
    static void Lies(int ordnerFd, Tafel& tafel);
    static std::uint64_t Summe(const Tafel& tafel);
    static int SchreibeAufOrdner(Attributablage& ablage, int ordnerFd, const struct stat& ost,
                                 const Verweisvermerk* vermerk);

    std::map<std::pair<dev_t, ino_t>, Tafel> tafeln_;
};

} // namespace tresor::posix
