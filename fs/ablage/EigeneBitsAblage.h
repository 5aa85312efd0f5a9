#pragma once

#include "fs/ablage/Attributablage.h"
#include "fs/ablage/XattrAblage.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tresor::posix {

// The system calls through which file systems with DOS bits of their own hand them out. The store below
// makes all of its calls through an object of this class, so that tests can put a double in the kernel's
// place where the kernel lacks a driver (ntfs3, vfat, exFAT). Each returns what its system call returns
// and leaves errno as the call set it.
class Bitaufrufe {
public:
    virtual ~Bitaufrufe() = default;
    virtual ssize_t Getxattr(const Ort& ort, const char* name, void* puffer, std::size_t groesse);
    virtual int Setxattr(const Ort& ort, const char* name, const void* wert, std::size_t groesse);
    // FAT_IOCTL_GET_ATTRIBUTES and FAT_IOCTL_SET_ATTRIBUTES on the entry (opened for the moment, never
    // through a symbolic link). 0 or -1.
    virtual int FatAttributeLesen(const Ort& ort, std::uint32_t& wert);
    virtual int FatAttributeSchreiben(const Ort& ort, std::uint32_t wert);
};

// How a file system hands out its own DOS bits.
enum class Bitart {
    Ntfs3g, // the extended attribute system.ntfs_attrib_be: the 32-bit attribute value, big-endian
    Ntfs3,  // the kernel's NTFS driver: system.dos_attrib, the low byte of the attribute value
    Fat,    // vfat, msdos and exFAT through the kernel's drivers: the FAT attribute ioctls
};

// The store of a file system that keeps the DOS bits itself (NTFS, FAT, exFAT): read-only, hidden, system and
// archive are read from and written to the file system's own attribute value, so that other systems see what
// this program changed and this program sees what they (or the driver, on every write) marked. Bits of that
// value other than these four are kept as they are. There is no archive record: the archive bit is the
// record (EigeneBits). The records of symbolic links go to extended attributes where the file system has
// them (NTFS through ntfs-3g has symbolic links and user attributes; FAT has neither).
class EigeneBitsAblage final : public Attributablage {
public:
    // `aufrufe` must outlive the store.
    EigeneBitsAblage(Bitart art, Bitaufrufe& aufrufe) : art_(art), aufrufe_(aufrufe) {}

    std::optional<std::uint32_t> LiesDos(const Ort& ort) override;
    bool SchreibeDos(const Ort& ort, std::uint32_t wert) override;
    // No records here: nothing is read, writing fails with ENOTSUP, removing succeeds.
    std::optional<Archivvermerk> LiesVermerk(const Ort& ort) override;
    bool SchreibeVermerk(const Ort& ort, const Archivvermerk& vermerk) override;
    bool LoescheVermerk(const Ort& ort) override;
    std::optional<Verweisvermerk> LiesVerweisvermerk(const Ort& ordner) override;
    bool SchreibeVerweisvermerk(const Ort& ordner, const Verweisvermerk& vermerk) override;
    bool LoescheVerweisvermerk(const Ort& ordner) override;
    bool EigeneBits() const override { return true; }

    Bitart Art() const noexcept { return art_; }

private:
    // The whole native value as the file system gives it (for Ntfs3 only its low byte).
    std::optional<std::uint32_t> LiesRoh(const Ort& ort);
    bool SchreibeRoh(const Ort& ort, std::uint32_t roh);

    Bitart art_;
    Bitaufrufe& aufrufe_;
    XattrAblage verweise_;
};

// The native names and their value forms, for tests.
inline constexpr const char* NtfsAttributName = "system.ntfs_attrib_be";
inline constexpr const char* Ntfs3AttributName = "system.dos_attrib";

} // namespace tresor::posix
