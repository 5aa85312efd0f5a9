// A file written a piece at a time and named once it is whole and durable (see Eintragszugriff.h).
#include "fs/FsFehler.h"
#include "fs/posix/Eintragszugriff.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Schreibfehler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace tresor {

using posix::Deskriptor;
using posix::Fehlercode;

Dauerschrift::Dauerschrift(Dauerschrift&& andere) noexcept
    : ordner_(std::exchange(andere.ordner_, -1)), temp_(std::move(andere.temp_)), laenge_(andere.laenge_),
      pfad_(std::move(andere.pfad_)), fertig_(std::exchange(andere.fertig_, true)) {}

Dauerschrift::~Dauerschrift() {
    Verwirf();
    if (ordner_ >= 0)
        ::close(ordner_);
}

void Dauerschrift::Verwirf() noexcept {
    if (!fertig_ && ordner_ >= 0)
        ::unlinkat(ordner_, temp_.c_str(), 0);
    fertig_ = true;
}

int Dauerschrift::Oeffne() const {
    if (fertig_ || ordner_ < 0)
        throw FsFehler("Bestand schreiben", pfad_ + "\\" + temp_, Fehlercode(EBADF));
    Deskriptor datei(::openat(ordner_, temp_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!datei.gueltig())
        throw FsFehler("Bestand schreiben", pfad_ + "\\" + temp_, Fehlercode(Schreibfehler(ordner_, errno)));
    // Never a link (above), nor anything but a file. Inode numbers are not compared: shares and FUSE file
    // systems may give the same file another one once it was closed. What another user may have put under
    // the name meanwhile is no record: its checksum is the one of what was written here.
    struct stat st {};
    if (::fstat(datei.get(), &st) != 0)
        throw FsFehler("Bestand schreiben", pfad_ + "\\" + temp_, Fehlercode(errno));
    if (!S_ISREG(st.st_mode))
        throw FsFehler("Bestand schreiben", pfad_ + "\\" + temp_, Fehlercode(EINVAL));
    return datei.freigeben();
}

void Dauerschrift::Schreibe(std::string_view stueck) {
    Deskriptor datei(Oeffne());
    std::size_t geschrieben = 0;
    while (geschrieben < stueck.size()) {
        // At the length written so far: not every share keeps to O_APPEND.
        const ssize_t n = ::pwrite(datei.get(), stueck.data() + geschrieben, stueck.size() - geschrieben,
                                   static_cast<off_t>(laenge_));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw FsFehler("Bestand schreiben", pfad_ + "\\" + temp_, Fehlercode(Schreibfehler(ordner_, errno)));
        }
        geschrieben += static_cast<std::size_t>(n);
        laenge_ += static_cast<std::uint64_t>(n);
    }
    if (datei.schliessen() != 0)
        throw FsFehler("Bestand schreiben", pfad_ + "\\" + temp_, Fehlercode(Schreibfehler(ordner_, errno)));
}

std::string Dauerschrift::Vollende(const std::function<std::string(int)>& name) {
    Deskriptor datei(Oeffne());
    if (::fsync(datei.get()) != 0)
        throw FsFehler("Bestand schreiben", pfad_ + "\\" + temp_, Fehlercode(Schreibfehler(ordner_, errno)));
    if (datei.schliessen() != 0)
        throw FsFehler("Bestand schreiben", pfad_ + "\\" + temp_, Fehlercode(Schreibfehler(ordner_, errno)));

    const int dir = ordner_;
    const char* temp = temp_.c_str();
    std::string ziel;
    for (int k = 0;; ++k) {
        ziel = name(k);
        if (::renameat2(dir, temp, dir, ziel.c_str(), RENAME_NOREPLACE) == 0)
            break;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            throw FsFehler("Bestand schreiben", pfad_ + "\\" + ziel, Fehlercode(errno));
        // A file system without the no-replace rename: a hard link never replaces either.
        if (::linkat(dir, temp, dir, ziel.c_str(), 0) == 0) {
            ::unlinkat(dir, temp, 0);
            break;
        }
        if (errno == EEXIST)
            continue;
        if (errno != EPERM && errno != ENOTSUP && errno != EMLINK)
            throw FsFehler("Bestand schreiben", pfad_ + "\\" + ziel, Fehlercode(errno));
        // Nor hard links (an exFAT stick through FUSE): the name is looked at first. The folder is the
        // run's own new backup folder, in which nothing else makes names.
        struct stat st {};
        if (::fstatat(dir, ziel.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            continue;
        if (errno != ENOENT || ::renameat(dir, temp, dir, ziel.c_str()) != 0)
            throw FsFehler("Bestand schreiben", pfad_ + "\\" + ziel, Fehlercode(errno));
        break;
    }
    fertig_ = true;
    if (::fsync(dir) != 0)
        throw FsFehler("Bestand schreiben", pfad_, Fehlercode(errno));
    return ziel;
}

} // namespace tresor
