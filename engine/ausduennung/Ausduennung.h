#pragma once

#include "fs/Laufwerkstabelle.h"
#include "fs/Pfad.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tresor {

// Thinning old backups: the backup folders of a source that a retention rule no longer keeps are removed,
// without a kept point losing a file. Each backup folder holds only what its run copied, so an old folder may
// hold the only copy of a file that later points still name; such a copy is first moved (inside the target,
// no byte copied) into the oldest kept point that needs it, and the records of the kept points are rewritten
// to name its new place. Only then does a folder go.
//
// The work is written into the target as a plan before the first change and carried out so that each step
// may be done again: a run killed at any moment leaves every kept point restorable exactly, and the next
// thinning (or the next backup run into the target) finishes the plan before anything else. The target is
// taken as input that others may have written: every entry is reached from the held target folder one name
// at a time, never through a link, never on another file system, and nothing outside the target is touched.

// The retention rule. A point is kept when any part keeps it: the newest `Letzte` points; the newest point
// of each of the last `Tage` days (`Wochen` ISO weeks, Monday first; `Monate`; `Jahre`) that have a point,
// by the local date and time in the backup folder's name. The newest point is always kept. 0 leaves a part
// out.
struct Behalteregel {
    int Letzte = 0;
    int Tage = 0;
    int Wochen = 0;
    int Monate = 0;
    int Jahre = 0;
    // True when no part is given (the rule would keep only the newest point).
    [[nodiscard]] bool Leer() const { return Letzte <= 0 && Tage <= 0 && Wochen <= 0 && Monate <= 0 && Jahre <= 0; }
};

// Which points the rule keeps: `ordner` are backup folder names ("Sicherung-yyyy-mm-dd--hh-mm-ss"), oldest
// first; the answer has one flag per name. A pure function: no clock, no disk.
std::vector<bool> Behaltene(const std::vector<std::string>& ordner, const Behalteregel& regel);

// A copy that a kept point needs and that lies in a point to be removed: moved from the mirror of the
// source in the backup folder `Von` to the same place in the kept backup folder `Nach`.
struct Verschiebung {
    std::string Von;
    std::string Nach;
    std::string Pfad;        // relative to the source, names joined by "/", bytes as on disk
    std::uint64_t Bytes = 0; // its size
};

// Something the thinning leaves where it is, and why (German, for the user). Of the paths of one backup folder
// the first few are named; one entry of the folder without a path counts the further ones ("… und N weitere.").
struct Rest {
    std::string Ordner; // the backup folder
    std::string Pfad;   // relative to the source, or empty for the whole backup folder
    std::string Grund;
};

// What a thinning does: made by Ausduennung::Plane, which changes nothing, and shown before it is carried
// out (--probe, the window's question).
struct Ausduennungsplan {
    Pfad Ziel;
    Pfad Quelle;
    std::vector<std::string> Bleiben;       // the kept backup folders of the source, oldest first
    std::vector<std::string> Gehen;         // those removed, oldest first
    std::size_t Verschiebungen = 0;         // how many copies move (Ausduennung::Zuege lists them)
    std::vector<std::string> NeueBestaende; // kept backup folders whose record is rewritten
    std::vector<std::string> Ungeordnet;    // kept backup folders whose record is not in the walk's order
    std::uint64_t FreieBytes = 0;           // bytes of the files removed (what the disk gets back)
    std::vector<Rest> Reste;                // what is left and named
    // The steps of carrying it out (for progress): writing the plan, each move, each record rewritten, each
    // folder removed, removing the plan.
    [[nodiscard]] std::size_t Schritte() const { return 2 + Verschiebungen + NeueBestaende.size() + Gehen.size(); }
};

// How a thinning ended.
struct Ausduennungsergebnis {
    bool Fertig = false;          // every step done; false when stopped or something was left
    bool Angehalten = false;      // stopped by the stop flag; the plan stays in the target and is finished later
    std::uint64_t FreieBytes = 0; // bytes of the files this call removed
    std::vector<Rest> Reste;      // what could not be moved or removed, named
};

// Steps done and all steps.
using Ausduennungsfortschritt = std::function<void(std::size_t erledigt, std::size_t gesamt)>;

class Ausduennung {
public:
    explicit Ausduennung(Laufwerkstabelle laufwerke);

    // What thinning the backups of `quelle` in `ziel` by `regel` would do. Changes nothing. The reason
    // (German) instead when there is nothing to thin: no backup of that source in the target. Throws
    // FsFehler when the target cannot be read.
    std::variant<Ausduennungsplan, std::string> Plane(const Pfad& ziel, const Pfad& quelle, const Behalteregel& regel);

    // Carries the plan out: writes it into the target, moves, rewrites the records, removes the folders,
    // removes the plan. `fortschritt` (may be empty) hears after each step; a set `halt` stops before the
    // next step (the plan stays and is finished by the next thinning or backup run). A plan of the target
    // still pending is finished first. Throws FsFehler when the target itself cannot be written.
    Ausduennungsergebnis Fuehreaus(const Ausduennungsplan& plan, const Ausduennungsfortschritt& fortschritt = {},
                                   const std::atomic<bool>* halt = nullptr);

    // Finishes a plan left in `ziel` by a thinning that did not end; nothing when there is none. The plan is
    // checked as input from the target: a move or removal that would take from a kept point what it needs
    // is left and named.
    Ausduennungsergebnis Vollende(const Pfad& ziel, const Ausduennungsfortschritt& fortschritt = {},
                                  const std::atomic<bool>* halt = nullptr);
    // The moves of `plan` (its Verschiebungen), in the order they are made: the walk's order of their paths,
    // found again by reading the records that stay side by side; each with its bytes as the target holds it now.
    // Throws FsFehler when the target cannot be read.
    void Zuege(const Ausduennungsplan& plan, const std::function<void(const Verschiebung&)>& zug);
    // Whether `ziel` holds a plan not yet finished.
    bool Offen(const Pfad& ziel);

    // For each backup folder of `quelle` in `ziel` (oldest first, as Sicherungsordnernamen gives them) the
    // bytes that only it holds: what removing it alone would free; nothing where that is not known (a later
    // point without a usable record may need its copies).
    std::vector<std::pair<std::string, std::optional<std::uint64_t>>> EigeneBytes(const Pfad& ziel, const Pfad& quelle);

    // For tests: called before each step with its number (0 = writing the plan) and its kind, and inside the
    // removal of a point once more with the same number (Spiegel: its record is out of the way, its mirror not
    // yet gone); a test stops the program there to see what a kill at that moment leaves.
    enum class Schritt { Plan, Verschieben, Bestand, Entfernen, Spiegel, PlanEntfernen };
    static void SetzeHaltepunkt(std::function<void(std::size_t, Schritt)> haltepunkt);

private:
    Laufwerkstabelle laufwerke_;
};

// The name of the plan in the target folder.
inline const std::string Plandateiname = ".tresor-ix-ausduennung.txt";

} // namespace tresor
