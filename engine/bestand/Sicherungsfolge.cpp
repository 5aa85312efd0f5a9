// The backups in a target folder and their records (see Sicherungsfolge.h).
#include "engine/bestand/Sicherungsfolge.h"

#include "engine/bestand/Anzeigetext.h"
#include "fs/FsFehler.h"
#include "fs/Laufwerkstabelle.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace tresor {

bool Lesefehler(const std::error_code& ursache) {
    if (ursache.category() != std::generic_category() && ursache.category() != std::system_category())
        return false;
    const int nummer = ursache.value();
    return nummer == EIO || nummer == EBADMSG || nummer == EUCLEAN;
}

bool Uebergehbar(const std::error_code& ursache) {
    if (Lesefehler(ursache))
        return true;
    if (ursache.category() != std::generic_category() && ursache.category() != std::system_category())
        return false;
    return ursache.value() == EACCES || ursache.value() == EPERM;
}

std::string Unlesbarkeit(const std::error_code& ursache) {
    return "Der Sicherungsordner ist nicht lesbar: " + Fehlertext(ursache);
}

std::vector<std::string> Sicherungsordnernamen(Eintragszugriff& zugriff, const Pfad& ziel) {
    std::vector<std::string> namen;
    const auto alle = zugriff.Namen(ziel);
    if (!alle)
        return namen;
    for (const std::string& n : *alle) {
        if (!IstSicherungsordnername(n))
            continue;
        const auto stand = zugriff.Stand(Unterpfad(ziel, n));
        if (stand && stand->Typ == Eintragsstand::Art::Ordner)
            namen.push_back(n);
    }
    return namen; // byte order is time order for these names
}

Pfad Unterpfad(const Pfad& ordner, const std::string& relativ) {
    if (relativ == "." || relativ.empty())
        return ordner;
    // Built in one piece: asked for every file a run leaves.
    Pfad pfad;
    pfad.reserve(ordner.size() + 1 + relativ.size());
    pfad += ordner;
    if (ordner.size() != 3)
        pfad += '\\';
    NamenAusPosixAn(relativ, pfad);
    return pfad;
}

Pfad Spiegelpfad(const Pfad& sicherungsordner, const Pfad& quelle) {
    return quelle.size() == 3 ? sicherungsordner : sicherungsordner + quelle.substr(2);
}

