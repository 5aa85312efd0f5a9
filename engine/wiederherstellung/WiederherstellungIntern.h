#pragma once
// What the restore's steps share beyond the class: the state of one restore, and how a copy differs from the
// record's version.
#include "engine/bestand/Bestandsformat.h"
#include "engine/wiederherstellung/Sicherungspunkt.h"
#include "engine/wiederherstellung/Wiederherstellung.h"
#include "fs/Eintragsstand.h"

#include <unistd.h>

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>

namespace tresor {

// What one restore has done so far, and how it tells of an entry.
struct Wiederherstellung::Lauf {
    explicit Lauf(std::ostream& fehler) : Fehler(fehler) {}
    std::ostream& Fehler;
    const bool Verwalter = Eintragszugriff::Verwalter();
    const std::uint32_t Uid = ::geteuid();
    const std::uint32_t Gid = ::getegid();
    long Probleme = 0, Fremde = 0, OhneStand = 0, Beschaedigte = 0, Ordner = 0, Dateien = 0, Verweise = 0;
    std::uint64_t Bytes = 0;
    // Folders on the way that could not be made: nothing goes below them.
    std::set<std::string> Fehlende;
    // Of each hard-link group (only files of several names have one): the version of the name restored first
    // and where it went, so that its other names become links to it.
    struct Erster {
        std::string Ort;
        std::int64_t Groesse = 0;
        std::int64_t MtimeNs = 0;
        Pfad Wohin;
        bool Beschaedigt = false; // its content is not the version's: no other name shares it
    };
    std::map<std::uint64_t, Erster> Verbuende;
    void Melde(const std::string& relativ, const std::string& grund) {
        Fehler << "Nicht wiederhergestellt: " << Anzeigepfad(relativ) << ": " << grund << "\n";
        ++Probleme;
    }
    // An entry in place under its name whose bits, owner or time could not be given to it.
    void MeldeOhneStand(const std::string& relativ, const std::string& grund) {
        Fehler << "Wiederhergestellt, aber Rechte oder Zeit nicht gesetzt: " << Anzeigepfad(relativ) << " (" << grund
               << ")\n";
        ++OhneStand;
    }
    // A file in place under its name whose content is not the one backed up.
    void MeldeBeschaedigt(const std::string& relativ, const std::string& grund) {
        Fehler << "Wiederhergestellt, aber beschädigt: " << Anzeigepfad(relativ) << " (" << grund << ")\n";
        ++Beschaedigte;
    }
    bool ElternFehlt(const std::string& relativ) const {
        const std::size_t schnitt = relativ.rfind('/');
        return schnitt != std::string::npos && Fehlende.contains(relativ.substr(0, schnitt));
    }
};

// Why the entry `k` (a copy in a backup, or what a restore made of it) is not the record's version of `e`,
// or "" when it is.
std::string Abweichung(const std::optional<Eintragsstand>& k, const Bestandseintrag& e);

} // namespace tresor
