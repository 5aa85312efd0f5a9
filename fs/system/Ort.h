#pragma once

#include <fcntl.h>

#include <string>

namespace tresor::posix {

// Where an entry is for the system calls: a folder descriptor and the entry's name in it, so that the
// kernel looks up one name instead of walking the whole path again. With AT_FDCWD the name is a whole path;
// with an empty name the descriptor is the entry itself. The strings are the caller's; an Ort lives no
// longer than they do.
struct Ort {
    int Ordner = AT_FDCWD;
    const char* Name = "";
    Ort() = default;
    Ort(int ordner, const char* name) : Ordner(ordner), Name(name) {}
    // A whole path (the drive-root case and the paths a Systempfad shortened).
    Ort(const std::string& pfad)
        : Name(pfad.c_str()) {} // NOLINT(google-explicit-constructor): a path stands for its entry
    // The open entry itself.
    static Ort Selbst(int fd) { return Ort(fd, ""); }
    // The folder itself, named through its open descriptor.
    static Ort OrdnerSelbst(int ordnerFd) { return Ort(ordnerFd, "."); }
};

} // namespace tresor::posix
