#include "fs/ablage/Verweisvermerk.h"

#include "fs/ablage/Siegel.h"
#include "fs/system/Bytes.h"

namespace tresor::posix {

namespace {

constexpr std::uint64_t VerweisFormat = 2;
constexpr std::size_t VerweisGroesse = 32;

} // namespace

std::string VerweisvermerkWert(const Verweisvermerk& vermerk) {
    std::string wert;
    wert.reserve(VerweisGroesse);
    HaengeLe64An(wert, VerweisFormat);
    HaengeLe64An(wert, vermerk.OrdnerInode);
    HaengeLe64An(wert, vermerk.OrdnerName);
    HaengeLe64An(wert, vermerk.Pruefsumme);
    return Benutzersiegel().Versiegelt(wert);
}

std::optional<Verweisvermerk> LiesVerweisvermerk(std::string_view gesiegelt) {
    const auto entsiegelt = Benutzersiegel().Entsiegelt(gesiegelt);
    if (!entsiegelt)
        return std::nullopt;
    const std::string_view wert = *entsiegelt;
    if (wert.size() != VerweisGroesse || LiesLe64(wert, 0) != VerweisFormat)
        return std::nullopt;
    return Verweisvermerk{LiesLe64(wert, 8), LiesLe64(wert, 16), LiesLe64(wert, 24)};
}

std::uint64_t Eintragskennung(std::string_view name, std::uint64_t inode, std::int64_t mtimeNs, std::int64_t groesse,
                              std::int64_t ctimeNs) {
    std::string zahlen;
    HaengeLe64An(zahlen, inode);
    HaengeLe64An(zahlen, static_cast<std::uint64_t>(mtimeNs));
    HaengeLe64An(zahlen, static_cast<std::uint64_t>(groesse));
    HaengeLe64An(zahlen, static_cast<std::uint64_t>(ctimeNs));
    return Fnv1a(Fnv1a(FnvAnfang, name), zahlen);
}

std::uint64_t Pruefsumme(std::uint64_t bisher, std::uint64_t eintragskennung) {
    std::string bytes;
    HaengeLe64An(bytes, eintragskennung);
    return Fnv1a(bisher, bytes);
}

} // namespace tresor::posix
