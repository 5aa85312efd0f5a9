// The marking of what a run backed up, by the file-system object on Linux (PosixDateisystemIntern.h): the
// records and attribute bits written (SetFileAttr, ArchivbitLoeschen), the copies made durable (Sync), and at
// the end of each batch the rows of the folders' maps (Festschreiben, TrageKartenNach).
//
// - A source file's archive record is written only on the file (device and inode) that was copied, through a
//   descriptor of that file: where another file stands under its name by then, nothing is written and the
//   run's check of the copy reports the file.

#include "fs/posix/PosixDateisystemIntern.h"

#include "fs/Attribute.h"
#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"
#include "fs/ablage/Ablagen.h"
#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/Ordnerkarte.h"
#include "fs/ablage/Ordnertafeln.h"
#include "fs/posix/Attributwert.h"
#include "fs/posix/OffeneOrdner.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Systempfad.h"
#include "fs/system/Zeitraster.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace tresor::posix {

Quellstand PosixDateisystem::SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) {
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
            erwartet = kopie->second.Datei;
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
                return {};
            st = fst;
            selbst = Eintragsort::Selbst(datei.get(), fst.st_dev);
            wo = &selbst;
        } else if (erwartet && *erwartet != Kennung{st.st_dev, st.st_ino}) {
            return {};
        }
    }
    Attributablage& ablage = Ablage(st, wo->Wo());
    const bool vermerkt = SchreibeAttributwert(ablage, pfad, *wo, st, wert, stand, vo);
    // The file as its record left it, through the descriptor the record was written on: the exact state that
    // tells it from every later one, kept here and, once the batch is written, in its folder's map.
    struct stat nach {};
    if (!datei.gueltig() || ::fstat(datei.get(), &nach) != 0 || !S_ISREG(nach.st_mode))
        return {};
    if (vermerkt && MtimeNs(nach) == MtimeNs(st) && nach.st_size == st.st_size && nach.st_ino == st.st_ino) {
        vermerkte_.Merke(nach, vo.Name);
        if (!Ordnertafeln::AufDemOrdner(nach) && ablagen_.InErweitertenAttributen(ablage))
            nachtraege_.push_back({pfad, nach.st_dev, nach.st_ino, CtimeNs(nach)});
    }
    return StandAus(nach);
}

Archivloeschung PosixDateisystem::ArchivbitLoeschen(const Datei& datei, const Quellstand& stand) {
    // The common case in one look: a regular file of one name, copied by this object and still that very file,
    // whose record lives on itself in extended attributes. Opened as Copy opened it (never following a link,
    // never waiting on a FIFO), looked at through that descriptor, its value read, its record written and its
    // state read back, all on that descriptor. Everything else (a link, a file of several names, a store of DOS
    // bits of its own, a file another stands for now, one this process may not open) goes the general way.
    const auto kopie = kopiert_.find(datei.Path);
    if (kopie == kopiert_.end() || !stand.Gueltig)
        return Dateisystem::ArchivbitLoeschen(datei, stand);
    // Records read ahead may be older than what is written now: they are read again.
    vorleser_.Beende();
    auflistung_.OrdnerFd = -1;
    Eintragsort ort;
    offeneOrdner_.VerorteOderWirf("Attributes", datei.Path, ort);
    if (ort.Ganz())
        return Dateisystem::ArchivbitLoeschen(datei, stand);
    constexpr int Lesen = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Deskriptor fd(::openat(ort.Ordner(), ort.Name(), Lesen));
    int fehler = fd.gueltig() ? 0 : errno;
    if (fehler == ENOENT && offeneOrdner_.Erneuert("Attributes", datei.Path, ort)) {
        fd = Deskriptor(::openat(ort.Ordner(), ort.Name(), Lesen));
        fehler = fd.gueltig() ? 0 : errno;
    }
    struct stat st {};
    if (fehler == 0 && ::fstat(fd.get(), &st) != 0)
        fehler = errno;
    if (fehler != 0) {
        // Gone: as Attributes fails. Anything else is the general way's to tell.
        if (fehler == ENOENT || fehler == ENOTDIR)
            throw FsFehler("Attributes", datei.Path, Fehlercode(fehler));
        return Dateisystem::ArchivbitLoeschen(datei, stand);
    }
    Attributablage& ablage = Ablage(st, Ort::Selbst(fd.get()));
    if (!S_ISREG(st.st_mode) || Ordnertafeln::AufDemOrdner(st) || !ablagen_.InErweitertenAttributen(ablage) ||
        kopie->second.Datei != Kennung{st.st_dev, st.st_ino}) {
        fd = Deskriptor();
        return Dateisystem::ArchivbitLoeschen(datei, stand);
    }
    // A file still in the state its copy was taken from has had no attribute written since (each write would
    // have given it another ctime): its user.DOSATTRIB is the one the copy read, and it has no archive record
    // where the copy's listing named none.
    std::optional<std::optional<std::uint32_t>> dos;
    bool ohneVermerk = false;
    if (Gleich(stand, StandAus(st))) {
        dos = kopie->second.Dos;
        ohneVermerk = kopie->second.OhneVermerk;
    }
    kopiert_.erase(kopie);
    const Vermerkort vo = VermerkortVon(datei.Path, ort, st);
    const Eintragsort selbst = Eintragsort::Selbst(fd.get(), st.st_dev);
    const Archivbitloeschung l =
        LoescheArchivbit(ablage, datei.Path, selbst, st, stand, vo, dos ? &*dos : nullptr, ohneVermerk);
    Archivloeschung loeschung;
    if (!l.Gesetzt) {
        loeschung.Geloescht = true; // read clear a moment ago, and nothing written since
        return loeschung;
    }
    loeschung.Gesetzt = true;
    loeschung.Geloescht = false;
    // As SetFileAttr: the file as its record left it, through the descriptor the record was written on.
    struct stat nach {};
    if (::fstat(fd.get(), &nach) != 0 || !S_ISREG(nach.st_mode))
        return loeschung;
    if (l.Vermerkt && MtimeNs(nach) == MtimeNs(st) && nach.st_size == st.st_size && nach.st_ino == st.st_ino) {
        vermerkte_.Merke(nach, vo.Name);
        nachtraege_.push_back({datei.Path, nach.st_dev, nach.st_ino, CtimeNs(nach)});
        // The record holds this state but for the ctime, and this state is the one its write left: it reads
        // clear (Attributwert.h), unless user.DOSATTRIB carries the archive bit, which was just taken out.
        loeschung.Geloescht = true;
    }
    loeschung.Danach = StandAus(nach);
    return loeschung;
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
        RueckschreibfehlerWerfen(pfad);
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
    RueckschreibfehlerWerfen(pfad);
}

