// The copy of a symbolic link (see Kopie.h): its target text under a temporary name, its own time and owner
// where the target sets them on a link, then renamed into place.
#include "fs/FsFehler.h"
#include "fs/ablage/Archivvermerk.h"
#include "fs/posix/Eigentum.h"
#include "fs/posix/Kopie.h"
#include "fs/system/Deskriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace tresor::posix {

bool Kopierer::VerweiseEigenstaendig(int ordnerFd, dev_t geraet) {
    if (const auto bekannt = verweisGeraete_.find(geraet); bekannt != verweisGeraete_.end())
        return bekannt->second;
    // A link whose target does not exist: a file system that follows it finds nothing (ENOENT) instead of
    // changing another file. Anything but a plain success counts as a target that cannot set a link's time.
    const std::string name = TemporaererName();
    const std::string nirgends = name + ".nirgends";
    if (::symlinkat(nirgends.c_str(), ordnerFd, name.c_str()) != 0)
        return true; // nothing learnt; the link of the copy itself is made (or refused) as before
    const struct timespec zeiten[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    const bool eigenstaendig = ::utimensat(ordnerFd, name.c_str(), zeiten, AT_SYMLINK_NOFOLLOW) == 0;
    (void)::unlinkat(ordnerFd, name.c_str(), 0);
    verweisGeraete_.emplace(geraet, eigenstaendig);
    return eigenstaendig;
}

Quellstand Kopierer::KopiereVerweis(const Datei& datei, const Pfad& ziel, Eintragsort& quelle,
                                    const Kopierfortschritt& fortschritt, dev_t* geraet, ino_t* inode) {
    auto quellfehler = [&](int nummer) { return FsFehler("Copy", datei.Path, Fehlercode(nummer)); };
    auto zielfehler = [&](int nummer) { return FsFehler("Copy", ziel, Fehlercode(nummer)); };
    if (quelle.Ganz())
        throw quellfehler(EINVAL);
    // The folder first, then the link: a link replaced after the folder was read changes the folder's time,
    // so the record made from this state no longer matches and the link is backed up again.
    struct stat ordnerVorher {};
    if (::fstat(quelle.Ordner(), &ordnerVorher) != 0)
        throw quellfehler(errno);
    struct stat vorher {};
    if (::fstatat(quelle.Ordner(), quelle.Name(), &vorher, AT_SYMLINK_NOFOLLOW) != 0)
        throw quellfehler(errno);
    if (!S_ISLNK(vorher.st_mode))
        throw quellfehler(EINVAL);
    // The target text, whatever its length (st_size is 0 on some file systems).
    std::string text(std::max<std::size_t>(static_cast<std::size_t>(vorher.st_size) + 1, 256), '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(quelle.Ordner(), quelle.Name(), text.data(), text.size());
        if (n < 0)
            throw quellfehler(errno);
        if (static_cast<std::size_t>(n) < text.size()) {
            text.resize(static_cast<std::size_t>(n));
            break;
        }
        text.resize(text.size() * 2);
    }
    // A link read through a folder that was renamed away since it was held is not the link of this path.
    if (!quellordnerHalten_ && !ordner_.AmOrt(quelle))
        return NochEinmal(datei, ziel, fortschritt, geraet, inode);

    Eintragsort zielort;
    if (const int fehler = ordner_.Verorte("Copy", ziel, zielort); fehler != 0)
        throw zielfehler(fehler);
    if (zielort.Ganz())
        throw zielfehler(EINVAL);
    int ordnerFd = zielort.Ordner();
    const std::string zielName = zielort.Name();
    std::string tmpName;
    bool angelegt = false;
    for (int versuch = 0; versuch < 100 && !angelegt; ++versuch) {
        tmpName = TemporaererName();
        angelegt = ::symlinkat(text.c_str(), ordnerFd, tmpName.c_str()) == 0;
        if (!angelegt && errno == ENOENT && ordner_.Erneuert("Copy", ziel, zielort)) {
            ordnerFd = zielort.Ordner();
            angelegt = ::symlinkat(text.c_str(), ordnerFd, tmpName.c_str()) == 0;
        }
        // A target that holds no symbolic links (an exFAT stick): this link cannot be backed up there, which is
        // the link's failed check, not the end of the run.
        if (!angelegt && (errno == EPERM || errno == ENOSYS || errno == ENOTSUP))
            throw quellfehler(ENOTSUP);
        if (!angelegt && errno != EEXIST)
            throw zielfehler(errno);
    }
    if (!angelegt)
        throw zielfehler(EEXIST);
    bool fertig = false;
    const TemporaererEintrag aufraeumen{ordnerFd, tmpName, fertig};
    // The link's own time and owner (a link has no permission bits of its own on Linux, and no user
    // attributes), where the target sets them on the link itself.
    if (VerweiseEigenstaendig(ordnerFd, zielort.OrdnerGeraet())) {
        const struct timespec zeiten[2] = {{0, UTIME_OMIT}, vorher.st_mtim};
        VerweisEigentum(ordnerFd, tmpName.c_str(), vorher);
        if (::utimensat(ordnerFd, tmpName.c_str(), zeiten, AT_SYMLINK_NOFOLLOW) != 0)
            throw zielfehler(errno);
    }
    if (::renameat(ordnerFd, tmpName.c_str(), ordnerFd, zielName.c_str()) != 0)
        throw zielfehler(errno);
    fertig = true;
    if (geraet != nullptr)
        *geraet = vorher.st_dev;
    if (inode != nullptr)
        *inode = vorher.st_ino;
    Quellstand stand = StandAus(vorher);
    stand.OrdnerMtimeNs = MtimeNs(ordnerVorher);
    stand.OrdnerInode = static_cast<std::uint64_t>(ordnerVorher.st_ino);
    return stand;
}

} // namespace tresor::posix
