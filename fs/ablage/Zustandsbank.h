#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tresor::posix {

// The state file as a database (SQLite): one table of archive records, keyed by the file's path within its
// file system (bytes, whatever they are), each value the record's stored form (Archivvermerk.h). Changes
// gather in one open transaction from the first write on and are committed by Festschreiben: a kill at any
// moment leaves the records before that transaction or after it (the rollback journal beside the file is
// played back by the next one to open it). The page cache is bounded, so the memory does not grow with the
// records, and a write costs what it changes.
//
// A file of another form, or one that fails the database's own check when opened, is damaged: the caller
// then knows nothing of its records (every file reads as archive set) and makes a new one before it writes.
// A database it cannot use for now (locked by another run, an error reading the disk) is not damaged: it is
// kept as it is, and the operation in hand fails.
class Zustandsbank {
public:
    enum class Lage {
        Gut,
        Kaputt, // not a state file of this program, or damaged
        Fehler, // could not be used now; errno tells why
    };

    // Opens the database `datei`, a regular file (no link followed); an empty file becomes an empty store.
    // Nothing when it cannot be used (`lage` tells whether it is damaged; errno why).
    static std::unique_ptr<Zustandsbank> Oeffne(const std::string& datei, Lage& lage);
    ~Zustandsbank();
    Zustandsbank(const Zustandsbank&) = delete;
    Zustandsbank& operator=(const Zustandsbank&) = delete;

    // The value kept under `name`: nothing when there is none (`lage` Gut) or it could not be read.
    std::optional<std::string> Lies(std::string_view name, Lage& lage);
    // Keeps `wert` under `name` (removes the value with nothing), in the open transaction.
    [[nodiscard]] bool Schreibe(std::string_view name, std::optional<std::string_view> wert, Lage& lage);
    // Commits the open transaction, if any. On failure it is rolled back (the changes since the last commit
    // are lost) and errno tells why.
    [[nodiscard]] bool Festschreiben(Lage& lage);

private:
    explicit Zustandsbank(sqlite3* db) : db_(db) {}
    // The result of a failed call, as a Lage, with errno set.
    Lage Fehlschlag(int ergebnis);
    [[nodiscard]] bool Ausfuehren(const char* sql, Lage& lage);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* lesen_ = nullptr;
    sqlite3_stmt* schreiben_ = nullptr;
    sqlite3_stmt* loeschen_ = nullptr;
    bool offen_ = false; // a transaction is open
    int verloren_ = 0;   // errno of a failed write that took the transaction's earlier writes with it
};

} // namespace tresor::posix