void PosixDateisystem::RueckschreibfehlerWerfen(const Pfad& pfad) {
    // A write error that a flush of the write-back begun during the copies saw first is seen by no later flush:
    // it fails this one. Waited for after this flush, so that one under way meanwhile is heard of as well.
    // So are the copies flushed by themselves: one whose flush failed is named.
    Pfad kopie;
    if (const int fehler = rueckschreiber_.Abwarten(&kopie); fehler != 0)
        throw FsFehler("Sync", kopie.empty() ? pfad : kopie, Fehlercode(fehler));
}

void PosixDateisystem::Festschreiben() {
    FestschreibenZuletzt();
    TrageKartenNach();
}

void PosixDateisystem::FestschreibenZuletzt() {
    std::string datei;
    if (!ablagen_.Festschreiben(datei)) {
        const int fehler = errno;
        throw FsFehler("SetFileAttr", laufwerke_.AusPosix(datei).value_or(datei), Fehlercode(fehler));
    }
    // The map rows to come (nachtraege_) are taken from the files as they are when they are written, not from
    // what this object remembers of its records.
    vermerkte_.Vergiss();
}

PosixDateisystem::~PosixDateisystem() {
    try {
        TrageKartenNach();
    } catch (...) {
        // Rows not written only cost the next run the reading of records.
    }
}

void PosixDateisystem::TrageKartenNach() {
    if (nachtraege_.empty())
        return;
    std::vector<Nachtrag> nachtraege;
    nachtraege.swap(nachtraege_);
    // A row is taken once every later change of its file gets another ctime: a moment of the coarse clock
    // past each ctime's step, and then the file looked at once more.
    for (const Nachtrag& n : nachtraege)
        while (!StempelEindeutig(n.CtimeNs, GrobeUhrNs()))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::sort(nachtraege.begin(), nachtraege.end(),
              [](const Nachtrag& a, const Nachtrag& b) { return a.Datei < b.Datei; });
    std::vector<std::uint64_t> zeilen;
    int ordnerFd = -1;
    for (std::size_t i = 0; i < nachtraege.size(); ++i) {
        const Nachtrag& n = nachtraege[i];
        const std::size_t schnitt = n.Datei.rfind('\\');
        const std::string_view ordner = std::string_view(n.Datei).substr(0, schnitt == 2 ? 3 : schnitt);
        Eintragsort ort;
        struct stat st {};
        if (offeneOrdner_.Verorte("SetFileAttr", n.Datei, ort) == 0 && !ort.Ganz() &&
            ::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_nlink == 1 && st.st_dev == n.Geraet && st.st_ino == n.Inode && CtimeNs(st) == n.CtimeNs) {
            zeilen.push_back(Kartenzeile(ort.Name(), st));
            ordnerFd = ort.Ordner();
        }
        const bool letzter = i + 1 == nachtraege.size() || !nachtraege[i + 1].Datei.starts_with(ordner) ||
                             nachtraege[i + 1].Datei.rfind('\\') != schnitt;
        if (!letzter)
            continue;
        // The held folder is the one the last of them was reached through (the same for all of that path).
        if (!zeilen.empty() && ordnerFd >= 0) {
            // The map tells these states from now on (those it has room for: it holds a few hundred rows).
            if (const auto karte = Ergaenze(ordnerFd, OrdnerNamenskennung(Pfad(ordner)), zeilen))
                auflistung_.Karte.Ergaenzt(*karte, zeilen);
        }
        zeilen.clear();
        ordnerFd = -1;
    }
}

} // namespace tresor::posix
