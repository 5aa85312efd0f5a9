#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tresor::posix {

// A folder's map of its backed-up files: where the exact state of the files of one name is kept whose record
// (Archivvermerk.h) matches but for the ctime, so that they read archive clear in every later run; and a
// shortcut past their records for a walk that looks at every file of a folder.
//
// A row is a hash of the file's name on disk, its inode, its status-change time (ctime), its size and its
// modification time. The kernel moves a file's ctime on with every change of its content, size, permission
// bits, owner, links and extended attributes (its record included), so a file whose name, inode and ctime
// still give a row of the map is in the state the row was taken in; but where the clock was put back on a file
// system of whole-second stamps, a later change can get a row's ctime exactly, and the size and modification
// time the row holds as well keep it from vouching for a state the file's record refuses. Earlier versions
// wrote rows of name, inode and ctime alone (FruehereKartenzeile), in the same form 2: such a row is no answer
// on its own; it counts only for a file whose record matched it but for its ctime (size, modification time and
// inode the record's), and the walk that asks every file of the folder writes the map again with the rows of
// today. So a folder's map of an earlier version costs its files one read of their records, once. Rows come from two
// places: the file-system object that wrote a batch of records adds the state each file had right after its record's
// write (Ergaenze), and a walk that looks at every file of the folder keeps the rows of the files that still read
// clear. Either takes a row only when the file's ctime tells that state from every later one (StempelEindeutig, against
// the coarse clock read before the file was looked at): a change made after that look gets another ctime, on file
// systems of any time step.
//
// It is kept in the extended attribute user.tresor-ix.karte of the folder. Its value is binary: the
// form (one byte, 2), the folder's inode and the key of the folder's path within its file system
// (Namenskennung), each 8 bytes little-endian, then the rows, 8 bytes each, ascending, then the user's seal over
// all of it (Siegel.h): a row is a hash anyone can compute, and the owner of a folder where another user's file
// lies could otherwise write the row of that file's changed state and hide the change from the user's backups.
// An unsealed map, or one of another user's seal, is not used. A map of another folder
// (a folder copied with its attributes, or replaced) or of another path (the folder renamed or moved) is not
// used, nor one of the earlier form 1, whose rows were taken while records matched within a window of time:
// its files read their records and are looked at again. At most MaxZeilen rows (2 KiB), so that a map leaves
// room in the folder's attribute space for what others keep there; the files of a larger folder beyond them
// read as set by their records, and the run takes them as backed up where the target holds their exact state.
inline constexpr const char* OrdnerkarteName = "user.tresor-ix.karte";
inline constexpr std::size_t MaxZeilen = 250;

struct Ordnerkarte {
    std::uint64_t OrdnerInode = 0;
    std::uint64_t OrdnerName = 0;
    std::vector<std::uint64_t> Zeilen; // ascending
};

// The row of the file `name` (on disk) whose lstat data is `st`.
std::uint64_t Kartenzeile(std::string_view name, const struct stat& st);
// The row an earlier version wrote for that state: name, inode and ctime alone.
std::uint64_t FruehereKartenzeile(std::string_view name, const struct stat& st);
// True when `karte` holds the file's row, or, where `vermerkPasst` (the file's record matched it but for its
// ctime), its earlier row.
bool HaeltZeile(const Ordnerkarte& karte, std::string_view name, const struct stat& st, bool vermerkPasst);
// The stored value of a map (its rows sorted on the way), and the map a value holds (nothing for any other form).
std::string OrdnerkartenWert(Ordnerkarte karte);
std::optional<Ordnerkarte> LiesOrdnerkarte(std::string_view wert);
// The map of the held folder `ordnerFd` whose path key is `ordnerName`, where it belongs to that folder.
// `ordnerInode` receives the folder's inode (0 where it cannot be looked at).
std::optional<Ordnerkarte> KarteDesOrdners(int ordnerFd, std::uint64_t ordnerName, std::uint64_t& ordnerInode);
// Adds `zeilen` to the map of the held folder `ordnerFd` (a new map where it has none of its own), as far as
// MaxZeilen leave room, and writes it. Returns the map as written, or nothing where it could not be (a
// read-only medium, another user's folder, no room: the records are read instead).
std::optional<Ordnerkarte> Ergaenze(int ordnerFd, std::uint64_t ordnerName, std::vector<std::uint64_t> zeilen);

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
    // True when the map holds its row or its earlier row: asked only where the file's record matched it but for
    // its ctime.
    bool KenntHinterVermerk(std::string_view name, const struct stat& st) const;
    // True when the map is there and not full: the files of the folder outside it are few.
    bool Traegt() const { return karte_ && karte_->Zeilen.size() < MaxZeilen; }
    // The walk asked for the entry `index` of the listing (whose lstat data is `st`): `zeile` where the entry is
    // a file of one name whose record matched. Once every entry was asked, each once and in order, the map is
    // written through `ordnerFd` where its rows changed (where it cannot be, the records are read next time).
    void Gefragt(int ordnerFd, std::size_t index, std::string_view name, const struct stat& st, bool zeile);
    // The map `karte` was written through Ergaenze with the rows `zeilen` added: where it is the map of the
    // folder listed, the walk keeps them.
    void Ergaenzt(const Ordnerkarte& karte, const std::vector<std::uint64_t>& zeilen);

private:
    std::size_t eintraege_ = 0;
    std::size_t naechster_ = 0; // the index expected next; eintraege_ + 1 once the order was broken
    std::int64_t uhrNs_ = 0;
    bool gelesen_ = false;
    std::uint64_t ordnerInode_ = 0;
    std::uint64_t ordnerName_ = 0;
    std::optional<Ordnerkarte> karte_;
    std::vector<std::uint64_t> neu_;
    // The row Kennt hashed last, for Gefragt of the same file in the same state.
    struct Gehasht {
        std::string Name;
        std::uint64_t Inode = 0;
        std::int64_t CtimeNs = 0;
        std::int64_t MtimeNs = 0;
        std::int64_t Groesse = 0;
        std::uint64_t Zeile = 0;
        bool Da = false;
    };
    mutable Gehasht zuletzt_;
    std::uint64_t Zeile(std::string_view name, const struct stat& st) const;
};

} // namespace tresor::posix
