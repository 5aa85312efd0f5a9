#include "fs/Ordnereintraege.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace tresor::posix {

std::vector<Eintrag> LiesEintraege(Deskriptor ordner, int& fehler) {
    fehler = 0;
    std::vector<Eintrag> eintraege;
    DIR* d = ::fdopendir(ordner.get());
    if (d == nullptr) {
        fehler = errno;
        return eintraege;
    }
    (void)ordner.freigeben(); // the stream owns the descriptor now
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(d);
        if (e == nullptr) {
            fehler = errno;
            break;
        }
        const std::string_view name(e->d_name);
        if (name == "." || name == "..")
            continue;
        eintraege.push_back(Eintrag{std::string(name), e->d_type});
    }
    ::closedir(d);
    // std::string compares as unsigned char: byte order.
    std::sort(eintraege.begin(), eintraege.end(), [](const Eintrag& a, const Eintrag& b) { return a.Name < b.Name; });
    return eintraege;
}

} // namespace tresor::posix
