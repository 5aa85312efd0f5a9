#include "fs/system/Schreibfehler.h"

#include <sys/statvfs.h>

#include <cerrno>

namespace tresor {

int Schreibfehler(int fd, int nummer) {
    if (nummer != EIO)
        return nummer;
    struct statvfs platz {};
    if (::fstatvfs(fd, &platz) == 0 && platz.f_blocks > 0 && platz.f_bavail == 0)
        return ENOSPC;
    return nummer;
}

} // namespace tresor
