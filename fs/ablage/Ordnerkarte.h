#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tresor::posix {

// A folder's map of its backed-up files: a shortcut past the archive records of the files of one name
// (Archivvermerk.h) for a walk that looks at every file of a folder. The records stay the truth; the map only
// spares reading them for files that have not changed since it was written.
//
// A row stands for a file whose record matched when the walk looked at it: a hash of the file's name on disk,
// its inode and its status-change time (ctime). The kernel moves a file's ctime on with every change of its
// content, size, permission bits, owner, links and extended attributes (its record included), so a file whose
// name, inode and ctime still give a row of the map is in the state its record matched in. A row is only taken
// when the file's ctime tells that state from every later one (StempelEindeutig, against the coarse clock read
// before the folder was listed): a change made after the walk's look gets another ctime, on file systems of
// any time step. Anything else reads the record as before.
//
// It is kept in the extended attribute user.tresor-ix.karte of the folder, written by the walk once it has
// looked at every entry of the folder in listing order and found the rows changed. Its value is binary: the
// form (one byte, 1), the folder's inode and the key of the folder's path within its file system
// (Namenskennung), each 8 bytes little-endian, then the rows, 8 bytes each, ascending, then the user's seal over
// all of it (Siegel.h): a row is a hash anyone can compute, and the owner of a folder where another user's file
// lies could otherwise write the row of that file's changed state and hide the change from the user's backups.
// An unsealed map, or one of another user's seal, is not used. A map of another folder
// (a folder copied with its attributes, or replaced) or of another path (the folder renamed or moved) is not
// used. At most MaxZeilen rows (2 KiB), so that a map leaves room in the folder's attribute space for what
// others keep there; the files of a larger folder beyond them read their records.
inline constexpr const char* OrdnerkarteName = "user.tresor-ix.karte";
inline constexpr std::size_t MaxZeilen = 250;

struct Ordnerkarte {
    std::uint64_t OrdnerInode = 0;
    std::uint64_t OrdnerName = 0;
    std::vector<std::uint64_t> Zeilen; // ascending
};

// The row of the file `name` (on disk) whose lstat data is `st`.
std::uint64_t Kartenzeile(std::string_view name, const struct stat& st);
// The stored value of a map (its rows sorted on the way), and the map a value holds (nothing for any other form).
std::string OrdnerkartenWert(Ordnerkarte karte);
std::optional<Ordnerkarte> LiesOrdnerkarte(std::string_view wert);

// The map of the folder listed last, while a walk asks for the archive bits of its entries in listing order.
class Kartenstand {
public:
    // The walk lists a folder of `eintraege` entries; `uhrNs` is CLOCK_REALTIME_COARSE read before the listing.
    void Neu(std::size_t eintraege, std::int64_t uhrNs);
    // Reads the map of the held folder `ordnerFd` (only once per listing) and keeps it where it belongs to that
    // folder under the path key `ordnerName`.
    void Lies(int ordnerFd, std::uint64_t ordnerName);
    bool Gelesen() const { return gelesen_; }
    // True when the map holds a row for the file, so that its record matches without being read.
    bool Kennt(std::string_view name, const struct stat& st) const;
    // True when the map is there and not full: the files of the folder outside it are few.
    bool Traegt() const { return karte_ && karte_->Zeilen.size() < MaxZeilen; }
    // The walk asked for the entry `index` of the listing (whose lstat data is `st`): `zeile` where the entry is
    // a file of one name whose record matched. Once every entry was asked, each once and in order, the map is
    // written through `ordnerFd` where its rows changed (where it cannot be, the records are read next time).
    void Gefragt(int ordnerFd, std::size_t index, std::string_view name, const struct stat& st, bool zeile);

private:
    std::size_t eintraege_ = 0;
    std::size_t naechster_ = 0; // the index expected next; eintraege_ + 1 once the order was broken
    std::int64_t uhrNs_ = 0;
    bool gelesen_ = false;
    std::uint64_t ordnerInode_ = 0;
    std::uint64_t ordnerName_ = 0;
    std::optional<Ordnerkarte> karte_;
    std::vector<std::uint64_t> neu_;
};

} // namespace tresor::posix
