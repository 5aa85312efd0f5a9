#pragma once

#include "engine/ausduennung/Ausduennung.h"
#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Bestandsleser.h"
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
};

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

// The copies of the points that go which the points that stay name, and who names them: for each point that
// goes, for each path, the oldest point that stays and names it. Reads each record that stays once; a record
// that can no longer be read as the source's makes its point one of unknown needs (Kaputt), and `veraendert`
// true.
struct Bedarf {
    std::map<std::string, std::map<std::string, std::string>> Kopien; // going folder -> path -> kept folder
    std::set<std::string> Nennende;                                   // the kept points that name any of them
};
Bedarf Brauchen(Eintragszugriff& zugriff, Aufnahme& aufnahme, const std::vector<bool>& bleibt, bool& veraendert);

// Removes a point of `quelle` (its record first, then its mirror of the source), or with `entfernen` false
// only counts: the bytes of the files that go and have no other name. Entries for which `auslassen` (relative
// to the mirror) is true stay; what could not go is added to `reste` when given.
std::uint64_t ZaehleFreie(Zielbaum& baum, const Punkt& punkt, const Pfad& quelle,
                          const std::function<bool(const std::string&)>& auslassen, std::vector<Rest>* reste,
                          bool entfernen);

// The plan's text in the target, and back; the reason (German) when the text is none.
std::string SchreibePlan(const Ausduennungsplan& plan, const std::string& quellePosix);
struct GelesenerPlan {
    Ausduennungsplan Plan;
    std::string QuellePosix;
};
std::variant<GelesenerPlan, std::string> LiesPlan(std::string_view text);

} // namespace tresor::ausduennung
