// Changes inside a held target folder (see Zielbaum.h).
#include "fs/posix/Zielbaum.h"

#include "fs/FsFehler.h"
#include "fs/posix/Eintragszugriff.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Ordnereintraege.h"
#include "fs/system/Schreibfehler.h"

#include <fcntl.h>
#include <sys/file.h>
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

// The names of a relative path; nothing when one of them is empty, "." or "..".
std::optional<std::vector<std::string>> Teilnamen(const std::string& pfad) {
    std::vector<std::string> namen;
    if (pfad.empty())
        return namen;
    std::size_t anfang = 0;
    for (;;) {
        const std::size_t schluss = std::min(pfad.find('/', anfang), pfad.size());
        std::string name = pfad.substr(anfang, schluss - anfang);
        if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos)
            return std::nullopt;
        namen.push_back(std::move(name));
        if (schluss == pfad.size())
            return namen;
        anfang = schluss + 1;
    }
}

// The folder part and the last name of a relative path.
std::pair<std::string, std::string> Teile(const std::string& pfad) {
    const std::size_t schnitt = pfad.rfind('/');
    if (schnitt == std::string::npos)
        return {std::string(), pfad};
    return {pfad.substr(0, schnitt), pfad.substr(schnitt + 1)};
}

bool Fehlt(int nummer) {
    return nummer == ENOENT || nummer == ENOTDIR || nummer == ELOOP || nummer == EXDEV;
}

// The start and end of the temporary names of a rewrite (Ersetze, which spells them out).
constexpr std::string_view TempAnfang = ".tresor-ix-ausduennung-";
constexpr std::string_view TempEnde = ".tmp";

// Takes the lock of the folder `ordner` through a descriptor of its own, shared by every rewrite in it and taken
// whole by the removal of what killed rewrites left (RaeumeAuf); an invalid descriptor where the file system has
// no such locks. `warten`: else nothing (and errno EWOULDBLOCK) while another holds it.
Deskriptor Ordnersperre(int ordner, int art, bool warten) {
    Deskriptor eigen{::openat(ordner, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!eigen.gueltig())
        return eigen;
    int ergebnis = 0;
    do
        ergebnis = ::flock(eigen.get(), art | (warten ? 0 : LOCK_NB));
    while (ergebnis != 0 && errno == EINTR);
    return ergebnis == 0 ? std::move(eigen) : Deskriptor();
}

// Hard links are not what this file system has.
bool OhneVerknuepfung(int nummer) {
    return nummer == EPERM || nummer == EOPNOTSUPP || nummer == ENOSYS || nummer == EMLINK;
}

} // namespace

