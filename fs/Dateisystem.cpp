// The file objects of a listing, and the operations of restores that a file-system object without held folders
// does not offer.
#include "fs/Dateisystem.h"

#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"

#include <cerrno>
#include <system_error>

namespace tresor {

Datei Ordnerdateien::operator[](std::size_t i) const {
    std::string name = posix::Programmname(std::string((*namen_)[i]));
    return Datei{posix::KindPfad(ordner_, name), std::move(name)};
}

std::optional<Eintragsstand> Dateisystem::Stand(const Pfad& pfad) {
    throw FsFehler("Stand", pfad, std::error_code(ENOSYS, std::generic_category()));
}

void Dateisystem::SetzeStand(const Pfad& pfad, const Eintragsstand&, bool) {
    throw FsFehler("Stand setzen", pfad, std::error_code(ENOSYS, std::generic_category()));
}

void Dateisystem::Entferne(const Pfad& pfad) {
    throw FsFehler("Entfernen", pfad, std::error_code(ENOSYS, std::generic_category()));
}

void Dateisystem::Verknuepfe(const Pfad&, const Pfad& neu) {
    throw FsFehler("Verknüpfen", neu, std::error_code(ENOSYS, std::generic_category()));
}

} // namespace tresor
