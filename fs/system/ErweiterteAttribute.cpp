#include "fs/system/ErweiterteAttribute.h"

#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace tresor::posix {

namespace {

#ifndef SYS_setxattrat
#define SYS_setxattrat 463
#endif
#ifndef SYS_getxattrat
#define SYS_getxattrat 464
#endif
#ifndef SYS_removexattrat
#define SYS_removexattrat 466
#endif

struct XattrArgumente {
    std::uint64_t Wert;
    std::uint32_t Groesse;
    std::uint32_t Schalter;
};

std::atomic<bool> ohneXattrat{false};

std::string ProcPfad(const Ort& ort) {
    return "/proc/self/fd/" + std::to_string(ort.Ordner) + "/" + ort.Name;
}

} // namespace

ssize_t GetxattrAn(const Ort& ort, const char* attribut, void* puffer, std::size_t groesse) {
    if (ort.Ordner != AT_FDCWD && *ort.Name == '\0')
        return ::fgetxattr(ort.Ordner, attribut, puffer, groesse);
    if (ort.Ordner == AT_FDCWD)
        return ::lgetxattr(ort.Name, attribut, puffer, groesse);
    if (!ohneXattrat.load(std::memory_order_relaxed)) {
        XattrArgumente a{reinterpret_cast<std::uintptr_t>(puffer), static_cast<std::uint32_t>(groesse), 0};
        const long n = ::syscall(SYS_getxattrat, ort.Ordner, ort.Name, AT_SYMLINK_NOFOLLOW, attribut, &a, sizeof a);
        if (n >= 0 || errno != ENOSYS)
            return n;
        ohneXattrat.store(true, std::memory_order_relaxed);
    }
    return ::lgetxattr(ProcPfad(ort).c_str(), attribut, puffer, groesse);
}

int SetxattrAn(const Ort& ort, const char* attribut, const void* wert, std::size_t groesse) {
    if (ort.Ordner != AT_FDCWD && *ort.Name == '\0')
        return ::fsetxattr(ort.Ordner, attribut, wert, groesse, 0);
    if (ort.Ordner == AT_FDCWD)
        return ::lsetxattr(ort.Name, attribut, wert, groesse, 0);
    if (!ohneXattrat.load(std::memory_order_relaxed)) {
        XattrArgumente a{reinterpret_cast<std::uintptr_t>(wert), static_cast<std::uint32_t>(groesse), 0};
        const long n = ::syscall(SYS_setxattrat, ort.Ordner, ort.Name, AT_SYMLINK_NOFOLLOW, attribut, &a, sizeof a);
        if (n >= 0 || errno != ENOSYS)
            return static_cast<int>(n);
        ohneXattrat.store(true, std::memory_order_relaxed);
    }
    return ::lsetxattr(ProcPfad(ort).c_str(), attribut, wert, groesse, 0);
}

int RemovexattrAn(const Ort& ort, const char* attribut) {
    if (ort.Ordner != AT_FDCWD && *ort.Name == '\0')
        return ::fremovexattr(ort.Ordner, attribut);
    if (ort.Ordner == AT_FDCWD)
        return ::lremovexattr(ort.Name, attribut);
    if (!ohneXattrat.load(std::memory_order_relaxed)) {
        const long n = ::syscall(SYS_removexattrat, ort.Ordner, ort.Name, AT_SYMLINK_NOFOLLOW, attribut);
        if (n >= 0 || errno != ENOSYS)
            return static_cast<int>(n);
        ohneXattrat.store(true, std::memory_order_relaxed);
    }
    return ::lremovexattr(ProcPfad(ort).c_str(), attribut);
}

std::optional<std::string> LiesXattr(const Ort& ort, const char* name, std::size_t erwartet) {
    ssize_t n = 0;
    if (erwartet <= 256) {
        char puffer[256];
        n = GetxattrAn(ort, name, puffer, sizeof puffer);
        if (n >= 0)
            return std::string(puffer, static_cast<std::size_t>(n));
    } else {
        std::string wert(erwartet, '\0');
        n = GetxattrAn(ort, name, wert.data(), wert.size());
        if (n >= 0) {
            wert.resize(static_cast<std::size_t>(n));
            return wert;
        }
    }
    if (errno != ERANGE)
        return std::nullopt;
    for (int versuch = 0; versuch < 3; ++versuch) {
        n = GetxattrAn(ort, name, nullptr, 0);
        if (n < 0)
            return std::nullopt;
        std::string wert(static_cast<std::size_t>(n), '\0');
        n = GetxattrAn(ort, name, wert.data(), wert.size());
        if (n >= 0) {
            wert.resize(static_cast<std::size_t>(n));
            return wert;
        }
        if (errno != ERANGE)
            return std::nullopt;
    }
    return std::nullopt;
}

} // namespace tresor::posix
