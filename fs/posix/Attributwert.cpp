#include "fs/posix/Attributwert.h"

#include "fs/Attribute.h"
#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"
#include "fs/ablage/Dosattrib.h"
#include "fs/ablage/Ordnerkarte.h"
#include "fs/system/Deskriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace tresor::posix {

namespace {

std::int64_t UhrNs() {
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

bool OrdnerBekannt(const Vermerkort& vo) {
    return vo.Tafeln != nullptr && vo.OrdnerFd != AT_FDCWD;
}

// SetFileAttr of a symbolic link: the archive bit in its folder's record.
void VerweisVermerken(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort, const struct stat& st, int wert,
                      const Quellstand& stand, const Vermerkort& vo) {
    if (ort.Ganz() || !OrdnerBekannt(vo))
        throw FsFehler("SetFileAttr", pfad, Fehlercode(EINVAL));
    int fehler = 0;
    if ((wert & attr::Archiv) == 0) {
        // A link changed since its copy keeps its bit: the next run copies it again.
        if (stand.Gueltig && !Gleich(stand, StandAus(st)))
            return;
        fehler = vo.Tafeln->Erledigt(ablage, vo.OrdnerFd, vo.OrdnerName, vo.Eintrag, st);
    } else {
        fehler = vo.Tafeln->Offen(ablage, vo.OrdnerFd, vo.Eintrag);
    }
    if (fehler != 0)
        throw FsFehler("SetFileAttr", pfad, Fehlercode(fehler));
}

} // namespace

void Vermerkte::Merke(const struct stat& st, std::uint64_t name) {
    staende_.insert({st.st_dev, st.st_ino, CtimeNs(st), name});
}

void Vermerkte::Vergiss() {
    // The buckets go too: a batch of a few thousand files leaves nothing behind.
    std::unordered_set<Stand, Streuung>().swap(staende_);
}

bool Vermerkte::Kennt(const struct stat& st, std::uint64_t name) const {
    return !staende_.empty() && staende_.contains({st.st_dev, st.st_ino, CtimeNs(st), name});
}

std::size_t Vermerkte::Streuung::operator()(const Stand& s) const noexcept {
    std::uint64_t h = static_cast<std::uint64_t>(s.Inode) * 0x9e3779b97f4a7c15u;
    h ^= static_cast<std::uint64_t>(s.CtimeNs) + 0x632be59bd9b4e019u + (h << 6) + (h >> 2);
    h ^= s.Name + static_cast<std::uint64_t>(s.Geraet) + (h << 6) + (h >> 2);
    return static_cast<std::size_t>(h);
}

bool VermerkArchiv(const std::optional<Archivvermerk>& vermerk, const struct stat& st, const Vermerkort& vo,
                   bool* bisAufCtime) {
    if (!vermerk)
        return true;
    if (Passt(*vermerk, st, vo.Name))
        return false;
    if (!PasstBisAufCtime(*vermerk, st, vo.Name))
        return true;
    if (vo.Gemerkt != nullptr && vo.Gemerkt->Kennt(st, vo.Name))
        return false;
    // The folder's map: its rows hold the state each file had right after its record's write.
    // The record matched but for the ctime here: an earlier version's row counts as well.
    if (vo.Karte != nullptr && vo.Karte->KenntHinterVermerk(vo.Eintrag, st))
        return false;
    if (vo.KarteFragen && vo.OrdnerFd != AT_FDCWD) {
        std::uint64_t inode = 0;
        const auto karte = KarteDesOrdners(vo.OrdnerFd, vo.OrdnerName, inode);
        if (karte && HaeltZeile(*karte, vo.Eintrag, st, true))
            return false;
    }
    if (bisAufCtime != nullptr)
        *bisAufCtime = true;
    return true;
}

int Verweiswert(Attributablage& ablage, const struct stat& st, const Vermerkort& vo) {
    int wert = IstPunktname(vo.Eintrag) ? attr::Versteckt : 0;
    if (!OrdnerBekannt(vo) || vo.Tafeln->Archiv(ablage, vo.OrdnerFd, vo.OrdnerName, vo.Eintrag, st))
        wert |= attr::Archiv;
    return wert;
}

namespace {

// chmod of the entry; through its own descriptor where the entry is an open file (never a path then).
int Chmod(const Eintragsort& ort, mode_t modus) {
    return ort.IstSelbst() ? ::fchmod(ort.Ordner(), modus) : ::fchmodat(ort.Ordner(), ort.Name(), modus, 0);
}

// lstat of the entry; through its own descriptor where it is an open file.
int StatEintrag(const Eintragsort& ort, struct stat& st) {
    return ort.IstSelbst() ? ::fstat(ort.Ordner(), &st) : ::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW);
}

// The mode that gives the read-only bit of `wert`: setting the bit takes away every write permission,
// clearing it gives the owner write permission; where the bit stays as it is, the mode does too.
mode_t NeuerModus(const struct stat& st, int wert) {
    mode_t modus = st.st_mode & 07777;
    const bool jetzt = (st.st_mode & S_IWUSR) == 0;
    const bool soll = (wert & attr::Schreibgeschuetzt) != 0;
    if (soll && !jetzt)
        modus &= ~static_cast<mode_t>(0222);
    else if (!soll && jetzt)
        modus |= S_IWUSR;
    return modus;
}

// The same time, size and inode, whatever else a state holds: what a write to the file changes.
bool GleicherInhalt(const Quellstand& a, const struct stat& st) {
    return a.MtimeNs == MtimeNs(st) && a.Groesse == static_cast<std::int64_t>(st.st_size) &&
           a.Inode == static_cast<std::uint64_t>(st.st_ino);
}

// SetFileAttr on a file system that keeps the DOS bits itself: read-only, hidden, system and archive all in
// its own value. Clearing a file's archive bit honours the state the copy was taken from: the bit is cleared
// only while the file still is in that state, and the file is looked at once more afterwards: a file written
// between that look and the clearing gets its bit back. (NTFS and FAT drivers set it again on every later
// write themselves.) What remains is a write that ends within the few microseconds between the clearing and
// the second look without changing time or size; its file keeps its new content unbacked-up until its next
// write.
void SchreibeEigeneBits(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort, const struct stat& st,
                        int wert, const Quellstand& stand) {
    const bool istOrdner = S_ISDIR(st.st_mode);
    const auto dos = ablage.LiesDos(ort.Wo());
    std::uint32_t neu = static_cast<std::uint32_t>(wert) & (attr::Schreibgeschuetzt | attr::Versteckt | attr::System);
    bool loeschen = false; // the archive bit is cleared here
    if (istOrdner) {
        neu |= dos ? (*dos & attr::Archiv) : 0; // a folder's archive bit is not ours
    } else if (wert & attr::Archiv) {
        neu |= attr::Archiv;
    } else if (stand.Gueltig && !Gleich(stand, StandAus(st))) {
        neu |= attr::Archiv; // changed since its copy: stays to be backed up
    } else {
        loeschen = dos && (*dos & attr::Archiv) != 0;
    }
    if (!dos || *dos != neu) {
        if (!ablage.SchreibeDos(ort.Wo(), neu))
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
    }
    if (loeschen) {
        struct stat danach {};
        const int r = ort.Ganz() ? ::lstat(ort.Name(), &danach) : StatEintrag(ort, danach);
        if (r != 0 || !GleicherInhalt(StandAus(st), danach)) {
            if (!ablage.SchreibeDos(ort.Wo(), neu | attr::Archiv))
                throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
        }
    }
    // Clearing read-only also needs the owner's write permission, where the permission bits say read-only
    // (FAT drivers keep both in step themselves; NTFS through FUSE shows fixed permission bits).
    if ((wert & attr::Schreibgeschuetzt) == 0 && (st.st_mode & S_IWUSR) == 0) {
        if (Chmod(ort, (st.st_mode & 07777) | S_IWUSR) != 0)
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
    }
}

} // namespace

