#pragma once

#include "fs/system/Deskriptor.h"
#include "fs/system/Ort.h"

#include <string>

namespace tresor::posix {

// An absolute POSIX path in a form the kernel takes: the way this layer reaches paths of any length.
//
// The kernel takes no path of PATH_MAX (4096) bytes or more. A path shorter than that is given as it is. A
// longer one is reached through a folder on its way: the folders are opened one stretch at a time (each
// stretch shorter than PATH_MAX, relative to the folder before), and the path becomes "/proc/self/fd/N/rest"
// with the descriptor N of the last folder opened, which this object keeps open. The kernel resolves that
// through the open folder, so every path-based call (lstat, open, mkdir, chmod, the xattr calls, rename)
// works on it and, as with the whole path, does not follow a symbolic link in the last name.
// A failure on the way (a missing folder, no access) is kept in Fehler(); the path is then unusable.
class Systempfad {
public:
    explicit Systempfad(std::string voll);

    // The whole path, for comparisons and messages.
    const std::string& Voll() const noexcept { return voll_; }
    // The form for system calls.
    const std::string& Kurz() const noexcept { return kurz_; }
    const char* c_str() const noexcept { return kurz_.c_str(); }
    operator const std::string&() const noexcept { return kurz_; } // NOLINT(google-explicit-constructor)
    operator Ort() const noexcept { return Ort(kurz_); }           // NOLINT(google-explicit-constructor)
    // 0, or the error number of the way to a long path's folder.
    int Fehler() const noexcept { return fehler_; }

private:
    std::string voll_;
    std::string kurz_;
    Deskriptor stufe_;
    int fehler_ = 0;
};

} // namespace tresor::posix