Zielbaum::Zielbaum(const Laufwerkstabelle& laufwerke, const Pfad& ziel) : ziel_(ziel) {
    const auto posix = laufwerke.ZuPosix(ziel);
    if (!posix)
        throw FsFehler("Ziel öffnen", ziel, Fehlercode(EINVAL));
    wurzel_ = ::open(posix->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (wurzel_ < 0)
        throw FsFehler("Ziel öffnen", ziel, Fehlercode(errno));
    struct stat st {};
    if (::fstat(wurzel_, &st) != 0) {
        const int nummer = errno;
        ::close(wurzel_);
        throw FsFehler("Ziel öffnen", ziel, Fehlercode(nummer));
    }
    geraet_ = st.st_dev;
}

Zielbaum::~Zielbaum() {
    for (const auto& [pfad, fd] : offen_)
        ::close(fd);
    if (wurzel_ >= 0)
        ::close(wurzel_);
}

Pfad Zielbaum::Programmpfad(const std::string& pfad) const {
    if (pfad.empty())
        return ziel_;
    return (ziel_.size() == 3 ? ziel_ : ziel_ + "\\") + NamenAusPosix(pfad);
}

int Zielbaum::Oeffne(const std::string& ordner, bool anlegen) {
    if (ordner.empty())
        return wurzel_;
    for (std::size_t i = offen_.size(); i-- > 0;)
        if (offen_[i].first == ordner) {
            std::rotate(offen_.begin() + static_cast<std::ptrdiff_t>(i),
                        offen_.begin() + static_cast<std::ptrdiff_t>(i) + 1, offen_.end());
            return offen_.back().second;
        }
    const auto namen = Teilnamen(ordner);
    if (!namen) {
        errno = EINVAL;
        return -1;
    }
    // From the deepest folder held on the way down.
    Deskriptor fd;
    int oben = wurzel_;
    std::size_t schon = 0;
    for (const auto& [pfad, offen] : offen_) {
        const std::size_t tiefe = static_cast<std::size_t>(std::count(pfad.begin(), pfad.end(), '/')) + 1;
        if (tiefe > schon && ordner.starts_with(pfad + "/")) {
            schon = tiefe;
            oben = offen;
        }
    }
    for (const std::string& name :
         std::vector<std::string>(namen->begin() + static_cast<std::ptrdiff_t>(schon), namen->end())) {
        Deskriptor naechster{::openat(oben, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
        if (!naechster.gueltig() && errno == ENOENT && anlegen) {
            if (::mkdirat(oben, name.c_str(), 0700) != 0 && errno != EEXIST)
                return -1;
            naechster = Deskriptor(::openat(oben, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!naechster.gueltig())
            return -1;
        struct stat st {};
        if (::fstat(naechster.get(), &st) != 0)
            return -1;
        if (st.st_dev != geraet_) {
            errno = EXDEV;
            return -1;
        }
        fd = std::move(naechster);
        oben = fd.get();
    }
    constexpr std::size_t Plaetze = 8;
    if (offen_.size() == Plaetze) {
        ::close(offen_.front().second);
        offen_.erase(offen_.begin());
    }
    offen_.emplace_back(ordner, fd.freigeben());
    return offen_.back().second;
}

std::optional<Eintragsstand> Zielbaum::Stand(const std::string& pfad) {
    const auto [ordner, name] = Teile(pfad);
    if (!Teilnamen(pfad) || pfad.empty())
        throw FsFehler("Ziel lesen", Programmpfad(pfad), Fehlercode(EINVAL));
    const int fd = Oeffne(ordner, false);
    if (fd < 0) {
        if (Fehlt(errno))
            return std::nullopt;
        throw FsFehler("Ziel lesen", Programmpfad(pfad), Fehlercode(errno));
    }
    return Eintragszugriff::StandIn(fd, name.c_str(), Programmpfad(pfad));
}

std::optional<std::vector<std::string>> Zielbaum::Namen(const std::string& ordner) {
    const int fd = Oeffne(ordner, false);
    if (fd < 0) {
        if (Fehlt(errno))
            return std::nullopt;
        throw FsFehler("Ordner lesen", Programmpfad(ordner), Fehlercode(errno));
    }
    int fehler = 0;
    std::vector<std::string> namen = posix::LiesNamen(fd, fehler);
    if (fehler != 0)
        throw FsFehler("Ordner lesen", Programmpfad(ordner), Fehlercode(fehler));
    return namen;
}

std::optional<std::string> Zielbaum::LiesDatei(const std::string& pfad) {
    const auto [ordner, name] = Teile(pfad);
    const int fd = Oeffne(ordner, false);
    if (fd < 0) {
        if (Fehlt(errno))
            return std::nullopt;
        throw FsFehler("Lesen", Programmpfad(pfad), Fehlercode(errno));
    }
    Deskriptor datei{::openat(fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (!datei.gueltig()) {
        if (errno == ENOENT)
            return std::nullopt;
        throw FsFehler("Lesen", Programmpfad(pfad), Fehlercode(errno));
    }
    struct stat st {};
    if (::fstat(datei.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw FsFehler("Lesen", Programmpfad(pfad), Fehlercode(EINVAL));
    std::string inhalt;
    char puffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(datei.get(), puffer, sizeof puffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw FsFehler("Lesen", Programmpfad(pfad), Fehlercode(errno));
        if (n == 0)
            return inhalt;
        inhalt.append(puffer, static_cast<std::size_t>(n));
    }
}

Zielbaum::Zug Zielbaum::Verschiebe(const std::string& von, const std::string& nach) {
    const auto alt = Stand(von);
    const auto neu = Stand(nach);
    if (neu)
        return !alt || (alt->Geraet == neu->Geraet && alt->Inode == neu->Inode) ? Zug::Erledigt : Zug::Besetzt;
    if (!alt || (alt->Typ != Eintragsstand::Art::Datei && alt->Typ != Eintragsstand::Art::Verweis))
        return Zug::Fehlt;
    const auto [vonOrdner, vonName] = Teile(von);
    const auto [nachOrdner, nachName] = Teile(nach);
    // Both folders held at once: the one opened last is never the first to be closed.
    const int nachFd = Oeffne(nachOrdner, true);
    if (nachFd < 0)
        throw FsFehler("Kopie verschieben", Programmpfad(nachOrdner), Fehlercode(errno));
    const int vonFd = Oeffne(vonOrdner, false);
    if (vonFd < 0)
        throw FsFehler("Kopie verschieben", Programmpfad(von), Fehlercode(errno));
    if (::linkat(vonFd, vonName.c_str(), nachFd, nachName.c_str(), 0) == 0)
        return Zug::Erledigt;
    if (errno == EEXIST)
        return Verschiebe(von, nach);
    if (!OhneVerknuepfung(errno))
        throw FsFehler("Kopie verschieben", Programmpfad(nach), Fehlercode(errno));
    if (::renameat2(vonFd, vonName.c_str(), nachFd, nachName.c_str(), RENAME_NOREPLACE) == 0)
        return Zug::Erledigt;
    if (errno == EEXIST)
        return Verschiebe(von, nach);
    if (errno != EINVAL && errno != ENOSYS)
        throw FsFehler("Kopie verschieben", Programmpfad(nach), Fehlercode(errno));
    // Neither hard links nor a rename that never replaces: the new place was free a moment ago.
    if (::renameat(vonFd, vonName.c_str(), nachFd, nachName.c_str()) != 0)
        throw FsFehler("Kopie verschieben", Programmpfad(nach), Fehlercode(errno));
    return Zug::Erledigt;
}

void Zielbaum::Ersetze(const std::string& pfad, const std::string& inhalt) {
    Ersetze(pfad, [&inhalt](const Stueckweise& aus) { aus(inhalt); });
}

void Zielbaum::Ersetze(const std::string& pfad, const std::function<void(const Stueckweise&)>& schreibe) {
    const auto [ordner, name] = Teile(pfad);
    if (!Teilnamen(pfad) || pfad.empty())
        throw FsFehler("Schreiben", Programmpfad(pfad), Fehlercode(EINVAL));
    const int offen = Oeffne(ordner, false);
    if (offen < 0)
        throw FsFehler("Schreiben", Programmpfad(pfad), Fehlercode(errno));
    // A folder of its own: what `schreibe` looks at in the tree may close the folders kept open.
    const Deskriptor eigen{::fcntl(offen, F_DUPFD_CLOEXEC, 0)};
    if (!eigen.gueltig())
        throw FsFehler("Schreiben", Programmpfad(pfad), Fehlercode(errno));
    const int fd = eigen.get();
    // Held until the rename: its temporary file is never taken for one that a killed rewrite left.
    const Deskriptor sperre = Ordnersperre(fd, LOCK_SH, true);
    std::random_device zufall;
    std::string temp;
    Deskriptor datei;
    for (int versuch = 0; !datei.gueltig(); ++versuch) {
        char text[64];
        std::snprintf(text, sizeof text, ".tresor-ix-ausduennung-%08x%08x.tmp", zufall(), zufall());
        temp = text;
        datei = Deskriptor(::openat(fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!datei.gueltig() && (errno != EEXIST || versuch > 100))
            throw FsFehler("Schreiben", Programmpfad(pfad), Fehlercode(errno));
    }
    const auto scheitern = [&](int nummer) {
        ::unlinkat(fd, temp.c_str(), 0);
        throw FsFehler("Schreiben", Programmpfad(pfad), Fehlercode(Schreibfehler(fd, nummer)));
    };
    const Stueckweise aus = [&](std::string_view inhalt) {
        std::size_t geschrieben = 0;
        while (geschrieben < inhalt.size()) {
            const ssize_t n = ::write(datei.get(), inhalt.data() + geschrieben, inhalt.size() - geschrieben);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                scheitern(errno);
            geschrieben += static_cast<std::size_t>(n);
        }
    };
    try {
        schreibe(aus);
    } catch (...) {
        ::unlinkat(fd, temp.c_str(), 0);
        throw;
    }
    if (::fsync(datei.get()) != 0 || datei.schliessen() != 0)
        scheitern(errno);
    if (::renameat(fd, temp.c_str(), fd, name.c_str()) != 0)
        scheitern(errno);
    if (::fsync(fd) != 0)
        throw FsFehler("Schreiben", Programmpfad(pfad), Fehlercode(errno));
}

std::size_t Zielbaum::RaeumeAuf(const std::string& ordner) {
    const int offen = Oeffne(ordner, false);
    if (offen < 0)
        return 0;
    // Taken whole, never waited for: a rewrite under way holds it, and its temporary file stays.
    const Deskriptor sperre = Ordnersperre(offen, LOCK_EX, false);
    if (!sperre.gueltig())
        return 0;
    int fehler = 0;
    const posix::Eintragsliste eintraege = posix::LiesEintragsliste(sperre.get(), fehler);
    std::size_t entfernt = 0;
    for (std::size_t i = 0; i < eintraege.size(); ++i) {
        const std::string_view name = eintraege.Namen[i];
        if (!name.starts_with(TempAnfang) || !name.ends_with(TempEnde))
            continue;
        const std::string n(name);
        struct stat st {};
        if (::fstatat(sperre.get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            ::unlinkat(sperre.get(), n.c_str(), 0) == 0)
            ++entfernt;
    }
    return entfernt;
}

std::uint64_t Zielbaum::Leere(int ordner, const std::string& pfad, const std::string& relativ, bool nurZaehlen,
                              const std::function<bool(const std::string&)>& auslassen, const Uebrige& uebrig,
                              bool& leer) {
    std::uint64_t bytes = 0;
    int fehler = 0;
    // Held compactly: a backup folder may hold hundreds of thousands of copies.
    const posix::Eintragsliste eintraege = posix::LiesEintragsliste(ordner, fehler);
    if (fehler != 0) {
        uebrig({pfad, Fehlertext(Fehlercode(fehler))});
        leer = false;
        return 0;
    }
    for (std::size_t i = 0; i < eintraege.size(); ++i) {
        const std::string name(eintraege.Namen[i]);
        const std::string rel = relativ.empty() ? name : relativ + "/" + name;
        const std::string voll = pfad.empty() ? name : pfad + "/" + name;
        if (auslassen && auslassen(rel)) {
            leer = false;
            continue;
        }
        struct stat st {};
        if (::fstatat(ordner, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            uebrig({voll, Fehlertext(Fehlercode(errno))});
            leer = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (st.st_dev != geraet_) {
                uebrig({voll, "Dort ist ein anderes Dateisystem eingehängt."});
                leer = false;
                continue;
            }
            Deskriptor unter{::openat(ordner, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
            if (!unter.gueltig()) {
                uebrig({voll, Fehlertext(Fehlercode(errno))});
                leer = false;
                continue;
            }
            bool unterLeer = true;
            bytes += Leere(unter.get(), voll, rel, nurZaehlen, auslassen, uebrig, unterLeer);
            if (!unterLeer)
                leer = false;
            else if (!nurZaehlen && ::unlinkat(ordner, name.c_str(), AT_REMOVEDIR) != 0) {
                uebrig({voll, Fehlertext(Fehlercode(errno))});
                leer = false;
            } else if (!nurZaehlen) {
                Vergiss(voll);
            }
            continue;
        }
        const std::uint64_t groesse =
            S_ISREG(st.st_mode) && st.st_nlink == 1 ? static_cast<std::uint64_t>(st.st_size) : 0;
        if (!nurZaehlen && ::unlinkat(ordner, name.c_str(), 0) != 0) {
            uebrig({voll, Fehlertext(Fehlercode(errno))});
            leer = false;
            continue;
        }
        bytes += groesse;
    }
    return bytes;
}

std::uint64_t Zielbaum::Entferne(const std::string& pfad, bool nurZaehlen,
                                 const std::function<bool(const std::string&)>& auslassen, const Uebrige& uebrig) {
    if (!Teilnamen(pfad) || pfad.empty())
        throw FsFehler("Entfernen", Programmpfad(pfad), Fehlercode(EINVAL));
    const auto [ordner, name] = Teile(pfad);
    const auto stand = Stand(pfad);
    if (!stand)
        return 0;
    const int oben = Oeffne(ordner, false);
    if (oben < 0)
        return 0;
    if (stand->Typ != Eintragsstand::Art::Ordner) {
        if (auslassen && auslassen(""))
            return 0;
        if (!nurZaehlen && ::unlinkat(oben, name.c_str(), 0) != 0) {
            uebrig({pfad, Fehlertext(Fehlercode(errno))});
            return 0;
        }
        return stand->Typ == Eintragsstand::Art::Datei && stand->Namen == 1 ? static_cast<std::uint64_t>(stand->Groesse)
                                                                            : 0;
    }
    if (stand->Geraet != geraet_) {
        uebrig({pfad, "Dort ist ein anderes Dateisystem eingehängt."});
        return 0;
    }
    Deskriptor fd{::openat(oben, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
    if (!fd.gueltig()) {
        uebrig({pfad, Fehlertext(Fehlercode(errno))});
        return 0;
    }
    bool leer = true;
    const std::uint64_t bytes = Leere(fd.get(), pfad, "", nurZaehlen, auslassen, uebrig, leer);
    if (leer && !nurZaehlen) {
        const int nochOben = Oeffne(ordner, false);
        if (nochOben < 0 || ::unlinkat(nochOben, name.c_str(), AT_REMOVEDIR) != 0)
            uebrig({pfad, Fehlertext(Fehlercode(errno))});
        Vergiss(pfad);
    }
    return bytes;
}

void Zielbaum::Vergiss(const std::string& pfad) {
    std::erase_if(offen_, [&pfad](const std::pair<std::string, int>& o) {
        if (o.first != pfad && !o.first.starts_with(pfad + "/"))
            return false;
        ::close(o.second);
        return true;
    });
}

bool Zielbaum::EntferneLeer(const std::string& ordner) {
    const auto [oben, name] = Teile(ordner);
    if (!Teilnamen(ordner) || ordner.empty())
        return false;
    const int fd = Oeffne(oben, false);
    if (fd < 0)
        return false;
    if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0)
        return false;
    Vergiss(ordner);
    return true;
}

void Zielbaum::Sichere(const std::string& ordner) {
    const int fd = Oeffne(ordner, false);
    if (fd < 0 || ::syncfs(fd) != 0)
        throw FsFehler("Sichern", Programmpfad(ordner), Fehlercode(errno));
}

} // namespace tresor
