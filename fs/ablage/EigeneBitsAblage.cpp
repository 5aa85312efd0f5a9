#include "fs/ablage/EigeneBitsAblage.h"

#include "fs/ablage/Dosattrib.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/ErweiterteAttribute.h"

#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace tresor::posix {

namespace {

// The entry of an Ort opened for an ioctl: never through a symbolic link, never waiting on a FIFO. An Ort
// of an open entry itself gets a second descriptor of it.
Deskriptor OeffneFuerIoctl(const Ort& ort) {
    constexpr int Schalter = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (ort.Ordner != AT_FDCWD && *ort.Name == '\0')
        return Deskriptor(::fcntl(ort.Ordner, F_DUPFD_CLOEXEC, 0));
    return Deskriptor(::openat(ort.Ordner, ort.Name, Schalter));
}

} // namespace

ssize_t Bitaufrufe::Getxattr(const Ort& ort, const char* name, void* puffer, std::size_t groesse) {
    return GetxattrAn(ort, name, puffer, groesse);
}

int Bitaufrufe::Setxattr(const Ort& ort, const char* name, const void* wert, std::size_t groesse) {
    return SetxattrAn(ort, name, wert, groesse);
}

int Bitaufrufe::FatAttributeLesen(const Ort& ort, std::uint32_t& wert) {
    const Deskriptor fd = OeffneFuerIoctl(ort);
    if (!fd.gueltig())
        return -1;
    __u32 roh = 0;
    if (::ioctl(fd.get(), FAT_IOCTL_GET_ATTRIBUTES, &roh) != 0)
        return -1;
    wert = roh;
    return 0;
}

int Bitaufrufe::FatAttributeSchreiben(const Ort& ort, std::uint32_t wert) {
    const Deskriptor fd = OeffneFuerIoctl(ort);
    if (!fd.gueltig())
        return -1;
    __u32 roh = wert;
    return ::ioctl(fd.get(), FAT_IOCTL_SET_ATTRIBUTES, &roh) == 0 ? 0 : -1;
}

std::optional<std::uint32_t> EigeneBitsAblage::LiesRoh(const Ort& ort) {
    switch (art_) {
    case Bitart::Ntfs3g: {
        unsigned char b[4] = {};
        if (aufrufe_.Getxattr(ort, NtfsAttributName, b, sizeof b) != 4)
            return std::nullopt;
        return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
    }
    case Bitart::Ntfs3: {
        unsigned char b = 0;
        if (aufrufe_.Getxattr(ort, Ntfs3AttributName, &b, 1) != 1)
            return std::nullopt;
        return b;
    }
    case Bitart::Fat: {
        std::uint32_t wert = 0;
        if (aufrufe_.FatAttributeLesen(ort, wert) != 0)
            return std::nullopt;
        return wert;
    }
    }
    return std::nullopt;
}

bool EigeneBitsAblage::SchreibeRoh(const Ort& ort, std::uint32_t roh) {
    switch (art_) {
    case Bitart::Ntfs3g: {
        const unsigned char b[4] = {static_cast<unsigned char>(roh >> 24), static_cast<unsigned char>(roh >> 16),
                                    static_cast<unsigned char>(roh >> 8), static_cast<unsigned char>(roh)};
        return aufrufe_.Setxattr(ort, NtfsAttributName, b, sizeof b) == 0;
    }
    case Bitart::Ntfs3: {
        const unsigned char b = static_cast<unsigned char>(roh);
        return aufrufe_.Setxattr(ort, Ntfs3AttributName, &b, 1) == 0;
    }
    case Bitart::Fat:
        return aufrufe_.FatAttributeSchreiben(ort, roh) == 0;
    }
    errno = ENOTSUP;
    return false;
}

std::optional<std::uint32_t> EigeneBitsAblage::LiesDos(const Ort& ort) {
    const auto roh = LiesRoh(ort);
    if (!roh)
        return std::nullopt;
    return *roh & DosEigeneBits;
}

bool EigeneBitsAblage::SchreibeDos(const Ort& ort, std::uint32_t wert) {
    const auto roh = LiesRoh(ort);
    if (!roh)
        return false;
    // Every other bit (directory, compressed, sparse, the volume label's ...) stays as the file system has it.
    std::uint32_t neu = (*roh & ~DosEigeneBits) | (wert & DosEigeneBits);
    // NTFS calls a file without any bit "normal" (128) and gives it that bit by itself; it never stands
    // beside another one.
    constexpr std::uint32_t Normal = 0x80;
    if (art_ != Bitart::Fat) {
        neu &= ~Normal;
        if (neu == 0)
            neu = Normal;
    }
    if (neu == *roh)
        return true;
    return SchreibeRoh(ort, neu);
}

std::optional<Archivvermerk> EigeneBitsAblage::LiesVermerk(const Ort&) {
    return std::nullopt;
}

bool EigeneBitsAblage::SchreibeVermerk(const Ort&, const Archivvermerk&) {
    errno = ENOTSUP;
    return false;
}

bool EigeneBitsAblage::LoescheVermerk(const Ort&) {
    return true;
}

std::optional<Verweisvermerk> EigeneBitsAblage::LiesVerweisvermerk(const Ort& ordner) {
    return verweise_.LiesVerweisvermerk(ordner);
}

bool EigeneBitsAblage::SchreibeVerweisvermerk(const Ort& ordner, const Verweisvermerk& vermerk) {
    return verweise_.SchreibeVerweisvermerk(ordner, vermerk);
}

bool EigeneBitsAblage::LoescheVerweisvermerk(const Ort& ordner) {
    return verweise_.LoescheVerweisvermerk(ordner);
}

} // namespace tresor::posix
