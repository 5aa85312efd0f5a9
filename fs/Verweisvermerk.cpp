#include "fs/Verweisvermerk.h"

#include "fs/Bytes.h"

namespace tresor::posix {

namespace {

constexpr std::uint64_t VerweisFormat = 1;
constexpr std::size_t VerweisKopf = 24;

} // namespace

std::string VerweisvermerkWert(const Verweisvermerk& vermerk) {
    std::string wert;
    wert.reserve(VerweisKopf + 8 * vermerk.Kennungen.size());
    HaengeLe64An(wert, VerweisFormat);
    HaengeLe64An(wert, static_cast<std::uint64_t>(vermerk.OrdnerMtimeNs));
    HaengeLe64An(wert, vermerk.OrdnerInode);
    for (const std::uint64_t k : vermerk.Kennungen)
        HaengeLe64An(wert, k);
    return wert;
}

std::optional<Verweisvermerk> LiesVerweisvermerk(std::string_view wert) {
    if (wert.size() < VerweisKopf || wert.size() % 8 != 0 || LiesLe64(wert, 0) != VerweisFormat)
        return std::nullopt;
    Verweisvermerk vermerk;
    vermerk.OrdnerMtimeNs = static_cast<std::int64_t>(LiesLe64(wert, 8));
    vermerk.OrdnerInode = LiesLe64(wert, 16);
    for (std::size_t o = VerweisKopf; o < wert.size(); o += 8) {
        const std::uint64_t k = LiesLe64(wert, o);
        if (!vermerk.Kennungen.empty() && k <= vermerk.Kennungen.back())
            return std::nullopt;
        vermerk.Kennungen.push_back(k);
    }
    return vermerk;
}

std::uint64_t Verweiskennung(std::string_view name, std::uint64_t inode, std::int64_t mtimeNs) {
    std::string zahlen;
    HaengeLe64An(zahlen, inode);
    HaengeLe64An(zahlen, static_cast<std::uint64_t>(mtimeNs));
    return Fnv1a(Fnv1a(FnvAnfang, name), zahlen);
}

} // namespace tresor::posix
