#include "fs/Attributwert.h"

#include "fs/Attribute.h"
#include "fs/Deskriptor.h"
#include "fs/Dosattrib.h"
#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace tresor::posix {

namespace {

// How often a record is written again whose own write put the file's ctime outside the record's window (a
// write delayed past NachlaufNs on a busy machine).
constexpr int Schreibversuche = 3;

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

int Verweiswert(Attributablage& ablage, const struct stat& st, const Vermerkort& vo) {
    int wert = IstPunktname(vo.Eintrag) ? attr::Versteckt : 0;
    if (!OrdnerBekannt(vo) || vo.Tafeln->Archiv(ablage, vo.OrdnerFd, vo.OrdnerName, vo.Eintrag, st))
        wert |= attr::Archiv;
    return wert;
}

int Attributwert(Attributablage& ablage, const Ort& ort, std::string_view name, const struct stat& st,
                 const Vermerkort* vo) {
    int wert = 0;
    if ((st.st_mode & S_IWUSR) == 0)
        wert |= attr::Schreibgeschuetzt;
    if (IstPunktname(name))
        wert |= attr::Versteckt;
    const auto dos = ablage.LiesDos(ort);
    if (dos)
        wert |= static_cast<int>(*dos & (attr::Versteckt | attr::System));
    if (S_ISDIR(st.st_mode)) {
        wert |= attr::Verzeichnis;
    } else if (S_ISREG(st.st_mode)) {
        bool archiv = (dos && (*dos & attr::Archiv) != 0) || vo == nullptr;
        if (!archiv && Ordnertafeln::AufDemOrdner(st)) {
            archiv = !OrdnerBekannt(*vo) || vo->Tafeln->Archiv(ablage, vo->OrdnerFd, vo->OrdnerName, vo->Eintrag, st);
        } else if (!archiv) {
            const auto vermerk = ablage.LiesVermerk(ort);
            archiv = !vermerk || !Passt(*vermerk, st, vo->Name);
        }
        if (archiv)
            wert |= attr::Archiv;
    }
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

} // namespace

void SchreibeAttributwert(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort, const struct stat& st,
                          int wert, const Quellstand& stand, const Vermerkort& vo) {
    if (S_ISLNK(st.st_mode)) {
        VerweisVermerken(ablage, pfad, ort, st, wert, stand, vo);
        return;
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
    const auto dos = ablage.LiesDos(ort.Wo());

    mode_t modus = st.st_mode & 07777;
    if (wert & attr::Schreibgeschuetzt)
        modus &= ~static_cast<mode_t>(0222);
    else
        modus |= S_IWUSR;

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

    if (vermerken) {
        // The record must match the file as its own write left it: the ctime of that write (and of the mode
        // given back) within the record's window. A write that took too long is made again.
        for (int versuch = 1;; ++versuch) {
            struct stat nach {};
            if (StatEintrag(ort, nach) != 0)
                throw fehler(errno);
            if (!Gleich(StandAus(nach),
                        Quellstand{jetzt.MtimeNs, jetzt.Groesse, jetzt.Inode, true, 0, 0, CtimeNs(nach), false}) ||
                CtimePasst(vermerk, CtimeNs(nach)))
                break; // matches, or the file itself changed meanwhile and reads set
            if (versuch == Schreibversuche) {
                // Nothing is reported as backed up that was not: the file keeps its archive bit.
                leihe();
                (void)ablage.LoescheVermerk(ort.Wo());
                gibZurueck();
                break;
            }
            leihe();
            vermerk.SchreibzeitNs = UhrNs();
            const bool geschrieben = ablage.SchreibeVermerk(ort.Wo(), vermerk);
            const int nummer = errno;
            gibZurueck();
            if (!geschrieben)
                throw fehler(nummer);
        }
    }

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
}

} // namespace tresor::posix
