#include "fs/ablage/Zustandsdatei.h"

#include "fs/system/Bytes.h"

#include <charconv>
#include <cstdio>

namespace tresor::posix {

namespace {

constexpr std::string_view Kopf = "tresor-ix-zustand 1\n";
constexpr std::uint64_t Anfangswert = 14695981039346656037ull;

bool Maskiert(unsigned char c) {
    return c <= 0x20 || c == 0x7f || c == '%';
}

std::string Maskiere(std::string_view name) {
    std::string aus;
    aus.reserve(name.size());
    for (const char z : name) {
        const auto c = static_cast<unsigned char>(z);
        if (Maskiert(c)) {
            char hex[4];
            (void)std::snprintf(hex, sizeof hex, "%%%02X", c);
            aus += hex;
        } else {
            aus.push_back(z);
        }
    }
    return aus;
}

std::optional<std::string> Demaskiere(std::string_view text) {
    std::string aus;
    aus.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c != '%') {
            if (Maskiert(c))
                return std::nullopt;
            aus.push_back(text[i]);
            continue;
        }
        unsigned int wert = 0;
        if (i + 2 >= text.size())
            return std::nullopt;
        const auto [p, fehler] = std::from_chars(text.data() + i + 1, text.data() + i + 3, wert, 16);
        if (fehler != std::errc() || p != text.data() + i + 3 || !Maskiert(static_cast<unsigned char>(wert)))
            return std::nullopt;
        aus.push_back(static_cast<char>(wert));
        i += 2;
    }
    return aus;
}

} // namespace

std::string ZustandsText(const Zustandsbestand& bestand) {
    std::string text(Kopf);
    for (const auto& [name, vermerk] : bestand) {
        text += Maskiere(name);
        text += '\t';
        text += vermerk;
        text += '\n';
    }
    char ende[64];
    (void)std::snprintf(ende, sizeof ende, "ende %zu %016llx\n", bestand.size(),
                        static_cast<unsigned long long>(Fnv1a(Anfangswert, text)));
    return text + ende;
}

std::optional<Zustandsbestand> LiesZustand(std::string_view text) {
    if (!text.starts_with(Kopf) || !text.ends_with('\n'))
        return std::nullopt;
    // The last line closes the file: count and checksum of everything before it.
    const std::size_t letzte = text.rfind('\n', text.size() - 2);
    if (letzte == std::string_view::npos || letzte + 1 < Kopf.size())
        return std::nullopt;
    const std::string_view rumpf = text.substr(0, letzte + 1);
    const std::string_view schluss = text.substr(letzte + 1);
    std::size_t anzahl = 0;
    unsigned long long summe = 0;
    {
        if (!schluss.starts_with("ende "))
            return std::nullopt;
        const char* p = schluss.data() + 5;
        const char* e = schluss.data() + schluss.size() - 1;
        auto r = std::from_chars(p, e, anzahl, 10);
        if (r.ec != std::errc() || r.ptr == e || *r.ptr != ' ')
            return std::nullopt;
        r = std::from_chars(r.ptr + 1, e, summe, 16);
        if (r.ec != std::errc() || r.ptr != e)
            return std::nullopt;
    }
    if (Fnv1a(Anfangswert, rumpf) != summe)
        return std::nullopt;

    Zustandsbestand bestand;
    std::size_t pos = Kopf.size();
    while (pos < rumpf.size()) {
        const std::size_t ende = rumpf.find('\n', pos);
        const std::string_view zeile = rumpf.substr(pos, ende - pos);
        pos = ende + 1;
        const std::size_t tab = zeile.find('\t');
        if (tab == std::string_view::npos || tab == 0)
            return std::nullopt;
        auto name = Demaskiere(zeile.substr(0, tab));
        if (!name)
            return std::nullopt;
        bestand[*std::move(name)] = std::string(zeile.substr(tab + 1));
    }
    if (bestand.size() != anzahl)
        return std::nullopt;
    return bestand;
}

} // namespace tresor::posix
