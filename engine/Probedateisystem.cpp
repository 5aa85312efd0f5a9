#include "engine/Probedateisystem.h"

#include "fs/Attribute.h"

#include "fs/FsFehler.h"

#include <sys/stat.h>

#include <cerrno>

namespace tresor {

Probedateisystem::Probedateisystem(std::unique_ptr<Dateisystem> innen, Laufwerkstabelle laufwerke,
                                   Probeergebnis& ergebnis)
    : innen_(std::move(innen)), laufwerke_(std::move(laufwerke)), ergebnis_(ergebnis) {}

int Probedateisystem::Attributes(const Datei& datei) {
    const int wert = innen_->Attributes(datei);
    return geloescht_.contains(datei.Path) && (wert & attr::Archiv) ? wert - attr::Archiv : wert;
}

Quellstand Probedateisystem::Copy(const Datei& datei, const Pfad& ziel) {
    Quellstand stand;
    struct stat st {};
    const auto posix = laufwerke_.ZuPosix(datei.Path);
    if (!posix || lstat(posix->c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw FsFehler("Copy", datei.Path, std::error_code(errno ? errno : ENOENT, std::generic_category()));
    stand.Groesse = st.st_size;
    ergebnis_.Dateien.push_back(datei.Path);
    ergebnis_.Bytes += static_cast<std::uint64_t>(st.st_size);
    angelegt_.insert(ziel);
    return stand;
}

std::string Probedateisystem::Dir(const Pfad& pfad, int maske) {
    if (angelegt_.contains(pfad))
        return pfad.substr(pfad.rfind('\\') + 1);
    if (!pfad.empty() && pfad.back() == '\\' && angelegt_.contains(pfad.substr(0, pfad.size() - 1)))
        return (maske & attr::Verzeichnis) ? "." : "";
    return innen_->Dir(pfad, maske);
}

void Probedateisystem::MakeDir(const Pfad& pfad, Anlage) {
    ergebnis_.Ordner.push_back(pfad);
    angelegt_.insert(pfad);
}

void Probedateisystem::SetFileAttr(const Pfad& pfad, int wert, const Quellstand&) {
    if (!(wert & attr::Archiv))
        geloescht_.insert(pfad);
}

} // namespace tresor
