// The file-system object on Linux: the operations the backup engine performs on disk, put together from the
// units of this folder (how the attribute bits are kept: Attributwert.h; where: Attributablage.h; paths of
// any length: Systempfad.h; held-open folders: OffeneOrdner.h; the copy: Kopie.h).
//
// Further choices of this backend:
// - Paths: a path not in program form fails with EINVAL, a drive letter missing from the drive table with
//   ENODEV ("Laufwerk nicht bereit"). A folder object's Path has no trailing backslash except a drive root.
//   Names on disk and in the program's form: Pfadteile.h.
// - Dir: a missing entry, and a listing of a folder that does not exist, yield "". Symbolic links, FIFOs
//   and the like are entries without the directory bit; nothing is ever followed.
// - Symbolic links are never followed. Files lists them beside the regular files (whatever they point to:
//   nothing, themselves, a folder); SubFolders never does. A link is backed up as the same link (Kopie.h);
//   its archive record lives on its folder (Verweisvermerk.h). FIFOs, sockets and device files are never
//   listed or opened.
// - A folder met through SubFolders that is the root of another mount (another device, a mount root, or a
//   drive of the table) is listed, but its own SubFolders and Files are empty. The root of a walk, taken
//   through GetFolder, is entered.
// - The symbolic link record's limit: the file system gives all extended attributes of a folder only so much
//   room (ext4 about one block of 4 KiB, some hundreds of keys). Where the record cannot grow any more
//   (E2BIG, ENOSPC) it is left as it was: the link keeps its archive bit, the run's check of the copy reports
//   that, and nothing is reported as backed up that was not. Its record needs write permission on the
//   folder, lent for the moment on a folder of the user's own, as for files.

#include "fs/PosixDateisystem.h"

#include "fs/Ablagen.h"
#include "fs/Attribute.h"
#include "fs/Attributwert.h"
#include "fs/Deskriptor.h"
#include "fs/Dosattrib.h"
#include "fs/FsFehler.h"
#include "fs/Kopie.h"
#include "fs/OffeneOrdner.h"
#include "fs/Ordnereintraege.h"
#include "fs/Pfadteile.h"
#include "fs/Systempfad.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

namespace tresor {

namespace {

using namespace posix;

class PosixDateisystem final : public Dateisystem {
public:
    explicit PosixDateisystem(Laufwerkstabelle laufwerke) : laufwerke_(std::move(laufwerke)) {}

    Ordner GetFolder(const Pfad& pfad) override;
    std::vector<Ordner> SubFolders(const Ordner& ordner) override;
    std::vector<Datei> Files(const Ordner& ordner) override;
    Datei GetFile(const Pfad& pfad) override;
    int Attributes(const Datei& datei) override;
    Quellstand Copy(const Datei& datei, const Pfad& ziel) override;
    std::string Dir(const Pfad& pfad, int maske) override;
    void MakeDir(const Pfad& pfad, Anlage anlage) override;
    void SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) override;
    void Sync(const Pfad& pfad) override;
    void OrdnerAbschliessen(const Pfad& quelle, const Pfad& ziel) override;
    void Ausschliessen(const Pfad& ordner) override;

private:
    using Kennung = std::pair<dev_t, ino_t>;

    // The POSIX path of a program path. A path not in program form fails with EINVAL, a drive that is not
    // in the table with ENODEV ("not ready").
    // A path whose way fails (a long path through a missing folder) fails with that error.
    Systempfad Posix(const char* operation, const Pfad& pfad) const;
    struct stat Lstat(const char* operation, const Pfad& pfad, const std::string& posix) const;
    // Opens a folder for reading its entries (never through a symbolic link).
    Deskriptor OeffneOrdner(const char* operation, const Pfad& pfad, const std::string& posix, struct stat& st) const;
    // What a collection reads of a folder: its entries, a descriptor of it for looking at them, its stat.
    struct Ordnerinhalt {
        std::vector<Eintrag> Eintraege;
        Deskriptor Basis;
        struct stat St {};
        Systempfad Posix;
    };
    // Nothing for a folder that is never entered (a mount point met through SubFolders).
    std::optional<Ordnerinhalt> LiesOrdner(const char* operation, const Ordner& ordner);
    // The store of the DOS bits and records of the file system that holds the entry.
    Attributablage& Ablage(const struct stat& st, const Ort& ort) { return ablagen_.Fuer(st.st_dev, ort); }

