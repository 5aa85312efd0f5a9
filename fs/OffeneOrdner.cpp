#include "fs/OffeneOrdner.h"

#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"

#include <algorithm>
#include <cerrno>

namespace tresor::posix {

int OffeneOrdner::Verorte(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    const auto schnitt = pfad.rfind('\\');
    const std::string_view name =
        schnitt == Pfad::npos ? std::string_view() : std::string_view(pfad).substr(schnitt + 1);
    if (schnitt == Pfad::npos || schnitt < 2 || name.empty() || name == "." || name == "..") {
        const auto posix = laufwerke_.ZuPosix(pfad);
        if (!posix)
            Unbrauchbar(operation, pfad);
        ort.ganz_.emplace(*posix);
        return ort.ganz_->Fehler();
    }
    // The folder: "X:\" for an entry of a drive root, else everything before the last backslash.
    // A NUL byte would cut the name short in every system call; such a path is not in program form.
    if (name.find('\0') != std::string_view::npos)
        Unbrauchbar(operation, pfad);
    const std::string_view ordnerpfad = std::string_view(pfad).substr(0, schnitt == 2 ? 3 : schnitt);
    ort.name_ = NamenAusPosix(name);
    for (std::size_t i = 0; i < offen_.size(); ++i) {
        if (offen_[i].Programmpfad == ordnerpfad) {
            if (i != 0)
                std::rotate(offen_.begin(), offen_.begin() + static_cast<std::ptrdiff_t>(i),
                            offen_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            ort.ordner_ = offen_.front().Fd.get();
            ort.ordnerGeraet_ = offen_.front().Geraet;
            ort.ordnerpfad_ = offen_.front().Programmpfad;
            return 0;
        }
    }
    const auto posix = laufwerke_.ZuPosix(ordnerpfad);
    if (!posix)
        Unbrauchbar(operation, pfad);
    const Systempfad sp(*posix);
    if (sp.Fehler() != 0)
        return sp.Fehler();
    Deskriptor fd(::open(sp.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!fd.gueltig() || ::fstat(fd.get(), &st) != 0)
        return errno;
    if (offen_.size() >= Hoechstens)
        offen_.pop_back();
    offen_.insert(offen_.begin(), OffenerOrdner{Pfad(ordnerpfad), std::move(fd), st.st_dev});
    ort.ordner_ = offen_.front().Fd.get();
    ort.ordnerGeraet_ = st.st_dev;
    ort.ordnerpfad_ = offen_.front().Programmpfad;
    return 0;
}

bool OffeneOrdner::Erneuert(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    if (ort.Ganz())
        return false;
    const auto gehalten = std::find_if(offen_.begin(), offen_.end(),
                                       [&](const OffenerOrdner& o) { return o.Programmpfad == ort.ordnerpfad_; });
    if (gehalten == offen_.end())
        return false;
    // A removed folder has no links left; one that is still there is the folder the path names.
    struct stat st {};
    if (::fstat(gehalten->Fd.get(), &st) != 0 || st.st_nlink != 0)
        return false;
    offen_.erase(gehalten);
    if (const int fehler = Verorte(operation, pfad, ort); fehler != 0) {
        errno = fehler;
        return false;
    }
    return true;
}

void OffeneOrdner::VerorteOderWirf(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    if (const int fehler = Verorte(operation, pfad, ort); fehler != 0)
        throw FsFehler(operation, pfad, Fehlercode(fehler));
}

struct stat OffeneOrdner::StatAn(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    struct stat st {};
    if (::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return st;
    int fehler = errno;
    if (fehler == ENOENT && Erneuert(operation, pfad, ort)) {
        if (::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return st;
        fehler = errno;
    }
    throw FsFehler(operation, pfad, Fehlercode(fehler));
}

} // namespace tresor::posix
