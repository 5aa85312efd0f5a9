// The file-system object on Linux: the operations the backup engine performs on disk, put together from the
// units of this folder (how the attribute bits are kept: Attributwert.h; where: Attributablage.h; paths of
// any length: Systempfad.h; held-open folders: OffeneOrdner.h; the copy: Kopie.h).
//
// Further choices of this backend:
// - Paths: a path not in program form fails with EINVAL, a drive letter missing from the drive table with
//   ENODEV ("Laufwerk nicht bereit"). A folder object's Path has no trailing backslash except a drive root.
//   Names on disk and in the program's form: Pfadteile.h.
// - Dir: a missing entry, and a listing of a folder that does not exist, yield "". Symbolic links, FIFOs
//   and the like are entries without the directory bit; nothing is ever followed. It yields names as
//   stored: on a file system that ignores letter case (Ablagen::GrossKleinBlind, known once per device) the
//   name of the entry found is looked up in its folder's listing, so "f.txt" yields "F.txt". That costs a
//   listing per lookup there; file systems that keep case cost nothing extra.
// - Drives: a drive whose mount went away is not ready (ENODEV); MakeDir makes nothing on a drive whose
//   mount point no longer holds the file system the table was made with, so an unplugged stick never turns
//   into folders on the disk below.
// - Symbolic links are never followed. Files lists them beside the regular files (whatever they point to:
//   nothing, themselves, a folder); SubFolders never does. A link is backed up as the same link (Kopie.h);
//   its archive record lives on its folder (Verweisvermerk.h). FIFOs, sockets and device files are never
//   listed or opened.
// - A folder met through SubFolders that is the root of another mount (another device, a mount root, or a
//   drive of the table) is listed, but its own SubFolders and Files are empty. The root of a walk, taken
//   through GetFolder, is entered.
// - Records stay small whatever a folder holds: a file of one name has a record of its own, bound to its path
//   within its file system (Einhaengungen.h); symbolic links and files of several names share one record of
//   fixed size on their folder (Verweisvermerk.h). Where a record cannot be written (no room for extended
//   attributes, another user's file) SetFileAttr fails for that entry: nothing is reported as backed up that
//   was not. A folder's record needs write permission on the folder, lent for the moment on a folder of the
//   user's own, as for files.
// - Walks from held folders: the first folder taken through GetFolder (the source of a walk) and the first
//   folder made by MakeDir outside it (the backup folder) are held open as roots from then on; every path
//   below them is reached from their descriptors one name at a time, never following a link (OffeneOrdner.h).
//   A folder of the source or of the backup swapped for a link fails the calls on paths through it (ELOOP,
//   ENOTDIR); nothing outside those two folders is ever read, written, chmodded or marked through them.
//   The backup folder must be the user's own when it is opened after its creation (another user's folder
//   slipped into its place fails with EEXIST).
// - A source file's archive record is written only on the file (device and inode) that was copied, through a
//   descriptor of that file: where another file stands under its name by then, nothing is written and the
//   run's check of the copy reports the file.
// - ArchivGesetzt, asked for the files of the folder listed last in the listing's order (as the scan does),
//   has their records read ahead on a second thread (Vorleser.h) while this thread looks at each file; the
//   answers are those of a read at the moment of asking. Our own record writes drop what was read ahead.
// - Owners: run by root, copies, links and mirrored folders get the source's owner and group. A set-user-ID
//   or set-group-ID bit stays only where the copy has the owner or group it belongs to. POSIX ACLs (access,
//   and a folder's default) are copied where the target holds them; file capabilities never.

#include "fs/PosixDateisystem.h"

#include "fs/Ablagen.h"
#include "fs/Attribute.h"
#include "fs/Attributwert.h"
#include "fs/Deskriptor.h"
#include "fs/Dosattrib.h"
#include "fs/Eigentum.h"
#include "fs/Einhaengungen.h"
#include "fs/FsFehler.h"
#include "fs/Kopie.h"
#include "fs/OffeneOrdner.h"
#include "fs/Ordnereintraege.h"
#include "fs/Ordnertafeln.h"
#include "fs/Pfadteile.h"
#include "fs/Systempfad.h"
#include "fs/Vorleser.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

