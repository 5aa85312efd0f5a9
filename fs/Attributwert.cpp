#include "fs/Attributwert.h"

#include "fs/Attribute.h"
#include "fs/Deskriptor.h"
#include "fs/Dosattrib.h"
#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tresor::posix {

// Links have no read-only, system or directory bit.
int Verweiswert(Attributablage& ablage, int ordnerFd, std::string_view name, const struct stat& st) {
    int wert = IstPunktname(name) ? attr::Versteckt : 0;
    struct stat ost {};
    bool archiv = true;
    if (ordnerFd != AT_FDCWD && ::fstat(ordnerFd, &ost) == 0) {
        if (const auto vermerk = ablage.LiesVerweisvermerk(Ort::OrdnerSelbst(ordnerFd));
            vermerk && vermerk->OrdnerMtimeNs == MtimeNs(ost) && vermerk->OrdnerInode == ost.st_ino)
            archiv = !std::binary_search(vermerk->Kennungen.begin(), vermerk->Kennungen.end(),
                                         Verweiskennung(name, st.st_ino, MtimeNs(st)));
    }
    if (archiv)
        wert |= attr::Archiv;
    return wert;
}

namespace {

// SetFileAttr of a symbolic link: the archive bit in its folder's record.
void VerweisVermerken(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort, const struct stat& st, int wert,
                      const Quellstand& stand) {
    if (ort.Ganz())
        throw FsFehler("SetFileAttr", pfad, Fehlercode(EINVAL));
    const int ordnerFd = ort.Ordner();
    const Ort ordnerOrt = Ort::OrdnerSelbst(ordnerFd);
    struct stat ost {};
    if (::fstat(ordnerFd, &ost) != 0)
        throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
    auto alt = ablage.LiesVerweisvermerk(ordnerOrt);

    // Only the archive bit is kept for a link; read-only and system have no place, hidden follows the name.
    Verweisvermerk neu;
    if ((wert & attr::Archiv) == 0) {
        // The state the copy was taken from, or where there is none, the state now.
        Quellstand s = stand;
        if (!s.Gueltig) {
            s = StandAus(st);
            s.OrdnerMtimeNs = MtimeNs(ost);
            s.OrdnerInode = static_cast<std::uint64_t>(ost.st_ino);
        }
        const std::uint64_t kennung = Verweiskennung(ort.Name(), s.Inode, s.MtimeNs);
        // Keys recorded for the same folder state stay; a record of another state is replaced, not merged,
        // since the links it speaks of may have changed since.
        if (alt && alt->OrdnerMtimeNs == s.OrdnerMtimeNs && alt->OrdnerInode == s.OrdnerInode) {
            neu = std::move(*alt);
        } else {
            neu.OrdnerMtimeNs = s.OrdnerMtimeNs;
            neu.OrdnerInode = s.OrdnerInode;
        }
        const auto stelle = std::lower_bound(neu.Kennungen.begin(), neu.Kennungen.end(), kennung);
        if (stelle != neu.Kennungen.end() && *stelle == kennung)
            return;
        neu.Kennungen.insert(stelle, kennung);
    } else {
        if (!alt)
            return;
        neu = std::move(*alt);
        const std::uint64_t kennung = Verweiskennung(ort.Name(), st.st_ino, MtimeNs(st));
        const auto stelle = std::lower_bound(neu.Kennungen.begin(), neu.Kennungen.end(), kennung);
        if (stelle == neu.Kennungen.end() || *stelle != kennung)
            return;
        neu.Kennungen.erase(stelle);
    }

    // The record needs write permission on the folder: a folder of the user's own gets it for the moment
    // (a change of mode touches only the folder's ctime, as does the attribute itself, so the folder's
    // state in the record stays valid).
    bool geliehen = false;
    if ((ost.st_mode & S_IWUSR) == 0 && ost.st_uid == ::geteuid()) {
        if (::fchmodat(ordnerFd, ".", (ost.st_mode & 07777) | S_IWUSR, 0) != 0)
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
        geliehen = true;
    }
    int fehler = 0;
    if (neu.Kennungen.empty()) {
        if (!ablage.LoescheVerweisvermerk(ordnerOrt))
            fehler = errno;
    } else {
        if (!ablage.SchreibeVerweisvermerk(ordnerOrt, neu))
            fehler = errno;
    }
    if (geliehen && ::fchmodat(ordnerFd, ".", ost.st_mode & 07777, 0) != 0 && fehler == 0)
        fehler = errno;
    // The limit of this record: the file system gives all extended attributes of a folder only so much room
    // (ext4 about one block of 4 KiB, which holds some hundreds of keys). A record that would outgrow it
    // stays as it was: the link keeps its archive bit, the run's check of the copy reports that, and the
    // next run copies the link again. Nothing is reported as backed up that was not.
    if (fehler == E2BIG || fehler == ENOSPC)
        return;
    if (fehler != 0)
        throw FsFehler("SetFileAttr", pfad, Fehlercode(fehler));
}

} // namespace

