#include "fs/system/Ordnereintraege.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace tresor::posix {

Eintragsliste LiesEintragsliste(int ordner, int& fehler) {
    fehler = 0;
    Eintragsliste eintraege;
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
            eintraege.Namen.Hinzu(sv);
            eintraege.Typen.push_back(e.d_type);
        }
    }
    const std::vector<std::uint32_t> folge = eintraege.Namen.Sortiere();
    std::vector<unsigned char> typen(folge.size());
    for (std::size_t i = 0; i < folge.size(); ++i)
        typen[i] = eintraege.Typen[folge[i]];
    eintraege.Typen = std::move(typen);
    eintraege.Namen.Straffe();
    return eintraege;
}

std::vector<std::string> LiesNamen(int ordner, int& fehler) {
    const Eintragsliste liste = LiesEintragsliste(ordner, fehler);
    std::vector<std::string> namen;
    namen.reserve(liste.size());
    for (std::size_t i = 0; i < liste.size(); ++i)
        namen.emplace_back(liste.Namen[i]);
    return namen;
}

std::vector<Eintrag> LiesEintraege(int ordner, int& fehler) {
    const Eintragsliste liste = LiesEintragsliste(ordner, fehler);
    std::vector<Eintrag> eintraege;
    eintraege.reserve(liste.size());
    for (std::size_t i = 0; i < liste.size(); ++i)
        eintraege.push_back(Eintrag{std::string(liste.Namen[i]), liste.Typen[i]});
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
