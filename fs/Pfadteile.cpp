#include "fs/Pfadteile.h"

#include "fs/FsFehler.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/system/Deskriptor.h"

#include <cerrno>

namespace tresor::posix {

std::string LetzterName(std::string_view pfad) {
    const auto schnitt = pfad.rfind('\\');
    return std::string(schnitt == std::string_view::npos ? pfad : pfad.substr(schnitt + 1));
}

bool IstLaufwerkswurzel(std::string_view pfad) {
    return pfad.size() == 3 && pfad[1] == ':' && pfad[2] == '\\';
}

Pfad OhneSchraegstrich(Pfad pfad) {
    while (pfad.size() > 3 && pfad.back() == '\\')
        pfad.pop_back();
    return pfad;
}

Pfad KindPfad(const Pfad& eltern, const std::string& name) {
    return (!eltern.empty() && eltern.back() == '\\') ? eltern + name : eltern + "\\" + name;
}

std::string PosixKind(const std::string& ordner, const std::string& name) {
    return (!ordner.empty() && ordner.back() == '/') ? ordner + name : ordner + "/" + name;
}

bool IstPunktname(std::string_view name) {
    return !name.empty() && name.front() == '.' && name != "." && name != "..";
}

std::string Programmname(const std::string& name) {
    return name.find('\\') == std::string::npos ? name : NamenAusPosix(name);
}

void Unbrauchbar(const char* operation, const Pfad& pfad) {
    const bool form = pfad.size() >= 3 && pfad[1] == ':' && pfad[2] == '\\' &&
                      ((pfad[0] >= 'A' && pfad[0] <= 'Z') || (pfad[0] >= 'a' && pfad[0] <= 'z')) &&
                      pfad.find('\0') == Pfad::npos;
    throw FsFehler(operation, pfad, Fehlercode(form ? ENODEV : EINVAL));
}

} // namespace tresor::posix
