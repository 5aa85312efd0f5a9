// The plan's text in the target (see Bestandsaufnahme.h).
//
//   tresor-ix-ausduennung 1
//   quelle D:\home\anna\Daten                       the source in the program's form
//   posix /home/anna/Daten                          and as a POSIX path when the plan was made
//   bleibt Sicherung-2026-12-08--10-15-02           each kept backup folder (for the reader)
//   geht Sicherung-2026-12-01--10-15-02             each backup folder to be removed
//   zieht Sicherung-2026-12-01--10-15-02 Sicherung-2026-12-08--10-15-02 1835 Briefe/a.txt
//                                                   a copy moved: from, into, bytes, path in the source
//   bestand Sicherung-2026-12-08--10-15-02          a kept point whose record is rewritten
//   frei 123456                                     the bytes the removal frees
//   ende 7 8c1f0e5d2b7a9c31                         number of lines after the head and the checksum
// Escaped like the record of the source (Maskiere); the checksum is FNV-1a over every byte before "ende".
#include "engine/ausduennung/Bestandsaufnahme.h"

#include "engine/bestand/Sicherungsfolge.h"

#include <charconv>
#include <cstdio>

namespace tresor::ausduennung {

namespace {

const char* const Kopf = "tresor-ix-ausduennung 1";

std::vector<std::string_view> Felder(std::string_view zeile) {
    std::vector<std::string_view> felder;
    std::size_t anfang = 0;
    for (;;) {
        const std::size_t schluss = zeile.find(' ', anfang);
        felder.push_back(zeile.substr(anfang, schluss - anfang));
        if (schluss == std::string_view::npos)
            return felder;
        anfang = schluss + 1;
    }
}

bool Zahl(std::string_view text, std::uint64_t& wert) {
    const auto [ende, fehler] = std::from_chars(text.data(), text.data() + text.size(), wert);
    return fehler == std::errc() && ende == text.data() + text.size() && !text.empty();
}

// A path relative to the source: names joined by "/", none empty, "." or "..".
bool IstRelativ(std::string_view pfad) {
    if (pfad.empty() || pfad.find('\0') != std::string_view::npos)
        return false;
    std::size_t anfang = 0;
    for (;;) {
        const std::size_t schluss = std::min(pfad.find('/', anfang), pfad.size());
        const std::string_view name = pfad.substr(anfang, schluss - anfang);
        if (name.empty() || name == "." || name == "..")
            return false;
        if (schluss == pfad.size())
            return true;
        anfang = schluss + 1;
    }
}

} // namespace

std::string SchreibePlan(const Ausduennungsplan& plan, const std::string& quellePosix) {
    std::string text = std::string(Kopf) + "\n";
    std::size_t zeilen = 0;
    const auto zeile = [&](const std::string& z) {
        text += z + "\n";
        ++zeilen;
    };
    zeile("quelle " + Maskiere(plan.Quelle));
    zeile("posix " + Maskiere(quellePosix));
    for (const std::string& b : plan.Bleiben)
        zeile("bleibt " + b);
    for (const std::string& g : plan.Gehen)
        zeile("geht " + g);
    for (const Verschiebung& v : plan.Verschiebungen)
        zeile("zieht " + v.Von + " " + v.Nach + " " + std::to_string(v.Bytes) + " " + Maskiere(v.Pfad));
    for (const std::string& b : plan.NeueBestaende)
        zeile("bestand " + b);
    zeile("frei " + std::to_string(plan.FreieBytes));
    char pruefsumme[32];
    std::snprintf(pruefsumme, sizeof pruefsumme, "%016llx", static_cast<unsigned long long>(Fnv1a(text)));
    text += "ende " + std::to_string(zeilen) + " " + pruefsumme + "\n";
    return text;
}

std::variant<GelesenerPlan, std::string> LiesPlan(std::string_view text) {
    const std::string kaputt = "Der Plan ist nicht vollständig oder nicht von diesem Programm.";
    const std::size_t letzte = text.size() >= 2 ? text.rfind('\n', text.size() - 2) : std::string_view::npos;
    if (text.empty() || text.back() != '\n' || letzte == std::string_view::npos)
        return kaputt;
    const std::string_view koerper = text.substr(0, letzte + 1);
    const auto schluss = Felder(text.substr(letzte + 1, text.size() - letzte - 2));
    char pruefsumme[32];
    std::snprintf(pruefsumme, sizeof pruefsumme, "%016llx", static_cast<unsigned long long>(Fnv1a(koerper)));
    std::uint64_t anzahl = 0;
    if (schluss.size() != 3 || schluss[0] != "ende" || !Zahl(schluss[1], anzahl) || schluss[2] != pruefsumme)
        return kaputt;
    GelesenerPlan gelesen;
    Ausduennungsplan& plan = gelesen.Plan;
    std::size_t anfang = 0;
    std::uint64_t zeilen = 0;
    bool kopf = true;
    bool quelle = false;
    while (anfang < koerper.size()) {
        const std::size_t ende = koerper.find('\n', anfang);
        const std::string_view zeile = koerper.substr(anfang, ende - anfang);
        anfang = ende + 1;
        if (kopf) {
            if (zeile != Kopf)
                return kaputt;
            kopf = false;
            continue;
        }
        ++zeilen;
        const auto f = Felder(zeile);
        const auto ordner = [](std::string_view n) { return IstSicherungsordnername(n); };
        if (f.size() == 2 && f[0] == "quelle") {
            const auto q = Demaskiere(f[1]);
            if (!q || !IstProgrammpfad(*q))
                return kaputt;
            plan.Quelle = *q;
            quelle = true;
        } else if (f.size() == 2 && f[0] == "posix") {
            const auto p = Demaskiere(f[1]);
            if (!p)
                return kaputt;
            gelesen.QuellePosix = *p;
        } else if (f.size() == 2 && (f[0] == "bleibt" || f[0] == "geht" || f[0] == "bestand") && ordner(f[1])) {
            (f[0] == "bleibt" ? plan.Bleiben : f[0] == "geht" ? plan.Gehen : plan.NeueBestaende).emplace_back(f[1]);
        } else if (f.size() == 5 && f[0] == "zieht" && ordner(f[1]) && ordner(f[2])) {
            Verschiebung v;
            v.Von = f[1];
            v.Nach = f[2];
            const auto p = Demaskiere(f[4]);
            if (!Zahl(f[3], v.Bytes) || !p || !IstRelativ(*p))
                return kaputt;
            v.Pfad = *p;
            plan.Verschiebungen.push_back(std::move(v));
        } else if (f.size() == 2 && f[0] == "frei") {
            if (!Zahl(f[1], plan.FreieBytes))
                return kaputt;
        } else {
            return kaputt;
        }
    }
    if (kopf || !quelle || zeilen != anzahl)
        return kaputt;
    return gelesen;
}

} // namespace tresor::ausduennung
