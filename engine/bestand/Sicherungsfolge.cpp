// The backups in a target folder and their records (see Sicherungsfolge.h).
#include "engine/bestand/Sicherungsfolge.h"

#include "engine/bestand/Anzeigetext.h"
#include "fs/FsFehler.h"
#include "fs/Laufwerkstabelle.h"

#include <algorithm>
#include <cctype>

namespace tresor {

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
    return (ordner.size() == 3 ? ordner : ordner + "\\") + NamenAusPosix(relativ);
}

Pfad Spiegelpfad(const Pfad& sicherungsordner, const Pfad& quelle) {
    return quelle.size() == 3 ? sicherungsordner : sicherungsordner + quelle.substr(2);
}

Bestandsfund LiesBestandsfund(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name) {
    Bestandsfund fund;
    const Pfad ordner = Unterpfad(ziel, name);
    const auto namen = zugriff.Namen(ordner);
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
        std::optional<std::string> text;
        try {
            text = zugriff.LiesDatei(Unterpfad(ordner, datei));
        } catch (const FsFehler& f) {
            fehler = "Die Bestandsliste ist nicht lesbar: " + Fehlertext(f.Ursache());
        }
        if (text) {
            auto gelesen = LiesBestand(*text);
            if (auto* b = std::get_if<Bestand>(&gelesen)) {
                // A drive root's own file of this name, copied by this run, lies where the record would.
                bool kopie = false;
                if (b->Quelle.size() == 3)
                    for (const Bestandseintrag& e : b->Eintraege)
                        if (e.Pfad == datei && e.Ort == name)
                            kopie = true;
                // The source's place in the program's form: one drive, names one level each. A line that
                // climbs out of its folder or holds a slash names no source; the record is not used.
                if (!IstProgrammpfad(b->Quelle))
                    fehler = "Die Bestandsliste nennt keine brauchbare Quelle.";
                else if (b->Ordner == name && !kopie) {
                    fund.Zustand = Bestandsfund::Art::Gelesen;
                    fund.Liste = std::make_shared<const Bestand>(std::move(*b));
                    fund.Dateiname = datei;
                    fund.Fehler.clear();
                    return fund;
                } else if (b->Ordner != name)
                    fehler = "Die Bestandsliste gehört zum Sicherungsordner " + Anzeigetext(b->Ordner) + ".";
            } else {
                fehler = std::get<std::string>(gelesen);
            }
        }
        if (fund.Zustand != Bestandsfund::Art::Kaputt && !fehler.empty()) {
            fund.Zustand = Bestandsfund::Art::Kaputt;
            fund.Fehler = fehler;
            fund.Dateiname = datei;
        }
    }
    return fund;
}

bool GleicheQuelle(const Bestand& bestand, const Pfad& quelle, const std::string& quellePosix) {
    return bestand.Quelle == quelle && !quellePosix.empty() && bestand.QuellePosix == quellePosix;
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
