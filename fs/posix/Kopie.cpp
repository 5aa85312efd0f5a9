#include "fs/posix/Kopie.h"

#include "fs/Attribute.h"
#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"
#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/Dosattrib.h"
#include "fs/posix/Eigentum.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Schreibfehler.h"
#include "fs/system/Zeitraster.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string_view>
#include <vector>

namespace tresor::posix {

namespace {

// How often a copy whose source changed while it was copied is made again (the first copy included).
constexpr int Kopierversuche = 4;

// Whether a failed open with O_TMPFILE says that the folder's file system makes no unnamed files (a kernel
// without it answers EISDIR, a FUSE file system whose server lacks it EOPNOTSUPP or ENOSYS).
bool OhneUnbenannte(int fehler) {
    return fehler == EOPNOTSUPP || fehler == ENOTSUP || fehler == EISDIR || fehler == ENOSYS || fehler == EINVAL;
}

// Whether an unnamed file can be given a name here: through /proc, or by its descriptor, which needs a
// capability (root has it). Where neither is possible (no /proc in a plain user's container), copies are
// written under a temporary name.
bool UnbenannteVerlinkbar() {
    static const bool verlinkbar = ::access("/proc/self/fd", X_OK) == 0 || ::geteuid() == 0;
    return verlinkbar;
}

// Gives the unnamed open file `fd` the name `name` in the open folder `ordner`. By the descriptor itself where
// that is allowed (a capability, or a kernel that lets whoever opened the file link it): no path through /proc
// to look up for every copy. Else through /proc, where a plain user may link it; once that way served where the
// first did not, the first is not tried again.
int Verlinke(int fd, int ordner, const std::string& name) {
    static std::atomic<bool> direkt{true};
    const bool zuerstDirekt = direkt.load(std::memory_order_relaxed);
    if (zuerstDirekt) {
        if (::linkat(fd, "", ordner, name.c_str(), AT_EMPTY_PATH) == 0)
            return 0;
        // A name taken is taken either way; anything else (ENOENT without the capability) tries /proc.
        if (errno == EEXIST)
            return errno;
    }
    char pfad[40];
    (void)std::snprintf(pfad, sizeof pfad, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, pfad, ordner, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        if (zuerstDirekt)
            direkt.store(false, std::memory_order_relaxed);
        return 0;
    }
    if (errno != ENOENT || zuerstDirekt)
        return errno;
    // No /proc after all (the first way was given up for it): the descriptor once more.
    if (::linkat(fd, "", ordner, name.c_str(), AT_EMPTY_PATH) == 0)
        return 0;
    return errno;
}

// The lstat data of the open source, taken once its ctime's step is over (Zeitraster.h): every change after
// this look then gets another ctime than the one seen, however coarse the clock or the file system that
// stamps it (a stick's whole seconds), and so cannot hide behind the time of an earlier change. Waits at
// most StempelWartezeitNs for a source changed just now; `ruhig` is false when the source kept changing
// for that long: a copy taken from such a look could not be told from a later state.
struct Ruhestand {
    struct stat st;
    bool ruhig;
};

std::int64_t MonotonNs() {
    struct timespec jetzt {};
    ::clock_gettime(CLOCK_MONOTONIC, &jetzt);
    return jetzt.tv_sec * std::int64_t{1'000'000'000} + jetzt.tv_nsec;
}

// `erster`, where given, is a look at the open source taken a moment ago, with the coarse clock read before it:
// it serves as the first look, since a change after it gets another ctime once its step is over as well.
struct Blick {
    struct stat st;
    std::int64_t uhr; // GrobeUhrNs() read before the fstat
};

template <typename Fehler> Ruhestand RuhigerStand(int q, const Fehler& quellfehler, const Blick* erster = nullptr) {
    struct stat st {};
    const std::int64_t beginn = MonotonNs();
    for (;;) {
        std::int64_t uhr = 0;
        if (erster != nullptr) {
            st = erster->st;
            uhr = erster->uhr;
            erster = nullptr;
        } else {
            uhr = GrobeUhrNs();
            if (::fstat(q, &st) != 0)
                throw quellfehler(errno);
        }
        const std::int64_t ctime = CtimeNs(st);
        if (StempelEindeutig(ctime, uhr))
            return {st, true};
        if (MonotonNs() - beginn >= StempelWartezeitNs(ctime))
            return {st, false};
        // Until the step is over, in short pauses: a change meanwhile starts a new one.
        const std::int64_t rest = std::clamp<std::int64_t>(ctime + ZeitrasterNs(ctime) - uhr, 1'000'000, 20'000'000);
        const struct timespec pause { 0, static_cast<long>(rest) };
        ::nanosleep(&pause, nullptr);
    }
}

// A clone of a file that keeps changing, made by the file system at one moment (FICLONE takes the file's
// lock: no write is half in it), into an unnamed file of its folder (O_TMPFILE: the folder gains no entry
// and does not change). `Stand` is the file's state looked at just before the clone; `Gewiss` is true when
// that state is the clone's for certain: unchanged across the clone, and its ctime's step over before it, so
// that no later write can share it.
struct Klonstand {
    Deskriptor Datei;
    struct stat Stand;
    bool Gewiss;
};

std::optional<Klonstand> Klon(int q, int ordner) {
    Deskriptor klon(::openat(ordner, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!klon.gueltig())
        return std::nullopt;
    Klonstand k{std::move(klon), {}, false};
    const std::int64_t uhr = GrobeUhrNs();
    struct stat nachher {};
    if (::fstat(q, &k.Stand) != 0 || ::ioctl(k.Datei.get(), FICLONE, q) != 0 || ::fstat(q, &nachher) != 0)
        return std::nullopt;
    k.Gewiss = Gleich(StandAus(k.Stand), StandAus(nachher)) && StempelEindeutig(CtimeNs(k.Stand), uhr);
    return k;
}

// Which of the attributes a copy reads the open source `fd` has, as one listing of its attributes names them: its
// DOS bits, its access ACL, its archive record. Nothing where the listing fails or does not fit the buffer (a file
// of many attributes): each is then asked for by itself.
struct Attributnamen {
    bool Dos = false;
    bool Acl = false;
    bool Vermerk = false;
};

std::optional<Attributnamen> ListeAttribute(int fd) {
    char puffer[1024];
    const ssize_t n = ::flistxattr(fd, puffer, sizeof puffer);
    if (n < 0)
        return std::nullopt;
    // Names one after another, each ending in a NUL byte.
    const std::string_view liste(puffer, static_cast<std::size_t>(n));
    Attributnamen namen;
    for (std::size_t anfang = 0; anfang < liste.size();) {
        const std::size_t ende = std::min(liste.find('\0', anfang), liste.size());
        const std::string_view name = liste.substr(anfang, ende - anfang);
        namen.Dos = namen.Dos || name == DosattribName;
        namen.Acl = namen.Acl || name == "system.posix_acl_access";
        namen.Vermerk = namen.Vermerk || name == ArchivvermerkName;
        anfang = ende + 1;
    }
    return namen;
}

// Local file systems: a listing of a file's attributes names every one the file holds, its ACL included (they
// keep them as stored attributes), and a file renamed or linked gets a new ctime. (A network or FUSE file system
// answers as its server does.)
constexpr long LokaleDateisysteme[] = {EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC, TMPFS_MAGIC,
                                       0xF2F52010 /* f2fs */};

// File systems whose flush (syncfs) reaches no further than the client: a FUSE file system without a block device
// of its own (sshfs) and the kernel's SMB client. Their server writes a file to its disk when the file is flushed
// by itself (fsync). A FUSE file system on a block device (an NTFS or exFAT stick) is not among them: its driver
// writes each closed file to the device, whose pages syncfs writes out; a flush per copy there asks the driver to
// flush the whole device, once per file.
constexpr long NurEinzelnGeflushte[] = {FUSE_SUPER_MAGIC, static_cast<long>(0xFF534D42) /* cifs */,
                                        static_cast<long>(0xFE534D42) /* smb2 */};

} // namespace

namespace {

template <std::size_t N> bool EineVon(long art, const long (&arten)[N]) {
    return std::find(std::begin(arten), std::end(arten), art) != std::end(arten);
}

} // namespace

long Kopierer::Dateisystemart(int fd, dev_t geraet) {
    if (const auto stelle = arten_.find(geraet); stelle != arten_.end())
        return stelle->second;
    struct statfs sf {};
    const long art = ::fstatfs(fd, &sf) == 0 ? static_cast<long>(sf.f_type) : 0;
    arten_.emplace(geraet, art);
    return art;
}

bool Kopierer::NurEinzelnDauerhaft(int fd, dev_t geraet) {
    const long art = Dateisystemart(fd, geraet);
    return EineVon(art, NurEinzelnGeflushte) && (art != FUSE_SUPER_MAGIC || major(geraet) == 0);
}

bool Kopierer::Lokal(int fd, dev_t geraet) {
    return EineVon(Dateisystemart(fd, geraet), LokaleDateisysteme);
}

bool Kopierer::VorgabeAclIn(const Eintragsort& zielort) {
    if (!vorgabeAcl_ || vorgabeAcl_->Geraet != zielort.OrdnerGeraet() || vorgabeAcl_->Inode != zielort.OrdnerInode() ||
        zielort.OrdnerInode() == 0)
        vorgabeAcl_ = Vorgabe{zielort.OrdnerGeraet(), zielort.OrdnerInode(), VorgabeAcl(Ort(zielort.Ordner(), "."))};
    return vorgabeAcl_->Acl;
}

std::string Kopierer::TemporaererName() {
    char text[32];
    (void)std::snprintf(text, sizeof text, ".tresor-ix-%08llx.tmp",
                        static_cast<unsigned long long>(zufall_() & 0xffffffffU));
    return text;
}

Quellstand Kopierer::Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt, dev_t* geraet,
                          ino_t* inode) {
    auto quellfehler = [&](int nummer) { return FsFehler("Copy", datei.Path, Fehlercode(nummer)); };
    // A failed write into the destination folder, once it is open: a full disk where the target says no more
    // than "input/output error" (Schreibfehler.h).
    int zielordner = -1;
    auto zielfehler = [&](int nummer) {
        return FsFehler("Copy", ziel, Fehlercode(zielordner >= 0 ? Schreibfehler(zielordner, nummer) : nummer));
    };
    quellDos_.reset();
    quelleOhneVermerk_ = false;
    Eintragsort quelle;
    ordner_.VerorteOderWirf("Copy", datei.Path, quelle);

    // O_NONBLOCK: opening a FIFO that slipped in must not wait for a writer; it is refused below. The flag stays
    // on the descriptor: reads of a regular file do not heed it, so no call is spent to take it away again.
    constexpr int Lesen = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Deskriptor q = OeffneZumLesen(quelle.Ordner(), quelle.Name(), Lesen);
    if (!q.gueltig() && errno == ENOENT && ordner_.Erneuert("Copy", datei.Path, quelle))
        q = OeffneZumLesen(quelle.Ordner(), quelle.Name(), Lesen);
    // O_NOFOLLOW refuses a symbolic link with ELOOP: it is copied as a link.
    if (!q.gueltig() && errno == ELOOP) {
        struct stat lst {};
        if (::fstatat(quelle.Ordner(), quelle.Name(), &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode))
            return KopiereVerweis(datei, ziel, quelle, fortschritt, geraet, inode);
        errno = ELOOP;
    }
    if (!q.gueltig())
        throw quellfehler(errno);
    struct stat vorher {};
    const std::int64_t uhrVorher = GrobeUhrNs();
    if (::fstat(q.get(), &vorher) != 0)
        throw quellfehler(errno);
    if (!S_ISREG(vorher.st_mode))
        throw quellfehler(EINVAL);
    // This look is the first copy's look before (RuhigerStand): a change after it is seen by the look after.
    const Blick ersterBlick{vorher, uhrVorher};

    Eintragsort zielort;
    if (const int fehler = ordner_.Verorte("Copy", ziel, zielort); fehler != 0)
        throw zielfehler(fehler);
    // The copy needs a name of its own in a folder: not a drive root, ".", ".." or a trailing backslash.
    if (zielort.Ganz())
        throw zielfehler(EINVAL);
    int ordnerFd = zielort.Ordner();
    zielordner = ordnerFd;
    const std::string zielName = zielort.Name();

    // The copy is an unnamed file of the destination folder where its file system makes them (O_TMPFILE): it
    // gets its name only when complete, and a failure or a kill leaves nothing at all. Elsewhere it is written
    // under a temporary name. `tmpName` is the temporary name while there is one.
    std::string tmpName;
    Deskriptor z;
    bool unbenannt = false;
    if (UnbenannteVerlinkbar() && !ohneUnbenannte_.contains(zielort.OrdnerGeraet())) {
        constexpr int Unbenannt = O_TMPFILE | O_WRONLY | O_CLOEXEC;
        // Made with the source's permission bits already (no one can open a file without a name), so that the
        // mode need not be set once more where the umask and the folder leave them so; the owner may always
        // write, for the attributes written before the final mode.
        const mode_t anfangsmodus = (vorher.st_mode & 0777) | S_IRUSR | S_IWUSR;
        z = Deskriptor(::openat(ordnerFd, ".", Unbenannt, anfangsmodus));
        if (!z.gueltig() && errno == ENOENT && ordner_.Erneuert("Copy", ziel, zielort)) {
            ordnerFd = zielort.Ordner();
            zielordner = ordnerFd;
            z = Deskriptor(::openat(ordnerFd, ".", Unbenannt, anfangsmodus));
        }
        if (!z.gueltig() && !OhneUnbenannte(errno))
            throw zielfehler(errno);
        if (!z.gueltig())
            ohneUnbenannte_.insert(zielort.OrdnerGeraet());
        unbenannt = z.gueltig();
    }
    for (int versuch = 0; versuch < 100 && !z.gueltig(); ++versuch) {
        tmpName = TemporaererName();
        z = Deskriptor(::openat(ordnerFd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        // A destination folder removed since it was opened is looked up anew.
        if (!z.gueltig() && errno == ENOENT && ordner_.Erneuert("Copy", ziel, zielort)) {
            ordnerFd = zielort.Ordner();
            zielordner = ordnerFd;
            z = Deskriptor(::openat(ordnerFd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        }
        if (!z.gueltig() && errno != EEXIST)
            throw zielfehler(errno);
    }
    if (!z.gueltig())
        throw zielfehler(EEXIST);

    // From here on every failure removes the temporary file: nothing partial stays behind.
    bool fertig = false;
    const TemporaererEintrag aufraeumen{ordnerFd, tmpName, fertig};

    // The content, as the source held it from one look at its state to the next: a source that changed in
    // between (size, modification time or ctime) is copied again, a few times. A source that still changes
    // leaves no copy: under the real name there is never a mix of versions, nor bytes the source did not hold
    // at that place. A restore finds the version of an earlier backup instead, and the run names the file.
    const std::pair<dev_t, dev_t> geraete{vorher.st_dev, zielort.OrdnerGeraet()};
    // The progress of a copy made again (here, or from the folder the path names now) does not fall back to
    // its start: the count holds until the new copy passes it, and it never exceeds the size of the copy under
    // way.
    if (ortswechsel_ == 0) {
        gemeldet_ = 0;
        ortswechselSeit_ = MonotonNs();
    }
    const auto melde = [&](off_t bis) {
        if (!fortschritt)
            return;
        const auto groesse = static_cast<std::uint64_t>(vorher.st_size);
        gemeldet_ = std::min(std::max(gemeldet_, static_cast<std::uint64_t>(bis)), groesse);
        fortschritt(gemeldet_, groesse);
    };
    bool bestaendig = false;
    const std::int64_t beginn = MonotonNs();
    for (int versuch = 1; versuch <= Kopierversuche && !bestaendig; ++versuch) {
        const Ruhestand ruhe = RuhigerStand(q.get(), quellfehler, versuch == 1 ? &ersterBlick : nullptr);
        vorher = ruhe.st;
        if (!ruhe.ruhig)
            continue;
        if (versuch > 1 && ::ftruncate(z.get(), 0) != 0)
            throw zielfehler(errno);
        KopiereInhalt(q.get(), z.get(), vorher, geraete, datei.Path, ziel, melde);
        if (haken_)
            haken_(datei.Path, versuch);
        // The file was opened through a folder held since it was first met. If that folder was renamed away
        // meanwhile, the content is that of a file of another path now: the copy is made again from the folder
        // the path names (its file is the one of that name, or there is none). Looked at before the last look
        // at the file, so that the content read was the file's while its folder still had this path. A restore
        // holds its folders for good (QuellordnerHalten): it copies the version it looked at through them.
        // On a local file system one look at the file its path names now serves as both: where that is the very
        // file read, in the state it was read in, the copy holds that path's content (Nachsehen).
        if (!quellordnerHalten_) {
            const auto jetzt = Lokal(q.get(), vorher.st_dev) ? ordner_.Nachsehen(quelle) : std::nullopt;
            if (jetzt && jetzt->st_dev == vorher.st_dev && jetzt->st_ino == vorher.st_ino &&
                Gleich(StandAus(vorher), StandAus(*jetzt))) {
                bestaendig = true;
                continue;
            }
            if (!ordner_.AmOrt(quelle))
                return NochEinmal(datei, ziel, fortschritt, geraet, inode);
        }
        struct stat nachher {};
        if (::fstat(q.get(), &nachher) != 0)
            throw quellfehler(errno);
        bestaendig = Gleich(StandAus(vorher), StandAus(nachher));
    }
    // Still changing: where its file system clones, a clone of it holds one version it really had, whole.
    bool schnappschuss = false;
    if (!bestaendig) {
        const auto klon = Klon(q.get(), quelle.Ordner());
        if (!klon) {
            Quellstand stand = StandAus(vorher);
            stand.Veraendert = true;
            stand.Versuche = Kopierversuche;
            stand.VersuchtNs = MonotonNs() - beginn;
            return stand;
        }
        if (::ftruncate(z.get(), 0) != 0)
            throw zielfehler(errno);
        struct stat inhalt {};
        if (::fstat(klon->Datei.get(), &inhalt) != 0)
            throw quellfehler(errno);
        KopiereInhalt(klon->Datei.get(), z.get(), inhalt, geraete, datei.Path, ziel, melde);
        // The state looked at just before the clone; the size is the clone's own, which the copy holds.
        vorher = klon->Stand;
        vorher.st_size = inhalt.st_size;
        schnappschuss = !klon->Gewiss;
    }

    // Hidden and system bits, then the permission bits (which may take away the write permission the
    // attribute needs), then the time, which nothing after it changes.
    Attributablage& quellAblage = ablagen_.Fuer(vorher.st_dev, Ort::Selbst(q.get()));
    // Where the source's file system lists every attribute a file holds, one listing tells which of user.DOSATTRIB
    // and the ACL there are to read (mostly neither), and whether the file has an archive record at all.
    const std::optional<Attributnamen> namen =
        ablagen_.InErweitertenAttributen(quellAblage) && Lokal(q.get(), vorher.st_dev) ? ListeAttribute(q.get())
                                                                                       : std::nullopt;
    const auto quellDos =
        namen && !namen->Dos ? std::optional<std::uint32_t>() : quellAblage.LiesDos(Ort::Selbst(q.get()));
    int wert = attr::Archiv; // a copy is new: it reads archive set, and SMB clients see that too
    mode_t modus = vorher.st_mode & 07777;
    if ((vorher.st_mode & S_IWUSR) == 0)
        wert |= attr::Schreibgeschuetzt;
    // A file system of DOS bits of its own keeps read-only apart from the permission bits: the copy is
    // read-only the way its own file system says it.
    if (quellAblage.EigeneBits() && quellDos && (*quellDos & attr::Schreibgeschuetzt)) {
        wert |= attr::Schreibgeschuetzt;
        modus &= ~static_cast<mode_t>(0222);
    }
    if (IstPunktname(LetzterName(datei.Path)) || (quellDos && (*quellDos & attr::Versteckt)))
        wert |= attr::Versteckt;
    if (quellDos && (*quellDos & attr::System))
        wert |= attr::System;
    const bool dosNoetig = quellDos || (wert & attr::System) || ((wert & attr::Versteckt) && !IstPunktname(zielName));
    // A target of DOS bits of its own (NTFS, FAT) always gets them: its read-only bit is not the permission
    // bits, and other systems see a dot name as hidden only through the bit.
    Attributablage& zielAblage = ablagen_.Fuer(zielort.OrdnerGeraet(), Ort::Selbst(z.get()));
    if (dosNoetig || zielAblage.EigeneBits()) {
        // A target that can hold no DOS bits at all (an exFAT stick through FUSE) gets the copy without them,
        // as ACLs are kept only where the target can hold them: the content is what must not be lost.
        if (!zielAblage.SchreibeDos(Ort::Selbst(z.get()), static_cast<std::uint32_t>(wert) & DosEigeneBits) &&
            errno != ENOTSUP)
            throw zielfehler(errno);
    }
    // Owner and group, the ACL, then the mode: a set-ID bit only with its owner or group (Eigentum.h), and no
    // write permission where the source's own file system calls it read-only.
    // The mode is set unless the copy, as looked at then, has it already and no ACL was written since.
    struct stat kopie {};
    const mode_t endmodus = Eigentumsmodus(z.get(), vorher, &kopie) & (modus | ~static_cast<mode_t>(0222));
    bool aclGeschrieben = false;
    if (const int fehler = KopiereAcls(Ort::Selbst(q.get()), z.get(), false, !VorgabeAclIn(zielort), &aclGeschrieben,
                                       namen && !namen->Acl);
        fehler != 0)
        throw zielfehler(fehler);
    mode_t kopiemodus = kopie.st_mode & 07777;
    if (aclGeschrieben || kopie.st_mode == ~static_cast<mode_t>(0) || kopiemodus != endmodus)
        if (const int fehler = SetzeModus(z.get(), endmodus, &kopiemodus); fehler != 0)
            throw zielfehler(fehler);
    const struct timespec zeiten[2] = {{0, UTIME_OMIT}, vorher.st_mtim};
    if (::futimens(z.get(), zeiten) != 0)
        throw zielfehler(errno);
    if (unbenannt) {
        // The name, where it is free; else a temporary name, renamed over the file of that name below.
        int fehler = Verlinke(z.get(), ordnerFd, zielName);
        for (int versuch = 0; fehler == EEXIST && versuch < 100; ++versuch) {
            tmpName = TemporaererName();
            fehler = Verlinke(z.get(), ordnerFd, tmpName);
            if (fehler != 0)
                tmpName.clear();
        }
        if (fehler != 0)
            throw zielfehler(fehler);
        if (tmpName.empty()) {
            // The copy has its name: a failure from here on takes that name away again.
            if (z.schliessen() != 0) {
                const int f = errno;
                (void)::unlinkat(ordnerFd, zielName.c_str(), 0);
                throw zielfehler(f);
            }
            fertig = true;
        }
    }
    if (!fertig) {
        if (z.schliessen() != 0)
            throw zielfehler(errno);
        if (::renameat(ordnerFd, tmpName.c_str(), ordnerFd, zielName.c_str()) != 0)
            throw zielfehler(errno);
        fertig = true;
    }
    // Where a flush of the whole file system asks nothing of the server that holds the copy (Sync's syncfs on a
    // FUSE or SMB mount), the copy is flushed by itself, under its name: that makes its content and its name
    // durable on the server. It is handed to the threads of the write-back, and the walk goes on: the next Sync,
    // which comes before any source is counted as backed up (and ends a restore), waits for it and fails where it
    // failed. The copy of a backup that cannot be made durable loses its name again.
    if (rueckschreiber_ != nullptr &&
        (rueckschreiber_->Immer() || NurEinzelnDauerhaft(ordnerFd, zielort.OrdnerGeraet())) &&
        !rueckschreiber_->Einzeln(ordnerFd, zielort.OrdnerGeraet(), zielort.OrdnerInode(), zielName, ziel,
                                  !quellordnerHalten_)) {
        // Not handed over (no thread or no descriptor for it): flushed here.
        const Deskriptor kopie(::openat(ordnerFd, zielName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        const int f = !kopie.gueltig() ? errno : rueckschreiber_->EinzelnJetzt(kopie.get());
        if (f != 0) {
            if (!quellordnerHalten_)
                (void)::unlinkat(ordnerFd, zielName.c_str(), 0);
            throw zielfehler(f);
        }
    }
    // The disk may begin to write it while the next ones are made, so that the flush at the end of a backup's batch
    // or of a restore finds little left to do.
    if (rueckschreiber_ != nullptr)
        rueckschreiber_->Kopiert(ordnerFd, static_cast<std::uint64_t>(std::max<off_t>(vorher.st_size, 0)));
    if (geraet != nullptr)
        *geraet = vorher.st_dev;
    if (inode != nullptr)
        *inode = vorher.st_ino;
    quellDos_ = quellDos;
    // The listing followed the last look at the file, which the state returned equals (not so for a clone).
    quelleOhneVermerk_ = namen && !namen->Vermerk && bestaendig;
    // The state read before the copy, even if the file was written meanwhile: the record made from it
    // then no longer matches the file, which keeps its archive bit and is backed up again.
    Quellstand stand = StandAus(vorher);
    stand.Schnappschuss = schnappschuss;
    stand.Inhalt = inhalt_;
    if (quellordnerHalten_ && kopie.st_mode != ~static_cast<mode_t>(0) && S_ISREG(kopie.st_mode)) {
        // The copy as made: the content of the size read, the time the source had, the bits just set.
        stand.KopieBekannt = true;
        stand.KopieModus = kopiemodus;
        stand.KopieUid = kopie.st_uid;
        stand.KopieGid = kopie.st_gid;
        stand.KopieGeraet = kopie.st_dev;
        stand.KopieInode = kopie.st_ino;
    }
    return stand;
}

Quellstand Kopierer::NochEinmal(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt,
                                dev_t* geraet, ino_t* inode) {
    // Bounded: a folder that keeps moving makes the file one that changes during its copy.
    if (ortswechsel_ >= Kopierversuche) {
        // Named as a file that changes during its copy: the copies made, from the first one on.
        Quellstand stand;
        stand.Veraendert = true;
        stand.Versuche = ortswechsel_ + 1;
        stand.VersuchtNs = MonotonNs() - ortswechselSeit_;
        return stand;
    }
    ++ortswechsel_;
    struct Zurueck {
        int& n;
        ~Zurueck() { --n; }
    } const zurueck{ortswechsel_};
    return Copy(datei, ziel, fortschritt, geraet, inode);
}

} // namespace tresor::posix
