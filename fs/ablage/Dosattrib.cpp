#include "fs/ablage/Dosattrib.h"

#include "fs/Attribute.h"
#include "fs/Pfadteile.h"
#include "fs/system/Bytes.h"

#include <charconv>
#include <cstdio>

namespace tresor::posix {

namespace {

std::optional<std::uint32_t> HexWert(std::string_view text) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return std::nullopt;
    std::uint32_t wert = 0;
    const auto [ende, fehler] = std::from_chars(text.data() + 2, text.data() + text.size(), wert, 16);
    if (fehler != std::errc() || ende != text.data() + text.size())
        return std::nullopt;
    return wert;
}

} // namespace

std::optional<std::uint32_t> DosattribWert(std::string_view blob) {
    const auto nul = blob.find('\0');
    const std::string_view text = nul == std::string_view::npos ? blob : blob.substr(0, nul);
    if (nul != std::string_view::npos && nul + 1 < blob.size()) {
        std::size_t o = (nul + 1 + 1) & ~std::size_t{1};
        if (o + 4 <= blob.size()) {
            const std::uint32_t version = LiesLe16(blob, o);
            const std::uint32_t schalter = LiesLe16(blob, o + 2);
            o = (o + 4 + 3) & ~std::size_t{3};
            std::size_t attrib = 0;
            if (version == 1)
                attrib = o;
            else if (version >= 2 && version <= 5)
                attrib = o + 4;
            if (version == schalter && version >= 1 && version <= 5 && attrib + 4 <= blob.size())
                return LiesLe32(blob, attrib);
        }
    }
    // The text alone (older writers), or a binary value that does not parse but starts with the text.
    return HexWert(text);
}

std::string DosattribText(std::uint32_t wert) {
    char text[16];
    const int n = std::snprintf(text, sizeof text, "0x%x", wert);
    return std::string(text, static_cast<std::size_t>(n) + 1); // with the NUL
}

std::optional<std::uint32_t> NeuerDosWert(const std::optional<std::uint32_t>& alt, int wert, std::string_view name,
                                          bool istOrdner) {
    std::uint32_t eigene = static_cast<std::uint32_t>(wert) & DosEigeneBits;
    if (istOrdner)
        eigene = (eigene & ~static_cast<std::uint32_t>(attr::Archiv)) | (alt.value_or(0) & attr::Archiv);
    const bool noetig = (wert & attr::System) || ((wert & attr::Versteckt) && !IstPunktname(name));
    if (!alt && !noetig)
        return std::nullopt;
    std::uint32_t neu = (alt.value_or(0) & ~DosEigeneBits) | eigene;
    if (istOrdner)
        neu |= attr::Verzeichnis;
    if (alt && *alt == neu)
        return std::nullopt;
    return neu;
}

} // namespace tresor::posix
