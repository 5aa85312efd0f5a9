#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tresor::posix {

// A seal on the records that live on folders others may own (the folder's map, Ordnerkarte.h, and the
// record of its links, Verweisvermerk.h): a keyed tag over the stored value, with a secret of the running
// user's. Whoever can write a folder's extended attributes can write those records; without the secret he
// cannot write one that is taken, so no row or digest of his hides a change from the user's backups. The
// tag is SipHash-2-4 (libsodium's crypto_shorthash), 8 bytes appended to the value.
//
// The secret is a random key of 16 bytes in the file "schluessel" of the state folder (Zustandsordner,
// Ablagen.h), made on first use, private to the user (0600, written under a temporary name and linked into
// place, so two runs never make two keys). It is read once per process. A key file that is not the user's own
// private regular file of 16 bytes is not used, nor where none can be made (a read-only home): the process
// then seals with a random key of its own, so what it writes is read by no later run, which only means that
// the records themselves are read again, as they are when the key is lost.
class Siegel {
public:
    static constexpr std::size_t Laenge = 8;
    explicit Siegel(const std::array<unsigned char, 16>& schluessel) : schluessel_(schluessel) {}
    // The value with its tag.
    [[nodiscard]] std::string Versiegelt(std::string_view wert) const;
    // The value without its tag where the tag is right, else nothing.
    [[nodiscard]] std::optional<std::string_view> Entsiegelt(std::string_view wert) const;

private:
    std::array<unsigned char, 16> schluessel_;
};

// The seal of the running user (see above), made once per process.
const Siegel& Benutzersiegel();

// The key in `datei`: read where it is the user's own private regular file of 16 bytes (never through a
// link); made where there is none (its folder made as well, private). Nothing where neither works.
std::optional<std::array<unsigned char, 16>> LadeSchluessel(const std::string& datei);

} // namespace tresor::posix
