#include "fs/posix/Vorausblick.h"

#include <fcntl.h>

#include <algorithm>

namespace tresor::posix {

Vorausblick::Vorausblick(std::function<void(const std::string&)> gesehen)
    : ring_(
          [gesehen = std::move(gesehen)](const Vorarbeit<struct stat>::Auftrag& auftrag, std::size_t index,
                                         struct stat& st) {
              const char* name = auftrag.Namen->CName(index);
              const bool gelungen = ::fstatat(auftrag.Ordner.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
              if (gesehen)
                  gesehen(name);
              return gelungen;
          },
          [](std::size_t vorn) { return std::min(vorn, Abstand); }) {}

bool Vorausblick::Beginne(Deskriptor ordner, dev_t geraet, ino_t inode, std::shared_ptr<const Namensliste> namen) {
    if (!ordner.gueltig()) {
        ring_.Beende();
        return false;
    }
    geraet_ = geraet;
    inode_ = inode;
    return ring_.Beginne(std::move(ordner), std::move(namen));
}

std::optional<struct stat> Vorausblick::Hole(dev_t geraet, ino_t inode, std::size_t index) {
    if (geraet != geraet_ || inode != inode_) {
        // The walk reaches the names through another folder than the one listed (renamed, replaced): nothing
        // looked at ahead is that folder's, and nothing more is looked at.
        ring_.Verwirf(index);
        return std::nullopt;
    }
    return ring_.Hole(index).Wert;
}

} // namespace tresor::posix
