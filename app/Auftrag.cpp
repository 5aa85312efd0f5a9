#include "app/Auftrag.h"

#include "app/Aufraeumen.h"
#include "fs/FsFehler.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <optional>
#include <vector>

namespace tresor {

namespace {

constexpr std::size_t Hoechstgroesse = 64 * 1024;

std::string Zeilenfehler(std::size_t nummer, const std::string& text) {
    return "Zeile " + std::to_string(nummer) + ": " + text;
}

bool Leerzeichen(char c) {
    return c == ' ' || c == '\t';
}

bool Ordnerangabe(const std::string& wert) {
    const bool laufwerksform =
        wert.size() >= 3 && std::isalpha(static_cast<unsigned char>(wert[0])) && wert[1] == ':' && wert[2] == '\\';
    return laufwerksform || wert.starts_with('/');
}

std::string Heimordner(const char* home) {
    if (home && home[0] == '/')
        return home;
    // A service started without HOME still knows its user.
    std::vector<char> puffer(16384);
    passwd eintrag{};
    passwd* gefunden = nullptr;
    if (getpwuid_r(getuid(), &eintrag, puffer.data(), puffer.size(), &gefunden) == 0 && gefunden && gefunden->pw_dir &&
        gefunden->pw_dir[0] == '/')
        return gefunden->pw_dir;
    throw Auftragsfehler("Der Ordner der Aufträge ist unbekannt: weder XDG_CONFIG_HOME noch HOME ist gesetzt.");
}

} // namespace

std::filesystem::path Auftragsordner(const char* xdgConfigHome, const char* home) {
    if (xdgConfigHome && xdgConfigHome[0] == '/')
        return std::filesystem::path(xdgConfigHome) / "tresor-ix";
    return std::filesystem::path(Heimordner(home)) / ".config" / "tresor-ix";
}

std::filesystem::path Auftragsdatei(const std::string& angabe, const std::string& arbeitsordner,
                                    const char* xdgConfigHome, const char* home) {
    if (angabe.find('/') != std::string::npos) {
        const std::filesystem::path datei = angabe;
        return datei.is_absolute() ? datei : std::filesystem::path(arbeitsordner) / datei;
    }
    if (angabe.empty())
        throw Auftragsfehler("Der Name des Auftrags ist leer.");
    // No name reaches out of the folder (".."), nor a hidden file.
    if (angabe.starts_with('.'))
        throw Auftragsfehler("Der Name des Auftrags »" + angabe + "« darf nicht mit einem Punkt beginnen.");
    return Auftragsordner(xdgConfigHome, home) / (angabe + ".conf");
}

Auftrag LiesAuftrag(std::string_view text) {
    std::optional<std::string> quelle, ziel;
    Behalteregel behalte;
    std::size_t nummer = 0;
    while (!text.empty()) {
        ++nummer;
        const std::size_t ende = text.find('\n');
        const std::string_view zeile = text.substr(0, ende);
        text = ende == std::string_view::npos ? std::string_view{} : text.substr(ende + 1);

        if (zeile.find('\0') != std::string_view::npos)
            throw Auftragsfehler(Zeilenfehler(nummer, "die Zeile enthält ein Nullzeichen."));
        std::size_t erstes = 0;
        while (erstes < zeile.size() && Leerzeichen(zeile[erstes]))
            ++erstes;
        if (erstes == zeile.size() || zeile[erstes] == '#')
            continue;
        if (zeile.back() == '\r')
            throw Auftragsfehler(
                Zeilenfehler(nummer, "die Zeile endet mit einem Wagenrücklauf (Zeilenende im Windows-Format)."));

        const std::size_t gleich = zeile.find('=');
        const std::string_view schluessel = zeile.substr(0, gleich);
        if (gleich != std::string_view::npos && schluessel.starts_with("BEHALTE_") &&
            Behalteteil(behalte, schluessel.substr(8)) != nullptr) {
            int* teil = Behalteteil(behalte, schluessel.substr(8));
            const auto zahl = Behaltezahl(zeile.substr(gleich + 1));
            if (*teil != 0)
                throw Auftragsfehler(Zeilenfehler(nummer, std::string(schluessel) + " ist mehrfach angegeben."));
            if (!zahl)
                throw Auftragsfehler(
                    Zeilenfehler(nummer, std::string(schluessel) + " erwartet eine ganze Zahl von 1 bis 100000."));
            *teil = *zahl;
            continue;
        }
        std::optional<std::string>* ziel_eintrag = nullptr;
        if (gleich != std::string_view::npos && schluessel == "QUELLE")
            ziel_eintrag = &quelle;
        else if (gleich != std::string_view::npos && schluessel == "ZIEL")
            ziel_eintrag = &ziel;
        else
            throw Auftragsfehler(Zeilenfehler(nummer, "unbekannter Eintrag; erwartet wird QUELLE=ORDNER, "
                                                      "ZIEL=ORDNER oder BEHALTE_...=ZAHL am Anfang der Zeile."));
        if (ziel_eintrag->has_value())
            throw Auftragsfehler(Zeilenfehler(nummer, std::string(schluessel) + " ist mehrfach angegeben."));
        std::string wert(zeile.substr(gleich + 1));
        if (wert.empty())
            throw Auftragsfehler(Zeilenfehler(nummer, "der Ordner ist leer."));
        if (!Ordnerangabe(wert))
            throw Auftragsfehler(Zeilenfehler(nummer, "der Ordner muss ein absoluter Pfad (/home/anna/Daten) "
                                                      "oder ein Laufwerkspfad (D:\\Daten) sein."));
        *ziel_eintrag = std::move(wert);
    }
    if (!quelle)
        throw Auftragsfehler("Es fehlt die Zeile QUELLE=ORDNER.");
    if (!ziel)
        throw Auftragsfehler("Es fehlt die Zeile ZIEL=ORDNER.");
    return {std::move(*quelle), std::move(*ziel), behalte};
}

Auftrag LadeAuftrag(const std::filesystem::path& datei) {
    const std::string wer = "Die Auftragsdatei »" + datei.string() + "«";
    // Never through a link: a job names what is read and where it is written, so it is taken only from a
    // file that the user (or root) owns and nobody else can change.
    const int fd = open(datei.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT)
            throw Auftragsfehler(wer + " existiert nicht.");
        if (errno == ELOOP)
            throw Auftragsfehler(wer + " ist eine symbolische Verknüpfung; gelesen wird nur die Datei selbst.");
        throw Auftragsfehler(
            wer + " kann nicht gelesen werden: " + Fehlertext(std::error_code(errno, std::generic_category())) + ".");
    }
    std::string text;
    int fehler = 0;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        fehler = errno;
    } else if (!S_ISREG(st.st_mode)) {
        close(fd);
        throw Auftragsfehler(wer + " ist keine gewöhnliche Datei.");
    } else if (st.st_uid != geteuid() && st.st_uid != 0) {
        close(fd);
        throw Auftragsfehler(wer + " gehört einem anderen Benutzer (Nummer " + std::to_string(st.st_uid) +
                             "); ein Auftrag gilt nur aus einer eigenen Datei.");
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        throw Auftragsfehler(wer + " ist für andere Benutzer schreibbar; sie darf nur ihrem Besitzer schreibbar "
                                   "sein (chmod go-w).");
    } else {
        char puffer[8192];
        while (text.size() <= Hoechstgroesse) {
            const ssize_t n = read(fd, puffer, sizeof puffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fehler = errno;
            if (n <= 0)
                break;
            text.append(puffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    if (fehler != 0)
        throw Auftragsfehler(
            wer + " kann nicht gelesen werden: " + Fehlertext(std::error_code(fehler, std::generic_category())) + ".");
    if (text.size() > Hoechstgroesse)
        throw Auftragsfehler(wer + " ist größer als 64 KiB.");
    try {
        return LiesAuftrag(text);
    } catch (const Auftragsfehler& f) {
        const std::string grund = f.what();
        throw Auftragsfehler(wer + (grund.starts_with("Zeile") ? ", " : ": ") + grund);
    }
}

} // namespace tresor
