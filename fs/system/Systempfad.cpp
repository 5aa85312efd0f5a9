#include "fs/system/Systempfad.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <string_view>

namespace tresor::posix {

Systempfad::Systempfad(std::string voll) : voll_(std::move(voll)) {
    if (voll_.size() < PATH_MAX) {
        kurz_ = voll_;
        return;
    }
    // Stretches well below the limit leave room for the descriptor's prefix and the last names.
    constexpr std::size_t Strecke = 2048;
    const std::size_t schnitt = voll_.rfind('/');
    const std::string_view ordner = std::string_view(voll_).substr(0, schnitt);
    std::size_t pos = 0;
    int basis = AT_FDCWD;
    while (ordner.size() - pos > Strecke) {
        const std::size_t ende = ordner.rfind('/', pos + Strecke);
        if (ende == std::string_view::npos || ende <= pos) {
            fehler_ = ENAMETOOLONG; // a single name longer than a stretch: no file system has one
            return;
        }
        std::string stueck(ordner.substr(pos, ende - pos));
        if (stueck.empty())
            stueck = "/";
        Deskriptor neu(::openat(basis, stueck.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!neu.gueltig()) {
            fehler_ = errno;
            return;
        }
        stufe_ = std::move(neu);
        basis = stufe_.get();
        pos = ende + 1;
    }
    kurz_ = "/proc/self/fd/" + std::to_string(basis) + "/";
    if (pos < ordner.size())
        kurz_.append(ordner.substr(pos)).append("/");
    kurz_.append(voll_, schnitt + 1);
}

} // namespace tresor::posix
