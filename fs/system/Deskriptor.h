#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <system_error>
#include <utility>

namespace tresor::posix {

// An open file descriptor, closed when it goes. Never copied; moving hands the descriptor on.
class Deskriptor {
public:
    Deskriptor() = default;
    explicit Deskriptor(int fd) : fd_(fd) {}
    ~Deskriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Deskriptor(const Deskriptor&) = delete;
    Deskriptor& operator=(const Deskriptor&) = delete;
    Deskriptor(Deskriptor&& d) noexcept : fd_(std::exchange(d.fd_, -1)) {}
    Deskriptor& operator=(Deskriptor&& d) noexcept {
        if (this != &d) {
            if (fd_ >= 0)
                ::close(fd_);
            fd_ = std::exchange(d.fd_, -1);
        }
        return *this;
    }
    int get() const noexcept { return fd_; }
    bool gueltig() const noexcept { return fd_ >= 0; }
    // Hands the descriptor over to an owner that closes it.
    int freigeben() noexcept { return std::exchange(fd_, -1); }
    // Closes now and reports the error of close (a late write error on some file systems).
    int schliessen() noexcept { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_ = -1;
};

// Opens a file to read its content without writing its access time: a backup reads every changed file of the
// source, a check or a restore every copy, and each read would otherwise change the file's inode (the source
// would show what the backup read as read by its user; the backup medium would take a write per copy only for
// being looked at). The kernel allows this to the file's owner and to root; for anyone else (EPERM) the file is
// opened as usual.
inline Deskriptor OeffneZumLesen(int ordner, const char* name, int flags) {
    Deskriptor d(::openat(ordner, name, flags | O_NOATIME));
    if (!d.gueltig() && errno == EPERM)
        d = Deskriptor(::openat(ordner, name, flags));
    return d;
}

// Grows the process's table of descriptors at once to hold `anzahl` of them (nothing beyond the process's limit);
// nothing stays open. The kernel grows the table as descriptors are opened, doubling it, and each growth while
// the process has more than one thread waits for a grace period of the kernel's read-copy-update, some
// milliseconds each time: a walk that holds hundreds of folders open meets several. Called while the process has
// one thread, the growth costs no wait.
inline void DeskriptortabelleVorab(int anzahl) {
    const Deskriptor basis(::open("/", O_PATH | O_CLOEXEC));
    if (!basis.gueltig() || anzahl <= 1)
        return;
    const Deskriptor hoch(::fcntl(basis.get(), F_DUPFD_CLOEXEC, anzahl - 1));
}

// The error code of an errno value, as FsFehler carries it.
inline std::error_code Fehlercode(int nummer) {
    return {nummer, std::generic_category()};
}

} // namespace tresor::posix
