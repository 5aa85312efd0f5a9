#include "fs/ablage/XattrAblage.h"

#include "fs/ablage/Dosattrib.h"
#include "fs/system/ErweiterteAttribute.h"

#include <cerrno>

namespace tresor::posix {

std::optional<std::uint32_t> XattrAblage::LiesDos(const Ort& ort) {
    const auto blob = LiesXattr(ort, DosattribName);
    if (!blob)
        return std::nullopt;
    return DosattribWert(*blob);
}

bool XattrAblage::SchreibeDos(const Ort& ort, std::uint32_t wert) {
    const std::string text = DosattribText(wert);
    return SetxattrAn(ort, DosattribName, text.data(), text.size()) == 0;
}

std::optional<Archivvermerk> XattrAblage::LiesVermerk(const Ort& ort) {
    const auto text = LiesXattr(ort, ArchivvermerkName);
    if (!text)
        return std::nullopt;
    return LiesArchivvermerk(*text);
}

bool XattrAblage::SchreibeVermerk(const Ort& ort, const Archivvermerk& vermerk) {
    const std::string wert = ArchivvermerkWert(vermerk);
    return SetxattrAn(ort, ArchivvermerkName, wert.data(), wert.size()) == 0;
}

bool XattrAblage::LoescheVermerk(const Ort& ort) {
    // A file system without user attributes has no record to remove.
    return RemovexattrAn(ort, ArchivvermerkName) == 0 || errno == ENODATA || errno == ENOTSUP;
}

std::optional<Verweisvermerk> XattrAblage::LiesVerweisvermerk(const Ort& ordner) {
    const auto wert = LiesXattr(ordner, VerweisvermerkName);
    if (!wert)
        return std::nullopt;
    return posix::LiesVerweisvermerk(*wert);
}

bool XattrAblage::SchreibeVerweisvermerk(const Ort& ordner, const Verweisvermerk& vermerk) {
    const std::string wert = VerweisvermerkWert(vermerk);
    return SetxattrAn(ordner, VerweisvermerkName, wert.data(), wert.size()) == 0;
}

bool XattrAblage::LoescheVerweisvermerk(const Ort& ordner) {
    return RemovexattrAn(ordner, VerweisvermerkName) == 0 || errno == ENODATA;
}

} // namespace tresor::posix
