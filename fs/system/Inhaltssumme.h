#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tresor {

// The checksum of a file's content as a copy read it: XXH3 of 128 bits over every byte from the first to
// the size, a hole read as the zeros it holds. It tells a copy that changed on its medium since (a block gone
// bad in a drawer, a stick someone wrote to) from the content backed up; it is no seal: whoever may write the
// target may write a record that fits a copy of theirs.
struct Inhaltssumme {
    std::uint64_t Hoch = 0;
    std::uint64_t Tief = 0;
    friend bool operator==(const Inhaltssumme&, const Inhaltssumme&) = default;
};

// 32 lower-case hex digits, the high half first.
std::string InhaltssummeText(const Inhaltssumme& s);
// Reads that form back (exactly 32 hex digits, lower case); nullopt for anything else.
std::optional<Inhaltssumme> LiesInhaltssumme(std::string_view text);

// Sums a content piece by piece, in the order of its bytes.
class Summierer {
public:
    Summierer();
    ~Summierer();
    Summierer(const Summierer&) = delete;
    Summierer& operator=(const Summierer&) = delete;
    // From the beginning again.
    void Neu();
    void Dazu(const void* daten, std::size_t laenge);
    // `laenge` zero bytes: a hole.
    void Nullen(std::uint64_t laenge);
    [[nodiscard]] Inhaltssumme Summe() const;

private:
    struct Zustand;
    std::unique_ptr<Zustand> z_;
};

} // namespace tresor