namespace {

// Attributwert with user.DOSATTRIB as read already (`dos`); `ohneVermerk`: the entry is known to hold no record.
int WertMitDos(Attributablage& ablage, const Ort& ort, std::string_view name, const struct stat& st,
               const Vermerkort* vo, const std::optional<std::uint32_t>& dos, bool ohneVermerk = false) {
    int wert = 0;
    if ((st.st_mode & S_IWUSR) == 0)
        wert |= attr::Schreibgeschuetzt;
    if (IstPunktname(name))
        wert |= attr::Versteckt;
    if (dos)
        wert |= static_cast<int>(*dos & (attr::Versteckt | attr::System));
    // Where the file system keeps the bits itself, they are the bits: read-only and archive as well, and
    // no record. A file whose bits cannot be read counts as not backed up.
    if (ablage.EigeneBits()) {
        if (dos)
            wert |= static_cast<int>(*dos & attr::Schreibgeschuetzt);
        if (S_ISDIR(st.st_mode))
            wert |= attr::Verzeichnis;
        else if (S_ISREG(st.st_mode) && (!dos || (*dos & attr::Archiv) != 0))
            wert |= attr::Archiv;
        return wert;
    }
    if (S_ISDIR(st.st_mode)) {
        wert |= attr::Verzeichnis;
    } else if (S_ISREG(st.st_mode)) {
        bool archiv = (dos && (*dos & attr::Archiv) != 0) || vo == nullptr;
        if (!archiv && Ordnertafeln::AufDemOrdner(st)) {
            archiv = !OrdnerBekannt(*vo) || vo->Tafeln->Archiv(ablage, vo->OrdnerFd, vo->OrdnerName, vo->Eintrag, st);
        } else if (!archiv) {
            archiv = !(vo->Gemerkt != nullptr && vo->Gemerkt->Kennt(st, vo->Name)) &&
                     VermerkArchiv(ohneVermerk ? std::nullopt : ablage.LiesVermerk(ort), st, *vo);
        }
        if (archiv)
            wert |= attr::Archiv;
    }
    return wert;
}

} // namespace

