#pragma once

#include "engine/ausduennung/Ausduennung.h"
#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Bestandsleser.h"
#include "engine/bestand/Bestandszeilen.h"
#include "fs/posix/Eintragszugriff.h"
#include "fs/posix/Zielbaum.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tresor::ausduennung {

// The points of one source in a target, as planning and carrying out see them. Every name comes from the
// target and is checked before it is used: a backup folder counts only as a real folder with a backup's name.

// What is known of a point's needs.
enum class Bestandsart {
    Gelesen, // its record names every version it needs
    Keiner,  // no record (an earlier version of the program): it needs the newest copy of each path up to it
    Kaputt,  // a record that is torn or not its own: what it needs is not known
};

struct Punkt {
    std::string Name;
    Bestandsart Art = Bestandsart::Keiner;
    std::string Bestandsdatei; // the file of its record (Gelesen, Kaputt)
    bool Ganz = false;         // its record is read whole (see Zusammenfuehrung.h)
    // Without a usable record (Keiner, Kaputt) in a target that holds backups of another source mirrored at the
    // same place or inside or around it (C:\Daten and D:\Daten, or C:\Daten and C:\Daten\Fotos): the folder
    // that makes it look like a point of the source may be that other source's mirror. It is never removed.
    bool Mehrdeutig = false;
    // Without a record, but with the record it had under Abgangsname: a point of the source whose removal began.
    bool Abgang = false;
    // Why its backup folder cannot be read at all (a read error of its medium, or this user may not; German), else
    // empty. Its record and its copies are not known, nor whether it is this source's: it never goes, and a point
    // before it stays (Kaputt).
    std::string Unlesbar;
};

// Where a point's record goes when the point is removed, before its mirror: under this name no reader takes it
// for a record, so a point half removed never looks like a whole one, yet it still says that the folder is this
// source's backup, so that a removal cut short is finished, whatever other sources are mirrored in the target.
// It goes last.
inline const std::string Abgangsname = ".tresor-ix-bestand.geht";

// Whether the backup folder `name` holds under Abgangsname a whole record of `quelle` that names that folder.
bool AbgangPasst(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name, const Pfad& quelle,
                 const std::string& quellePosix);

// The reason a point that is Mehrdeutig stays (German).
inline constexpr const char* MehrdeutigGrund =
    "Diese Sicherung hat keine brauchbare Bestandsliste und kann ebenso zu einer anderen Quelle im Ziel gehören, "
    "die an derselben Stelle gespiegelt wird.";

struct Aufnahme {
    Pfad Ziel;
    Pfad Quelle;
    std::string QuellePosix;
    std::vector<Punkt> Punkte; // oldest first
    [[nodiscard]] const Punkt* Finde(const std::string& name) const;
};

// The backup folders of `quelle` in `ziel`; throws FsFehler when the target cannot be listed.
Aufnahme NimmAuf(Eintragszugriff& zugriff, const Laufwerkstabelle& laufwerke, const Pfad& ziel, const Pfad& quelle);

// The record of a point (Gelesen), opened again as a reader before its first entry (read a piece at a time,
// never whole); nothing when it is no longer the source's. A reader that stops with Fehler set found the
// record unreadable after all.
std::optional<Bestandsleser> LiesBestandVon(Eintragszugriff& zugriff, const Aufnahme& aufnahme, const Punkt& punkt);

// Places relative to the target folder (names joined by "/"): the mirror of the source in a backup folder,
// and the copy of the entry `pfad` in it.
std::string Spiegel(const std::string& ordner, const Pfad& quelle);
std::string Kopieort(const std::string& ordner, const Pfad& quelle, const std::string& pfad);

// Whether a point has to stay because a point that stays after it has needs that are not known: for each
// point of `aufnahme`, given which stay (`bleibt`), the points that cannot go for that reason.
std::vector<bool> UnbekannterBedarf(const Aufnahme& aufnahme, const std::vector<bool>& bleibt);

// The copies of the points that go which the points that stay name, and who names them: path after path in the
// walk's order, for each point that goes and is named at the path, the oldest point that stays and names it
// (`zug` hears each, its Bytes 0); `nennende` gets every point that stays and names any of them. Reads the
// records that stay side by side, each once, as streams (Zusammenfuehrung.h; run it inside MitGanzen, which
// may begin it again); a record that can no longer be read as the source's makes its point one of unknown
// needs (Kaputt), and `veraendert` true.
void Brauchen(Eintragszugriff& zugriff, Aufnahme& aufnahme, const std::vector<bool>& bleibt, bool& veraendert,
              std::set<std::string>& nennende, const std::function<void(const Verschiebung&)>& zug);

