// Folders and sources given on the command line (see Ordnerangabe.h).
#include "app/Ordnerangabe.h"

#include "engine/bestand/Anzeigetext.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <vector>

namespace tresor {

// Whether the text is a path in the program's form: a drive letter, a colon and a backslash (or a slash).
bool Laufwerksform(const std::string& angabe) {
    return angabe.size() >= 3 && std::isalpha(static_cast<unsigned char>(angabe[0])) && angabe[1] == ':' &&
           (angabe[2] == '\\' || angabe[2] == '/');
}

// A path in the program's form as the folder it names: the drive letter in upper case, "/" as separator
// where the whole path is written with it, "." left out and ".." taking back the name before it, empty names
// and trailing separators dropped. So "C:\tmp\.\Daten", "C:\tmp\Daten\..\Daten" and "C:/tmp/Daten" are
// "C:\tmp\Daten". Refused (Fehlerhaft, naming `wer`): a path that mixes both separators (in the program's
// form "/" stands for a backslash inside a name) and one whose ".." would leave the drive.
Pfad OhnePunkte(const std::string& angabe, const std::string& wer) {
    std::string text = angabe;
    if (text[2] == '/') {
        if (text.find('\\') != std::string::npos)
            throw Fehlerhaft{wer + " mischt »/« und »\\« als Trenner."};
        for (char& c : text)
            if (c == '/')
                c = '\\';
    }
    std::vector<std::string> namen;
    std::size_t pos = 3;
    while (pos <= text.size()) {
        std::size_t ende = text.find('\\', pos);
        if (ende == std::string::npos)
            ende = text.size();
        const std::string name = text.substr(pos, ende - pos);
        if (name == "..") {
            if (namen.empty())
                throw Fehlerhaft{wer + " führt mit »..« über das Laufwerk hinaus."};
            namen.pop_back();
        } else if (!name.empty() && name != ".") {
            namen.push_back(name);
        }
        pos = ende + 1;
    }
    Pfad pfad = text.substr(0, 3);
    pfad[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(pfad[0])));
    for (std::size_t i = 0; i < namen.size(); ++i)
        pfad += (i == 0 ? "" : "\\") + namen[i];
    return pfad;
}

Pfad Ordnerpfad(const std::string& angabe, const char* rolle, const Befehlszeilenumgebung& u) {
    const std::string wer = std::string("Der Ordner der ") + rolle + " »" + angabe + "«";
    Pfad pfad;
    std::string posix;
    if (Laufwerksform(angabe)) {
        pfad = OhnePunkte(angabe, wer);
        const auto p = u.laufwerke.ZuPosix(pfad);
        if (!p)
            throw Fehlerhaft{wer + " liegt auf keinem Laufwerk."};
        posix = *p;
        // ".." takes back the name before it as the system does only where that name is no symbolic link:
        // the folder the system reaches must be the one named without the dots.
        if (angabe.find("..") != std::string::npos) {
            Pfad gegeben = angabe;
            gegeben[0] = pfad[0];
            if (gegeben[2] == '/')
                std::replace(gegeben.begin(), gegeben.end(), '/', '\\');
            const auto wie = u.laufwerke.ZuPosix(gegeben);
            struct stat ohne {
            }, mit{};
            if (wie && (::stat(posix.c_str(), &ohne) != 0 || ::stat(std::string(*wie).c_str(), &mit) != 0 ||
                        ohne.st_dev != mit.st_dev || ohne.st_ino != mit.st_ino))
                throw Fehlerhaft{wer +
                                 " ist mit »..« nicht derselbe Ordner wie ohne; bitte ohne ».« und »..« angeben."};
        }
    } else {
        if (angabe.empty())
            throw Fehlerhaft{std::string("Die ") + rolle + " ist leer."};
        std::filesystem::path p = angabe;
        if (p.is_relative())
            p = std::filesystem::path(u.arbeitsordner) / p;
        std::error_code ec;
        const auto echt = std::filesystem::canonical(p, ec);
        if (ec)
            throw Fehlerhaft{wer + " existiert nicht."};
        posix = echt.string();
        const auto q = u.laufwerke.AusPosix(posix);
        if (!q)
            throw Fehlerhaft{wer + " liegt auf keinem Laufwerk."};
        pfad = *q;
    }
    struct stat st {};
    if (lstat(posix.c_str(), &st) != 0)
        throw Fehlerhaft{wer + " existiert nicht."};
    if (!S_ISDIR(st.st_mode))
        throw Fehlerhaft{wer + " ist kein Ordner."};
    return pfad;
}

// A path given on the command line that need not exist (a source that is gone, a folder to restore into),
// in program form. A POSIX path counts from the working folder; the links of the part that exists are
// resolved, as for an existing folder. A source (`ohneLaufwerk`) may be given in program form on a drive
// that is not there: its disk unplugged or dead, it is asked for as the listing names it.
Pfad FreierPfad(const std::string& angabe, const char* rolle, const Befehlszeilenumgebung& u, bool ohneLaufwerk) {
    const std::string wer = std::string("Der Ordner ") + rolle + " »" + Anzeigetext(angabe) + "«";
    if (angabe.empty())
        throw Fehlerhaft{std::string("Der Ordner ") + rolle + " ist leer."};
    if (Laufwerksform(angabe)) {
        const Pfad pfad = OhnePunkte(angabe, wer);
        if (!ohneLaufwerk && !u.laufwerke.ZuPosix(pfad))
            throw Fehlerhaft{wer + " liegt auf keinem Laufwerk."};
        return pfad;
    }
    std::filesystem::path p = angabe;
    if (p.is_relative())
        p = std::filesystem::path(u.arbeitsordner) / p;
    std::error_code ec;
    auto echt = std::filesystem::weakly_canonical(p, ec);
    if (ec)
        throw Fehlerhaft{wer + " ist nicht erreichbar."};
    std::string posix = echt.lexically_normal().string();
    while (posix.size() > 1 && posix.back() == '/')
        posix.pop_back();
    const auto q = u.laufwerke.AusPosix(posix);
    if (!q)
        throw Fehlerhaft{wer + " liegt auf keinem Laufwerk."};
    return *q;
}

// The source of --wiederherstellen, --pruefen or --liste. With --wie-verzeichnet (`frueher`: its value, the place
// the source had, where given) it is taken as its records name it: only in the program's form, as the listing
// shows it, for a POSIX path would name a folder of today.
Quellangabe Rueckholquelle(const std::string& quelle, const std::optional<std::string>& frueher, bool wieVerzeichnet,
                           const Befehlszeilenumgebung& u) {
    if (!wieVerzeichnet)
        return FreierPfad(quelle, "der Quelle", u, true);
    if (!Laufwerksform(quelle))
        throw Fehlerhaft{
            "Mit --wie-verzeichnet wird die Quelle so angegeben, wie --liste sie nennt (E:\\Fotos), nicht »" +
            Anzeigetext(quelle) + "«."};
    Quellangabe angabe(FreierPfad(quelle, "der Quelle", u, true), {});
    if (frueher) {
        std::string posix = std::filesystem::path(*frueher).lexically_normal().string();
        while (posix.size() > 1 && posix.back() == '/')
            posix.pop_back();
        if (!posix.starts_with('/') || posix.find('\0') != std::string::npos)
            throw Fehlerhaft{"--wie-verzeichnet= erwartet den früheren Linux-Pfad der Quelle (/data/Fotos), nicht »" +
                             Anzeigetext(*frueher) + "«."};
        angabe.Posix = posix;
    }
    return angabe;
}

} // namespace tresor
