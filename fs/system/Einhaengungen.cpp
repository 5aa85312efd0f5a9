#include "fs/system/Einhaengungen.h"

#include <sys/sysmacros.h>

#include <charconv>
#include <fstream>
#include <sstream>

namespace tresor::posix {

namespace {

// True when `pfad` is `ordner` or lies below it.
bool Deckt(std::string_view ordner, std::string_view pfad) {
    if (ordner == "/")
        return pfad.starts_with('/');
    return pfad.starts_with(ordner) && (pfad.size() == ordner.size() || pfad[ordner.size()] == '/');
}

} // namespace

std::string Mounttabellenfeld(std::string_view feld) {
    std::string aus;
    aus.reserve(feld.size());
    auto oktal = [](char c) { return c >= '0' && c <= '7'; };
    for (std::size_t i = 0; i < feld.size(); ++i) {
        if (feld[i] == '\\' && i + 3 < feld.size() && oktal(feld[i + 1]) && oktal(feld[i + 2]) && oktal(feld[i + 3])) {
            aus.push_back(static_cast<char>((feld[i + 1] - '0') * 64 + (feld[i + 2] - '0') * 8 + (feld[i + 3] - '0')));
            i += 3;
        } else {
            aus.push_back(feld[i]);
        }
    }
    return aus;
}

Einhaengungen::Einhaengungen(std::string_view mountinfo) {
    std::size_t anfang = 0;
    while (anfang < mountinfo.size()) {
        std::size_t ende = mountinfo.find('\n', anfang);
        if (ende == std::string_view::npos)
            ende = mountinfo.size();
        const std::string_view zeile = mountinfo.substr(anfang, ende - anfang);
        anfang = ende + 1;
        // ID, parent ID, major:minor, root, mount point, options, [optional fields,] "-", type, source, options
        std::vector<std::string_view> felder;
        std::size_t p = 0;
        while (p < zeile.size()) {
            const std::size_t q = zeile.find(' ', p);
            felder.push_back(zeile.substr(p, q == std::string_view::npos ? std::string_view::npos : q - p));
            if (q == std::string_view::npos)
                break;
            p = q + 1;
        }
        if (felder.size() < 5 || !felder[3].starts_with('/') || !felder[4].starts_with('/'))
            continue;
        Einhaengung e{Mounttabellenfeld(felder[3]), Mounttabellenfeld(felder[4]), 0, {}};
        unsigned haupt = 0;
        unsigned neben = 0;
        const std::string_view nummer = felder[2];
        const std::size_t doppelpunkt = nummer.find(':');
        if (doppelpunkt != std::string_view::npos &&
            std::from_chars(nummer.data(), nummer.data() + doppelpunkt, haupt).ec == std::errc{} &&
            std::from_chars(nummer.data() + doppelpunkt + 1, nummer.data() + nummer.size(), neben).ec == std::errc{})
            e.Geraet = makedev(haupt, neben);
        for (std::size_t i = 6; i + 1 < felder.size(); ++i)
            if (felder[i] == "-") {
                e.Dateisystem.Typ = Mounttabellenfeld(felder[i + 1]);
                if (i + 3 < felder.size())
                    e.Dateisystem.Optionen = Mounttabellenfeld(felder[i + 3]);
                break;
            }
        liste_.push_back(std::move(e));
    }
}

Einhaengungen Einhaengungen::AusSystem() {
    std::ifstream ein("/proc/self/mountinfo");
    std::ostringstream text;
    text << ein.rdbuf();
    return Einhaengungen(text.str());
}

std::string Einhaengungen::ImDateisystem(std::string_view posix) const {
    const Einhaengung* beste = nullptr;
    for (const Einhaengung& e : liste_)
        if (Deckt(e.Punkt, posix) && (beste == nullptr || e.Punkt.size() >= beste->Punkt.size()))
            beste = &e;
    if (beste == nullptr)
        return std::string(posix);
    std::string_view rest = posix.substr(beste->Punkt == "/" ? 0 : beste->Punkt.size());
    if (beste->Wurzel == "/")
        return rest.empty() ? std::string("/") : std::string(rest);
    return beste->Wurzel + std::string(rest);
}

std::optional<Einhaengungen::Art> Einhaengungen::ArtVon(dev_t geraet) const {
    // The later of several mounts of one device decides, as in ImDateisystem; they share their file system.
    for (auto e = liste_.rbegin(); e != liste_.rend(); ++e)
        if (e->Geraet == geraet && !e->Dateisystem.Typ.empty())
            return e->Dateisystem;
    return std::nullopt;
}

} // namespace tresor::posix