namespace tresor {

namespace {

using namespace posix;

// The name as stored of the entry `name` of the open folder `ordnerFd` on a file system that ignores case: the
// entry of the listing that is `name` exactly, else the one that differs from it in case only; `name` itself
// where the listing holds neither (a fold of case this program does not know).
std::string GespeicherterName(int ordnerFd, const char* name) {
    int fehler = 0;
    const auto eintraege =
        LiesEintraege(Deskriptor(::openat(ordnerFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), fehler);
    const std::string_view gesucht = name;
    const Eintrag* gefunden = nullptr;
    for (const auto& e : eintraege) {
        if (e.Name == gesucht)
            return e.Name;
        if (gefunden == nullptr && GleichOhneGrossKlein(e.Name, gesucht))
            gefunden = &e;
    }
    return gefunden != nullptr ? gefunden->Name : std::string(gesucht);
}

class PosixDateisystem final : public Dateisystem {
public:
    PosixDateisystem(Laufwerkstabelle laufwerke, Kopierhaken haken, Vorlesehaken vorlesehaken)
        : laufwerke_(std::move(laufwerke)), kopierer_(offeneOrdner_, ablagen_, std::move(haken)),
          vorleser_({}, std::move(vorlesehaken)) {}

    Ordner GetFolder(const Pfad& pfad) override;
    std::vector<Ordner> SubFolders(const Ordner& ordner) override;
    std::vector<Datei> Files(const Ordner& ordner) override;
    Datei GetFile(const Pfad& pfad) override;
    int Attributes(const Datei& datei) override;
    bool ArchivGesetzt(const Datei& datei) override;
    std::optional<Datei> DateiZuSichern(const Pfad& pfad) override;
    Quellstand Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt = {}) override;
    std::string Dir(const Pfad& pfad, int maske) override;
    void MakeDir(const Pfad& pfad, Anlage anlage) override;
    void SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) override;
    void Sync(const Pfad& pfad) override;
    void OrdnerAbschliessen(const Pfad& quelle, const Pfad& ziel) override;
    void Ausschliessen(const Pfad& ordner) override;
    bool GrossKleinBlind(const Pfad& ordner) override;
    void Festschreiben() override;

private:
    using Kennung = std::pair<dev_t, ino_t>;

    // The POSIX path of a program path. A path not in program form fails with EINVAL, a drive that is not
    // in the table with ENODEV ("not ready").
    // A path whose way fails (a long path through a missing folder) fails with that error.
    Systempfad Posix(const char* operation, const Pfad& pfad) const;
    // Where the record of the entry is and what it is bound to (its path, or its folder's, within its file
    // system).
    Vermerkort VermerkortVon(const Pfad& pfad, const Eintragsort& ort, const struct stat& st);
    // What a collection reads of a folder: its entries, a descriptor of it for looking at them, its stat.
    struct Ordnerinhalt {
        std::vector<Eintrag> Eintraege;
        Deskriptor Basis;
        struct stat St {};
        std::string Posix; // for comparisons only, never for a system call
    };
    // Nothing for a folder that is never entered (a mount point met through SubFolders).
    std::optional<Ordnerinhalt> LiesOrdner(const char* operation, const Ordner& ordner);
    // The store of the DOS bits and records of the file system that holds the entry.
    Attributablage& Ablage(const struct stat& st, const Ort& ort) { return ablagen_.Fuer(st.st_dev, ort); }

    Laufwerkstabelle laufwerke_;
    OffeneOrdner offeneOrdner_{laufwerke_};
    Ablagen ablagen_;
    Kopierer kopierer_;
    Ordnertafeln tafeln_;
    std::optional<Einhaengungen> einhaengungen_; // read at the first record
    std::set<Kennung> grenzen_;                  // mount points met through SubFolders: listed, never entered
    std::set<Kennung> ausgeschlossen_;           // never listed
    bool sicherungGehalten_ = false;             // the first folder made outside every root is held as one
    // The file each copy was taken from, until its archive bit is cleared.
    std::unordered_map<Pfad, Kennung> kopiert_;