    Laufwerkstabelle laufwerke_;
    OffeneOrdner offeneOrdner_{laufwerke_};
    Ablagen ablagen_;
    Kopierer kopierer_{offeneOrdner_, ablagen_};
    std::set<Kennung> grenzen_;        // mount points met through SubFolders: listed, never entered
    std::set<Kennung> ausgeschlossen_; // never listed
};

Systempfad PosixDateisystem::Posix(const char* operation, const Pfad& pfad) const {
    if (auto posix = laufwerke_.ZuPosix(pfad)) {
        Systempfad sp(*std::move(posix));
        if (sp.Fehler() != 0)
            throw FsFehler(operation, pfad, Fehlercode(sp.Fehler()));
        return sp;
    }
    Unbrauchbar(operation, pfad);
}

struct stat PosixDateisystem::Lstat(const char* operation, const Pfad& pfad, const std::string& posix) const {
    struct stat st {};
    if (::lstat(posix.c_str(), &st) != 0)
        throw FsFehler(operation, pfad, Fehlercode(errno));
    return st;
}

Deskriptor PosixDateisystem::OeffneOrdner(const char* operation, const Pfad& pfad, const std::string& posix,
                                          struct stat& st) const {
    Deskriptor fd(::open(posix.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.gueltig() || ::fstat(fd.get(), &st) != 0)
        throw FsFehler(operation, pfad, Fehlercode(errno));
    return fd;
}

std::optional<PosixDateisystem::Ordnerinhalt> PosixDateisystem::LiesOrdner(const char* operation,
                                                                           const Ordner& ordner) {
    Ordnerinhalt inhalt{{}, Deskriptor(), {}, Posix(operation, ordner.Path)};
    Deskriptor fd = OeffneOrdner(operation, ordner.Path, inhalt.Posix, inhalt.St);
    if (grenzen_.contains({inhalt.St.st_dev, inhalt.St.st_ino}))
        return std::nullopt;
    // The descriptor goes to the directory stream; keep a second one for the stat calls.
    inhalt.Basis = Deskriptor(::dup(fd.get()));
    if (!inhalt.Basis.gueltig())
        throw FsFehler(operation, ordner.Path, Fehlercode(errno));
    int fehler = 0;
    inhalt.Eintraege = LiesEintraege(std::move(fd), fehler);
    if (fehler != 0)
        throw FsFehler(operation, ordner.Path, Fehlercode(fehler));
    return inhalt;
}

Ordner PosixDateisystem::GetFolder(const Pfad& pfad) {
    const Systempfad posix = Posix("GetFolder", pfad);
    const struct stat st = Lstat("GetFolder", pfad, posix);
    if (!S_ISDIR(st.st_mode))
        throw FsFehler("GetFolder", pfad, Fehlercode(ENOTDIR));
    Pfad path = OhneSchraegstrich(pfad);
    std::string name = IstLaufwerkswurzel(path) ? std::string() : LetzterName(path);
    return Ordner{std::move(path), std::move(name)};
}

std::vector<Ordner> PosixDateisystem::SubFolders(const Ordner& ordner) {
    auto inhalt = LiesOrdner("SubFolders", ordner);
    if (!inhalt)
        return {};
    const auto& eintraege = inhalt->Eintraege;
    const Deskriptor& basis = inhalt->Basis;
    const struct stat& st = inhalt->St;
    const Systempfad& posix = inhalt->Posix;

    std::vector<Ordner> ordnerliste;
    for (const auto& e : eintraege) {
        if (e.Typ != DT_DIR && e.Typ != DT_UNKNOWN)
            continue;
        struct statx sx {};
        if (::statx(basis.get(), e.Name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO, &sx) !=
            0) {
            if (errno == ENOENT)
                continue; // removed since the folder was read
            throw FsFehler("SubFolders", KindPfad(ordner.Path, Programmname(e.Name)), Fehlercode(errno));
        }
        if (!S_ISDIR(sx.stx_mode))
            continue;
        const Kennung kennung{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
        if (ausgeschlossen_.contains(kennung))
            continue;
        const bool einhaengepunkt = kennung.first != st.st_dev ||
                                    ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                                     (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) ||
                                    laufwerke_.IstEinhaengepunkt(PosixKind(posix.Voll(), e.Name));
        if (einhaengepunkt)
            grenzen_.insert(kennung);
        std::string name = Programmname(e.Name);
        ordnerliste.push_back(Ordner{KindPfad(ordner.Path, name), name});
    }
    return ordnerliste;
}

std::vector<Datei> PosixDateisystem::Files(const Ordner& ordner) {
    auto inhalt = LiesOrdner("Files", ordner);
    if (!inhalt)
        return {};
    const auto& eintraege = inhalt->Eintraege;
    const Deskriptor& basis = inhalt->Basis;

    std::vector<Datei> dateien;
    for (const auto& e : eintraege) {
        // Regular files and symbolic links; a link is listed whatever it points to, and never followed.
        bool regulaer = e.Typ == DT_REG || e.Typ == DT_LNK;
        if (e.Typ == DT_UNKNOWN) {
            struct stat kst {};
            if (::fstatat(basis.get(), e.Name.c_str(), &kst, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;
                throw FsFehler("Files", KindPfad(ordner.Path, Programmname(e.Name)), Fehlercode(errno));
            }
            regulaer = S_ISREG(kst.st_mode) || S_ISLNK(kst.st_mode);
        }
        if (regulaer) {
            std::string name = Programmname(e.Name);
            dateien.push_back(Datei{KindPfad(ordner.Path, name), name});
        }
    }
    return dateien;
}

Datei PosixDateisystem::GetFile(const Pfad& pfad) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("GetFile", pfad, ort);
    const struct stat st = offeneOrdner_.StatAn("GetFile", pfad, ort);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        throw FsFehler("GetFile", pfad, Fehlercode(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    return Datei{pfad, LetzterName(pfad)};
}

int PosixDateisystem::Attributes(const Datei& datei) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("Attributes", datei.Path, ort);
    const struct stat st = offeneOrdner_.StatAn("Attributes", datei.Path, ort);
    if (S_ISLNK(st.st_mode))
        return Verweiswert(Ablage(st, ort.Wo()), ort.Ordner(),
                           ort.Ganz() ? std::string_view() : std::string_view(ort.Name()), st);
    // The whole POSIX path names a file of several names in its archive record; others need none.
    const std::string voll = st.st_nlink > 1 ? laufwerke_.ZuPosix(datei.Path).value_or(std::string()) : std::string();
    return Attributwert(Ablage(st, ort.Wo()), ort.Wo(), LetzterName(datei.Path), st, voll);
}

Quellstand PosixDateisystem::Copy(const Datei& datei, const Pfad& ziel) {
    return kopierer_.Copy(datei, ziel);
}

std::string PosixDateisystem::Dir(const Pfad& pfad, int maske) {
    auto zugelassen = [maske](int wert) {
        return (wert & (attr::Versteckt | attr::System | attr::Verzeichnis) & ~maske) == 0;
    };

    if (!pfad.empty() && pfad.back() != '\\') {
        // One entry: the last name of the path.
        Eintragsort ort;
        const int weg = offeneOrdner_.Verorte("Dir", pfad, ort);
        // A path whose way is missing names nothing, like any missing path.
        if (weg == ENOENT || weg == ENOTDIR)
            return {};
        if (weg != 0)
            throw FsFehler("Dir", pfad, Fehlercode(weg));
        struct stat st {};
        if (::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
            (errno != ENOENT || !offeneOrdner_.Erneuert("Dir", pfad, ort) ||
             ::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0)) {
            if (errno == ENOENT || errno == ENOTDIR)
                return {};
            throw FsFehler("Dir", pfad, Fehlercode(errno));
        }
        // Letter case is exact on Linux: the name as given is the name as stored.
        std::string name = LetzterName(pfad);
        int wert = IstPunktname(name) ? attr::Versteckt : 0;
        if (S_ISDIR(st.st_mode))
            wert |= attr::Verzeichnis;
        // user.DOSATTRIB only where its hidden or system bit can still change the answer. Symbolic links
        // carry no user attributes.
        constexpr int VersteckSystem = attr::Versteckt | attr::System;
        if (zugelassen(wert) && (maske & VersteckSystem) != VersteckSystem && !S_ISLNK(st.st_mode)) {
            if (const auto dos = Ablage(st, ort.Wo()).LiesDos(ort.Wo()))
                wert |= static_cast<int>(*dos & VersteckSystem);
        }
        return zugelassen(wert) ? name : std::string();
    }

    const auto umgesetzt = laufwerke_.ZuPosix(pfad);
    if (!umgesetzt)
        Unbrauchbar("Dir", pfad);
    const Systempfad posix(*umgesetzt);
    // A long path whose way is missing names nothing, like any missing path.
    if (posix.Fehler() == ENOENT || posix.Fehler() == ENOTDIR)
        return {};
    if (posix.Fehler() != 0)
        throw FsFehler("Dir", pfad, Fehlercode(posix.Fehler()));

    // A listing. A folder that does not exist has no entries, so the answer is "", as for a name that
    // does not exist; only a drive that is not ready fails (above).
    Deskriptor fd(::open(posix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.gueltig()) {
        if (errno == ENOENT || errno == ENOTDIR)
            return {};
        throw FsFehler("Dir", pfad, Fehlercode(errno));
    }
    // "." and ".." head the listing of every folder but a drive root; both are plain folders.
    if (!IstLaufwerkswurzel(pfad) && zugelassen(attr::Verzeichnis))
        return ".";
    Deskriptor basis(::dup(fd.get()));
    if (!basis.gueltig())
        throw FsFehler("Dir", pfad, Fehlercode(errno));
    int fehler = 0;
    const auto eintraege = LiesEintraege(std::move(fd), fehler);
    if (fehler != 0)
        throw FsFehler("Dir", pfad, Fehlercode(fehler));
    Attributablage* ablage = nullptr; // asked for once, where the first entry needs it
    for (const auto& e : eintraege) {
        // The cheap tests first: the name, then the type; the stored bits only when they can matter.
        int wert = IstPunktname(e.Name) ? attr::Versteckt : 0;
        if (!zugelassen(wert))
            continue;
        bool ordner = e.Typ == DT_DIR;
        bool symlink = e.Typ == DT_LNK;
        if (e.Typ == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(basis.get(), e.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;
                throw FsFehler("Dir", pfad + Programmname(e.Name), Fehlercode(errno));
            }
            ordner = S_ISDIR(st.st_mode);
            symlink = S_ISLNK(st.st_mode);
        }
        if (ordner)
            wert |= attr::Verzeichnis;
        if (!zugelassen(wert))
            continue;
        if ((maske & (attr::Versteckt | attr::System)) != (attr::Versteckt | attr::System) && !symlink) {
            if (ablage == nullptr) {
                struct stat ost {};
                if (::fstat(basis.get(), &ost) != 0)
                    throw FsFehler("Dir", pfad, Fehlercode(errno));
                ablage = &Ablage(ost, Ort::Selbst(basis.get()));
            }
            if (const auto dos = ablage->LiesDos(Ort(basis.get(), e.Name.c_str())))
                wert |= static_cast<int>(*dos & (attr::Versteckt | attr::System));
            if (!zugelassen(wert))
                continue;
        }
        return Programmname(e.Name);
    }
    return {};
}

void PosixDateisystem::MakeDir(const Pfad& pfad, Anlage anlage) {
    const Systempfad posix = Posix("MakeDir", pfad);
    if (::mkdir(posix.c_str(), anlage == Anlage::Privat ? 0700 : 0777) != 0)
        throw FsFehler("MakeDir", pfad, Fehlercode(errno));
}

void PosixDateisystem::SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("SetFileAttr", pfad, ort);
    const struct stat st = offeneOrdner_.StatAn("SetFileAttr", pfad, ort);
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode))
        throw FsFehler("SetFileAttr", pfad, Fehlercode(EINVAL));
    // The whole POSIX path names a file of several names in its archive record; others need none.
    const std::string voll =
        S_ISREG(st.st_mode) && st.st_nlink > 1 ? laufwerke_.ZuPosix(pfad).value_or(std::string()) : std::string();
    SchreibeAttributwert(Ablage(st, ort.Wo()), pfad, ort, st, wert, stand, voll);
}

void PosixDateisystem::Sync(const Pfad& pfad) {
    const auto umgesetzt = laufwerke_.ZuPosix(pfad);
    if (!umgesetzt)
        Unbrauchbar("Sync", pfad);
    // The path only names the file system: a copy removed since (by whoever) leaves its folder to name it,
    // but never a folder above the drive's own.
    const std::size_t wurzel = laufwerke_.Finde(pfad[0])->Einhaengepunkt.size();
    std::string stufe = *umgesetzt;
    auto oeffne = [](const std::string& posix, int flags) {
        const Systempfad sp(posix);
        if (sp.Fehler() != 0) {
            errno = sp.Fehler();
            return Deskriptor();
        }
        return Deskriptor(::open(sp.c_str(), flags | O_CLOEXEC));
    };
    Deskriptor fd = oeffne(stufe, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    const int ersterFehler = errno;
    while (!fd.gueltig() && (errno == ENOENT || errno == ENOTDIR) && stufe.size() > wurzel) {
        const auto schnitt = stufe.find_last_of('/', stufe.size() - 2);
        if (schnitt == std::string::npos)
            break;
        stufe.resize(std::max<std::size_t>(schnitt == 0 ? 1 : schnitt, wurzel));
        fd = oeffne(stufe, O_RDONLY | O_DIRECTORY);
    }
    if (!fd.gueltig())
        throw FsFehler("Sync", pfad, Fehlercode(ersterFehler));
    if (::syncfs(fd.get()) != 0)
        throw FsFehler("Sync", pfad, Fehlercode(errno));
}

void PosixDateisystem::OrdnerAbschliessen(const Pfad& quelle, const Pfad& ziel) {
    const Systempfad quellPosix = Posix("OrdnerAbschliessen", quelle);
    const Systempfad zielPosix = Posix("OrdnerAbschliessen", ziel);
    const struct stat qst = Lstat("OrdnerAbschliessen", quelle, quellPosix);
    const struct stat zst = Lstat("OrdnerAbschliessen", ziel, zielPosix);
    if (!S_ISDIR(qst.st_mode))
        throw FsFehler("OrdnerAbschliessen", quelle, Fehlercode(ENOTDIR));
    if (!S_ISDIR(zst.st_mode))
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(ENOTDIR));
    const int quellWert =
        Attributwert(Ablage(qst, quellPosix), quellPosix, LetzterName(OhneSchraegstrich(quelle)), qst);
    // The mirror is still the user's own and writable here; its attribute goes before the final mode.
    Attributablage& zielAblage = Ablage(zst, zielPosix);
    const auto dosNeu =
        NeuerDosWert(zielAblage.LiesDos(zielPosix), quellWert, LetzterName(OhneSchraegstrich(ziel)), true);
    if (dosNeu && !zielAblage.SchreibeDos(zielPosix, *dosNeu))
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(errno));
    if (::chmod(zielPosix.c_str(), qst.st_mode & 07777) != 0)
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(errno));
}

void PosixDateisystem::Ausschliessen(const Pfad& ordner) {
    const Systempfad posix = Posix("Ausschliessen", ordner);
    struct stat st {};
    if (::stat(posix.c_str(), &st) != 0)
        throw FsFehler("Ausschliessen", ordner, Fehlercode(errno));
    ausgeschlossen_.insert({st.st_dev, st.st_ino});
}

} // namespace

std::unique_ptr<Dateisystem> ErzeugePosixDateisystem(Laufwerkstabelle laufwerke) {
    return std::make_unique<PosixDateisystem>(std::move(laufwerke));
}

} // namespace tresor
