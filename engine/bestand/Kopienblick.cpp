// The copies in the backup folders of a target, looked at by their names (see Kopienblick.h).
#include "engine/bestand/Kopienblick.h"

#include "engine/bestand/Sicherungsfolge.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

namespace tresor {

Kopienblick::Kopienblick(Eintragszugriff& zugriff, Pfad ziel, Pfad quelle, std::string eigener)
    : zugriff_(zugriff), ziel_(std::move(ziel)), quelle_(std::move(quelle)), eigener_(std::move(eigener)) {}

std::optional<Eintragsstand> Kopienblick::Stand(const std::string& ordner, const std::string& relativ) {
    auto spiegel = spiegel_.find(ordner);
    if (spiegel == spiegel_.end())
        spiegel = spiegel_.emplace(ordner, Spiegelpfad(Unterpfad(ziel_, ordner), quelle_)).first;
    // This run's own backup folder grows while the walk goes (a folder not there a moment ago may be there
    // now): looked up by its whole path each time, as the mirror of the source itself.
    if ((!eigener_.empty() && ordner == eigener_) || relativ == "." || relativ.empty())
        return zugriff_.Stand(Unterpfad(spiegel->second, relativ));
    // An earlier backup folder: the copy looked at by its name in its folder, held open for the copies beside it
    // (reached as a whole path is, one name at a time, never through a link).
    const std::size_t schnitt = relativ.rfind('/');
    const std::string_view oben =
        schnitt == std::string::npos ? std::string_view(".") : std::string_view(relativ).substr(0, schnitt);
    const std::string_view name =
        schnitt == std::string::npos ? std::string_view(relativ) : std::string_view(relativ).substr(schnitt + 1);
    auto it = std::find_if(kopienordner_.rbegin(), kopienordner_.rend(),
                           [&](const Kopienordner& k) { return k.Ordner == oben && k.Ort == ordner; });
    if (it != kopienordner_.rend()) {
        // The most recently used goes last.
        std::rotate(std::prev(it.base()), it.base(), kopienordner_.end());
    } else {
        Ordnergriff griff = zugriff_.Halte(Unterpfad(spiegel->second, std::string(oben)));
        // A folder that is not there holds no copy; it is not held, so that one made later is seen.
        if (!griff.Gueltig())
            return std::nullopt;
        // Only the folder in hand stays held (the record lists a folder's files together): a folder left is
        // looked up anew should the walk come back to it.
        std::erase_if(kopienordner_, [&](const Kopienordner& k) { return k.Ordner != oben; });
        if (kopienordner_.size() >= Kopienordnerzahl)
            kopienordner_.erase(kopienordner_.begin());
        kopienordner_.push_back({ordner, std::string(oben), std::move(griff)});
    }
    return kopienordner_.back().Griff.Stand(name);
}

bool Kopienblick::Da(const Bestandseintrag& v) {
    const auto k = Stand(v.Ort, v.Pfad);
    // A FIFO, a socket or a device node of that name (of size 0, as an empty file's copy) is no copy of anything.
    if (!k || k->Typ == Eintragsstand::Art::Anderes)
        return false;
    const Eintragsart art = k->Typ == Eintragsstand::Art::Verweis  ? Eintragsart::Verweis
                            : k->Typ == Eintragsstand::Art::Ordner ? Eintragsart::Ordner
                                                                   : Eintragsart::Datei;
    return art == v.Art && k->Groesse == v.Groesse &&
           (v.Art != Eintragsart::Verweis || k->Verweisziel == v.Verweisziel);
}

} // namespace tresor
