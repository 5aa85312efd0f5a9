#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tresor::posix {

// Little-endian numbers in byte strings, as the stored formats of this layer use them. The reader expects
// the bytes to be there; callers check the length first.
inline std::uint32_t LiesLe16(std::string_view b, std::size_t o) {
    return static_cast<std::uint8_t>(b[o]) | (static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[o + 1])) << 8);
}
inline std::uint32_t LiesLe32(std::string_view b, std::size_t o) {
    return LiesLe16(b, o) | (LiesLe16(b, o + 2) << 16);
}
inline std::uint64_t LiesLe64(std::string_view b, std::size_t o) {
    return LiesLe32(b, o) | (static_cast<std::uint64_t>(LiesLe32(b, o + 4)) << 32);
}
inline void HaengeLe64An(std::string& text, std::uint64_t wert) {
    for (int i = 0; i < 8; ++i)
        text.push_back(static_cast<char>((wert >> (8 * i)) & 0xffu));
}

// FNV-1a, 64 bits: offset basis 14695981039346656037, prime 1099511628211; each byte is XORed into the
// hash, which is then multiplied by the prime (modulo 2^64).
inline constexpr std::uint64_t FnvAnfang = 14695981039346656037ull;
inline std::uint64_t Fnv1a(std::uint64_t h, std::string_view bytes) {
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

} // namespace tresor::posix
