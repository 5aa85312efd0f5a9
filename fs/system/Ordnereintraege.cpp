#include "fs/system/Ordnereintraege.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace tresor::posix {

std::vector<Eintrag> LiesEintraege(int ordner, int& fehler) {
    fehler = 0;
    std::vector<Eintrag> eintraege;
    // Straight from the kernel, without a directory stream: no copy of the descriptor, no calls to set it up.
    alignas(dirent64) static thread_local char puffer[32768];
    if (::lseek(ordner, 0, SEEK_SET) != 0) {
        fehler = errno;
        return eintraege;
    }
    for (;;) {
        const ssize_t n = ::getdents64(ordner, puffer, sizeof puffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fehler = errno;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t o = 0; o < n;) {
            dirent64 e;
            std::memcpy(&e, puffer + o, std::min(sizeof e, static_cast<std::size_t>(n - o)));
            const char* name = puffer + o + offsetof(dirent64, d_name);
            const std::string_view sv(name, ::strnlen(name, e.d_reclen - offsetof(dirent64, d_name)));
            o += e.d_reclen;
            if (sv == "." || sv == "..")
                continue;
            eintraege.push_back(Eintrag{std::string(sv), e.d_type});
        }
    }
    // std::string compares as unsigned char: byte order.
    std::sort(eintraege.begin(), eintraege.end(), [](const Eintrag& a, const Eintrag& b) { return a.Name < b.Name; });
    return eintraege;
}

std::vector<Eintrag> LiesEintraege(Deskriptor ordner, int& fehler) {
    if (!ordner.gueltig()) {
        fehler = errno;
        return {};
    }
    return LiesEintraege(ordner.get(), fehler);
}

} // namespace tresor::posix
