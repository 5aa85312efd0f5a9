#pragma once

#include "engine/ausduennung/Ausduennung.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tresor::ausduennung {

// What a thinning leaves, named for the user as it is met (Rest): every leftover that is a whole backup folder
// or the plan, and of each backup folder the first Namentlich paths; the further paths of a folder are counted
// in one entry of that folder ("… und N weitere."), so that a damaged backup of millions of files gives a list
// of a few lines, not one a file.
class Restsammlung {
public:
    static constexpr std::size_t Namentlich = 10;

    // Appends to `reste`, which nothing else changes while this collects into it.
    explicit Restsammlung(std::vector<Rest>& reste) : reste_(reste) {}
    Restsammlung(const Restsammlung&) = delete;
    Restsammlung& operator=(const Restsammlung&) = delete;

    void Neu(const std::string& ordner, const std::string& pfad, const std::string& grund);

private:
    struct Ordnerstand {
        std::size_t Genannt = 0;    // paths named
        std::uint64_t Weitere = 0;  // paths counted
        std::size_t Zaehlzeile = 0; // the entry that counts them, once there is one
    };
    std::vector<Rest>& reste_;
    std::map<std::string, Ordnerstand> je_;
};

// The reason of the entry that counts `weitere` paths of a folder not named.
std::string WeitereReste(std::uint64_t weitere);

} // namespace tresor::ausduennung
