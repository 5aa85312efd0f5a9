#include "fs/Archivvermerk.h"

#include "fs/Bytes.h"

#include <charconv>
#include <cstdio>

namespace tresor::posix {

std::uint64_t Namenskennung(std::string_view posix) {
    return Fnv1a(1469598103934665603ull, posix);
}

std::string ArchivvermerkText(const Archivvermerk& vermerk) {
    std::string text = "1 " + std::to_string(vermerk.Stand.MtimeNs) + " " + std::to_string(vermerk.Stand.Groesse) +
                       " " + std::to_string(vermerk.Stand.Inode);
    for (std::size_t i = 0; i < vermerk.Namen.size(); ++i) {
        char hex[24];
        (void)std::snprintf(hex, sizeof hex, "%c%016llx", i == 0 ? ' ' : ',',
                            static_cast<unsigned long long>(vermerk.Namen[i]));
        text += hex;
    }
    return text;
}

std::optional<Archivvermerk> LiesArchivvermerk(std::string_view text) {
    if (!text.starts_with("1 ") || text.ends_with(' ') || text.ends_with(','))
        return std::nullopt;
    Archivvermerk vermerk;
    Quellstand& stand = vermerk.Stand;
    const char* p = text.data() + 2;
    const char* ende = text.data() + text.size();
    // A number, then the separator `danach` or the end (when `endeErlaubt`).
    auto zahl = [&](auto& wert, int basis, char danach, bool endeErlaubt) {
        const auto [q, fehler] = std::from_chars(p, ende, wert, basis);
        if (fehler != std::errc() || q == p)
            return false;
        p = q;
        if (p == ende)
            return endeErlaubt;
        if (*p != danach)
            return false;
        ++p;
        return true;
    };
    if (!zahl(stand.MtimeNs, 10, ' ', false) || !zahl(stand.Groesse, 10, ' ', false) ||
        !zahl(stand.Inode, 10, ' ', true))
        return std::nullopt;
    while (p != ende) {
        std::uint64_t name = 0;
        if (!zahl(name, 16, ',', true))
            return std::nullopt;
        vermerk.Namen.push_back(name);
    }
    stand.Gueltig = true;
    return vermerk;
}

bool Gleich(const Quellstand& a, const Quellstand& b) {
    return a.MtimeNs == b.MtimeNs && a.Groesse == b.Groesse && a.Inode == b.Inode;
}

std::int64_t MtimeNs(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

Quellstand StandAus(const struct stat& st) {
    return Quellstand{MtimeNs(st), static_cast<std::int64_t>(st.st_size), static_cast<std::uint64_t>(st.st_ino), true};
}

} // namespace tresor::posix
