// Thinning old backups from the command line (see Aufraeumen.h).
#include "app/Aufraeumen.h"

#include "engine/bestand/Anzeigetext.h"
#include "fs/FsFehler.h"

#include <atomic>
#include <charconv>
#include <set>

namespace tresor {

namespace {

// "Sicherung-2026-03-14--09-00-01" as the user names a point: its time.
std::string Stand(const std::string& ordner) {
    return Anzeigetext(ordner.size() > 10 ? ordner.substr(10) : ordner);
}

// Bytes with their thousands marked: "1.234.567 Bytes".
std::string Bytetext(std::uint64_t bytes) {
    std::string ziffern = std::to_string(bytes);
    for (std::size_t i = ziffern.size(); i > 3; i -= 3)
        ziffern.insert(i - 3, ".");
    return ziffern + (bytes == 1 ? " Byte" : " Bytes");
}

void NenneReste(const std::vector<Rest>& reste, std::ostream& aus) {
    for (const Rest& r : reste) {
        aus << "Bleibt: ";
        if (r.Ordner.empty())
            aus << Anzeigetext(r.Pfad);
        else
            aus << Anzeigetext(r.Ordner) << (r.Pfad.empty() ? "" : "/" + Anzeigetext(r.Pfad));
        aus << ": " << r.Grund << '\n';
    }
}

} // namespace

int* Behalteteil(Behalteregel& regel, std::string_view name) {
    if (name == "LETZTE")
        return &regel.Letzte;
    if (name == "TAGE")
        return &regel.Tage;
    if (name == "WOCHEN")
        return &regel.Wochen;
    if (name == "MONATE")
        return &regel.Monate;
    if (name == "JAHRE")
        return &regel.Jahre;
    return nullptr;
}

std::optional<int> Behaltezahl(std::string_view text) {
    int zahl = 0;
    const auto [ende, fehler] = std::from_chars(text.data(), text.data() + text.size(), zahl);
    if (text.empty() || text[0] == '+' || fehler != std::errc() || ende != text.data() + text.size() || zahl < 1 ||
        zahl > 100000)
        return std::nullopt;
    return zahl;
}

int Aufraeumen(const Pfad& ziel, const Pfad& quelle, const Behalteregel& regel, bool probe, Befehlszeilenumgebung& u) {
    Ausduennung ausduennung(u.laufwerke);
    try {
        Ausduennungsergebnis vorher;
        if (ausduennung.Offen(ziel)) {
            if (probe)
                u.aus << "Im Ziel liegt eine nicht beendete Ausdünnung; das nächste --aufraeumen oder die nächste "
                         "Sicherung beendet sie.\n";
            else {
                vorher = ausduennung.Vollende(ziel);
                if (vorher.Fertig)
                    u.aus << "Die unterbrochene Ausdünnung ist beendet (" << Bytetext(vorher.FreieBytes)
                          << " freigegeben).\n";
                NenneReste(vorher.Reste, u.fehler);
                if (ausduennung.Offen(ziel))
                    return ExitFehler;
            }
        }
        auto geplant = ausduennung.Plane(ziel, quelle, regel);
        if (auto* grund = std::get_if<std::string>(&geplant)) {
            u.fehler << *grund << '\n';
            return ExitAbgelehnt;
        }
        const Ausduennungsplan& plan = std::get<Ausduennungsplan>(geplant);
        const std::size_t alle = plan.Gehen.size() + plan.Bleiben.size();
        if (probe) {
            for (const std::string& b : plan.Bleiben)
                u.aus << "Behalten: " << Stand(b) << '\n';
            for (const std::string& g : plan.Gehen)
                u.aus << "Entfernen: " << Stand(g) << '\n';
            ausduennung.Zuege(plan, [&](const Verschiebung& v) {
                u.aus << "Verschieben: " << Anzeigetext(v.Pfad) << " (" << Bytetext(v.Bytes) << ") von " << Stand(v.Von)
                      << " nach " << Stand(v.Nach) << '\n';
            });
            NenneReste(plan.Reste, u.aus);
            u.aus << "Die Ausdünnung würde " << plan.Gehen.size() << " von " << alle << " Sicherungen entfernen, "
                  << plan.Verschiebungen << " Kopien verschieben und " << Bytetext(plan.FreieBytes) << " freigeben.\n";
            return ExitErfolg;
        }
        NenneReste(plan.Reste, u.fehler);
        std::atomic<bool> halt = false;
        const auto fortschritt = [&](std::size_t erledigt, std::size_t gesamt) {
            if (u.abbruchsignal != nullptr && *u.abbruchsignal != 0)
                halt = true;
            if (u.terminal)
                u.fehler << "\r\033[KAusdünnung: Schritt " << erledigt << " von " << gesamt << std::flush;
        };
        if (u.abbruchBereit)
            u.abbruchBereit();
        const Ausduennungsergebnis ergebnis = ausduennung.Fuehreaus(plan, fortschritt, &halt);
        if (u.terminal)
            u.fehler << "\r\033[K" << std::flush;
        if (ergebnis.Angehalten) {
            u.fehler << "Die Ausdünnung wurde angehalten; das nächste --aufraeumen oder die nächste Sicherung "
                        "beendet sie.\n";
            return ExitSignal + (u.abbruchsignal != nullptr ? *u.abbruchsignal : 0);
        }
        NenneReste(ergebnis.Reste, u.fehler);
        std::set<std::string> geblieben;
        for (const Rest& r : ergebnis.Reste)
            geblieben.insert(r.Ordner);
        std::size_t entfernt = 0;
        for (const std::string& g : plan.Gehen)
            if (!geblieben.contains(g)) {
                u.aus << "Entfernt: " << Stand(g) << '\n';
                ++entfernt;
            }
        u.aus << "Die Ausdünnung hat " << entfernt << " von " << alle << " Sicherungen entfernt, "
              << plan.Verschiebungen << " Kopien verschoben und " << Bytetext(ergebnis.FreieBytes) << " freigegeben.\n";
        return ergebnis.Fertig && vorher.Reste.empty() && plan.Reste.empty() ? ExitErfolg : ExitFehler;
    } catch (const FsFehler& f) {
        u.fehler << f.Bericht(Anzeigetext(f.Path())) << '\n';
        return ExitFehler;
    }
}

} // namespace tresor
