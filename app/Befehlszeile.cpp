#include "app/Befehlszeile.h"

#include "app/Aufraeumen.h"
#include "app/Auftrag.h"
#include "app/Ordnerangabe.h"
#include "app/Wachhund.h"
#include "engine/bestand/Anzeigetext.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "engine/sicherung/Probedateisystem.h"
#include "engine/wiederherstellung/Wiederherstellung.h"
#include "ui/Programmkennung.h"

#include <algorithm>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace tresor {

namespace {

const char* const Programmname = "tresor-ix";

std::string Groessentext(std::uint64_t bytes) {
    const char* einheiten[] = {"Bytes", "KiB", "MiB", "GiB", "TiB"};
    double wert = static_cast<double>(bytes);
    int e = 0;
    while (wert >= 1024.0 && e < 4) {
        wert /= 1024.0;
        ++e;
    }
    char text[64];
    if (e == 0)
        std::snprintf(text, sizeof text, "%llu Bytes", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.1f %s", wert, einheiten[e]);
    std::string s = text;
    for (char& c : s)
        if (c == '.')
            c = ',';
    return s;
}

// A path in program form as the user knows it: the POSIX path where the drive table translates it.
std::string Anzeige(const Befehlszeilenumgebung& u, const Pfad& pfad) {
    const auto p = u.laufwerke.ZuPosix(pfad);
    return p ? *p : pfad;
}

// The window of a run without a window: message boxes become lines of text, progress one line on a
// terminal that is rewritten in place.
class Konsolenfenster final : public Fensterschnittstelle {
public:
    Konsolenfenster(Befehlszeilenumgebung& umgebung, Pfad quelle, Pfad ziel, bool probe)
        : u_(umgebung), quelle_(std::move(quelle)), ziel_(std::move(ziel)), probe_(probe) {}

    Pfad QuellPfadPath() override { return quelle_; }
    Pfad ZielPfadPath() override { return ziel_; }
    void SetZielOrdnerText(const std::string& text) override { zielOrdner_ = text; }
    std::string ZielOrdnerText() override { return zielOrdner_; }
    void SetMousePointer(int) override {}
    void ZielPfadRefresh() override {}

    int MsgBox(const std::string& prompt, int stil, const std::optional<std::string>&) override {
        ZeileLeeren();
        // A dry run reports what it found instead of the outcome of a run that did not happen.
        if (probe_ && (prompt.starts_with("Alle Dateien") || prompt.starts_with("Die Sicherung wurde")))
            return vbOK;
        // Each line of the prompt printed with its control characters escaped (a path in it may hold any).
        std::string text;
        for (std::size_t anfang = 0;;) {
            const std::size_t ende = prompt.find('\r', anfang);
            text += Anzeigetext(std::string_view(prompt).substr(anfang, ende - anfang));
            if (ende == std::string::npos)
                break;
            text += '\n';
            anfang = ende + 1;
        }
        (stil == vbInformation ? u_.aus : u_.fehler) << text << '\n';
        return vbOK;
    }

    void Fortschritt(const tresor::Fortschritt& stand) override {
        Lebenszeichen();
        if (!u_.terminal)
            return;
        const auto jetzt = std::chrono::steady_clock::now();
        if (zeileSichtbar_ && jetzt - zuletzt_ < std::chrono::milliseconds(100))
            return;
        zuletzt_ = jetzt;
        u_.fehler << "\r\033[K" << Fortschrittszeile(stand) << std::flush;
        zeileSichtbar_ = true;
    }

    // A signal asked to stop: the run ends after making its copies durable. Asked at every file: a sign of life.
    bool AbbruchVerlangt() override {
        Lebenszeichen();
        return u_.abbruchsignal != nullptr && *u_.abbruchsignal != 0;
    }

    // Every file whose check failed, with its reason, before the closing message.
    void PruefungFehlgeschlagen(const Pfad& datei, const std::string& grund) override {
        Lebenszeichen();
        ZeileLeeren();
        u_.fehler << "Nicht gesichert: " << Anzeigetext(Anzeige(u_, datei)) << " (" << grund << ")\n";
    }

    // The watchdog that hears of the run's progress, where one is kept.
    void Bewache(Wachhund* wachhund) { wachhund_ = wachhund; }
    void Lebenszeichen() {
        if (wachhund_ != nullptr)
            wachhund_->Lebenszeichen();
    }

    // A mounted file system inside the source, which the run does not enter: named, so that nobody takes the
    // backup for the whole tree.
    void Einhaengepunkt(const Pfad& ordner) override {
        Lebenszeichen();
        ZeileLeeren();
        u_.fehler << "Nicht gesichert: " << Anzeigetext(Anzeige(u_, ordner))
                  << " (anderes Dateisystem eingehängt, nicht durchsucht)\n";
    }

    void ZeileLeeren() {
        if (zeileSichtbar_)
            u_.fehler << "\r\033[K" << std::flush;
        zeileSichtbar_ = false;
    }

private:
    Befehlszeilenumgebung& u_;
    Pfad quelle_, ziel_;
    bool probe_;
    std::string zielOrdner_ = "Ordner";
    bool zeileSichtbar_ = false;
    std::chrono::steady_clock::time_point zuletzt_{};
    Wachhund* wachhund_ = nullptr;
};

} // namespace

std::string Fortschrittszeile(const Fortschritt& stand) {
    std::string zeile =
        std::to_string(stand.Dateien) + " Dateien, " + Groessentext(stand.Bytes) + " – " + Anzeigetext(stand.Ordner);
    // A large file shows how far its own copy has come.
    if (!stand.Datei.empty())
        zeile += " – " + Anzeigetext(stand.Datei) + ": " + Groessentext(stand.DateiBytes) + " von " +
                 Groessentext(stand.DateiGroesse);
    return zeile;
}

namespace {

// The number of seconds of --zeitlimit: a whole number from 1 to a day.
int Zeitlimit(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(text) < 1 || std::stoi(text) > 86400)
        throw Fehlerhaft{"--zeitlimit erwartet eine Zahl von Sekunden zwischen 1 und 86400, nicht »" +
                         Anzeigetext(text) + "«."};
    return std::stoi(text);
}

} // namespace