int Attributwert(Attributablage& ablage, const Ort& ort, std::string_view name, const struct stat& st,
                 const Vermerkort* vo) {
    return WertMitDos(ablage, ort, name, st, vo, ablage.LiesDos(ort));
}

bool Archivbit(Attributablage& ablage, const Ort& ort, const struct stat& st, const Vermerkort* vo,
               const std::optional<Archivvermerk>* vermerk, bool* bisAufCtime) {
    if (!S_ISREG(st.st_mode))
        return false;
    if (ablage.EigeneBits()) {
        const auto dos = ablage.LiesDos(ort);
        return !dos || (*dos & attr::Archiv) != 0;
    }
    if (vo == nullptr)
        return true;
    bool archiv = false;
    if (Ordnertafeln::AufDemOrdner(st)) {
        // The table's key holds the ctime exactly.
        archiv = !OrdnerBekannt(*vo) || vo->Tafeln->Archiv(ablage, vo->OrdnerFd, vo->OrdnerName, vo->Eintrag, st);
    } else if (vo->Gemerkt != nullptr && vo->Gemerkt->Kennt(st, vo->Name)) {
        archiv = false; // written here, and the very state that write left
    } else {
        archiv = VermerkArchiv(vermerk != nullptr ? *vermerk : ablage.LiesVermerk(ort), st, *vo, bisAufCtime);
    }
    // Where the bit reads clear, user.DOSATTRIB has not been written since (see the header).
    return archiv;
}

