#include "fs/ablage/Ordnertafeln.h"

#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/Ordnerkarte.h"
#include "fs/system/Bytes.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/ErweiterteAttribute.h"
#include "fs/system/Ordnereintraege.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tresor::posix {

std::uint64_t Ordnertafeln::Kennung(std::string_view name, const struct stat& st) {
    return Eintragskennung(name, static_cast<std::uint64_t>(st.st_ino), MtimeNs(st),
                           static_cast<std::int64_t>(st.st_size), CtimeNs(st));
}

void Ordnertafeln::Lies(int ordnerFd, Tafel& tafel) {
    tafel.Eintraege.clear();
    tafel.Lesbar = true;
    Deskriptor fd(::openat(ordnerFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.gueltig()) {
        tafel.Lesbar = false;
        return;
    }
    int fehler = 0;
    const auto eintraege = LiesEintraege(std::move(fd), fehler);
    if (fehler != 0) {
        tafel.Lesbar = false;
        return;
    }
    for (const Eintrag& e : eintraege) {
        if (e.Typ != DT_LNK && e.Typ != DT_REG && e.Typ != DT_UNKNOWN)
            continue;
        struct stat st {};
        if (::fstatat(ordnerFd, e.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // removed since the folder was read
            tafel.Lesbar = false;
            return;
        }
        if (AufDemOrdner(st))
            tafel.Eintraege.emplace(e.Name, Kennung(e.Name, st));
    }
}

std::uint64_t Ordnertafeln::Summe(const Tafel& tafel) {
    std::uint64_t summe = FnvAnfang;
    for (const auto& [name, kennung] : tafel.Eintraege)
        summe = Pruefsumme(summe, kennung);
    return summe;
}

Ordnertafeln::Tafel* Ordnertafeln::Finde(int ordnerFd, struct stat& ost) {
    if (::fstat(ordnerFd, &ost) != 0)
        return nullptr;
    Tafel& tafel = tafeln_[{ost.st_dev, ost.st_ino}];
    if (!tafel.Gelesen || tafel.OrdnerMtimeNs != MtimeNs(ost)) {
        tafel.Gelesen = true;
        tafel.OrdnerMtimeNs = MtimeNs(ost);
        Lies(ordnerFd, tafel);
    }
    return tafel.Lesbar ? &tafel : nullptr;
}

bool Ordnertafeln::Archiv(Attributablage& ablage, int ordnerFd, std::uint64_t ordnerName, std::string_view name,
                          const struct stat& st) {
    struct stat ost {};
    Tafel* tafel = Finde(ordnerFd, ost);
    if (tafel == nullptr)
        return true;
    const std::uint64_t jetzt = Kennung(name, st);
    const auto eintrag = tafel->Eintraege.find(std::string(name));
    if (eintrag == tafel->Eintraege.end() || eintrag->second != jetzt)
        return true;
    if (const auto erledigt = tafel->Erledigt.find(eintrag->first);
        erledigt != tafel->Erledigt.end() && erledigt->second == jetzt)
        return false;
    const auto vermerk = ablage.LiesVerweisvermerk(Ort::OrdnerSelbst(ordnerFd));
    return !vermerk || vermerk->OrdnerInode != static_cast<std::uint64_t>(ost.st_ino) ||
           vermerk->OrdnerName != ordnerName || vermerk->Pruefsumme != Summe(*tafel);
}

int Ordnertafeln::Erledigt(Attributablage& ablage, int ordnerFd, std::uint64_t ordnerName, std::string_view name,
                           const struct stat& st) {
    struct stat ost {};
    Tafel* tafel = Finde(ordnerFd, ost);
    if (tafel == nullptr)
        return errno != 0 ? errno : EIO;
    const std::string n(name);
    const std::uint64_t jetzt = Kennung(name, st);
    // A table read before this entry took its present state is read again; what was marked stays marked
    // for the entries whose keys are unchanged.
    if (const auto e = tafel->Eintraege.find(n); e == tafel->Eintraege.end() || e->second != jetzt) {
        Lies(ordnerFd, *tafel);
        if (!tafel->Lesbar)
            return EIO;
    }
    tafel->Erledigt[n] = jetzt;
    for (const auto& [name2, kennung] : tafel->Eintraege) {
        const auto erledigt = tafel->Erledigt.find(name2);
        if (erledigt == tafel->Erledigt.end() || erledigt->second != kennung)
            return 0; // not yet every entry
    }
    const Verweisvermerk vermerk{static_cast<std::uint64_t>(ost.st_ino), ordnerName, Summe(*tafel)};
    if (const auto alt = ablage.LiesVerweisvermerk(Ort::OrdnerSelbst(ordnerFd));
        alt && alt->OrdnerInode == vermerk.OrdnerInode && alt->OrdnerName == vermerk.OrdnerName &&
        alt->Pruefsumme == vermerk.Pruefsumme)
        return 0;
    return SchreibeAufOrdner(ablage, ordnerFd, ost, &vermerk);
}

int Ordnertafeln::Offen(Attributablage& ablage, int ordnerFd, std::string_view name) {
    struct stat ost {};
    if (::fstat(ordnerFd, &ost) != 0)
        return errno;
    if (const auto t = tafeln_.find({ost.st_dev, ost.st_ino}); t != tafeln_.end())
        t->second.Erledigt.erase(std::string(name));
    if (!ablage.LiesVerweisvermerk(Ort::OrdnerSelbst(ordnerFd)))
        return 0;
    return SchreibeAufOrdner(ablage, ordnerFd, ost, nullptr);
}

int Ordnertafeln::SchreibeAufOrdner(Attributablage& ablage, int ordnerFd, const struct stat& ost,
                                    const Verweisvermerk* vermerk) {
    const Ort ordnerOrt = Ort::OrdnerSelbst(ordnerFd);
    // The record needs write permission on the folder: a folder of the user's own gets it for the moment (a
    // change of mode touches only the folder's ctime, as does the attribute itself, so the folder's table
    // stays valid).
    bool geliehen = false;
    if ((ost.st_mode & S_IWUSR) == 0 && ost.st_uid == ::geteuid()) {
        if (::fchmodat(ordnerFd, ".", (ost.st_mode & 07777) | S_IWUSR, 0) != 0)
            return errno;
        geliehen = true;
    }
    int fehler = 0;
    if (vermerk == nullptr ? !ablage.LoescheVerweisvermerk(ordnerOrt)
                           : !ablage.SchreibeVerweisvermerk(ordnerOrt, *vermerk))
        fehler = errno;
    // The folder's map (Ordnerkarte.h) only spares reads: it makes room for the record.
    if (vermerk != nullptr && (fehler == ENOSPC || fehler == E2BIG) && RemovexattrAn(ordnerOrt, OrdnerkarteName) == 0)
        fehler = ablage.SchreibeVerweisvermerk(ordnerOrt, *vermerk) ? 0 : errno;
    if (geliehen && ::fchmodat(ordnerFd, ".", ost.st_mode & 07777, 0) != 0 && fehler == 0)
        fehler = errno;
    return fehler;
}

} // namespace tresor::posix