namespace {

// Whether a record read from the file `datei` of the backup folder `name` counts: "" when it does, else why
// not (German). `kopie` tells that the record names itself as a copy of a source file: a drive root's own
// file of that name, copied by the run, lies where the record would; it is passed over without a word.
std::string Pruefe(const Bestand& kopf, const std::string& name, bool kopie) {
    // The source's place in the program's form: one drive, names one level each. A line that climbs out of
    // its folder or holds a slash names no source; the record is not used.
    if (!IstProgrammpfad(kopf.Quelle))
        return "Die Bestandsliste nennt keine brauchbare Quelle.";
    if (kopf.Ordner != name)
        return "Die Bestandsliste gehört zum Sicherungsordner " + Anzeigetext(kopf.Ordner) + ".";
    return kopie ? std::string(" ") : std::string();
}

bool IstKopie(const Bestandseintrag& e, const std::string& datei, const std::string& name) {
    return e.Pfad == datei && e.Ort == name;
}

// Goes through the record files of the backup folder `name` in `ziel` in order until `nimm` takes one.
// `nimm(datei, dateiname)` gets the file held open and answers "" when it took it, " " when it passes it
// over without a word, else why it is no record of this folder. The fund tells the first such reason where
// none was taken.
template <class Nimm>
Bestandsfund DurchBestandsdateien(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name, Nimm nimm) {
    Bestandsfund fund;
    const Pfad ordner = Unterpfad(ziel, name);
    std::optional<std::vector<std::string>> namen;
    try {
        namen = zugriff.Namen(ordner);
    } catch (const FsFehler& f) {
        // The folder's own blocks no longer read, or this user may not read it: it counts as one with a torn
        // record that says why, and keeps none of the others from being used.
        if (!Uebergehbar(f.Ursache()))
            throw;
        fund.Zustand = Bestandsfund::Art::Kaputt;
        fund.Fehler = Unlesbarkeit(f.Ursache());
        fund.Unlesbar = true;
        return fund;
    }
    if (!namen)
        return fund;
    std::vector<std::pair<int, std::string>> kandidaten;
    for (const std::string& n : *namen)
        if (IstBestandsdateiname(n))
            kandidaten.emplace_back(n == Bestandsdateiname(0) ? 0 : std::stoi(n.substr(18)), n);
    std::sort(kandidaten.begin(), kandidaten.end());
    for (const auto& [nummer, datei] : kandidaten) {
        (void)nummer;
        std::string fehler;
        std::optional<Lesedatei> offen;
        // A record this user may not open (or whose blocks no longer read) tells nothing of the folder either.
        bool gesperrt = false;
        try {
            offen = zugriff.OeffneDatei(Unterpfad(ordner, datei));
        } catch (const FsFehler& f) {
            fehler = "Die Bestandsliste ist nicht lesbar: " + Fehlertext(f.Ursache());
            gesperrt = Uebergehbar(f.Ursache());
        }
        if (offen) {
            fehler = nimm(std::move(*offen), datei);
            if (fehler.empty()) {
                fund.Zustand = Bestandsfund::Art::Gelesen;
                fund.Dateiname = datei;
                fund.Fehler.clear();
                fund.Unlesbar = false;
                return fund;
            }
        }
        if (fund.Zustand != Bestandsfund::Art::Kaputt && !fehler.empty() && fehler != " ") {
            fund.Zustand = Bestandsfund::Art::Kaputt;
            fund.Fehler = fehler;
            fund.Dateiname = datei;
            fund.Unlesbar = gesperrt;
        }
    }
    return fund;
}

// Whether the reader's record names the file it was read from as a copy of this backup folder (only a drive
// root's record can): read through once and back to its start.
bool NenntSichSelbst(Bestandsleser& l, const std::string& datei, const std::string& name) {
    if (l.Kopf().Quelle.size() != 3)
        return false;
    bool kopie = false;
    while (const Bestandseintrag* e = l.Naechster())
        kopie = kopie || IstKopie(*e, datei, name);
    l.VonVorn();
    return kopie;
}

// The fund of the first record file that `lies(datei, dateiname, kopie)` reads (a Bestand, or why not) as
// a record of this backup folder; `kopie` it sets where the record names itself as a copy.
template <class Lies>
Bestandsfund FindeBestand(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name, Lies lies) {
    std::shared_ptr<const Bestand> liste;
    Bestandsfund fund = DurchBestandsdateien(zugriff, ziel, name, [&](Lesedatei datei, const std::string& dateiname) {
        bool kopie = false;
        std::variant<Bestand, std::string> gelesen = lies(std::move(datei), dateiname, kopie);
        auto* b = std::get_if<Bestand>(&gelesen);
        if (b == nullptr)
            return std::get<std::string>(gelesen);
        std::string fehler = Pruefe(*b, name, kopie);
        if (fehler.empty())
            liste = std::make_shared<const Bestand>(std::move(*b));
        return fehler;
    });
    fund.Liste = std::move(liste);
    return fund;
}

} // namespace

Bestandsfund LiesBestandsfund(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name) {
    return FindeBestand(zugriff, ziel, name, [&](Lesedatei datei, const std::string& dateiname, bool& kopie) {
        auto offen = Bestandsleser::Oeffne(Dateiquelle(std::move(datei)));
        auto* l = std::get_if<Bestandsleser>(&offen);
        if (l == nullptr)
            return std::variant<Bestand, std::string>(std::get<std::string>(offen));
        kopie = NenntSichSelbst(*l, dateiname, name);
        return LiesBestand(*l);
    });
}

