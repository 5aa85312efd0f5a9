// The system calls of the record of the source and of restores (see Eintragszugriff.h).
#include "fs/posix/Eintragszugriff.h"

#include "fs/FsFehler.h"
#include "fs/ablage/Archivvermerk.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Ordnereintraege.h"
#include "fs/system/Schreibfehler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <utility>

namespace tresor {

namespace {

using posix::Deskriptor;
using posix::Fehlercode;

bool Fehlt(int nummer) {
    return nummer == ENOENT || nummer == ENOTDIR;
}

// Reads the open file to its end and hands each piece read to `nimm`.
template <typename Nimm> void LiesBisEnde(int fd, const Pfad& pfad, Nimm&& nimm) {
    static thread_local char puffer[1 << 17];
    for (;;) {
        const ssize_t n = ::read(fd, puffer, sizeof puffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FsFehler("Lesen", pfad, Fehlercode(errno));
        }
        if (n == 0)
            return;
        nimm(static_cast<const char*>(puffer), static_cast<std::size_t>(n));
    }
}

// The state of the entry `name` in the open folder `ordner` (never followed; a link's target read with it), or
// nothing when it is not there. `pfad()` names it in errors.
template <typename Pfadgeber>
std::optional<Eintragsstand> StandAm(int ordner, const char* name, const Pfadgeber& pfad) {
    struct stat st {};
    if (::fstatat(ordner, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (Fehlt(errno))
            return std::nullopt;
        throw FsFehler("Stand", pfad(), Fehlercode(errno));
    }
    Eintragsstand e = EintragsstandAus(st);
    if (e.Typ == Eintragsstand::Art::Verweis) {
        std::string ziel(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        for (;;) {
            const ssize_t n = ::readlinkat(ordner, name, ziel.data(), ziel.size());
            if (n < 0) {
                if (Fehlt(errno))
                    return std::nullopt;
                throw FsFehler("Stand", pfad(), Fehlercode(errno));
            }
            if (static_cast<std::size_t>(n) < ziel.size()) {
                ziel.resize(static_cast<std::size_t>(n));
                break;
            }
            ziel.resize(ziel.size() * 2);
        }
        e.Verweisziel = std::move(ziel);
    }
    return e;
}

} // namespace

Eintragsstand EintragsstandAus(const struct stat& st) {
    Eintragsstand e;
    e.Typ = S_ISDIR(st.st_mode)   ? Eintragsstand::Art::Ordner
            : S_ISREG(st.st_mode) ? Eintragsstand::Art::Datei
            : S_ISLNK(st.st_mode) ? Eintragsstand::Art::Verweis
                                  : Eintragsstand::Art::Anderes;
    e.Groesse = static_cast<std::int64_t>(st.st_size);
    e.MtimeNs = posix::MtimeNs(st);
    e.Modus = static_cast<std::uint32_t>(st.st_mode & 07777);
    e.Uid = st.st_uid;
    e.Gid = st.st_gid;
    e.Geraet = st.st_dev;
    e.Inode = st.st_ino;
    e.CtimeNs = posix::CtimeNs(st);
    e.Namen = st.st_nlink;
    return e;
}

// An entry as the system calls take it: an open folder (the one kept open) and one name in it.
struct Eintragszugriff::Ort {
    int Ordner = -1;
    std::string Name;
    int Fehler = 0; // the error number of the way there, 0 when the folder is open
};

Eintragszugriff::Eintragszugriff(Laufwerkstabelle laufwerke) : laufwerke_(std::move(laufwerke)) {}

Eintragszugriff::~Eintragszugriff() {
    for (const auto& [pfad, fd] : kette_)
        ::close(fd);
}

// Opens the POSIX folder one name at a time from the root, never following a link. The folders on the way
// stay open as a chain: the next folder asked for is reached from the deepest of them that lies on its way, so a
// walk through a tree opens each folder about once. Returns the descriptor, or -1 with errno set.
int Eintragszugriff::OeffneOrdner(const Pfad&, std::string& posix) {
    while (posix.size() > 1 && posix.back() == '/')
        posix.pop_back();
    if (posix.empty() || posix[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    // How much of the chain lies on the way: kette_[i] holds the folder whose path is the way's first i names.
    std::size_t gleich = 0;
    while (gleich < kette_.size()) {
        const std::string& p = kette_[gleich].first;
        const bool aufDemWeg =
            p == "/" || (posix.starts_with(p) && (posix.size() == p.size() || posix[p.size()] == '/'));
        if (!aufDemWeg)
            break;
        ++gleich;
    }
    while (kette_.size() > gleich) {
        ::close(kette_.back().second);
        kette_.pop_back();
    }
    if (kette_.empty()) {
        const int wurzel = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (wurzel < 0)
            return -1;
        kette_.emplace_back("/", wurzel);
    }
    std::size_t pos = kette_.back().first.size() + (kette_.size() == 1 ? 0 : 1);
    while (pos < posix.size()) {
        std::size_t ende = posix.find('/', pos);
        if (ende == std::string::npos)
            ende = posix.size();
        const std::string name = posix.substr(pos, ende - pos);
        pos = ende + 1;
        if (name.empty())
            continue;
        // A program path is never normalised; a step up would leave the path it names.
        if (name == "." || name == "..") {
            errno = EINVAL;
            return -1;
        }
        const int neu = ::openat(kette_.back().second, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (neu < 0) {
            // A link where a folder is expected is no folder on this way.
            if (errno == ELOOP)
                errno = ENOTDIR;
            return -1;
        }
        kette_.emplace_back(posix.substr(0, ende), neu);
    }
    return kette_.back().second;
}

Eintragszugriff::Ort Eintragszugriff::Finde(const Pfad& pfad) {
    const auto posix = laufwerke_.ZuPosix(pfad);
    if (!posix)
        throw FsFehler("Bestand", pfad, Fehlercode(pfad.size() >= 2 && pfad[1] == ':' ? ENODEV : EINVAL));
    Ort ort;
    std::string ordner;
    if (pfad.size() == 3) {
        ordner = *posix;
        ort.Name = ".";
    } else {
        const std::size_t schnitt = posix->rfind('/');
        ordner = schnitt == 0 ? "/" : posix->substr(0, schnitt);
        ort.Name = posix->substr(schnitt + 1);
    }
    ort.Ordner = OeffneOrdner(pfad, ordner);
    if (ort.Ordner < 0)
        ort.Fehler = errno;
    return ort;
}

std::optional<Eintragsstand> Eintragszugriff::Stand(const Pfad& pfad) {
    const Ort ort = Finde(pfad);
    if (ort.Fehler != 0) {
        if (Fehlt(ort.Fehler))
            return std::nullopt;
        throw FsFehler("Stand", pfad, Fehlercode(ort.Fehler));
    }
    return StandIn(ort.Ordner, ort.Name.c_str(), pfad);
}

std::optional<Eintragsstand> Eintragszugriff::StandIn(int ordner, const char* name, const Pfad& pfad) {
    return StandAm(ordner, name, [&pfad] { return pfad; });
}

Ordnergriff Eintragszugriff::Halte(const Pfad& ordner) {
    std::string posix = laufwerke_.ZuPosix(ordner).value_or("");
    if (posix.empty())
        throw FsFehler("Bestand", ordner, Fehlercode(ordner.size() >= 2 && ordner[1] == ':' ? ENODEV : EINVAL));
    const int weg = OeffneOrdner(ordner, posix);
    if (weg < 0) {
        if (Fehlt(errno))
            return {};
        throw FsFehler("Stand", ordner, Fehlercode(errno));
    }
    const int fd = ::fcntl(weg, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        throw FsFehler("Stand", ordner, Fehlercode(errno));
    return {fd, ordner};
}

Ordnergriff::~Ordnergriff() {
    if (fd_ >= 0)
        ::close(fd_);
}

Ordnergriff::Ordnergriff(Ordnergriff&& andere) noexcept
    : fd_(std::exchange(andere.fd_, -1)), pfad_(std::move(andere.pfad_)) {}

Ordnergriff& Ordnergriff::operator=(Ordnergriff&& andere) noexcept {
    if (this != &andere) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(andere.fd_, -1);
        pfad_ = std::move(andere.pfad_);
    }
    return *this;
}

std::optional<Eintragsstand> Ordnergriff::Stand(std::string_view name) const {
    if (fd_ < 0)
        return std::nullopt;
    // A name with a slash would reach into another folder; "." and ".." are no entries of this folder.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos)
        throw FsFehler("Stand", pfad_, Fehlercode(EINVAL));
    const std::string eigen(name);
    return StandAm(fd_, eigen.c_str(), [&] {
        Pfad pfad = pfad_;
        if (pfad.size() != 3)
            pfad += '\\';
        NamenAusPosixAn(name, pfad);
        return pfad;
    });
}

std::optional<std::vector<std::string>> Eintragszugriff::Namen(const Pfad& ordner) {
    std::string posix = laufwerke_.ZuPosix(ordner).value_or("");
    if (posix.empty())
        throw FsFehler("Namen", ordner, Fehlercode(EINVAL));
    const int weg = OeffneOrdner(ordner, posix);
    if (weg < 0) {
        if (Fehlt(errno))
            return std::nullopt;
        throw FsFehler("Namen", ordner, Fehlercode(errno));
    }
    int fehler = 0;
    const Deskriptor fd(::openat(weg, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.gueltig())
        throw FsFehler("Namen", ordner, Fehlercode(errno));
    auto namen = posix::LiesNamen(fd.get(), fehler);
    if (fehler != 0)
        throw FsFehler("Namen", ordner, Fehlercode(fehler));
    return namen;
}

Lesedatei::~Lesedatei() {
    if (fd_ >= 0)
        ::close(fd_);
}

Lesedatei::Lesedatei(Lesedatei&& andere) noexcept
    : fd_(std::exchange(andere.fd_, -1)), pfad_(std::move(andere.pfad_)), groesse_(andere.groesse_) {}

Lesedatei& Lesedatei::operator=(Lesedatei&& andere) noexcept {
    if (this != &andere) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(andere.fd_, -1);
        pfad_ = std::move(andere.pfad_);
        groesse_ = andere.groesse_;
    }
    return *this;
}

std::size_t Lesedatei::Lies(std::uint64_t ab, char* ziel, std::size_t n) {
    std::size_t gelesen = 0;
    while (gelesen < n && ab + gelesen < groesse_) {
        const auto rest = static_cast<std::size_t>(std::min<std::uint64_t>(n - gelesen, groesse_ - ab - gelesen));
        const ssize_t k = ::pread(fd_, ziel + gelesen, rest, static_cast<off_t>(ab + gelesen));
        if (k < 0) {
            if (errno == EINTR)
                continue;
            throw FsFehler("Lesen", pfad_, Fehlercode(errno));
        }
        if (k == 0)
            break;
        gelesen += static_cast<std::size_t>(k);
    }
    return gelesen;
}

std::optional<Lesedatei> Eintragszugriff::OeffneDatei(const Pfad& pfad) {
    const Ort ort = Finde(pfad);
    if (ort.Fehler != 0) {
        if (Fehlt(ort.Fehler))
            return std::nullopt;
        throw FsFehler("Lesen", pfad, Fehlercode(ort.Fehler));
    }
    Deskriptor datei =
        posix::OeffneZumLesen(ort.Ordner, ort.Name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (!datei.gueltig()) {
        if (Fehlt(errno))
            return std::nullopt;
        throw FsFehler("Lesen", pfad, Fehlercode(errno));
    }
    struct stat st {};
    if (::fstat(datei.get(), &st) != 0)
        throw FsFehler("Lesen", pfad, Fehlercode(errno));
    if (!S_ISREG(st.st_mode))
        throw FsFehler("Lesen", pfad, Fehlercode(EISDIR));
    ::posix_fadvise(datei.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return Lesedatei(datei.freigeben(), pfad, static_cast<std::uint64_t>(st.st_size));
}

std::optional<std::string> Eintragszugriff::LiesDatei(const Pfad& pfad) {
    auto datei = OeffneDatei(pfad);
    if (!datei)
        return std::nullopt;
    std::string inhalt(static_cast<std::size_t>(datei->Groesse()), '\0');
    inhalt.resize(datei->Lies(0, inhalt.data(), inhalt.size()));
    return inhalt;
}

std::uint64_t Eintragszugriff::LiesDurch(const Pfad& pfad, std::uint64_t groesse, Summierer* summe) {
    const Ort ort = Finde(pfad);
    if (ort.Fehler != 0)
        throw FsFehler("Lesen", pfad, Fehlercode(ort.Fehler));
    Deskriptor datei =
        posix::OeffneZumLesen(ort.Ordner, ort.Name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (!datei.gueltig())
        throw FsFehler("Lesen", pfad, Fehlercode(errno == ELOOP ? EINVAL : errno));
    struct stat st {};
    if (::fstat(datei.get(), &st) != 0)
        throw FsFehler("Lesen", pfad, Fehlercode(errno));
    if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != groesse)
        throw FsFehler("Lesen", pfad, Fehlercode(EINVAL));
    ::posix_fadvise(datei.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    if (summe != nullptr)
        summe->Neu();
    std::uint64_t gelesen = 0;
    LiesBisEnde(datei.get(), pfad, [&](const char* daten, std::size_t n) {
        if (summe != nullptr)
            summe->Dazu(daten, n);
        gelesen += n;
    });
    return gelesen;
}

std::string Eintragszugriff::SchreibeDauerhaft(const Pfad& ordner, const std::function<std::string(int)>& name,
                                               const std::string& inhalt) {
    return SchreibeDauerhaft(ordner, name, [&inhalt](const Stueckweise& aus) { aus(inhalt); });
}

std::string Eintragszugriff::SchreibeDauerhaft(const Pfad& ordner, const std::function<std::string(int)>& name,
                                               const std::function<void(const Stueckweise&)>& schreibe) {
    Dauerschrift schrift = BeginneDauerhaft(ordner);
    schreibe([&schrift](std::string_view inhalt) { schrift.Schreibe(inhalt); });
    return schrift.Vollende(name);
}

Dauerschrift Eintragszugriff::BeginneDauerhaft(const Pfad& ordner) {
    std::string posix = laufwerke_.ZuPosix(ordner).value_or("");
    if (posix.empty())
        throw FsFehler("Bestand schreiben", ordner, Fehlercode(EINVAL));
    const int weg = OeffneOrdner(ordner, posix);
    if (weg < 0)
        throw FsFehler("Bestand schreiben", ordner, Fehlercode(errno));
    Deskriptor dir{::openat(weg, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!dir.gueltig())
        throw FsFehler("Bestand schreiben", ordner, Fehlercode(errno));

    std::random_device zufall;
    std::string temp;
    Deskriptor datei;
    for (int versuch = 0; !datei.gueltig(); ++versuch) {
        char text[64];
        std::snprintf(text, sizeof text, ".tresor-ix-bestand-%08x%08x.tmp", zufall(), zufall());
        temp = text;
        datei =
            Deskriptor(::openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!datei.gueltig() && (errno != EEXIST || versuch > 100))
            throw FsFehler("Bestand schreiben", ordner + "\\" + temp, Fehlercode(errno));
    }
    // Made, and closed again: each piece opens it anew.
    return Dauerschrift(dir.freigeben(), std::move(temp), ordner);
}

bool Eintragszugriff::Verwalter() {
    return ::geteuid() == 0;
}

void Eintragszugriff::SetzeStand(const Pfad& pfad, const Eintragsstand& stand, bool besitzer) {
    const Ort ort = Finde(pfad);
    if (ort.Fehler != 0)
        throw FsFehler("Stand setzen", pfad, Fehlercode(ort.Fehler));
    SetzeStandIn(ort.Ordner, ort.Name.c_str(), pfad, stand, besitzer);
}

void Eintragszugriff::SetzeStandIn(int ordner, const char* name, const Pfad& pfad, const Eintragsstand& stand,
                                   bool besitzer) {
    Deskriptor eintrag{::openat(ordner, name, O_PATH | O_NOFOLLOW | O_CLOEXEC)};
    if (!eintrag.gueltig())
        throw FsFehler("Stand setzen", pfad, Fehlercode(errno));
    struct stat st {};
    if (::fstat(eintrag.get(), &st) != 0)
        throw FsFehler("Stand setzen", pfad, Fehlercode(errno));
    // What the entry has already is not set again: an owner change (which would clear set-ID bits that the mode
    // below gives back) and a mode change, whose call by name through /proc costs a lookup of its own.
    const bool andererBesitzer = st.st_uid != stand.Uid || st.st_gid != stand.Gid;
    if (besitzer && andererBesitzer &&
        ::fchownat(eintrag.get(), "", stand.Uid, stand.Gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0)
        throw FsFehler("Besitzer setzen", pfad, Fehlercode(errno));
    if (!S_ISLNK(st.st_mode) && ((st.st_mode & 07777) != (stand.Modus & 07777) || (besitzer && andererBesitzer))) {
        // Through the descriptor's own name, which leads to exactly the entry opened above.
        const std::string eigen = "/proc/self/fd/" + std::to_string(eintrag.get());
        if (::chmod(eigen.c_str(), stand.Modus) != 0)
            throw FsFehler("Rechte setzen", pfad, Fehlercode(errno));
    }
    std::int64_t sekunden = stand.MtimeNs / 1'000'000'000;
    std::int64_t nano = stand.MtimeNs % 1'000'000'000;
    if (nano < 0) {
        nano += 1'000'000'000;
        sekunden -= 1;
    }
    const struct timespec zeiten[2] = {{static_cast<time_t>(sekunden), static_cast<long>(nano)},
                                       {static_cast<time_t>(sekunden), static_cast<long>(nano)}};
    // The entry opened above, not whatever its name may lead to now.
    if (::utimensat(eintrag.get(), "", zeiten, AT_EMPTY_PATH) != 0 &&
        ((errno != EINVAL && errno != EBADF) || ::utimensat(ordner, name, zeiten, AT_SYMLINK_NOFOLLOW) != 0))
        throw FsFehler("Zeit setzen", pfad, Fehlercode(errno));
}

} // namespace tresor
