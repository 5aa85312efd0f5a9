#include "engine/bestand/Anzeigetext.h"

#include <cstdio>

namespace tresor {

namespace {

void Maskiere(std::string& aus, unsigned char c) {
    char text[8];
    (void)std::snprintf(text, sizeof text, "\\x%02x", c);
    aus += text;
}

// The length of the valid UTF-8 sequence at the start of `t`, or 0 when none starts there.
std::size_t Utf8Laenge(std::string_view t) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(t[i]); };
    const auto folge = [&](std::size_t i) { return i < t.size() && (b(i) & 0xc0) == 0x80; };
    const unsigned char c = b(0);
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf)
        return folge(1) ? 2 : 0;
    if (c >= 0xe0 && c <= 0xef) {
        if (!folge(1) || !folge(2))
            return 0;
        if ((c == 0xe0 && b(1) < 0xa0) || (c == 0xed && b(1) > 0x9f)) // overlong, surrogates
            return 0;
        return 3;
    }
    if (c >= 0xf0 && c <= 0xf4) {
        if (!folge(1) || !folge(2) || !folge(3))
            return 0;
        if ((c == 0xf0 && b(1) < 0x90) || (c == 0xf4 && b(1) > 0x8f))
            return 0;
        return 4;
    }
    return 0;
}

} // namespace

std::string Anzeigetext(std::string_view text) {
    std::string aus;
    aus.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = Utf8Laenge(text.substr(i));
        const auto c = static_cast<unsigned char>(text[i]);
        const bool steuer = (n == 1 && (c < 0x20 || c == 0x7f)) ||
                            (n == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0);
        if (n == 0 || steuer) {
            for (std::size_t k = 0; k < (n == 0 ? 1 : n); ++k)
                Maskiere(aus, static_cast<unsigned char>(text[i + k]));
            i += n == 0 ? 1 : n;
            continue;
        }
        aus.append(text.substr(i, n));
        i += n;
    }
    return aus;
}

} // namespace tresor
