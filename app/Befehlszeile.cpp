#include "app/Befehlszeile.h"

#include "ui/Programmkennung.h"

#include <string>
#include <string_view>

namespace tresor {

std::string Versionstext() {
    std::string text = std::string(kennung::Produktname) + " " + std::to_string(kennung::Major) + "." +
                       std::to_string(kennung::Minor) + "." + std::to_string(kennung::Revision) + "\n";
    text += std::string(kennung::Beschreibung) + "\n";
    text += std::string(kennung::Erklaerung1) + "  " + kennung::Erklaerung2 + "  \n";
    text += std::string(kennung::Vermerk) + "\n";
    return text;
}

std::optional<int> BehandleArgumente(std::span<char* const> argumente, std::ostream& aus) {
    for (std::size_t i = 1; i < argumente.size(); ++i) {
        if (std::string_view(argumente[i]) == "--version") {
            aus << Versionstext();
            return 0;
        }
    }
    return std::nullopt;
}

} // namespace tresor