bool SchreibeAttributwert(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort, const struct stat& st,
                          int wert, const Quellstand& stand, const Vermerkort& vo,
                          const std::optional<std::uint32_t>* dosGelesen) {
    if (S_ISLNK(st.st_mode)) {
        VerweisVermerken(ablage, pfad, ort, st, wert, stand, vo);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        throw FsFehler("SetFileAttr", pfad, Fehlercode(EINVAL));
    const bool istOrdner = S_ISDIR(st.st_mode);
    const bool aufOrdner = !istOrdner && Ordnertafeln::AufDemOrdner(st);
    const bool aufDatei = !istOrdner && !aufOrdner;
    const bool setzen = (wert & attr::Archiv) != 0;
    // The file as it is now against the state its copy was taken from: a file changed since reads set.
    const Quellstand jetzt = StandAus(st);
    const bool unveraendert = !stand.Gueltig || Gleich(stand, jetzt);
    const std::string name = LetzterName(pfad);
    if (ablage.EigeneBits()) {
        SchreibeEigeneBits(ablage, pfad, ort, st, wert, stand);
        return false;
    }
    const auto dos = dosGelesen != nullptr ? *dosGelesen : ablage.LiesDos(ort.Wo());

    // The permission bits change only where the read-only bit does: a file that stays read-only (or
    // writable) keeps exactly the mode it has (464 stays 464).
    const mode_t modus = NeuerModus(st, wert);

    const auto dosNeu = NeuerDosWert(dos, wert, name, istOrdner);
    auto fehler = [&](int nummer) { return FsFehler("SetFileAttr", pfad, Fehlercode(nummer)); };

    // Extended attributes need write permission on the file. A read-only file of the user's own gets it
    // for the moment and its final mode afterwards; on anyone else's file the write fails with its error.
    const bool leihen = (dosNeu || aufDatei) && (st.st_mode & S_IWUSR) == 0 && st.st_uid == ::geteuid();
    auto leihe = [&] {
        if (leihen && Chmod(ort, (st.st_mode & 07777) | S_IWUSR) != 0)
            throw fehler(errno);
    };
    auto gibZurueck = [&] {
        if ((leihen || modus != (st.st_mode & 07777)) && Chmod(ort, modus) != 0)
            throw fehler(errno);
    };

    Archivvermerk vermerk{jetzt, 0, vo.Name};
    const bool vermerken = aufDatei && !setzen && unveraendert;
    leihe();
    try {
        if (dosNeu && !ablage.SchreibeDos(ort.Wo(), *dosNeu))
            throw fehler(errno);
        if (vermerken) {
            vermerk.SchreibzeitNs = UhrNs();
            if (!ablage.SchreibeVermerk(ort.Wo(), vermerk))
                throw fehler(errno);
        } else if (aufDatei && !ablage.LoescheVermerk(ort.Wo())) {
            throw fehler(errno);
        }
    } catch (...) {
        if (leihen)
            (void)Chmod(ort, st.st_mode & 07777);
        throw;
    }
    gibZurueck();

    if (aufOrdner) {
        if (!OrdnerBekannt(vo) || ort.Ganz())
            throw fehler(EINVAL);
        int nummer = 0;
        if (setzen) {
            nummer = vo.Tafeln->Offen(ablage, vo.OrdnerFd, vo.Eintrag);
        } else if (unveraendert) {
            // The state after the DOS bits and the mode were written: that is what the folder's table holds.
            struct stat nach = st;
            if ((dosNeu || modus != (st.st_mode & 07777)) && StatEintrag(ort, nach) != 0)
                throw fehler(errno);
            nummer = vo.Tafeln->Erledigt(ablage, vo.OrdnerFd, vo.OrdnerName, vo.Eintrag, nach);
        }
        if (nummer != 0)
            throw fehler(nummer);
    }
    return vermerken;
}

Archivbitloeschung LoescheArchivbit(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort,
                                    const struct stat& st, const Quellstand& stand, const Vermerkort& vo,
                                    const std::optional<std::uint32_t>* dosGelesen, bool ohneVermerk) {
    const std::optional<std::uint32_t> dos = dosGelesen != nullptr ? *dosGelesen : ablage.LiesDos(ort.Wo());
    const int wert = WertMitDos(ablage, ort.Wo(), LetzterName(pfad), st, &vo, dos, ohneVermerk);
    if ((wert & attr::Archiv) == 0)
        return {};
    return {true, SchreibeAttributwert(ablage, pfad, ort, st, wert - attr::Archiv, stand, vo, &dos)};
}

} // namespace tresor::posix
