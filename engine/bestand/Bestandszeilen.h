#pragma once

#include "engine/bestand/Bestandsleser.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tresor {

// The lines of a record between two places, read a piece at a time, with the checksum carried over them
// (Bestandsleser's buffer: a few pieces, never the record).
class Bestandszeilen {
public:
    enum class Art { Gut, ZuLang, Kurz };
    // A piece read at a time, and the longest line a record may hold (a path and a link target of 4096
    // bytes, each escaped, are far shorter).
    static constexpr std::size_t Stueck = std::size_t{1} << 16;
    static constexpr std::size_t LaengsteZeile = std::size_t{1} << 20;

    explicit Bestandszeilen(std::unique_ptr<Bestandsquelle> quelle) : quelle_(std::move(quelle)) {}
    Bestandsquelle& Quelle() { return *quelle_; }
    std::unique_ptr<Bestandsquelle> Hergeben() { return std::move(quelle_); }

    // From the place `von` to `bis`, the checksum so far being `stand`; without `summe` the checksum is not
    // carried on (Stand stays `stand`).
    void Ab(std::uint64_t von, std::uint64_t bis, std::uint64_t stand, bool summe = true);
    // The next line without its "\n", valid until the next call; false at the end, or where a line is longer
    // than any record holds or the file ends before it (Zustand tells). Throws FsFehler.
    bool Naechste(std::string_view& zeile);

    // The place of the next line, and the checksum up to it.
    [[nodiscard]] std::uint64_t Stelle() const { return pos_ - (puffer_.size() - anfang_); }
    [[nodiscard]] std::uint64_t Stand() const { return stand_; }
    [[nodiscard]] Art Zustand() const { return art_; }

private:
    std::unique_ptr<Bestandsquelle> quelle_;
    std::string puffer_;
    std::size_t anfang_ = 0; // the first byte of puffer_ not yet given
    std::uint64_t pos_ = 0;  // the place in the file after puffer_'s end
    std::uint64_t bis_ = 0;
    std::uint64_t stand_ = Fnv1aAnfang;
    bool summe_ = true;
    Art art_ = Art::Gut;
};

} // namespace tresor