int ZeitlimitSekunden(const std::vector<std::string>& argumente) {
    for (std::size_t i = 0; i < argumente.size(); ++i) {
        std::optional<std::string> wert;
        if (argumente[i] == "--zeitlimit" && i + 1 < argumente.size())
            wert = argumente[i + 1];
        else if (argumente[i].starts_with("--zeitlimit="))
            wert = argumente[i].substr(std::string_view("--zeitlimit=").size());
        if (wert) {
            try {
                return Zeitlimit(*wert);
            } catch (const Fehlerhaft&) {
                return StandardZeitlimitSekunden;
            }
        }
    }
    return StandardZeitlimitSekunden;
}

namespace {

// One of the modes that bring backups back, run with the parsed arguments.
int Rueckholung(const std::string& modus, const std::optional<Quellangabe>& q, const std::string& ziel,
                const std::optional<std::string>& nach, const std::optional<std::string>& stand, bool mitQuelle,
                Befehlszeilenumgebung& u) {
    if (stand && !IstSicherungsordnername("Sicherung-" + *stand))
        throw Fehlerhaft{"--stand erwartet die Zeit eines Sicherungsordners in der Form JJJJ-MM-TT--hh-mm-ss, nicht »" +
                         Anzeigetext(*stand) + "«."};
    const Pfad z = Ordnerpfad(ziel, "Ziel", u);
    Wiederherstellung w(u.laufwerke, u.fabrik, u.aus, u.fehler);
    // A signal asks a restore or a check to stop, as it asks a backup: heard at the next file or amid a copy,
    // where the restore and the check look at their stop, so that what was restored is whole and named.
    std::atomic<bool> halt = false;
    const auto signalGekommen = [&u] { return u.abbruchsignal != nullptr && *u.abbruchsignal != 0; };
    const auto hoere = [&](const Rueckholstand&) {
        if (signalGekommen())
            halt = true;
    };
    Befund befund = Befund::Vollstaendig;
    try {
        if (modus == "--liste")
            befund = w.Liste(z, q);
        else if (modus == "--pruefen") {
            w.Begleite(hoere, &halt);
            if (u.abbruchBereit)
                u.abbruchBereit();
            befund = w.Pruefen(z, *q, stand, mitQuelle);
        } else {
            Rueckholauftrag a;
            a.Ziel = z;
            a.Quelle = *q;
            a.Stand = stand;
            a.Nach = FreierPfad(*nach, "zum Wiederherstellen", u);
            a.Fortschritt = hoere;
            a.Stopp = &halt;
            if (u.abbruchBereit)
                u.abbruchBereit();
            befund = w.Zurueckholen(a);
        }
    } catch (const FsFehler& f) {
        u.fehler << f.Bericht() << '\n';
        return ExitFehler;
    }
    // Cut short by the signal: the status a stopped backup ends with. A restore or check that did all its work
    // before the signal was heard ends as it is, with problems or without.
    if (halt && w.Bericht().Angehalten)
        return ExitSignal + *u.abbruchsignal;
    switch (befund) {
    case Befund::Vollstaendig:
        return ExitErfolg;
    case Befund::Probleme:
        return ExitFehler;
    case Befund::Abgelehnt:
        break;
    }
    return ExitAbgelehnt;
}

} // namespace

