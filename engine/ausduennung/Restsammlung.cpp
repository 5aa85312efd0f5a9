// The leftovers of a thinning, named as far as a reader takes them in (see Restsammlung.h).
#include "engine/ausduennung/Restsammlung.h"

namespace tresor::ausduennung {

std::string WeitereReste(std::uint64_t weitere) {
    return "… und " + std::to_string(weitere) + " weitere.";
}

void Restsammlung::Neu(const std::string& ordner, const std::string& pfad, const std::string& grund) {
    if (ordner.empty() || pfad.empty()) {
        reste_.push_back({ordner, pfad, grund});
        return;
    }
    Ordnerstand& stand = je_[ordner];
    if (stand.Genannt < Namentlich) {
        ++stand.Genannt;
        reste_.push_back({ordner, pfad, grund});
        return;
    }
    if (stand.Weitere++ == 0) {
        stand.Zaehlzeile = reste_.size();
        reste_.push_back({ordner, "", ""});
    }
    reste_[stand.Zaehlzeile].Grund = WeitereReste(stand.Weitere);
}

} // namespace tresor::ausduennung
