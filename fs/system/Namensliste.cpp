#include "fs/system/Namensliste.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace tresor::posix {

void Namensliste::Hinzu(std::string_view name) {
    if (zeichen_.size() + name.size() + 1 > std::numeric_limits<std::uint32_t>::max() ||
        anfaenge_.size() >= std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("Namensliste");
    anfaenge_.push_back(static_cast<std::uint32_t>(zeichen_.size()));
    zeichen_.append(name);
    zeichen_.push_back('\0');
}

std::vector<std::uint32_t> Namensliste::Sortiere() {
    std::vector<std::uint32_t> folge(anfaenge_.size());
    std::iota(folge.begin(), folge.end(), 0U);
    // strcmp compares as unsigned char: byte order (no name holds a NUL byte).
    std::sort(folge.begin(), folge.end(),
              [this](std::uint32_t a, std::uint32_t b) { return std::strcmp(CName(a), CName(b)) < 0; });
    std::vector<std::uint32_t> anfaenge(folge.size());
    for (std::size_t i = 0; i < folge.size(); ++i)
        anfaenge[i] = anfaenge_[folge[i]];
    anfaenge_ = std::move(anfaenge);
    return folge;
}

std::size_t Namensliste::Suche(std::string_view name) const {
    std::size_t unten = 0;
    std::size_t oben = size();
    while (unten < oben) {
        const std::size_t mitte = unten + (oben - unten) / 2;
        if ((*this)[mitte] < name)
            unten = mitte + 1;
        else
            oben = mitte;
    }
    return unten < size() && (*this)[unten] == name ? unten : size();
}

void Namensliste::Straffe() {
    zeichen_.shrink_to_fit();
    anfaenge_.shrink_to_fit();
}

} // namespace tresor::posix
