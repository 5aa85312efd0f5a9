// The file-system object on Linux: the operations the backup engine performs on disk, put together from the
// units of this folder (how the attribute bits are kept: Attributwert.h; where: Attributablage.h; paths of
// any length: Systempfad.h; held-open folders: OffeneOrdner.h; the copy: Kopie.h). The class is declared in
// PosixDateisystemIntern.h; its folder operations (reading and listing folders, Dir) are in PosixOrdner.cpp, the
// marking of what was backed up (records written, archive bits cleared, syncs, folder maps) in PosixMarkierung.cpp.
//
// Further choices of this backend:
// - Paths: a path not in program form fails with EINVAL, a drive letter missing from the drive table with
//   ENODEV ("Laufwerk nicht bereit"). A folder object's Path has no trailing backslash except a drive root.
//   Names on disk and in the program's form: Pfadteile.h.
// - Drives: a drive whose mount went away is not ready (ENODEV); MakeDir makes nothing on a drive whose
//   mount point no longer holds the file system the table was made with, so an unplugged stick never turns
//   into folders on the disk below.
// - Symbolic links are never followed. Files lists them beside the regular files (whatever they point to:
//   nothing, themselves, a folder); SubFolders never does. A link is backed up as the same link (Kopie.h);
//   its archive record lives on its folder (Verweisvermerk.h). FIFOs, sockets and device files are never
//   listed or opened.
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
// - ArchivGesetzt, asked for the files of the folder listed last in the listing's order (as the scan does),
//   has their records read ahead on a second thread (Vorleser.h) while this thread looks at each file; the
//   answers are those of a read at the moment of asking. Our own record writes drop what was read ahead.
// - The scan (VorausSchauen) has the looks at the files of the folder listed last (their lstat) taken ahead on
//   a thread of its own (Vorausblick.h), in the listing's order; each is used only for the very entry it was
//   taken for, reached through the folder that was listed. The copy walk has them taken ahead as well (why that
//   is as good as its own look: Sicherung.cpp).
// - Owners: run by root, copies, links and mirrored folders get the source's owner and group. A set-user-ID
//   or set-group-ID bit stays only where the copy has the owner or group it belongs to. POSIX ACLs (access,
//   and a folder's default) are copied where the target holds them; file capabilities never.

#include "fs/posix/PosixDateisystemIntern.h"

#include "fs/posix/Eintragszugriff.h"

#include "fs/Attribute.h"
#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"
#include "fs/ablage/Ablagen.h"
#include "fs/ablage/Dosattrib.h"
#include "fs/ablage/Ordnertafeln.h"
#include "fs/ablage/Vorleser.h"
#include "fs/posix/Attributwert.h"
#include "fs/posix/Eigentum.h"
#include "fs/posix/Kopie.h"
#include "fs/posix/OffeneOrdner.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Einhaengungen.h"
#include "fs/system/Ordnereintraege.h"
#include "fs/system/Systempfad.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