std::optional<int> Befehlszeile(const std::vector<std::string>& argumente, Befehlszeilenumgebung& u) {
    if (argumente.empty())
        return std::nullopt;

    std::optional<std::string> quelle, ziel, nach, stand, auftrag, zeitlimit, frueher;
    bool probe = false, mitQuelle = false, wieVerzeichnet = false;
    std::string modus; // "", or one of --wiederherstellen, --pruefen, --liste, --aufraeumen
    Behalteregel regel;
    bool regelGegeben = false;
    try {
        for (std::size_t i = 0; i < argumente.size(); ++i) {
            const std::string& a = argumente[i];
            if (a == "--version") {
                u.aus << kennung::Produktname << ' ' << kennung::Major << '.' << kennung::Minor << '.'
                      << kennung::Revision << '\n'
                      << kennung::Beschreibung << '\n'
                      << kennung::Erklaerung1 << "  " << kennung::Erklaerung2 << "  " << '\n'
                      << kennung::Vermerk << '\n';
                return ExitErfolg;
            }
            if (a == "--help" || a == "-h") {
                u.aus << Hilfetext();
                return ExitErfolg;
            }
            if (a == "--probe") {
                probe = true;
                continue;
            }
            if (a == "--mit-quelle") {
                mitQuelle = true;
                continue;
            }
            if (a == "--wie-verzeichnet" || a.starts_with("--wie-verzeichnet=")) {
                if (wieVerzeichnet)
                    throw Fehlerhaft{"--wie-verzeichnet ist mehrfach angegeben."};
                wieVerzeichnet = true;
                if (a.size() > 17)
                    frueher = a.substr(18);
                continue;
            }
            if (a == "--wiederherstellen" || a == "--pruefen" || a == "--liste" || a == "--aufraeumen") {
                if (!modus.empty() && modus != a)
                    throw Fehlerhaft{modus + " und " + a + " schließen einander aus."};
                modus = a;
                continue;
            }
            std::optional<std::string>* ziel_option = nullptr;
            std::string name = a, wert;
            bool wertDabei = false;
            if (const auto gleich = a.find('='); a.starts_with("--") && gleich != std::string::npos) {
                name = a.substr(0, gleich);
                wert = a.substr(gleich + 1);
                wertDabei = true;
            }
            if (name == "--quelle")
                ziel_option = &quelle;
            else if (name == "--ziel")
                ziel_option = &ziel;
            else if (name == "--nach")
                ziel_option = &nach;
            else if (name == "--stand")
                ziel_option = &stand;
            else if (name == "--auftrag")
                ziel_option = &auftrag;
            else if (name == "--zeitlimit")
                ziel_option = &zeitlimit;
            else if (name.starts_with("--behalte-")) {
                std::string teil = name.substr(10);
                for (char& c : teil)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                int* wohin = Behalteteil(regel, teil);
                if (wohin == nullptr)
                    throw Fehlerhaft{"unbekanntes Argument: " + Anzeigetext(a)};
                if (!wertDabei && i + 1 >= argumente.size())
                    throw Fehlerhaft{name + " braucht eine Zahl."};
                const std::string zahl = wertDabei ? wert : argumente[++i];
                const auto n = Behaltezahl(zahl);
                if (!n)
                    throw Fehlerhaft{name + " erwartet eine ganze Zahl von 1 bis 100000, nicht »" + Anzeigetext(zahl) +
                                     "«."};
                if (*wohin != 0)
                    throw Fehlerhaft{name + " ist mehrfach angegeben."};
                *wohin = *n;
                regelGegeben = true;
                continue;
            } else
                throw Fehlerhaft{"unbekanntes Argument: " + Anzeigetext(a)};
            if (!wertDabei) {
                if (i + 1 >= argumente.size())
                    throw Fehlerhaft{name + (name == "--stand"       ? " braucht eine Zeit."
                                             : name == "--auftrag"   ? " braucht einen Namen."
                                             : name == "--zeitlimit" ? " braucht eine Zahl von Sekunden."
                                                                     : " braucht einen Ordner.")};
                wert = argumente[++i];
            }
            if (ziel_option->has_value())
                throw Fehlerhaft{name + " ist mehrfach angegeben."};
            *ziel_option = wert;
        }
        if (auftrag && !modus.empty())
            throw Fehlerhaft{"--auftrag gehört zur Sicherung, nicht zu " + modus + "."};
        if (nach && modus != "--wiederherstellen")
            throw Fehlerhaft{"--nach gehört zu --wiederherstellen."};
        if (stand && modus != "--wiederherstellen" && modus != "--pruefen")
            throw Fehlerhaft{"--stand gehört zu --wiederherstellen oder --pruefen."};
        if (mitQuelle && modus != "--pruefen")
            throw Fehlerhaft{"--mit-quelle gehört zu --pruefen."};
        if (probe && !modus.empty() && modus != "--aufraeumen")
            throw Fehlerhaft{"--probe gehört zur Sicherung oder zu --aufraeumen, nicht zu " + modus + "."};
        if (wieVerzeichnet && modus != "--wiederherstellen" && modus != "--pruefen" && modus != "--liste")
            throw Fehlerhaft{"--wie-verzeichnet gehört zu --wiederherstellen, --pruefen oder --liste; ausgedünnt und"
                             " gesichert wird nur eine Quelle, die da ist."};
        if (regelGegeben && modus != "--aufraeumen")
            throw Fehlerhaft{"--behalte-... gehört zu --aufraeumen."};
        if (zeitlimit && !modus.empty())
            throw Fehlerhaft{"--zeitlimit gehört zur Sicherung, nicht zu " + modus + "."};
        const int sekunden = zeitlimit ? Zeitlimit(*zeitlimit) : StandardZeitlimitSekunden;
        if (u.wachhund != nullptr) {
            if (modus.empty())
                u.wachhund->Grenze(std::chrono::seconds(sekunden));
            else
                u.wachhund->Aus();
        }
        if (!modus.empty()) {
            if (!ziel)
                throw Fehlerhaft{modus + " braucht --ziel."};
            if (modus != "--liste" && !quelle)
                throw Fehlerhaft{modus + " braucht --quelle."};
            if (modus == "--wiederherstellen" && !nach)
                throw Fehlerhaft{"--wiederherstellen braucht --nach."};
            if (modus == "--aufraeumen") {
                if (!regelGegeben)
                    throw Fehlerhaft{"--aufraeumen braucht mindestens eine Regel: --behalte-letzte, --behalte-tage, "
                                     "--behalte-wochen, --behalte-monate oder --behalte-jahre."};
                return Aufraeumen(Ordnerpfad(*ziel, "Ziel", u), FreierPfad(*quelle, "der Quelle", u), regel, probe, u);
            }
            if (wieVerzeichnet && !quelle)
                throw Fehlerhaft{"--wie-verzeichnet braucht --quelle."};
            std::optional<Quellangabe> q;
            if (quelle)
                q = Rueckholquelle(*quelle, frueher, wieVerzeichnet, u);
            return Rueckholung(modus, q, *ziel, nach, stand, mitQuelle, u);
        }
        if (auftrag) {
            if (quelle || ziel)
                throw Fehlerhaft{"--auftrag kann nicht mit --quelle oder --ziel angegeben werden."};
            try {
                const Auftrag a = LadeAuftrag(
                    Auftragsdatei(*auftrag, u.arbeitsordner, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")));
                quelle = a.quelle;
                ziel = a.ziel;
                regel = a.behalte;
            } catch (const Auftragsfehler& f) {
                throw Fehlerhaft{f.what()};
            }
        }
        if (!quelle || !ziel)
            throw Fehlerhaft{"--quelle und --ziel müssen beide angegeben werden."};
        const Pfad q = Ordnerpfad(*quelle, "Quelle", u);
        const Pfad z = Ordnerpfad(*ziel, "Ziel", u);

        Probeergebnis ergebnis;
        Dateisystemfabrik fabrik = u.fabrik;
        if (probe)
            fabrik = [&u, &ergebnis] {
                return std::unique_ptr<Dateisystem>(
                    std::make_unique<Probedateisystem>(u.fabrik(), u.laufwerke, ergebnis));
            };
        Konsolenfenster fenster(u, q, z, probe);
        // A job with a retention rule thins the target after a backup that succeeded.
        const auto Nachher = [&](int ausgang) {
            if (regel.Leer())
                return ausgang;
            if (u.wachhund != nullptr)
                u.wachhund->Aus();
            return Aufraeumen(z, q, regel, probe, u);
        };
        Sicherung sicherung(fenster, u.uhr, fabrik);
        if (!probe)
            sicherung.bestandslaufwerke = u.laufwerke;
        // The dry run reads what the target holds as the run does, so that both name the same files.
        sicherung.indexlaufwerke = u.laufwerke;
        if (u.abbruchBereit)
            u.abbruchBereit();
        // A run that shows no sign of life for the bound is ended, naming its target: the nightly service never
        // hangs for ever on a share whose server stopped answering.
        if (u.wachhund != nullptr) {
            u.wachhund->Meldung("Das Ziel " + Anzeigetext(Anzeige(u, z)) + " antwortet seit " +
                                std::to_string(sekunden) +
                                " Sekunden nicht: der Lauf wird beendet. Was nicht gesichert ist, sichert der "
                                "nächste Lauf.");
            fenster.Bewache(u.wachhund);
        }
        try {
            sicherung.Sichern_Click();
        } catch (const FsFehler& f) {
            fenster.ZeileLeeren();
            u.fehler << f.Bericht(Anzeigetext(f.Path())) << '\n';
            return ExitFehler;
        }
        switch (sicherung.ausgang) {
        case Ausgang::Ueberschneidung:
        case Ausgang::Vorhanden:
            return ExitAbgelehnt;
        case Ausgang::NichtsGefunden:
            return Nachher(ExitErfolg);
        case Ausgang::Erfolg:
        case Ausgang::Fehlschlag:
            break;
        case Ausgang::Offen:
            return ExitFehler;
        case Ausgang::Abgebrochen:
            fenster.ZeileLeeren();
            return ExitSignal + (u.abbruchsignal != nullptr ? *u.abbruchsignal : 0);
        }
        if (probe) {
            for (const auto& o : ergebnis.Ordner)
                u.aus << "Ordner anlegen: " << Anzeigetext(Anzeige(u, o)) << '\n';
            for (const auto& d : ergebnis.Dateien)
                u.aus << "Datei kopieren: " << Anzeigetext(Anzeige(u, d)) << '\n';
            u.aus << "Eine Sicherung würde " << ergebnis.Dateien.size() << " Dateien (" << ergebnis.Bytes
                  << " Bytes) kopieren.\n";
            return Nachher(ExitErfolg);
        }
        return sicherung.ausgang == Ausgang::Erfolg ? Nachher(ExitErfolg) : ExitFehler;
    } catch (const Fehlerhaft& f) {
        u.fehler << Programmname << ": " << Anzeigetext(f.text) << '\n' << "Hilfe: tresor-ix --help\n";
        return ExitAbgelehnt;
    }
}

} // namespace tresor