Bestandsfund LiesBestandskopf(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name) {
    return FindeBestand(zugriff, ziel, name, [&](Lesedatei datei, const std::string& dateiname, bool& kopie) {
        auto gelesen = Bestandsleser::LiesKopf(Dateiquelle(std::move(datei)));
        const auto* b = std::get_if<Bestand>(&gelesen);
        if (b != nullptr && b->Quelle.size() == 3) {
            // Whether it is a drive root's own file is told only by its entries: read through for that.
            auto offen = zugriff.OeffneDatei(Unterpfad(Unterpfad(ziel, name), dateiname));
            if (!offen)
                return std::variant<Bestand, std::string>(std::string(" "));
            auto l = Bestandsleser::Oeffne(Dateiquelle(std::move(*offen)));
            if (auto* grund = std::get_if<std::string>(&l))
                return std::variant<Bestand, std::string>(std::move(*grund));
            kopie = NenntSichSelbst(std::get<Bestandsleser>(l), dateiname, name);
        }
        return gelesen;
    });
}

std::optional<Bestandsleser> LiesBestandsleser(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name,
                                               Bestandsfund* fund) {
    std::optional<Bestandsleser> leser;
    Bestandsfund gefunden =
        DurchBestandsdateien(zugriff, ziel, name, [&](Lesedatei datei, const std::string& dateiname) {
            auto offen = Bestandsleser::Oeffne(Dateiquelle(std::move(datei)));
            auto* l = std::get_if<Bestandsleser>(&offen);
            if (l == nullptr)
                return std::get<std::string>(offen);
            std::string fehler = Pruefe(l->Kopf(), name, NenntSichSelbst(*l, dateiname, name));
            if (fehler.empty())
                leser = std::move(*l);
            return fehler;
        });
    if (fund != nullptr)
        *fund = std::move(gefunden);
    return leser;
}

std::string_view UnterDemLaufwerk(std::string_view pfad) {
    return pfad.size() >= 3 && pfad[1] == ':' ? pfad.substr(2) : std::string_view();
}

Pfad QuelleHeute(const Laufwerkstabelle& laufwerke, const Pfad& quelle, const std::string& quellePosix) {
    const std::optional<Pfad> heute = quellePosix.empty() ? std::nullopt : laufwerke.AusPosix(quellePosix);
    if (heute && !UnterDemLaufwerk(*heute).empty() && UnterDemLaufwerk(*heute) == UnterDemLaufwerk(quelle) &&
        laufwerke.ZuPosix(*heute).value_or("") == quellePosix)
        return *heute;
    return quelle;
}

bool GleicheQuelle(const Bestand& bestand, const Pfad& quelle, const std::string& quellePosix) {
    const std::string_view unter = UnterDemLaufwerk(quelle);
    if (unter.empty())
        return false;
    // A source on no drive today (its disk unplugged or dead) has no POSIX form to compare: it is asked for as its
    // records name it.
    if (quellePosix.empty())
        return bestand.Quelle == quelle;
    return bestand.QuellePosix == quellePosix && UnterDemLaufwerk(bestand.Quelle) == unter;
}

Sicherungsbesitz::Sicherungsbesitz(Eintragszugriff& zugriff, const Pfad& ziel) : ich_(::geteuid()), ziel_(ich_) {
    if (const auto stand = zugriff.Stand(ziel))
        ziel_ = stand->Uid;
}

bool SpiegelUeberdecken(const Pfad& a, const Pfad& b) {
    const auto unten = [](const Pfad& q) {
        std::string u = q.size() <= 3 ? std::string() : q.substr(3);
        for (char& c : u)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return u;
    };
    const std::string x = unten(a);
    const std::string y = unten(b);
    const auto darin = [](const std::string& innen, const std::string& aussen) {
        return aussen.empty() || innen == aussen || (innen.starts_with(aussen) && innen[aussen.size()] == '\\');
    };
    return darin(x, y) || darin(y, x);
}

bool IstProgrammpfad(std::string_view pfad) {
    if (pfad.size() < 3 || std::isupper(static_cast<unsigned char>(pfad[0])) == 0 || pfad[1] != ':' || pfad[2] != '\\')
        return false;
    if (pfad.size() == 3)
        return true;
    std::size_t anfang = 3;
    for (;;) {
        const std::size_t schluss = std::min(pfad.find('\\', anfang), pfad.size());
        const std::string_view name = pfad.substr(anfang, schluss - anfang);
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
            name.find('\0') != std::string_view::npos)
            return false;
        if (schluss == pfad.size())
            return true;
        anfang = schluss + 1;
    }
}

} // namespace tresor