namespace tresor::posix {

Systempfad PosixDateisystem::Posix(const char* operation, const Pfad& pfad) const {
    if (auto posix = laufwerke_.ZuPosix(pfad)) {
        Systempfad sp(*std::move(posix));
        if (sp.Fehler() != 0)
            throw FsFehler(operation, pfad, Fehlercode(sp.Fehler()));
        return sp;
    }
    Unbrauchbar(operation, pfad);
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
    vo.Gemerkt = &vermerkte_;
    if (!ort.Ganz()) {
        vo.OrdnerFd = ort.Ordner();
        vo.Eintrag = ort.Name();
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        return vo;
    const auto posix = laufwerke_.ZuPosix(pfad);
    if (!posix)
        return vo;
    // A record on the folder is bound to the folder's path, and so is the folder's map.
    const auto schnitt = posix->find_last_of('/');
    vo.OrdnerName = KennungImDateisystem(schnitt == 0 ? std::string("/") : posix->substr(0, schnitt));
    if (!Ordnertafeln::AufDemOrdner(st))
        vo.Name = KennungImDateisystem(*posix);
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
    if (ordner != a.Ordner || !a.Namen)
        return std::nullopt;
    const Namensliste& namen = *a.Namen;
    if (a.Naechster < namen.size() && namen[a.Naechster] == name)
        return a.Naechster++;
    // Asked out of the listing's order: found by name (byte order), and the order goes on from there.
    const std::size_t stelle = namen.Suche(name);
    if (stelle == namen.size())
        return std::nullopt;
    a.Naechster = stelle + 1;
    return stelle;
}

bool PosixDateisystem::ArchivGesetzt(const Datei& datei) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("Attributes", datei.Path, ort);
    const int ordnerFd = ort.Ordner();
    const struct stat st = Blick("Attributes", datei.Path, ort);
    return Archivbit(datei.Path, ort, ordnerFd, st);
}

struct stat PosixDateisystem::Blick(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    // The file the walk expects next in the folder listed last, reached through the very folder that was listed
    // (its device and inode): its look may have been taken on the other thread (VorausSchauen). That look is a
    // moment older than this asking. The scan takes it as the walk's own: it answers whether anything is to be
    // backed up as if the walk had passed a moment earlier. What it is held against (the file's record, a row of
    // its folder's map, the target's index) may be read before or after it; each binds the exact state it names,
    // ctime included, which every change of the file moves on, so a match says that the state the look saw is
    // backed up, whichever was read first. A file changed after its look keeps its archive bit (its ctime moved)
    // for the next run, as one changed right after the walk passed it.
    const Auflistung& a = auflistung_;
    if (a.Vorausgesehen && !ort.Ganz() && a.Naechster < a.Namen->size() &&
        (*a.Namen)[a.Naechster] == std::string_view(ort.Name())) {
        if (const auto st = vorausblick_.Hole(ort.OrdnerGeraet(), ort.OrdnerInode(), a.Naechster))
            return *st;
    }
    return offeneOrdner_.StatAn(operation, pfad, ort);
}

std::optional<Datei> PosixDateisystem::DateiZuSichern(const Pfad& pfad, Eintragsstand* gesehen) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("GetFile", pfad, ort);
    const int ordnerFd = ort.Ordner();
    const struct stat st = Blick("GetFile", pfad, ort);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        throw FsFehler("GetFile", pfad, Fehlercode(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    // A link's look as well (its target left unread): the target's index tells it from the link it replaced.
    if (gesehen != nullptr) {
        *gesehen = EintragsstandAus(st);
        gesehen->Genau = ablagen_.InErweitertenAttributen(Ablage(st, ort.Wo()));
    }
    bool bisAufCtime = false;
    if (!Archivbit(pfad, ort, ordnerFd, st, &bisAufCtime))
        return std::nullopt;
    if (gesehen != nullptr && S_ISREG(st.st_mode))
        gesehen->BisAufCtime = bisAufCtime;
    return Datei{pfad, LetzterName(pfad)};
}

bool PosixDateisystem::Archivbit(const Pfad& pfad, const Eintragsort& ort, int ordnerFd, const struct stat& st,
                                 bool* bisAufCtime) {
    // An entry of the folder listed last, reached through the held folder the walk reads it through: its folder's
    // map may spare its record, and the records of the entries after it are read ahead on the other thread.
    std::optional<std::size_t> index;
    if (!ort.Ganz() && ort.Ordner() == ordnerFd) {
        const auto schnitt = pfad.rfind('\\');
        index = InAuflistung(std::string_view(pfad).substr(0, schnitt == 2 ? 3 : schnitt), ort.Name());
    }
    Attributablage& ablage = Ablage(st, ort.Wo());
    const bool eigenerVermerk =
        S_ISREG(st.st_mode) && !Ordnertafeln::AufDemOrdner(st) && ablagen_.InErweitertenAttributen(ablage);
    Kartenstand& karte = auflistung_.Karte;
    if (index && eigenerVermerk) {
        if (!karte.Gelesen())
            karte.Lies(ort.Ordner(), OrdnerNamenskennung(auflistung_.Ordner));
        if (karte.Kennt(ort.Name(), st)) {
            karte.Gefragt(ort.Ordner(), *index, ort.Name(), st, true);
            return false;
        }
    }
    Vermerkort vo = VermerkortVon(pfad, ort, st);
    vo.KarteFragen = !(index && eigenerVermerk);
    if (index && eigenerVermerk)
        vo.Karte = &karte;
    bool archiv = false;
    if (S_ISLNK(st.st_mode)) {
        archiv = (Verweiswert(ablage, st, vo) & attr::Archiv) != 0;
    } else {
        // The record may have been read on the other thread already. Where the walk took the lstat itself, it
        // was taken after that read, so the record's ctime tells whether it is still the file's; where the lstat
        // was taken ahead (Blick), the record matches only a state it names, which is then a state backed up.
        std::optional<std::optional<Archivvermerk>> vorgelesen;
        if (index && eigenerVermerk && !karte.Traegt()) {
            if (auflistung_.OrdnerFd != ort.Ordner()) {
                // The first file read here in this folder: the ones after it are read ahead from now on.
                auflistung_.OrdnerFd =
                    vorleser_.Beginne(ort.Ordner(), auflistung_.Namen, *index + 1) ? ort.Ordner() : -1;
            } else {
                vorgelesen = vorleser_.Hole(*index);
            }
        }
        archiv = posix::Archivbit(ablage, ort.Wo(), st, &vo, vorgelesen ? &*vorgelesen : nullptr, bisAufCtime);
    }
    if (index)
        karte.Gefragt(ort.Ordner(), *index, ort.Name(), st, eigenerVermerk && !archiv);
    return archiv;
}

std::uint64_t PosixDateisystem::OrdnerNamenskennung(const Pfad& ordner) {
    const auto posix = laufwerke_.ZuPosix(ordner);
    return posix ? KennungImDateisystem(*posix) : 0;
}

std::uint64_t PosixDateisystem::KennungImDateisystem(const std::string& posix) {
    if (!einhaengungen_)
        einhaengungen_ = Einhaengungen::AusSystem();
    return Namenskennung(einhaengungen_->ImDateisystem(posix));
}

Quellstand PosixDateisystem::Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt) {
    zuletztGelistet_ = {};
    Kennung kennung{};
    Quellstand stand = kopierer_.Copy(datei, ziel, fortschritt, &kennung.first, &kennung.second);
    if (!kopienVergessen_)
        kopiert_[datei.Path] = {kennung, kopierer_.QuellDos(), kopierer_.QuelleOhneVermerk()};
    return stand;
}

void PosixDateisystem::MakeDir(const Pfad& pfad, Anlage anlage) {
    zuletztGelistet_ = {};
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

void PosixDateisystem::OrdnerVoraus(const Pfad& ordner, std::span<const std::string> namen) {
    // Each mirror is made in the held folder the walk reaches it through, as MakeDir would make it there; a path that
    // is not reached so (no held folder on its way, or a held folder of its own) is left to MakeDir.
    const Laufwerk* l = laufwerke_.Finde(ordner[0]);
    if (l == nullptr || namen.empty())
        return;
    std::vector<Ordneranlage::Auftrag> auftraege;
    auftraege.reserve(namen.size());
    Deskriptor halter;
    struct stat halterSt {};
    for (const std::string& name : namen) {
        Pfad pfad = ordner.size() == 3 ? ordner + name : ordner + "\\" + name;
        Eintragsort ort;
        if (offeneOrdner_.Wurzel(pfad) >= 0 || offeneOrdner_.Verorte("MakeDir", pfad, ort) != 0 || ort.Ganz())
            continue;
        if (!halter.gueltig()) {
            // The other thread's own descriptor of the folder, opened from the one the walk holds.
            halter = Deskriptor(::fcntl(ort.Ordner(), F_DUPFD_CLOEXEC, 0));
            if (!halter.gueltig() || ::fstat(halter.get(), &halterSt) != 0)
                return;
        } else {
            // All in that one folder: a name that leads elsewhere is left to MakeDir.
            struct stat st {};
            if (::fstat(ort.Ordner(), &st) != 0 || st.st_dev != halterSt.st_dev || st.st_ino != halterSt.st_ino)
                continue;
        }
        auftraege.push_back({std::move(pfad), ort.Name()});
    }
    if (!auftraege.empty())
        ordneranlage_.Vormerken(std::move(auftraege), std::move(halter), l->Einhaengepunkt, l->Geraet);
}

bool PosixDateisystem::VorausAngelegt(const Pfad& pfad) {
    if (!ordneranlage_.Nimm(pfad))
        return false;
    // As after MakeDir: a listing taken before is not taken over.
    zuletztGelistet_ = {};
    return true;
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

std::optional<Eintragsstand> PosixDateisystem::Stand(const Pfad& pfad) {
    Eintragsort ort;
    if (const int fehler = offeneOrdner_.Verorte("Stand", pfad, ort); fehler != 0) {
        if (fehler == ENOENT || fehler == ENOTDIR)
            return std::nullopt;
        throw FsFehler("Stand", pfad, Fehlercode(fehler));
    }
    return Eintragszugriff::StandIn(ort.Ordner(), ort.Name(), pfad);
}

void PosixDateisystem::SetzeStand(const Pfad& pfad, const Eintragsstand& stand, bool besitzer) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("Stand setzen", pfad, ort);
    Eintragszugriff::SetzeStandIn(ort.Ordner(), ort.Name(), pfad, stand, besitzer);
}

void PosixDateisystem::Entferne(const Pfad& pfad) {
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("Entfernen", pfad, ort);
    if (ort.Ganz() || ::unlinkat(ort.Ordner(), ort.Name(), 0) != 0)
        throw FsFehler("Entfernen", pfad, Fehlercode(ort.Ganz() ? EINVAL : errno));
}

void PosixDateisystem::Verknuepfe(const Pfad& vorhanden, const Pfad& neu) {
    Eintragsort von;
    offeneOrdner_.VerorteOderWirf("Verknüpfen", vorhanden, von);
    if (von.Ganz())
        throw FsFehler("Verknüpfen", vorhanden, Fehlercode(EINVAL));
    // Its own descriptor of the first folder: finding the second may let go of folders held before.
    const Deskriptor ordner(::fcntl(von.Ordner(), F_DUPFD_CLOEXEC, 0));
    if (!ordner.gueltig())
        throw FsFehler("Verknüpfen", vorhanden, Fehlercode(errno));
    const std::string name = von.Name();
    Eintragsort nach;
    offeneOrdner_.VerorteOderWirf("Verknüpfen", neu, nach);
    if (nach.Ganz() || ::linkat(ordner.get(), name.c_str(), nach.Ordner(), nach.Name(), 0) != 0)
        throw FsFehler("Verknüpfen", neu, Fehlercode(nach.Ganz() ? EINVAL : errno));
}

} // namespace tresor::posix

namespace tresor {

std::unique_ptr<Dateisystem> ErzeugePosixDateisystem(Laufwerkstabelle laufwerke, Kopierhaken haken,
                                                     Vorlesehaken vorlesehaken, Rueckschreibflush rueckschreibflush,
                                                     Blickhaken blickhaken, Rueckschreibflush einzelflush) {
    return std::make_unique<posix::PosixDateisystem>(std::move(laufwerke), std::move(haken), std::move(vorlesehaken),
                                                     std::move(rueckschreibflush), std::move(blickhaken),
                                                     std::move(einzelflush));
}

void Deskriptorplatz(int anzahl) {
    posix::DeskriptortabelleVorab(anzahl);
}

} // namespace tresor