    // The files of the folder listed last (Files), whose records are read ahead on a second thread once the
    // archive bit of one of them is asked for (ArchivGesetzt); the walk asks for them in this order.
    struct Auflistung {
        Pfad Ordner;
        std::vector<std::string> Namen; // on disk
        std::size_t Naechster = 0;      // the entry expected next
        int OrdnerFd = -1;              // the held folder the records are read through, once begun
    };
    // The archive bit of the file or link `pfad`, reached through `ort` (found through the held folder
    // `ordnerFd`), whose lstat data is `st`.
    bool Archivbit(const Pfad& pfad, const Eintragsort& ort, int ordnerFd, const struct stat& st);
    // The index of the file `name` (on disk) of the folder `ordner` in the last listing, or nothing.
    std::optional<std::size_t> InAuflistung(std::string_view ordner, std::string_view name);
    Auflistung auflistung_;
    Vorleser vorleser_;
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

std::optional<PosixDateisystem::Ordnerinhalt> PosixDateisystem::LiesOrdner(const char* operation,
                                                                           const Ordner& ordner) {
    const auto posix = laufwerke_.ZuPosix(ordner.Path);
    if (!posix)
        Unbrauchbar(operation, ordner.Path);
    Ordnerinhalt inhalt{{}, Deskriptor(), {}, *posix};
    Deskriptor fd = offeneOrdner_.OeffneOrdner(operation, ordner.Path, O_RDONLY);
    if (!fd.gueltig() || ::fstat(fd.get(), &inhalt.St) != 0)
        throw FsFehler(operation, ordner.Path, Fehlercode(errno));
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
    Pfad path = OhneSchraegstrich(pfad);
    if (offeneOrdner_.UnterWurzel(path)) {
        Eintragsort ort;
        offeneOrdner_.VerorteOderWirf("GetFolder", path, ort);
        const struct stat st = offeneOrdner_.StatAn("GetFolder", path, ort);
        if (!S_ISDIR(st.st_mode))
            throw FsFehler("GetFolder", pfad, Fehlercode(ENOTDIR));
        // A held folder that was removed meanwhile is no folder any more, as its path would tell.
        if (st.st_nlink == 0)
            throw FsFehler("GetFolder", pfad, Fehlercode(ENOENT));
    } else {
        // The start of a walk: from now on everything below this folder is reached from its descriptor.
        const Systempfad posix = Posix("GetFolder", path);
        Deskriptor fd(::open(posix.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.gueltig() && errno == EACCES)
            fd = Deskriptor(::open(posix.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!fd.gueltig()) {
            const int fehler = errno;
            // A link, or anything else that is not a folder, is no folder.
            if (::lstat(posix.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
                throw FsFehler("GetFolder", pfad, Fehlercode(ENOTDIR));
            throw FsFehler("GetFolder", pfad, Fehlercode(fehler));
        }
        if (::fstat(fd.get(), &st) != 0)
            throw FsFehler("GetFolder", pfad, Fehlercode(errno));
        offeneOrdner_.Halte(path, std::move(fd), st);
    }
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
    const std::string& posix = inhalt->Posix;

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
                                    laufwerke_.IstEinhaengepunkt(PosixKind(posix, e.Name));
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
    std::vector<std::string> namen;
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
            namen.push_back(e.Name);
        }
    }
    vorleser_.Beende();
    auflistung_ = Auflistung{ordner.Path, std::move(namen)};
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

Vermerkort PosixDateisystem::VermerkortVon(const Pfad& pfad, const Eintragsort& ort, const struct stat& st) {
    Vermerkort vo;
    vo.Tafeln = &tafeln_;
    if (!ort.Ganz()) {
        vo.OrdnerFd = ort.Ordner();
        vo.Eintrag = ort.Name();
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return vo;
    const auto posix = laufwerke_.ZuPosix(pfad);
    if (!posix)
        return vo;
    if (!einhaengungen_)
        einhaengungen_ = Einhaengungen::AusSystem();
    if (Ordnertafeln::AufDemOrdner(st)) {
        // The record lives on the folder: bound to the folder's path.
        const auto schnitt = posix->find_last_of('/');
        const std::string ordner = schnitt == 0 ? std::string("/") : posix->substr(0, schnitt);
        vo.OrdnerName = Namenskennung(einhaengungen_->ImDateisystem(ordner));
    } else {
        vo.Name = Namenskennung(einhaengungen_->ImDateisystem(*posix));
    }
    return vo;
}

int PosixDateisystem::Attributes(const Datei& datei) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("Attributes", datei.Path, ort);
    const struct stat st = offeneOrdner_.StatAn("Attributes", datei.Path, ort);
    const Vermerkort vo = VermerkortVon(datei.Path, ort, st);
    if (S_ISLNK(st.st_mode))
        return Verweiswert(Ablage(st, ort.Wo()), st, vo);
    return Attributwert(Ablage(st, ort.Wo()), ort.Wo(), LetzterName(datei.Path), st, &vo);
}

std::optional<std::size_t> PosixDateisystem::InAuflistung(std::string_view ordner, std::string_view name) {
    Auflistung& a = auflistung_;
    if (ordner != a.Ordner)
        return std::nullopt;
    if (a.Naechster < a.Namen.size() && a.Namen[a.Naechster] == name)
        return a.Naechster++;
    // Asked out of the listing's order: found by name (byte order), and the order goes on from there.
    const auto stelle = std::lower_bound(a.Namen.begin(), a.Namen.end(), name,
                                         [](const std::string& x, std::string_view y) { return x < y; });
    if (stelle == a.Namen.end() || *stelle != name)
        return std::nullopt;
    a.Naechster = static_cast<std::size_t>(stelle - a.Namen.begin()) + 1;
    return a.Naechster - 1;
}

bool PosixDateisystem::ArchivGesetzt(const Datei& datei) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("Attributes", datei.Path, ort);
    const int ordnerFd = ort.Ordner();
    const struct stat st = offeneOrdner_.StatAn("Attributes", datei.Path, ort);
    return Archivbit(datei.Path, ort, ordnerFd, st);
}

std::optional<Datei> PosixDateisystem::DateiZuSichern(const Pfad& pfad) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("GetFile", pfad, ort);
    const int ordnerFd = ort.Ordner();
    const struct stat st = offeneOrdner_.StatAn("GetFile", pfad, ort);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        throw FsFehler("GetFile", pfad, Fehlercode(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    if (!Archivbit(pfad, ort, ordnerFd, st))
        return std::nullopt;
    return Datei{pfad, LetzterName(pfad)};
}

bool PosixDateisystem::Archivbit(const Pfad& pfad, const Eintragsort& ort, int ordnerFd, const struct stat& st) {
    const Vermerkort vo = VermerkortVon(pfad, ort, st);
    Attributablage& ablage = Ablage(st, ort.Wo());
    if (S_ISLNK(st.st_mode))
        return (Verweiswert(ablage, st, vo) & attr::Archiv) != 0;
    // A file with a record of its own, in user extended attributes, reached through the held folder that the
    // records are read ahead through: its record may have been read on the other thread already. The lstat
    // was taken after that read, so the record's ctime tells whether it is still the file's.
    std::optional<std::optional<Archivvermerk>> vorgelesen;
    if (S_ISREG(st.st_mode) && !Ordnertafeln::AufDemOrdner(st) && !ort.Ganz() && ort.Ordner() == ordnerFd &&
        ablagen_.InErweitertenAttributen(ablage)) {
        const auto schnitt = pfad.rfind('\\');
        const std::string_view ordner = std::string_view(pfad).substr(0, schnitt == 2 ? 3 : schnitt);
        if (const auto index = InAuflistung(ordner, ort.Name())) {
            if (auflistung_.OrdnerFd != ort.Ordner()) {
                // The first file asked for in this folder: the ones after it are read ahead from now on.
                auflistung_.OrdnerFd =
                    vorleser_.Beginne(ort.Ordner(), auflistung_.Namen, *index + 1) ? ort.Ordner() : -1;
            } else {
                vorgelesen = vorleser_.Hole(*index);
            }
        }
    }
    return posix::Archivbit(ablage, ort.Wo(), st, &vo, vorgelesen ? &*vorgelesen : nullptr);
}

Quellstand PosixDateisystem::Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt) {
    Kennung kennung{};
    Quellstand stand = kopierer_.Copy(datei, ziel, fortschritt, &kennung.first, &kennung.second);
    kopiert_[datei.Path] = kennung;
    return stand;
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
        // The name as stored. Where the file system ignores case, the lookup found the entry whatever the
        // case asked, and only the listing tells its stored name; elsewhere the name as given is the name as
        // stored (known once per device: no call of its own per entry).
        std::string name = LetzterName(pfad);
        if (!ort.Ganz() && ablagen_.GrossKleinBlind(st.st_dev, ort.Ordner(), ort.Name()))
            name = Programmname(GespeicherterName(ort.Ordner(), ort.Name()));
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
    // A listing. A folder that does not exist has no entries, so the answer is "", as for a name that
    // does not exist; only a drive that is not ready fails (above). Below a root the folder is reached from
    // it, never through a link.
    Deskriptor fd;
    if (offeneOrdner_.UnterWurzel(OhneSchraegstrich(pfad))) {
        fd = offeneOrdner_.OeffneOrdner("Dir", OhneSchraegstrich(pfad), O_RDONLY);
    } else {
        const Systempfad posix(*umgesetzt);
        // A long path whose way is missing names nothing, like any missing path.
        if (posix.Fehler() == ENOENT || posix.Fehler() == ENOTDIR)
            return {};
        if (posix.Fehler() != 0)
            throw FsFehler("Dir", pfad, Fehlercode(posix.Fehler()));
        fd = Deskriptor(::open(posix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!fd.gueltig()) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
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
    // Nothing is ever made in the folder that a vanished mount used to cover: the drive must still be the
    // file system it was when the table was made.
    if (const Laufwerk* l = laufwerke_.Finde(pfad[0]); l != nullptr && l->Geraet != 0) {
        struct stat wurzel {};
        if (::stat(l->Einhaengepunkt.c_str(), &wurzel) != 0 || wurzel.st_dev != l->Geraet)
            throw FsFehler("MakeDir", pfad, Fehlercode(ENODEV));
    }
    const mode_t modus = anlage == Anlage::Privat ? 0700 : 0777;
    if (const int wurzel = offeneOrdner_.Wurzel(pfad); wurzel >= 0) {
        // A held folder is there as long as it was not removed; one removed is made anew below.
        struct stat st {};
        if (::fstat(wurzel, &st) != 0 || st.st_nlink != 0)
            throw FsFehler("MakeDir", pfad, Fehlercode(EEXIST));
        offeneOrdner_.LasseLos(pfad);
        sicherungGehalten_ = false;
    }
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("MakeDir", pfad, ort);
    if (ort.Ganz()) {
        if (::mkdir(ort.Name(), modus) != 0)
            throw FsFehler("MakeDir", pfad, Fehlercode(errno));
        return;
    }
    if (::mkdirat(ort.Ordner(), ort.Name(), modus) != 0) {
        int fehler = errno;
        if (fehler == ENOENT && offeneOrdner_.Erneuert("MakeDir", pfad, ort))
            fehler = ::mkdirat(ort.Ordner(), ort.Name(), modus) == 0 ? 0 : errno;
        if (fehler != 0)
            throw FsFehler("MakeDir", pfad, Fehlercode(fehler));
    }
    if (sicherungGehalten_ || offeneOrdner_.UnterWurzel(pfad))
        return;
    // The backup folder: held from its creation, so that whatever happens to its path (in a target folder
    // that others can write to), the run writes into this folder and nowhere else.
    Deskriptor fd(::openat(ort.Ordner(), ort.Name(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.gueltig() || ::fstat(fd.get(), &st) != 0)
        throw FsFehler("MakeDir", pfad, Fehlercode(errno));
    if (st.st_uid != ::geteuid())
        throw FsFehler("MakeDir", pfad, Fehlercode(EEXIST));
    offeneOrdner_.Halte(pfad, std::move(fd), st);
    sicherungGehalten_ = true;
}

void PosixDateisystem::SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) {
    // Records read ahead may be older than what is written now: they are read again.
    vorleser_.Beende();
    auflistung_.OrdnerFd = -1;
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("SetFileAttr", pfad, ort);
    struct stat st = offeneOrdner_.StatAn("SetFileAttr", pfad, ort);
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode))
        throw FsFehler("SetFileAttr", pfad, Fehlercode(EINVAL));
    // Where its record lives, bound to its path: known before the entry is reached through its own descriptor.
    const Vermerkort vo = VermerkortVon(pfad, ort, st);
    // A regular file is changed through a descriptor of its own, and its record only where it is the very
    // file that was copied: a file put in its place since gets nothing, and the check of the copy tells.
    Deskriptor datei;
    Eintragsort selbst;
    const Eintragsort* wo = &ort;
    if (S_ISREG(st.st_mode)) {
        const auto kopie = kopiert_.find(pfad);
        std::optional<Kennung> erwartet;
        if (kopie != kopiert_.end()) {
            erwartet = kopie->second;
            kopiert_.erase(kopie);
        }
        datei =
            Deskriptor(::openat(ort.Ordner(), ort.Name(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!datei.gueltig() && errno != EACCES)
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
        if (datei.gueltig()) {
            struct stat fst {};
            if (::fstat(datei.get(), &fst) != 0)
                throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
            const bool andere = !S_ISREG(fst.st_mode) || fst.st_dev != st.st_dev || fst.st_ino != st.st_ino ||
                                (erwartet && *erwartet != Kennung{fst.st_dev, fst.st_ino}) ||
                                ((wert & attr::Archiv) == 0 && stand.Gueltig && stand.Inode != fst.st_ino);
            if (andere)
                return;
            st = fst;
            selbst = Eintragsort::Selbst(datei.get(), fst.st_dev);
            wo = &selbst;
        } else if (erwartet && *erwartet != Kennung{st.st_dev, st.st_ino}) {
            return;
        }
    }
    SchreibeAttributwert(Ablage(st, wo->Wo()), pfad, *wo, st, wert, stand, vo);
}

void PosixDateisystem::Sync(const Pfad& pfad) {
    const auto umgesetzt = laufwerke_.ZuPosix(pfad);
    if (!umgesetzt)
        Unbrauchbar("Sync", pfad);
    if (offeneOrdner_.UnterWurzel(pfad)) {
        // Below a root: the file, else its nearest folder that is still there, up to the root itself, all
        // reached from the root.
        Eintragsort ort;
        Deskriptor fd;
        int ersterFehler = offeneOrdner_.Verorte("Sync", pfad, ort);
        if (ersterFehler == 0) {
            fd = Deskriptor(
                ::openat(ort.Ordner(), ort.Name(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
            ersterFehler = fd.gueltig() ? 0 : errno;
        }
        Pfad stufe = pfad;
        while (!fd.gueltig() && offeneOrdner_.Wurzel(stufe) < 0 && stufe.size() > 3) {
            stufe.resize(std::max<std::size_t>(stufe.rfind('\\'), 3));
            fd = offeneOrdner_.OeffneOrdner("Sync", stufe, O_RDONLY);
        }
        if (!fd.gueltig())
            throw FsFehler("Sync", pfad, Fehlercode(ersterFehler != 0 ? ersterFehler : errno));
        if (::syncfs(fd.get()) != 0)
            throw FsFehler("Sync", pfad, Fehlercode(errno));
        return;
    }
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
    // The source folder, looked at without following a link; the mirror, opened without following one, and
    // changed through that descriptor only.
    Eintragsort q;
    offeneOrdner_.VerorteOderWirf("OrdnerAbschliessen", OhneSchraegstrich(quelle), q);
    const struct stat qst = offeneOrdner_.StatAn("OrdnerAbschliessen", quelle, q);
    if (!S_ISDIR(qst.st_mode))
        throw FsFehler("OrdnerAbschliessen", quelle, Fehlercode(ENOTDIR));
    Deskriptor z = offeneOrdner_.OeffneOrdner("OrdnerAbschliessen", OhneSchraegstrich(ziel), O_RDONLY);
    struct stat zst {};
    if (!z.gueltig() || ::fstat(z.get(), &zst) != 0)
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(errno == ELOOP ? ENOTDIR : errno));
    const int quellWert = Attributwert(Ablage(qst, q.Wo()), q.Wo(), LetzterName(OhneSchraegstrich(quelle)), qst);
    // The mirror is still the user's own and writable here; its attribute goes before the final mode.
    const Ort zielOrt = Ort::Selbst(z.get());
    Attributablage& zielAblage = Ablage(zst, zielOrt);
    const auto dosNeu =
        NeuerDosWert(zielAblage.LiesDos(zielOrt), quellWert, LetzterName(OhneSchraegstrich(ziel)), true);
    if (dosNeu && !zielAblage.SchreibeDos(zielOrt, *dosNeu))
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(errno));
    // Owner and group, then the ACLs, then the mode (which a set-ID bit needs last, and which sets the ACL's
    // mask to the source's).
    const mode_t modus = Eigentumsmodus(z.get(), qst);
    if (const int fehler = KopiereAcls(q.Wo(), z.get(), true); fehler != 0)
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(fehler));
    if (const int fehler = SetzeModus(z.get(), modus); fehler != 0)
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(fehler));
}

void PosixDateisystem::Ausschliessen(const Pfad& ordner) {
    struct stat st {};
    if (const int wurzel = offeneOrdner_.Wurzel(ordner); wurzel >= 0) {
        // The folder held since its creation, whatever its path names now.
        if (::fstat(wurzel, &st) != 0)
            throw FsFehler("Ausschliessen", ordner, Fehlercode(errno));
        ausgeschlossen_.insert({st.st_dev, st.st_ino});
        return;
    }
    const Systempfad posix = Posix("Ausschliessen", ordner);
    if (::stat(posix.c_str(), &st) != 0)
        throw FsFehler("Ausschliessen", ordner, Fehlercode(errno));
    ausgeschlossen_.insert({st.st_dev, st.st_ino});
}

bool PosixDateisystem::GrossKleinBlind(const Pfad& ordner) {
    Eintragsort ort;
    if (offeneOrdner_.Verorte("GrossKleinBlind", ordner, ort) != 0)
        return false;
    struct stat st {};
    if (::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
        return false;
    // The folder's own name in its folder tells, where both are of one file system; else its entries do.
    if (!ort.Ganz() && ort.OrdnerGeraet() == st.st_dev)
        return ablagen_.GrossKleinBlind(st.st_dev, ort.Ordner(), ort.Name());
    Deskriptor fd(::openat(ort.Ordner(), ort.Name(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.gueltig())
        return false;
    int fehler = 0;
    const auto eintraege = LiesEintraege(Deskriptor(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0)), fehler);
    for (const auto& e : eintraege)
        if (ablagen_.GrossKleinBlind(st.st_dev, fd.get(), e.Name.c_str()))
            return true;
    return ablagen_.GrossKleinBlind(st.st_dev, fd.get(), "");
}

void PosixDateisystem::Festschreiben() {
    std::string datei;
    if (!ablagen_.Festschreiben(datei)) {
        const int fehler = errno;
        throw FsFehler("SetFileAttr", laufwerke_.AusPosix(datei).value_or(datei), Fehlercode(fehler));
    }
}

} // namespace

std::unique_ptr<Dateisystem> ErzeugePosixDateisystem(Laufwerkstabelle laufwerke, Kopierhaken haken,
                                                     Vorlesehaken vorlesehaken) {
    return std::make_unique<PosixDateisystem>(std::move(laufwerke), std::move(haken), std::move(vorlesehaken));
}

} // namespace tresor
