#pragma once

// A snapshot of a folder tree for comparing restores with what was backed up: each entry's kind, mode, time,
// owner, content (a link's target) and the hidden and system bits of user.DOSATTRIB. This walk shares no
// code with the program.

#include <cstdint>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>

namespace tresor::test {

// One entry of a snapshot: what a restore must give back.
struct Schnappeintrag {
    char Art = '?'; // O folder, D file, V link
    unsigned Modus = 0;
    std::int64_t MtimeNs = 0;
    unsigned Uid = 0, Gid = 0;
    std::string Inhalt; // a file's bytes, a link's target
    int Dos = 0;        // hidden and system bits of user.DOSATTRIB
    bool operator==(const Schnappeintrag&) const = default;
};
using Schnappschuss = std::map<std::string, Schnappeintrag>;

std::ostream& operator<<(std::ostream& o, const Schnappeintrag& e);
// Names the differences of two snapshots, one line each, for a readable failure; empty when they are equal.
std::string Unterschiede(const Schnappschuss& soll, const Schnappschuss& ist);
// The snapshot of the tree below `wurzel`, the folder itself as ".".
Schnappschuss Schnappe(const std::filesystem::path& wurzel);

} // namespace tresor::test
