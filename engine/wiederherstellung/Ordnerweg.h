#pragma once

#include "engine/bestand/Bestandsformat.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tresor {

// The folders of a restore that still wait for their bits and times. Its entries come in the walk's order
// (each inside a folder listed before it, a folder's content right after it): then only the folders on the
// way from the source folder to the current entry wait, and a folder is finished as soon as the walk has
// left it, for nothing more is written into it; a restore of millions of folders holds a few. A list in
// another order (a record an earlier version wrote, the newest copies of backups without one) keeps every
// folder to the end. Either way a folder is finished after every folder inside it.
class Ordnerweg {
public:
    // Where a folder left is finished (below the folder restored into), and whether it waits for the end:
    // its bits would shut the restoring user out, and a later name of a hard-link group may still be linked
    // from a file in it (then the folders around it wait as well, so that it is finished before them).
    struct Abschluss {
        std::string Relativ;
        bool Wartet = false;
    };
    // `verlasse`: the walk has left a folder; forgets what is known of it and says where it is finished,
    // nothing when it is not (not made by this restore, or not made at all). `schliesse` finishes it.
    Ordnerweg(bool wegordnung, std::function<std::optional<Abschluss>(const Bestandseintrag&)> verlasse,
              std::function<void(const Bestandseintrag&, const std::string&)> schliesse);

    // Before the entry `pfad`: every folder it does not lie in is left, the deepest first.
    void Weiter(const std::string& pfad);
    // A folder of the point met: it waits until the walk leaves it.
    void Betrete(const Bestandseintrag& ordner);
    // At the end (or a stop): the folders that waited, then those still on the way, the deepest first.
    void Ende();
    // The folders held: on the way and waiting for the end.
    [[nodiscard]] std::size_t Gehalten() const noexcept { return weg_.size() + warten_.size(); }

private:
    struct Stufe {
        Bestandseintrag Ordner;
        bool Haelt = false; // a folder inside waits for the end
    };
    void Verlasse(bool ende);

    bool wegordnung_;
    std::function<std::optional<Abschluss>(const Bestandseintrag&)> verlasse_;
    std::function<void(const Bestandseintrag&, const std::string&)> schliesse_;
    std::vector<Stufe> weg_;
    // In the order left: each after every folder inside it.
    std::vector<std::pair<Bestandseintrag, std::string>> warten_;
};

} // namespace tresor
