#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tresor::posix {

// The names of a folder's entries held compactly: all of them in one buffer, each ended by a NUL byte (so that
// each is a C string for a system call as well), and where each begins. A folder of hundreds of thousands of
// files costs its names' bytes and five more per name, not a string object and an allocation per name. Sorted,
// the names stay where they were written and only the list of where each begins is put in order.
class Namensliste {
public:
    // Appends a name (which holds no NUL byte). Throws std::length_error past 4 GiB of names.
    void Hinzu(std::string_view name);
    [[nodiscard]] std::size_t size() const { return anfaenge_.size(); }
    [[nodiscard]] bool empty() const { return anfaenge_.empty(); }
    [[nodiscard]] std::string_view operator[](std::size_t i) const { return CName(i); }
    [[nodiscard]] const char* CName(std::size_t i) const { return zeichen_.data() + anfaenge_[i]; }
    // Puts the names in byte order. Returns where each name now in place i stood before, so that values kept
    // beside the names can follow them.
    std::vector<std::uint32_t> Sortiere();
    // The index of the name in a list in byte order, or size() where it is not there.
    [[nodiscard]] std::size_t Suche(std::string_view name) const;
    // Makes room for `anzahl` names of `zeichen` bytes in all (their NUL bytes not counted).
    void Reserviere(std::size_t zeichen, std::size_t anzahl) {
        zeichen_.reserve(zeichen + anzahl);
        anfaenge_.reserve(anzahl);
    }
    // Gives back what appending left unused.
    void Straffe();

private:
    std::string zeichen_;
    std::vector<std::uint32_t> anfaenge_;
};

} // namespace tresor::posix
