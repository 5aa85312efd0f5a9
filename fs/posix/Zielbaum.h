#pragma once

#include "fs/Eintragsstand.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/Pfad.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tresor {

// Changes inside a target folder that others may be able to write: the target folder is opened once and
// held, and every entry below it is reached from its descriptor one name at a time, never through a symbolic
// link and never into another file system (a folder on another device counts as not there). Paths are relative
// to the target folder, names joined by "/", bytes as on disk; a path with an empty name, "." or ".." is
// refused (EINVAL). Failures of a whole operation throw FsFehler with the path in program form.
class Zielbaum {
public:
    // Opens the folder `ziel` (program form) through the drive table; its last name is not followed.
    Zielbaum(const Laufwerkstabelle& laufwerke, const Pfad& ziel);
    ~Zielbaum();
    Zielbaum(const Zielbaum&) = delete;
    Zielbaum& operator=(const Zielbaum&) = delete;

    // The entry's state (never followed), or nothing when it or a folder on its way is not there.
    [[nodiscard]] std::optional<Eintragsstand> Stand(const std::string& pfad);
    // The names in a folder, in byte order; nothing when it is not there.
    [[nodiscard]] std::optional<std::vector<std::string>> Namen(const std::string& ordner);
    // The content of a regular file, or nothing when it is not there.
    [[nodiscard]] std::optional<std::string> LiesDatei(const std::string& pfad);

    // How a move of an entry went.
    enum class Zug {
        Erledigt, // the entry is at its new place (made now, or already before)
        Besetzt,  // another entry is at the new place; nothing was changed
        Fehlt,    // neither at the old place nor at the new one
    };
    // Gives the entry `von` the name `nach` (whose missing folders are made, private to the owner): a second
    // name first, so that the old one stays valid until the caller removes it; by renaming where the file
    // system has no hard links. Never replaces anything. Done already when `nach` is the same file as `von`,
    // or when `von` is gone and `nach` is there.
    Zug Verschiebe(const std::string& von, const std::string& nach);

    // Writes the file `pfad` whole: under a temporary name in its folder, flushed to the medium, then renamed
    // over the old one, then the folder is flushed; meanwhile it holds the folder's lock, shared (RaeumeAuf).
    void Ersetze(const std::string& pfad, const std::string& inhalt);
    // The same, the content written a piece at a time: `schreibe` gets the function that takes each piece. What
    // `schreibe` throws removes the temporary file and goes on to the caller; the old file stays.
    using Stueckweise = std::function<void(std::string_view)>;
    void Ersetze(const std::string& pfad, const std::function<void(const Stueckweise&)>& schreibe);

    // Removes from the folder the temporary files of rewrites that were killed: only while no rewrite in it is
    // under way (each holds the folder's lock, shared, which this takes whole or else removes nothing; a file
    // system without such locks keeps them). Returns how many went.
    std::size_t RaeumeAuf(const std::string& ordner);

    // Removes the entry, a folder with everything in it (deepest first), or with `nurZaehlen` only counts.
    // Entries for which `auslassen` (relative to `pfad`) is true are left, and so is their folder. Returns the
    // bytes of the regular files removed that had no other name. Each entry that could not go (another file
    // system, an error) is handed to `uebrig` with the reason (German), as it is met: nothing is held.
    struct Uebrig {
        std::string Pfad;
        std::string Grund;
    };
    using Uebrige = std::function<void(const Uebrig&)>;
    std::uint64_t Entferne(const std::string& pfad, bool nurZaehlen,
                           const std::function<bool(const std::string&)>& auslassen, const Uebrige& uebrig);
    // Removes an empty folder; false when it is not empty or not there.
    bool EntferneLeer(const std::string& ordner);
    // Flushes the folder's changes to the medium.
    void Sichere(const std::string& ordner);

private:
    int Oeffne(const std::string& ordner, bool anlegen);
    Pfad Programmpfad(const std::string& pfad) const;
    // Forgets the folder kept open when it lies at or below `pfad` (removed).
    void Vergiss(const std::string& pfad);
    std::uint64_t Leere(int ordner, const std::string& pfad, const std::string& relativ, bool nurZaehlen,
                        const std::function<bool(const std::string&)>& auslassen, const Uebrige& uebrig, bool& leer);

    Pfad ziel_;
    int wurzel_ = -1;
    std::uint64_t geraet_ = 0;
    // The folders opened last, the newest at the end, kept for the next calls in the same folders (a move
    // reads and writes two).
    std::vector<std::pair<std::string, int>> offen_;
};

} // namespace tresor