// The moves of `plan` as Ausduennung::Zuege gives them; the records of its Ungeordnet are read whole. Throws
// Ungeordnet (Zusammenfuehrung.h) when another record turns out to be out of the walk's order.
void Zuege(const Laufwerkstabelle& laufwerke, const Ausduennungsplan& plan,
           const std::function<void(const Verschiebung&)>& zug);

// Removes a point of `quelle` (its record first put under Abgangsname, then its mirror of the source, then that
// record once the mirror is gone), or with `entfernen` false only counts: the bytes of the files that go and
// have no other name. Entries for which `auslassen` (relative to the mirror) is true stay; what could not go is
// added to `reste` when given. `zwischen`, where given, is called once the record is out of the way, before the
// mirror goes.
class Restsammlung;
std::uint64_t ZaehleFreie(Zielbaum& baum, const Punkt& punkt, const Pfad& quelle,
                          const std::function<bool(const std::string&)>& auslassen, Restsammlung* reste, bool entfernen,
                          const std::function<void()>& zwischen = {});

// The plan's text in the target, written a piece at a time into `aus`: Kopf (the source, the folders that stay
// and go), then each move, then Ende (the records rewritten, the bytes freed, the last line with the count of
// lines and the checksum). Holds a piece of text, never the moves.
class Planschreiber {
public:
    explicit Planschreiber(std::function<void(std::string_view)> aus) : aus_(std::move(aus)) {}
    void Kopf(const Ausduennungsplan& plan, const std::string& quellePosix);
    void Zug(const Verschiebung& v);
    void Ende(const Ausduennungsplan& plan);

private:
    void Zeile(const std::string& zeile);

    std::function<void(std::string_view)> aus_;
    std::string puffer_;
    std::uint64_t pruefsumme_ = 0;
    std::uint64_t zeilen_ = 0;
};
// The whole text of a plan with the moves `zuege`.
std::string SchreibePlan(const Ausduennungsplan& plan, const std::string& quellePosix,
                         const std::vector<Verschiebung>& zuege);

struct GelesenerPlan {
    Ausduennungsplan Plan; // Verschiebungen: how many moves it lists
    std::string QuellePosix;
};

// A plan read back a piece at a time. Opening reads it once through: its last line's count and checksum and the
// form of every line, so a torn or foreign plan gives no move at all; the moves are read again as Naechste asks.
// A plan lists its moves in the walk's order of their paths; one that an earlier version wrote in another order
// is held in memory, put in that order.
class Planleser {
public:
    // The reader, or why the text is no plan (German).
    static std::variant<Planleser, std::string> Oeffne(std::unique_ptr<Bestandsquelle> quelle);
    Planleser(Planleser&&) noexcept;
    Planleser& operator=(Planleser&&) noexcept;
    ~Planleser();

    [[nodiscard]] const GelesenerPlan& Plan() const { return plan_; }
    GelesenerPlan& Plan() { return plan_; }
    // Before the first move, for a pass.
    void VonVorn();
    // The next move in the walk's order of the paths, valid until the next call; nullptr after the last, or
    // where the plan turns out changed since it was opened (Fehler says so).
    const Verschiebung* Naechste();
    [[nodiscard]] const std::string& Fehler() const { return fehler_; }
    // Lets the plan's file go (a share removes no file held open).
    void Schliesse();

private:
    Planleser();

    std::unique_ptr<Bestandszeilen> zeilen_;
    GelesenerPlan plan_;
    std::uint64_t rumpfEnde_ = 0;  // where the last line begins
    std::uint64_t pruefsumme_ = 0; // of every byte before it
    bool geordnet_ = true;
    std::vector<Verschiebung> sortiert_; // a plan of an earlier version, in the walk's order
    std::size_t stelle_ = 0;
    Verschiebung zug_;
    std::string fehler_;
};

// A whole plan's text read (the moves counted, not kept), or why it is none.
std::variant<GelesenerPlan, std::string> LiesPlan(std::string_view text);

} // namespace tresor::ausduennung
