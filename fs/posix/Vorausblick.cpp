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
    letzter_ = {geraet, inode, namen.get(), 0};
    davor_.reset();
    return ring_.Beginne(std::move(ordner), std::move(namen));
}

bool Vorausblick::Anhaengen(Deskriptor ordner, dev_t geraet, ino_t inode, std::shared_ptr<const Namensliste> namen) {
    // One folder twice in the job would make its entries ambiguous.
    if (!ordner.gueltig() || Finde(geraet, inode) != nullptr)
        return false;
    const Namensliste* liste = namen.get();
    const auto beginn = ring_.Anhaengen(std::move(ordner), std::move(namen));
    if (!beginn)
        return false;
    if (*beginn == 0)
        davor_.reset(); // no folder went on: begun afresh
    else
        davor_ = letzter_;
    letzter_ = {geraet, inode, liste, *beginn};
    return true;
}

const Vorausblick::Teil* Vorausblick::Finde(dev_t geraet, ino_t inode) const {
    if (letzter_.Namen != nullptr && letzter_.Geraet == geraet && letzter_.Inode == inode)
        return &letzter_;
    if (davor_ && davor_->Geraet == geraet && davor_->Inode == inode)
        return &*davor_;
    return nullptr;
}

std::optional<struct stat> Vorausblick::Hole(dev_t geraet, ino_t inode, std::size_t index) {
    const Teil* teil = Finde(geraet, inode);
    if (teil == nullptr) {
        // The walk reaches the names through another folder than the one listed (renamed, replaced): nothing
        // looked at ahead is that folder's, and nothing more is looked at.
        ring_.Verwirf(letzter_.Beginn + index);
        return std::nullopt;
    }
    return ring_.Hole(teil->Beginn + index).Wert;
}

} // namespace tresor::posix
