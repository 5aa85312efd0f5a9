#include "engine/sicherung/Probedateisystem.h"

#include "fs/Attribute.h"
#include "fs/FsFehler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tresor {

namespace {

// lstat of an absolute path of any length: the folders on the way are opened one by one, so a path longer
// than the kernel takes in one piece still works. Returns 0 or an error number.
int LstatInStufen(const std::string& posix, struct stat& st) {
    const auto schnitt = posix.rfind('/');
    if (posix.empty() || posix[0] != '/' || schnitt == std::string::npos)
        return EINVAL;
    int ordner = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (ordner < 0)
        return errno;
    std::size_t anfang = 1;
    while (anfang < schnitt) {
        const std::size_t ende = posix.find('/', anfang);
        const std::string name = posix.substr(anfang, ende - anfang);
        anfang = ende + 1;
        if (name.empty())
            continue;
        const int naechster = ::openat(ordner, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int fehler = errno;
        ::close(ordner);
        if (naechster < 0)
            return fehler;
        ordner = naechster;
    }
    const std::string letzter = posix.substr(schnitt + 1);
    const int r = ::fstatat(ordner, letzter.empty() ? "." : letzter.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    const int fehler = errno;
    ::close(ordner);
    return r == 0 ? 0 : fehler;
}

} // namespace

Probedateisystem::Probedateisystem(std::unique_ptr<Dateisystem> innen, Laufwerkstabelle laufwerke,
                                   Probeergebnis& ergebnis)
    : innen_(std::move(innen)), laufwerke_(std::move(laufwerke)), ergebnis_(ergebnis) {}

int Probedateisystem::Attributes(const Datei& datei) {
    const int wert = innen_->Attributes(datei);
    return geloescht_.contains(datei.Path) && (wert & attr::Archiv) ? wert - attr::Archiv : wert;
}

bool Probedateisystem::ArchivGesetzt(const Datei& datei) {
    const bool gesetzt = innen_->ArchivGesetzt(datei);
    return gesetzt && !geloescht_.contains(datei.Path);
}

std::optional<Datei> Probedateisystem::DateiZuSichern(const Pfad& pfad, Eintragsstand* gesehen) {
    auto datei = innen_->DateiZuSichern(pfad, gesehen);
    if (datei && geloescht_.contains(pfad))
        return std::nullopt;
    return datei;
}

Quellstand Probedateisystem::Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt&) {
    Quellstand stand;
    struct stat st {};
    const auto posix = laufwerke_.ZuPosix(datei.Path);
    int fehler = posix ? LstatInStufen(*posix, st) : ENODEV;
    // A symbolic link is copied as a link (its size is the length of its target text).
    if (fehler == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        fehler = EINVAL;
    if (fehler != 0)
        throw FsFehler("Copy", datei.Path, std::error_code(fehler, std::generic_category()));
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

bool Probedateisystem::NurWindowsNamen(const Pfad& ordner) {
    // The backup folder and its mirrors are only pretended: the nearest folder that is there names the file system.
    Pfad da = ordner;
    while (da.size() > 3 && angelegt_.contains(da)) {
        da.resize(da.rfind('\\'));
        if (da.size() == 2)
            da += '\\';
    }
    // A medium through FUSE, whose driver only a file made there and removed would tell, counts as one that stores
    // only the names Windows allows. So the dry run may name a file that the real run still copies (NTFS through
    // ntfs-3g stores every name unless mounted with windows_names, as desktops commonly mount it), but never lists
    // as copied one that the real run passes over.
    return innen_->NurWindowsNamenBekannt(da).value_or(true);
}

Quellstand Probedateisystem::SetFileAttr(const Pfad& pfad, int wert, const Quellstand&) {
    if (!(wert & attr::Archiv))
        geloescht_.insert(pfad);
    return {};
}

} // namespace tresor
