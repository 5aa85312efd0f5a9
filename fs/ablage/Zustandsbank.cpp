#include "fs/ablage/Zustandsbank.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace tresor::posix {

namespace {

// Marks a database as this program's state file (PRAGMA application_id): "tixz".
constexpr int Kennung = 0x74697a7a;
constexpr const char* Tabelle =
    "CREATE TABLE vermerk(name BLOB PRIMARY KEY NOT NULL, wert BLOB NOT NULL) WITHOUT ROWID";
// Pages kept in memory, in KiB (negative: a size, not a count of pages).
constexpr const char* Einstellungen = "PRAGMA cache_size=-2048; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL; "
                                      "PRAGMA temp_store=FILE; PRAGMA cell_size_check=ON";
// Waited for another run that holds the file (its batch is short: the records of the copies just made).
constexpr int WarteMs = 15000;

bool Beschaedigt(int ergebnis) {
    const int grund = ergebnis & 0xff;
    return grund == SQLITE_CORRUPT || grund == SQLITE_NOTADB || grund == SQLITE_FORMAT;
}

int ErrnoVon(int ergebnis, int system) {
    if (system != 0)
        return system;
    switch (ergebnis & 0xff) {
    case SQLITE_FULL:
        return ENOSPC;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return EBUSY;
    case SQLITE_READONLY:
        return EROFS;
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return EACCES;
    case SQLITE_NOMEM:
        return ENOMEM;
    default:
        return EIO;
    }
}

// The one value of a statement that yields one row (an integer or text), or nothing.
struct Einzelwert {
    int Ergebnis = SQLITE_OK;
    bool Da = false;
    long long Zahl = 0;
    std::string Text;
    int Zeilen = 0;
};

Einzelwert Frage(sqlite3* db, const char* sql) {
    Einzelwert w;
    sqlite3_stmt* st = nullptr;
    w.Ergebnis = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    if (w.Ergebnis != SQLITE_OK)
        return w;
    while ((w.Ergebnis = sqlite3_step(st)) == SQLITE_ROW) {
        if (w.Zeilen++ == 0) {
            w.Da = true;
            w.Zahl = sqlite3_column_int64(st, 0);
            if (const auto* t = sqlite3_column_text(st, 0))
                w.Text = reinterpret_cast<const char*>(t);
        }
    }
    if (w.Ergebnis == SQLITE_DONE)
        w.Ergebnis = SQLITE_OK;
    sqlite3_finalize(st);
    return w;
}

} // namespace

std::unique_ptr<Zustandsbank> Zustandsbank::Oeffne(const std::string& datei, Lage& lage) {
    sqlite3* db = nullptr;
    int r = sqlite3_open_v2(datei.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (db == nullptr) {
        lage = Lage::Fehler;
        errno = ENOMEM;
        return nullptr;
    }
    std::unique_ptr<Zustandsbank> bank(new Zustandsbank(db));
    if (r != SQLITE_OK) {
        lage = bank->Fehlschlag(r);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, WarteMs);
    if (!bank->Ausfuehren(Einstellungen, lage))
        return nullptr;
    // The database's own check of its pages and their order; a file cut short or written over fails it.
    const Einzelwert pruefung = Frage(db, "PRAGMA quick_check");
    if (pruefung.Ergebnis != SQLITE_OK) {
        lage = bank->Fehlschlag(pruefung.Ergebnis);
        return nullptr;
    }
    const Einzelwert kennung = Frage(db, "PRAGMA application_id");
    const Einzelwert tabelle = Frage(db, "SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = 'vermerk'");
    const Einzelwert alle = Frage(db, "SELECT count(*) FROM sqlite_schema");
    const Einzelwert seiten = Frage(db, "PRAGMA page_count");
    const Einzelwert seite = Frage(db, "PRAGMA page_size");
    for (const Einzelwert* w : {&kennung, &tabelle, &alle, &seiten, &seite}) {
        if (w->Ergebnis != SQLITE_OK) {
            lage = bank->Fehlschlag(w->Ergebnis);
            return nullptr;
        }
    }
    // A file cut short at a page's end may pass the check where its pages reach none beyond the cut; its
    // length tells.
    struct stat st {};
    if (::lstat(datei.c_str(), &st) != 0) {
        lage = Lage::Fehler;
        return nullptr;
    }
    if (pruefung.Zeilen != 1 || pruefung.Text != "ok" || st.st_size != seiten.Zahl * seite.Zahl) {
        lage = Lage::Kaputt;
        errno = EIO;
        return nullptr;
    }
    if (kennung.Zahl == 0 && alle.Zahl == 0) {
        // A new, empty file.
        const std::string anlegen = std::string("BEGIN IMMEDIATE; ") + Tabelle +
                                    "; PRAGMA application_id=" + std::to_string(Kennung) + "; COMMIT";
        if (!bank->Ausfuehren(anlegen.c_str(), lage))
            return nullptr;
    } else if (kennung.Zahl != Kennung || !tabelle.Da || tabelle.Text != Tabelle || alle.Zahl != 1) {
        lage = Lage::Kaputt;
        errno = EIO;
        return nullptr;
    }
    for (auto [sql, st] : {std::pair{"SELECT wert FROM vermerk WHERE name = ?1", &bank->lesen_},
                           std::pair{"INSERT OR REPLACE INTO vermerk(name, wert) VALUES(?1, ?2)", &bank->schreiben_},
                           std::pair{"DELETE FROM vermerk WHERE name = ?1", &bank->loeschen_}}) {
        r = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, st, nullptr);
        if (r != SQLITE_OK) {
            lage = bank->Fehlschlag(r);
            return nullptr;
        }
    }
    lage = Lage::Gut;
    return bank;
}

