// The folders of the file-system object on Linux (PosixDateisystemIntern.h): reading a folder, the
// collections of its subfolders and files, and Dir.
//
// - Dir: a missing entry, and a listing of a folder that does not exist, yield "". Symbolic links, FIFOs
//   and the like are entries without the directory bit; nothing is ever followed. It yields names as
//   stored: on a file system that ignores letter case (Ablagen::GrossKleinBlind, known once per device) the
//   name of the entry found is looked up in its folder's listing, so "f.txt" yields "F.txt". That costs a
//   listing per lookup there; file systems that keep case cost nothing extra.
// - A folder met through SubFolders that is the root of another mount (another device, a mount root, or a
//   drive of the table) is listed, but its own SubFolders and Files are empty. The root of a walk, taken
//   through GetFolder, is entered.

#include "fs/posix/PosixDateisystemIntern.h"

#include "fs/Attribute.h"
#include "fs/FsFehler.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/Pfadteile.h"
#include "fs/system/Zeitraster.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tresor::posix {

namespace {

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

// The names on disk of the files of the listing `eintraege` of the folder `ordnerpfad` (read through `basis`):
// regular files and symbolic links, in the listing's order (byte order), as the walk asks for their records; a
// link is listed whatever it points to, and never followed. A folder of files alone shares the listing's own
// names.
std::shared_ptr<const Namensliste> Dateinamen(const Pfad& ordnerpfad,
                                              const std::shared_ptr<const Eintragsliste>& eintraege, int basis) {
    const Eintragsliste& liste = *eintraege;
    std::vector<bool> regulaer(liste.size());
    std::size_t anzahl = 0;
    std::size_t zeichen = 0;
    for (std::size_t i = 0; i < liste.size(); ++i) {
        const unsigned char typ = liste.Typen[i];
        bool datei = typ == DT_REG || typ == DT_LNK;
        if (typ == DT_UNKNOWN) {
            struct stat kst {};
            if (::fstatat(basis, liste.Namen.CName(i), &kst, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;
                throw FsFehler("Files", KindPfad(ordnerpfad, Programmname(std::string(liste.Namen[i]))),
                               Fehlercode(errno));
            }
            datei = S_ISREG(kst.st_mode) || S_ISLNK(kst.st_mode);
        }
        regulaer[i] = datei;
        if (datei) {
            ++anzahl;
            zeichen += liste.Namen[i].size();
        }
    }
    if (anzahl == liste.size())
        return {eintraege, &eintraege->Namen};
    auto eigene = std::make_shared<Namensliste>();
    eigene->Reserviere(zeichen, anzahl);
    for (std::size_t i = 0; i < liste.size(); ++i)
        if (regulaer[i])
            eigene->Hinzu(liste.Namen[i]);
    return eigene;
}

constexpr int VersteckSystem = attr::Versteckt | attr::System;

// Whether the mask admits an entry of the value `wert`: each of its hidden, system and directory bits is set in
// the mask too.
bool Zugelassen(int wert, int maske) {
    return (wert & (attr::Versteckt | attr::System | attr::Verzeichnis) & ~maske) == 0;
}

// Where the folder `ordner` lies and what it is, for a question about the file system it is on: false where it
// cannot be reached or is no folder.
bool OrdnerAn(OffeneOrdner& offen, const char* operation, const Pfad& ordner, Eintragsort& ort, struct stat& st) {
    return offen.Verorte(operation, ordner, ort) == 0 &&
           ::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::optional<PosixDateisystem::Ordnerinhalt> PosixDateisystem::LiesOrdner(const char* operation, const Ordner& ordner,
                                                                           std::int64_t uhrNs, bool blickeUebernehmen) {
    const auto posix = laufwerke_.ZuPosix(ordner.Path);
    if (!posix)
        Unbrauchbar(operation, ordner.Path);
    Ordnerinhalt inhalt{{}, Deskriptor(), {}, *posix, false, {}, 0};
    // The listing of the files right after that of the subfolders (the scan), whose looks SubFolders began through
    // the descriptor it read the folder through: the folder is looked at by its name, from its held folder and
    // without following a link, and its listing taken over where it is still the folder listed, unchanged (as
    // below); nothing is opened. Elsewhere it is opened and read, or looked at through the new descriptor.
    if (blickeUebernehmen && zuletztGelistet_.Gueltig && zuletztGelistet_.Dateien &&
        vorausblick_.Unberuehrt(zuletztGelistet_.Geraet, zuletztGelistet_.Inode, zuletztGelistet_.Dateien.get())) {
        Eintragsort ort;
        struct stat st {};
        if (offeneOrdner_.Verorte(operation, ordner.Path, ort) == 0 &&
            ::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
            st.st_dev == zuletztGelistet_.Geraet && st.st_ino == zuletztGelistet_.Inode &&
            MtimeNs(st) == zuletztGelistet_.MtimeNs) {
            inhalt.St = st;
            inhalt.Eintraege = std::move(zuletztGelistet_.Eintraege);
            inhalt.Wieder = true;
            inhalt.Dateien = std::move(zuletztGelistet_.Dateien);
            inhalt.UhrNs = zuletztGelistet_.UhrNs;
            zuletztGelistet_ = {};
            return inhalt;
        }
    }
    Deskriptor fd = offeneOrdner_.OeffneOrdner(operation, ordner.Path, O_RDONLY);
    if (!fd.gueltig() || ::fstat(fd.get(), &inhalt.St) != 0)
        throw FsFehler(operation, ordner.Path, Fehlercode(errno));
    if (grenzen_.contains({inhalt.St.st_dev, inhalt.St.st_ino}))
        return std::nullopt;
    // A walk lists each folder twice in a row (its subfolders, then its files): the second time the entries
    // of the first are taken while the folder is still the one listed, unchanged since: its modification time
    // moves with every entry made, removed or renamed in it, and it was certain when the entries were read
    // (Zeitraster.h), so that a change made after that read cannot have left it as it was.
    const bool wieder = zuletztGelistet_.Geraet == inhalt.St.st_dev && zuletztGelistet_.Inode == inhalt.St.st_ino &&
                        zuletztGelistet_.MtimeNs == MtimeNs(inhalt.St) && zuletztGelistet_.Gueltig;
    if (wieder) {
        inhalt.Eintraege = std::move(zuletztGelistet_.Eintraege);
        inhalt.Wieder = true;
        inhalt.Dateien = std::move(zuletztGelistet_.Dateien);
        inhalt.UhrNs = zuletztGelistet_.UhrNs;
        zuletztGelistet_ = {};
    } else {
        const std::int64_t uhr = GrobeUhrNs();
        inhalt.UhrNs = uhrNs;
        int fehler = 0;
        inhalt.Eintraege = std::make_shared<const Eintragsliste>(LiesEintragsliste(fd.get(), fehler));
        if (fehler != 0)
            throw FsFehler(operation, ordner.Path, Fehlercode(fehler));
        const std::int64_t mtime = MtimeNs(inhalt.St);
        zuletztGelistet_ = {};
        if (StempelEindeutig(mtime, uhr))
            zuletztGelistet_ = {inhalt.St.st_dev, inhalt.St.st_ino, mtime, inhalt.Eintraege, true, uhrNs, {}};
    }
    inhalt.Basis = std::move(fd);
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
    const std::int64_t uhr = GrobeUhrNs();
    auto inhalt = LiesOrdner("SubFolders", ordner, uhr);
    if (!inhalt)
        return {};
    const Eintragsliste& eintraege = *inhalt->Eintraege;
    const Deskriptor& basis = inhalt->Basis;
    const struct stat& st = inhalt->St;
    const std::string& posix = inhalt->Posix;

    std::vector<Ordner> ordnerliste;
    for (std::size_t i = 0; i < eintraege.size(); ++i) {
        const unsigned char typ = eintraege.Typen[i];
        if (typ != DT_DIR && typ != DT_UNKNOWN)
            continue;
        const std::string_view eName = eintraege.Namen[i];
        struct statx sx {};
        if (::statx(basis.get(), eintraege.Namen.CName(i), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                    STATX_TYPE | STATX_INO, &sx) != 0) {
            if (errno == ENOENT)
                continue; // removed since the folder was read
            throw FsFehler("SubFolders", KindPfad(ordner.Path, Programmname(std::string(eName))), Fehlercode(errno));
        }
        if (!S_ISDIR(sx.stx_mode))
            continue;
        const Kennung kennung{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
        if (ausgeschlossen_.contains(kennung))
            continue;
        const bool einhaengepunkt = kennung.first != st.st_dev ||
                                    ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                                     (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) ||
                                    laufwerke_.IstEinhaengepunkt(PosixKind(posix, std::string(eName)));
        if (einhaengepunkt)
            grenzen_.insert(kennung);
        std::string name = Programmname(std::string(eName));
        ordnerliste.push_back(Ordner{KindPfad(ordner.Path, name), name, einhaengepunkt});
    }
    // The scan lists a folder's files right after its subfolders: the looks at them begin now, through this
    // listing's descriptor, so that the walk finds the first ones taken when it gets there. Only where Files will
    // take this very listing over (kept, see LiesOrdner) and checks that the folder is still the one listed; never
    // for a folder whose files were listed just before (the copy walk lists the files first and has looked at them).
    if (vorausSchauen_ && !inhalt->Wieder && auflistung_.Ordner != ordner.Path && zuletztGelistet_.Gueltig &&
        zuletztGelistet_.Eintraege == inhalt->Eintraege) {
        std::shared_ptr<const Namensliste> namen;
        try {
            namen = Dateinamen(ordner.Path, inhalt->Eintraege, basis.get());
        } catch (const FsFehler&) {
            return ordnerliste; // an entry whose kind cannot be told: Files meets it itself
        }
        zuletztGelistet_.Dateien = namen;
        vorausblick_.Beende();
        if (namen->size() >= Vorausblick::Mindestens)
            (void)vorausblick_.Beginne(std::move(inhalt->Basis), st.st_dev, st.st_ino, namen);
    }
    return ordnerliste;
}

Ordnerdateien PosixDateisystem::Files(const Ordner& ordner) {
    // Read before the folder: a file whose ctime is certain by then is in its map's rows (Ordnerkarte.h).
    std::int64_t uhr = GrobeUhrNs();
    auto inhalt = LiesOrdner("Files", ordner, uhr, true);
    if (!inhalt)
        return Ordnerdateien(ordner.Path);
    // The names SubFolders took of this very listing, whose looks it began: those looks may be older than the
    // clock read above, so the map takes the clock read before that listing.
    std::shared_ptr<const Namensliste> namen = inhalt->Dateien;
    if (namen)
        uhr = std::min(uhr, inhalt->UhrNs);
    else
        namen = Dateinamen(ordner.Path, inhalt->Eintraege, inhalt->Basis.get());
    vorleser_.Beende();
    auflistung_ = Auflistung{ordner.Path, namen, 0, -1, {}, false};
    auflistung_.Karte.Neu(namen->size(), uhr);
    // The scan's looks at these files begin on the other thread now, through the descriptor the folder was
    // listed through, unless SubFolders began them on this listing and the walk took none of them since; the walk
    // takes one only where it reaches that entry through this very folder (Blick). The looks of the folder listed
    // before are dropped in any case.
    if (vorausSchauen_) {
        if (inhalt->Dateien && vorausblick_.Unberuehrt(inhalt->St.st_dev, inhalt->St.st_ino, namen.get())) {
            auflistung_.Vorausgesehen = true;
        } else {
            vorausblick_.Beende();
            if (namen->size() >= Vorausblick::Mindestens)
                auflistung_.Vorausgesehen =
                    vorausblick_.Beginne(std::move(inhalt->Basis), inhalt->St.st_dev, inhalt->St.st_ino, namen);
        }
    }
    return Ordnerdateien(ordner.Path, std::move(namen));
}

std::optional<std::pair<std::string, int>> PosixDateisystem::BenannterEintrag(const Pfad& pfad,
                                                                              std::span<const int> masken) {
    Eintragsort ort;
    const int weg = offeneOrdner_.Verorte("Dir", pfad, ort);
    // A path whose way is missing names nothing, like any missing path.
    if (weg == ENOENT || weg == ENOTDIR)
        return std::nullopt;
    if (weg != 0)
        throw FsFehler("Dir", pfad, Fehlercode(weg));
    struct stat st {};
    if (::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
        (errno != ENOENT || !offeneOrdner_.Erneuert("Dir", pfad, ort) ||
         ::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0)) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
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
    // user.DOSATTRIB only where its hidden or system bit can still change an answer: for a mask that admits
    // the entry so far and does not admit both bits. Read once for all masks. Symbolic links carry no user
    // attributes.
    const bool dosNoetig = std::any_of(masken.begin(), masken.end(), [wert](int maske) {
        return Zugelassen(wert, maske) && (maske & VersteckSystem) != VersteckSystem;
    });
    if (dosNoetig && !S_ISLNK(st.st_mode)) {
        if (const auto dos = Ablage(st, ort.Wo()).LiesDos(ort.Wo()))
            wert |= static_cast<int>(*dos & VersteckSystem);
    }
    return std::pair{std::move(name), wert};
}

std::vector<std::string> PosixDateisystem::DirJeMaske(const Pfad& pfad, std::span<const int> masken) {
    if (pfad.empty() || pfad.back() == '\\')
        return Dateisystem::DirJeMaske(pfad, masken);
    const auto eintrag = BenannterEintrag(pfad, masken);
    std::vector<std::string> namen;
    namen.reserve(masken.size());
    for (const int maske : masken)
        namen.push_back(eintrag && Zugelassen(eintrag->second, maske) ? eintrag->first : std::string());
    return namen;
}

std::string PosixDateisystem::Dir(const Pfad& pfad, int maske) {
    auto zugelassen = [maske](int wert) { return Zugelassen(wert, maske); };

    if (!pfad.empty() && pfad.back() != '\\') {
        // One entry: the last name of the path.
        const auto eintrag = BenannterEintrag(pfad, std::span<const int>(&maske, 1));
        return eintrag && zugelassen(eintrag->second) ? eintrag->first : std::string();
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

bool PosixDateisystem::GrossKleinBlind(const Pfad& ordner) {
    Eintragsort ort;
    struct stat st {};
    if (!OrdnerAn(offeneOrdner_, "GrossKleinBlind", ordner, ort, st))
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

std::optional<bool> PosixDateisystem::NurWindowsNamenBekannt(const Pfad& ordner) {
    Eintragsort ort;
    struct stat st {};
    return NurWindowsNamenOhneProbe(ordner, ort, st);
}

std::optional<bool> PosixDateisystem::NurWindowsNamenOhneProbe(const Pfad& ordner, Eintragsort& ort, struct stat& st) {
    if (!OrdnerAn(offeneOrdner_, "NurWindowsNamen", ordner, ort, st))
        return false;
    // By device, not by path: the mount table's line of that very file system, wherever it is mounted.
    if (!einhaengungen_)
        einhaengungen_ = Einhaengungen::AusSystem();
    const auto art = einhaengungen_->ArtVon(st.st_dev);
    if (!art)
        return false;
    if (art->Typ != "fuseblk")
        return tresor::NurWindowsNamen(art->Typ, art->Optionen);
    if (const auto it = nurWindows_.find(st.st_dev); it != nurWindows_.end())
        return it->second;
    return std::nullopt;
}

bool PosixDateisystem::NurWindowsNamen(const Pfad& ordner) {
    Eintragsort ort;
    struct stat st {};
    if (const auto bekannt = NurWindowsNamenOhneProbe(ordner, ort, st))
        return *bekannt;
    // A FUSE driver of a block device (exFAT, NTFS) shows no more than "fuseblk": one file of a name Windows
    // refuses, made in the folder itself and removed at once, tells. The exFAT driver refuses it with "no such
    // file", NTFS with windows_names with "invalid argument"; NTFS without stores it. Never asked of smbnetfs,
    // which fails every call for a while after it refused one.
    Deskriptor fd(::openat(ort.Ordner(), ort.Name(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.gueltig())
        return false;
    constexpr const char* probe = ".tresor-namensprobe:?";
    const Deskriptor datei(::openat(fd.get(), probe, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const int fehler = datei.gueltig() ? 0 : errno;
    if (datei.gueltig())
        (void)::unlinkat(fd.get(), probe, 0);
    if (fehler != 0 && fehler != ENOENT && fehler != EINVAL && fehler != EILSEQ)
        return false; // no answer about names (a full or read-only medium): asked again at the next folder
    return nurWindows_[st.st_dev] = fehler != 0;
}

} // namespace tresor::posix