int Attributwert(Attributablage& ablage, const Ort& ort, std::string_view name, const struct stat& st,
                 std::string_view voll) {
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
        bool archiv = dos && (*dos & attr::Archiv) != 0;
        if (!archiv) {
            const auto vermerk = ablage.LiesVermerk(ort);
            archiv = !vermerk || !Gleich(vermerk->Stand, StandAus(st));
            // A file of several names is backed up under each of them: the record must hold this one.
            if (!archiv && st.st_nlink > 1)
                archiv = std::find(vermerk->Namen.begin(), vermerk->Namen.end(), Namenskennung(voll)) ==
                         vermerk->Namen.end();
        }
        if (archiv)
            wert |= attr::Archiv;
    }
    return wert;
}

void SchreibeAttributwert(Attributablage& ablage, const Pfad& pfad, const Eintragsort& ort, const struct stat& st,
                          int wert, const Quellstand& stand, std::string_view voll) {
    if (S_ISLNK(st.st_mode)) {
        VerweisVermerken(ablage, pfad, ort, st, wert, stand);
        return;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        throw FsFehler("SetFileAttr", pfad, Fehlercode(EINVAL));
    const bool istOrdner = S_ISDIR(st.st_mode);
    const std::string name = LetzterName(pfad);
    const auto dos = ablage.LiesDos(ort.Wo());

    mode_t modus = st.st_mode & 07777;
    if (wert & attr::Schreibgeschuetzt)
        modus &= ~static_cast<mode_t>(0222);
    else
        modus |= S_IWUSR;

    const auto dosNeu = NeuerDosWert(dos, wert, name, istOrdner);

    // Extended attributes need write permission on the file. A read-only file of the user's own gets it
    // for the moment and its final mode afterwards; on anyone else's file the write fails with its error.
    bool geliehen = false;
    if ((dosNeu || !istOrdner) && (st.st_mode & S_IWUSR) == 0 && st.st_uid == ::geteuid()) {
        if (::fchmodat(ort.Ordner(), ort.Name(), (st.st_mode & 07777) | S_IWUSR, 0) != 0)
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
        geliehen = true;
    }
    try {
        if (dosNeu && !ablage.SchreibeDos(ort.Wo(), *dosNeu))
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
        if (!istOrdner) {
            if ((wert & attr::Archiv) == 0) {
                Archivvermerk vermerk{stand.Gueltig ? stand : StandAus(st), {}};
                if (st.st_nlink > 1) {
                    // The names recorded for the same state stay; this one joins them.
                    if (auto alt = ablage.LiesVermerk(ort.Wo()); alt && Gleich(alt->Stand, vermerk.Stand))
                        vermerk.Namen = std::move(alt->Namen);
                    const std::uint64_t kennung = Namenskennung(voll);
                    if (std::find(vermerk.Namen.begin(), vermerk.Namen.end(), kennung) == vermerk.Namen.end())
                        vermerk.Namen.push_back(kennung);
                }
                if (!ablage.SchreibeVermerk(ort.Wo(), vermerk))
                    throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
            } else if (!ablage.LoescheVermerk(ort.Wo())) {
                throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
            }
        }
    } catch (...) {
        if (geliehen)
            (void)::fchmodat(ort.Ordner(), ort.Name(), st.st_mode & 07777, 0);
        throw;
    }
    if (geliehen || modus != (st.st_mode & 07777)) {
        if (::fchmodat(ort.Ordner(), ort.Name(), modus, 0) != 0)
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
    }
}

} // namespace tresor::posix