Zustandsbank::~Zustandsbank() {
    sqlite3_finalize(lesen_);
    sqlite3_finalize(schreiben_);
    sqlite3_finalize(loeschen_);
    // A transaction still open is rolled back: its records were never committed.
    sqlite3_close_v2(db_);
}

Zustandsbank::Lage Zustandsbank::Fehlschlag(int ergebnis) {
    errno = ErrnoVon(ergebnis, sqlite3_system_errno(db_));
    return Beschaedigt(ergebnis) ? Lage::Kaputt : Lage::Fehler;
}

bool Zustandsbank::Ausfuehren(const char* sql, Lage& lage) {
    const int r = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (r == SQLITE_OK)
        return true;
    lage = Fehlschlag(r);
    return false;
}

std::optional<std::string> Zustandsbank::Lies(std::string_view name, Lage& lage) {
    lage = Lage::Gut;
    sqlite3_reset(lesen_);
    sqlite3_bind_blob(lesen_, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    const int r = sqlite3_step(lesen_);
    std::optional<std::string> wert;
    if (r == SQLITE_ROW) {
        const auto* daten = static_cast<const char*>(sqlite3_column_blob(lesen_, 0));
        const int groesse = sqlite3_column_bytes(lesen_, 0);
        wert = daten != nullptr ? std::string(daten, static_cast<std::size_t>(groesse)) : std::string();
    } else if (r != SQLITE_DONE) {
        lage = Fehlschlag(r);
    }
    sqlite3_reset(lesen_);
    sqlite3_clear_bindings(lesen_);
    return wert;
}

bool Zustandsbank::Schreibe(std::string_view name, std::optional<std::string_view> wert, Lage& lage) {
    lage = Lage::Gut;
    if (!offen_) {
        if (!Ausfuehren("BEGIN IMMEDIATE", lage))
            return false;
        offen_ = true;
    }
    sqlite3_stmt* st = wert ? schreiben_ : loeschen_;
    sqlite3_reset(st);
    sqlite3_bind_blob(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    if (wert)
        sqlite3_bind_blob(st, 2, wert->data(), static_cast<int>(wert->size()), SQLITE_STATIC);
    const int r = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (r == SQLITE_DONE)
        return true;
    lage = Fehlschlag(r);
    if (sqlite3_get_autocommit(db_) != 0) {
        // The database rolled the transaction back by itself (no room, an error of the disk): the writes
        // before this one are lost too, which the next commit reports.
        offen_ = false;
        verloren_ = errno;
    }
    return false;
}

bool Zustandsbank::Festschreiben(Lage& lage) {
    lage = Lage::Gut;
    if (verloren_ != 0) {
        errno = std::exchange(verloren_, 0);
        if (offen_)
            (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        offen_ = false;
        lage = Lage::Fehler;
        return false;
    }
    if (!offen_)
        return true;
    if (Ausfuehren("COMMIT", lage)) {
        offen_ = false;
        return true;
    }
    const int fehler = errno;
    if (sqlite3_get_autocommit(db_) == 0)
        (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    offen_ = false;
    errno = fehler;
    return false;
}

} // namespace tresor::posix
