#include "fs/posix/OffeneOrdner.h"

#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"

#include <linux/openat2.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

namespace tresor::posix {

namespace {

// The key of a program path in the cache (the library's string hash, which takes several bytes at a step).
std::uint64_t Streuwert(std::string_view text) {
    return std::hash<std::string_view>{}(text);
}

// True when `pfad` is `wurzel` or lies below it (program form; a drive root ends in its backslash).
bool Unter(std::string_view pfad, std::string_view wurzel) {
    if (!pfad.starts_with(wurzel))
        return false;
    return pfad.size() == wurzel.size() || wurzel.back() == '\\' || pfad[wurzel.size()] == '\\';
}

// Opens the entry `relativ` (names joined by "/") below `wurzel` as a path (O_PATH, and `flags`) in one call,
// following no link on the way nor in its last name, and never leaving `wurzel`. -1 with errno where it fails,
// ENOSYS where the kernel does not know openat2.
int OeffneDarunter(int wurzel, const char* relativ, int flags) {
    struct open_how wie {};
    wie.flags = static_cast<std::uint64_t>(flags | O_PATH | O_NOFOLLOW | O_CLOEXEC);
    wie.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    return static_cast<int>(::syscall(SYS_openat2, wurzel, relativ, &wie, sizeof wie));
}

// Opens the folder `relativ` (names joined by "/") below `wurzel` as a path, without following a link on the
// way and without leaving `wurzel`: one call where the kernel knows openat2, else one name at a time.
Deskriptor OeffneUnter(int wurzel, const std::string& relativ) {
    const int fd = OeffneDarunter(wurzel, relativ.c_str(), O_DIRECTORY);
    if (fd >= 0)
        return Deskriptor(fd);
    if (errno != ENOSYS && errno != ENAMETOOLONG && errno != EAGAIN)
        return Deskriptor();
    Deskriptor stufe;
    std::size_t anfang = 0;
    for (;;) {
        const std::size_t schluss = std::min(relativ.find('/', anfang), relativ.size());
        const std::string name = relativ.substr(anfang, schluss - anfang);
        Deskriptor naechste(::openat(stufe.gueltig() ? stufe.get() : wurzel, name.c_str(),
                                     O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!naechste.gueltig())
            return naechste;
        stufe = std::move(naechste);
        if (schluss == relativ.size())
            return stufe;
        anfang = schluss + 1;
    }
}

} // namespace

std::size_t OffeneOrdner::Platz() {
    struct rlimit grenze {};
    if (::getrlimit(RLIMIT_NOFILE, &grenze) != 0 || grenze.rlim_cur == RLIM_INFINITY)
        return 1024;
    // An eighth of the limit: a run holds up to four file-system objects at once (the source, the target, a
    // restore's destination, a check's source), which together keep at most half the limit, and the other half
    // is left to the files being read and written.
    return std::clamp<std::size_t>(static_cast<std::size_t>(grenze.rlim_cur) / 8, 16, 16384);
}

bool OffeneOrdner::MachePlatz(const OffenerOrdner* behalten) {
    // The process ran out of descriptors (other objects keep folders too): the older half of the folders this
    // object keeps goes, never a root and never the folder a lookup is just coming from.
    std::size_t frei = 0;
    const std::size_t ziel = (offen_.size() + 1) / 2;
    for (auto it = offen_.end(); it != offen_.begin() && frei < ziel;) {
        --it;
        if (it->Wurzel || &*it == behalten)
            continue;
        const auto weg = it;
        ++it;
        Vergiss(weg);
        ++frei;
    }
    return frei > 0;
}

OffeneOrdner::OffenerOrdner* OffeneOrdner::Finde(std::string_view programmpfad, std::uint64_t schluessel) {
    const auto [von, bis] = index_.equal_range(schluessel);
    for (auto it = von; it != bis; ++it) {
        if (it->second->Programmpfad == programmpfad) {
            offen_.splice(offen_.begin(), offen_, it->second);
            return &offen_.front();
        }
    }
    return nullptr;
}

OffeneOrdner::OffenerOrdner& OffeneOrdner::Merke(OffenerOrdner neu) {
    if (offen_.size() >= hoechstens_) {
        // The least recently used folder that is not a root goes.
        for (auto it = offen_.end(); it != offen_.begin();) {
            --it;
            if (!it->Wurzel) {
                Vergiss(it);
                break;
            }
        }
    }
    offen_.push_front(std::move(neu));
    index_.emplace(offen_.front().Schluessel, offen_.begin());
    return offen_.front();
}

void OffeneOrdner::Vergiss(Liste::iterator eintrag) {
    const auto [von, bis] = index_.equal_range(eintrag->Schluessel);
    for (auto it = von; it != bis; ++it) {
        if (it->second == eintrag) {
            index_.erase(it);
            break;
        }
    }
    offen_.erase(eintrag);
}

template <typename Bedingung> void OffeneOrdner::VergissWenn(Bedingung bedingung) {
    for (auto it = offen_.begin(); it != offen_.end();) {
        const auto naechster = std::next(it);
        if (bedingung(*it))
            Vergiss(it);
        it = naechster;
    }
}

const OffeneOrdner::OffenerOrdner* OffeneOrdner::WurzelUeber(std::string_view pfad) const {
    const OffenerOrdner* beste = nullptr;
    for (const OffenerOrdner* o : wurzeln_)
        if (Unter(pfad, o->Programmpfad) && (beste == nullptr || o->Programmpfad.size() > beste->Programmpfad.size()))
            beste = o;
    return beste;
}

int OffeneOrdner::Wurzel(const Pfad& pfad) const {
    for (const OffenerOrdner* o : wurzeln_)
        if (o->Programmpfad == pfad)
            return o->Fd.get();
    return -1;
}

bool OffeneOrdner::UnterWurzel(const Pfad& pfad) const {
    return WurzelUeber(pfad) != nullptr;
}

void OffeneOrdner::Halte(const Pfad& pfad, Deskriptor fd, const struct stat& st) {
    // Folders below it that were opened by their whole path are reached from the root from now on.
    VergissWenn([&](const OffenerOrdner& o) { return !o.UnterWurzel && Unter(o.Programmpfad, pfad); });
    wurzeln_.push_back(&Merke(OffenerOrdner{pfad, Streuwert(pfad), std::move(fd), st.st_dev, st.st_ino, true, true}));
}

void OffeneOrdner::LasseLos(const Pfad& pfad) {
    std::erase_if(wurzeln_, [&](const OffenerOrdner* o) { return o->Programmpfad == pfad; });
    VergissWenn([&](const OffenerOrdner& o) { return Unter(o.Programmpfad, pfad); });
}

OffeneOrdner::OffenerOrdner* OffeneOrdner::Ordnerfuer(const char* operation, const Pfad& pfad,
                                                      std::string_view ordnerpfad, int& fehler) {
    const OffenerOrdner* wurzel = WurzelUeber(ordnerpfad);
    if (wurzel == nullptr) {
        // Outside every root: the folder as the kernel resolves its whole path.
        if (OffenerOrdner* o = Finde(ordnerpfad, Streuwert(ordnerpfad)); o != nullptr && !o->UnterWurzel)
            return o;
        const auto posix = laufwerke_.ZuPosix(ordnerpfad);
        if (!posix)
            Unbrauchbar(operation, pfad);
        const Systempfad sp(*posix);
        if (sp.Fehler() != 0) {
            fehler = sp.Fehler();
            return nullptr;
        }
        Deskriptor fd(::open(sp.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!fd.gueltig() && (errno == EMFILE || errno == ENFILE) && MachePlatz(nullptr))
            fd = Deskriptor(::open(sp.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (!fd.gueltig() || ::fstat(fd.get(), &st) != 0) {
            fehler = errno;
            return nullptr;
        }
        return &Merke(
            OffenerOrdner{Pfad(ordnerpfad), Streuwert(ordnerpfad), std::move(fd), st.st_dev, st.st_ino, false, false});
    }

    // Below a root: the folder itself when it is held, else the nearest folder on the way that is, then one
    // name at a time from there.
    const std::size_t wurzellaenge = wurzel->Programmpfad.size();
    OffenerOrdner* von = Finde(ordnerpfad, Streuwert(ordnerpfad));
    if (von != nullptr && von->UnterWurzel)
        return von;
    std::size_t ende = ordnerpfad.size();
    von = nullptr;
    while (von == nullptr) {
        ende = ordnerpfad.rfind('\\', ende - 1);
        if (ende == std::string_view::npos || ende < wurzellaenge) {
            von = Finde(wurzel->Programmpfad, Streuwert(wurzel->Programmpfad));
            ende = wurzellaenge;
            break;
        }
        const std::string_view stufe = ordnerpfad.substr(0, ende);
        OffenerOrdner* o = Finde(stufe, Streuwert(stufe));
        if (o != nullptr && o->UnterWurzel)
            von = o;
    }
    // `ende` is where the held folder's path ends; the names below it follow its backslash.
    std::size_t anfang = ordnerpfad[ende - 1] == '\\' ? ende : ende + 1;
    for (;;) {
        std::size_t schluss = ordnerpfad.find('\\', anfang);
        if (schluss == std::string_view::npos)
            schluss = ordnerpfad.size();
        const std::string_view stueck = ordnerpfad.substr(anfang, schluss - anfang);
        if (stueck.empty() || stueck == "." || stueck == ".." || stueck.find('\0') != std::string_view::npos)
            Unbrauchbar(operation, pfad);
        const std::string name = NamenAusPosix(stueck);
        Deskriptor fd(::openat(von->Fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.gueltig() && (errno == EMFILE || errno == ENFILE) && MachePlatz(von))
            fd = Deskriptor(::openat(von->Fd.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd.gueltig() || ::fstat(fd.get(), &st) != 0) {
            fehler = errno;
            return nullptr;
        }
        const std::string_view stufe = ordnerpfad.substr(0, schluss);
        von = &Merke(OffenerOrdner{Pfad(stufe), Streuwert(stufe), std::move(fd), st.st_dev, st.st_ino, false, true});
        if (schluss == ordnerpfad.size())
            break;
        anfang = schluss + 1;
    }
    return von;
}

int OffeneOrdner::Verorte(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    ort.ganz_.reset();
    // A root is named as "." in its own descriptor: whatever its path names now, the calls go to the folder
    // held since the walk began.
    for (const OffenerOrdner* o : wurzeln_) {
        if (o->Programmpfad == pfad) {
            ort.ordner_ = o->Fd.get();
            ort.ordnerGeraet_ = o->Geraet;
            ort.ordnerInode_ = o->Inode;
            ort.ordnerpfad_ = o->Programmpfad;
            ort.name_.assign(1, '.'); // (not from a literal: a false warning of GCC 12)
            return 0;
        }
    }
    const auto schnitt = pfad.rfind('\\');
    const std::string_view name =
        schnitt == Pfad::npos ? std::string_view() : std::string_view(pfad).substr(schnitt + 1);
    if (schnitt == Pfad::npos || schnitt < 2 || name.empty() || name == "." || name == "..") {
        // Below a held folder no path ever leaves it: a last name "." or ".." is refused there, never handed to
        // the kernel as a whole path (a trailing backslash, which names the folder itself, still is).
        if ((name == "." || name == "..") && WurzelUeber(std::string_view(pfad).substr(0, schnitt)) != nullptr)
            Unbrauchbar(operation, pfad);
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
    int fehler = 0;
    OffenerOrdner* o = Ordnerfuer(operation, pfad, ordnerpfad, fehler);
    if (o == nullptr)
        return fehler;
    ort.name_ = NamenAusPosix(name);
    ort.ordner_ = o->Fd.get();
    ort.ordnerGeraet_ = o->Geraet;
    ort.ordnerInode_ = o->Inode;
    ort.ordnerpfad_ = o->Programmpfad;
    return 0;
}

bool OffeneOrdner::Erneuert(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    if (ort.Ganz() || ort.ordnerpfad_.empty())
        return false;
    OffenerOrdner* gehalten = Finde(ort.ordnerpfad_, Streuwert(ort.ordnerpfad_));
    if (gehalten == nullptr || gehalten->Wurzel)
        return false;
    // A removed folder has no links left; one that is still there is the folder the path names.
    struct stat st {};
    if (::fstat(gehalten->Fd.get(), &st) != 0 || st.st_nlink != 0)
        return false;
    Vergiss(offen_.begin()); // Finde put it first
    if (const int fehler = Verorte(operation, pfad, ort); fehler != 0) {
        errno = fehler;
        return false;
    }
    return true;
}

bool OffeneOrdner::AmOrt(const Eintragsort& ort) {
    if (ort.Ganz() || ort.ordnerpfad_.empty() || ort.IstSelbst())
        return true;
    const std::string_view ordnerpfad = ort.ordnerpfad_;
    const OffenerOrdner* wurzel = WurzelUeber(ordnerpfad);
    if (wurzel != nullptr && wurzel->Programmpfad == ordnerpfad)
        return true;
    struct stat st {};
    bool gleich = false;
    if (wurzel == nullptr) {
        // Opened by its whole path: the path as the kernel resolves it now.
        const auto posix = laufwerke_.ZuPosix(ordnerpfad);
        const std::optional<Systempfad> sp = posix ? std::optional<Systempfad>(std::in_place, *posix) : std::nullopt;
        gleich = sp && sp->Fehler() == 0 && ::stat(sp->c_str(), &st) == 0;
    } else {
        const Deskriptor jetzt = OeffneUnter(wurzel->Fd.get(), Relativ(*wurzel, ordnerpfad));
        gleich = jetzt.gueltig() && ::fstat(jetzt.get(), &st) == 0;
    }
    if (gleich && st.st_dev == ort.ordnerGeraet_ && st.st_ino == ort.ordnerInode_)
        return true;
    // The folder that was renamed away may be this one or any above it up to the root: the held folders on
    // that way go too, or the next lookup would reach the old folder again through a held one above it.
    VergissWenn([&](const OffenerOrdner& o) {
        return !o.Wurzel && (Unter(o.Programmpfad, ordnerpfad) || Unter(ordnerpfad, o.Programmpfad));
    });
    return false;
}

std::string OffeneOrdner::Relativ(const OffenerOrdner& wurzel, std::string_view ordnerpfad) {
    const std::size_t wurzellaenge = wurzel.Programmpfad.size();
    std::size_t anfang = ordnerpfad[wurzellaenge - 1] == '\\' ? wurzellaenge : wurzellaenge + 1;
    std::string relativ;
    for (;;) {
        const std::size_t schluss = std::min(ordnerpfad.find('\\', anfang), ordnerpfad.size());
        if (!relativ.empty())
            relativ += '/';
        relativ += NamenAusPosix(ordnerpfad.substr(anfang, schluss - anfang));
        if (schluss == ordnerpfad.size())
            break;
        anfang = schluss + 1;
    }
    return relativ;
}

std::optional<struct stat> OffeneOrdner::Nachsehen(const Eintragsort& ort) {
    if (ort.Ganz() || ort.ordnerpfad_.empty() || ort.IstSelbst())
        return std::nullopt;
    const OffenerOrdner* wurzel = WurzelUeber(ort.ordnerpfad_);
    if (wurzel == nullptr || wurzel->Programmpfad == ort.ordnerpfad_)
        return std::nullopt;
    // One call where the kernel knows openat2; elsewhere AmOrt tells.
    const std::string relativ = Relativ(*wurzel, ort.ordnerpfad_) + '/' + ort.name_;
    const Deskriptor jetzt(OeffneDarunter(wurzel->Fd.get(), relativ.c_str(), 0));
    if (!jetzt.gueltig())
        return std::nullopt;
    struct stat st {};
    if (::fstat(jetzt.get(), &st) != 0)
        return std::nullopt;
    return st;
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

Deskriptor OffeneOrdner::OeffneOrdner(const char* operation, const Pfad& pfad, int flags) {
    flags |= O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Eintragsort ort;
    if (const int fehler = Verorte(operation, pfad, ort); fehler != 0) {
        errno = fehler;
        return Deskriptor();
    }
    Deskriptor fd(::openat(ort.Ordner(), ort.Name(), flags));
    if (!fd.gueltig() && errno == ENOENT && Erneuert(operation, pfad, ort))
        fd = Deskriptor(::openat(ort.Ordner(), ort.Name(), flags));
    return fd;
}

} // namespace tresor::posix
