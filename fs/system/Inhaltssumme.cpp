// The content checksum (see Inhaltssumme.h), on the xxHash library's XXH3.
#include "fs/system/Inhaltssumme.h"

#include <xxhash.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <new>

namespace tresor {

struct Summierer::Zustand {
    XXH3_state_t* s = nullptr;
};

Summierer::Summierer() : z_(std::make_unique<Zustand>()) {
    z_->s = XXH3_createState();
    if (z_->s == nullptr)
        throw std::bad_alloc();
    Neu();
}

Summierer::~Summierer() {
    XXH3_freeState(z_->s);
}

void Summierer::Neu() {
    (void)XXH3_128bits_reset(z_->s);
}

void Summierer::Dazu(const void* daten, std::size_t laenge) {
    if (laenge != 0)
        (void)XXH3_128bits_update(z_->s, daten, laenge);
}

void Summierer::Nullen(std::uint64_t laenge) {
    static constexpr std::array<char, 65536> null{};
    while (laenge != 0) {
        const std::size_t n = std::min<std::uint64_t>(laenge, null.size());
        Dazu(null.data(), n);
        laenge -= n;
    }
}

Inhaltssumme Summierer::Summe() const {
    const XXH128_hash_t h = XXH3_128bits_digest(z_->s);
    return {h.high64, h.low64};
}

std::string InhaltssummeText(const Inhaltssumme& s) {
    std::string text(32, '0');
    auto haelfte = [&](std::uint64_t wert, std::size_t ab) {
        for (std::size_t i = 0; i < 16; ++i, wert >>= 4)
            text[ab + 15 - i] = "0123456789abcdef"[wert & 0xf];
    };
    haelfte(s.Hoch, 0);
    haelfte(s.Tief, 16);
    return text;
}

std::optional<Inhaltssumme> LiesInhaltssumme(std::string_view text) {
    if (text.size() != 32)
        return std::nullopt;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
        return std::nullopt;
    Inhaltssumme s;
    std::from_chars(text.data(), text.data() + 16, s.Hoch, 16);
    std::from_chars(text.data() + 16, text.data() + 32, s.Tief, 16);
    return s;
}

} // namespace tresor
