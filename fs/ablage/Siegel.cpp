// The user's seal on records kept on folders (see Siegel.h).
#include "fs/ablage/Siegel.h"

#include "fs/ablage/Ablagen.h"
#include "fs/system/Deskriptor.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tresor::posix {

static_assert(crypto_shorthash_BYTES == Siegel::Laenge);
static_assert(crypto_shorthash_KEYBYTES == 16);

namespace {

std::array<unsigned char, Siegel::Laenge> Tag(const std::array<unsigned char, 16>& schluessel, std::string_view wert) {
    std::array<unsigned char, Siegel::Laenge> tag{};
    crypto_shorthash(tag.data(), reinterpret_cast<const unsigned char*>(wert.data()), wert.size(), schluessel.data());
    return tag;
}

// Every folder of the path made where missing, each new one private.
bool MacheOrdner(const std::string& ordner) {
    for (std::size_t schnitt = ordner.find('/', 1);; schnitt = ordner.find('/', schnitt + 1)) {
        const std::string stufe = ordner.substr(0, schnitt);
        if (::mkdir(stufe.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (schnitt == std::string::npos)
            return true;
    }
}

std::optional<std::array<unsigned char, 16>> Lies(const std::string& datei) {
    Deskriptor fd(::open(datei.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd.gueltig() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0 || st.st_size != 16)
        return std::nullopt;
    std::array<unsigned char, 16> schluessel{};
    if (::read(fd.get(), schluessel.data(), schluessel.size()) != 16)
        return std::nullopt;
    return schluessel;
}

} // namespace

std::string Siegel::Versiegelt(std::string_view wert) const {
    const auto tag = Tag(schluessel_, wert);
    std::string ergebnis(wert);
    ergebnis.append(reinterpret_cast<const char*>(tag.data()), tag.size());
    return ergebnis;
}

std::optional<std::string_view> Siegel::Entsiegelt(std::string_view wert) const {
    if (wert.size() < Laenge)
        return std::nullopt;
    const std::string_view inhalt = wert.substr(0, wert.size() - Laenge);
    const auto tag = Tag(schluessel_, inhalt);
    if (sodium_memcmp(tag.data(), wert.data() + inhalt.size(), tag.size()) != 0)
        return std::nullopt;
    return inhalt;
}

std::optional<std::array<unsigned char, 16>> LadeSchluessel(const std::string& datei) {
    if (const auto da = Lies(datei))
        return da;
    struct stat st {};
    if (::lstat(datei.c_str(), &st) == 0 || errno != ENOENT)
        return std::nullopt; // there, but not the user's own private key: never replaced behind his back
    const std::size_t schnitt = datei.rfind('/');
    if (schnitt == std::string::npos || schnitt == 0 || !MacheOrdner(datei.substr(0, schnitt)))
        return std::nullopt;
    std::array<unsigned char, 16> schluessel{};
    randombytes_buf(schluessel.data(), schluessel.size());
    char temp[64];
    std::snprintf(temp, sizeof temp, ".schluessel-%08x.tmp", randombytes_random());
    const std::string tempPfad = datei.substr(0, schnitt + 1) + temp;
    {
        Deskriptor fd(::open(tempPfad.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.gueltig())
            return std::nullopt;
        const bool geschrieben = ::write(fd.get(), schluessel.data(), schluessel.size()) == 16 &&
                                 ::fsync(fd.get()) == 0 && fd.schliessen() == 0;
        // Linked, never renamed over: a key another run made meanwhile is the one.
        const bool verlinkt = geschrieben && ::link(tempPfad.c_str(), datei.c_str()) == 0;
        ::unlink(tempPfad.c_str());
        if (!verlinkt)
            return Lies(datei);
    }
    return schluessel;
}

const Siegel& Benutzersiegel() {
    static const Siegel siegel = [] {
        if (sodium_init() < 0)
            std::abort();
        if (const auto schluessel = LadeSchluessel(Zustandsordner() + "/schluessel"))
            return Siegel(*schluessel);
        std::array<unsigned char, 16> zufall{};
        randombytes_buf(zufall.data(), zufall.size());
        return Siegel(zufall);
    }();
    return siegel;
}

} // namespace tresor::posix
