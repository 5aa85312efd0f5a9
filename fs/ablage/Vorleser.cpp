#include "fs/ablage/Vorleser.h"

#include "fs/system/ErweiterteAttribute.h"
#include "fs/system/Ort.h"

#include <fcntl.h>

#include <cerrno>

namespace tresor::posix {

namespace {

std::optional<Archivvermerk> LiesVermerkVon(int ordnerFd, const char* name) {
    const int gerettet = errno;
    const auto text = LiesXattr(Ort(ordnerFd, name), ArchivvermerkName);
    errno = gerettet;
    if (!text)
        return std::nullopt;
    return LiesArchivvermerk(*text);
}

using Ring = Vorarbeit<std::optional<Archivvermerk>>;

} // namespace

Vorleser::Vorleser(Lesen lesen, std::function<void(const std::string&)> gelesen)
    : lesen_(lesen ? std::move(lesen) : Lesen(LiesVermerkVon)),
      ring_(
          [this, gelesen = std::move(gelesen)](const Ring::Auftrag& auftrag, std::size_t index,
                                               std::optional<Archivvermerk>& vermerk) {
              vermerk = lesen_(auftrag.Ordner.get(), auftrag.Namen->CName(index));
              if (gelesen)
                  gelesen(std::string((*auftrag.Namen)[index]));
              return true;
          },
          // Having caught up, the rest ahead is split: the walk reads the first half itself, the other thread
          // goes on with the second.
          [](std::size_t vorn) { return vorn / 2; }) {}

bool Vorleser::Beginne(int ordnerFd, const std::vector<std::string>& namen, std::size_t ab) {
    auto liste = std::make_shared<Namensliste>();
    for (const std::string& name : namen)
        liste->Hinzu(name);
    return Beginne(ordnerFd, std::move(liste), ab);
}

bool Vorleser::Beginne(int ordnerFd, std::shared_ptr<const Namensliste> namen, std::size_t ab) {
    if (!namen || ab >= namen->size()) {
        ring_.Beende();
        return false;
    }
    // A copy of the descriptor of its own: the caller may close its own while an entry is being read.
    Deskriptor kopie(::fcntl(ordnerFd, F_DUPFD_CLOEXEC, 0));
    if (!kopie.gueltig()) {
        ring_.Beende();
        return false;
    }
    return ring_.Beginne(std::move(kopie), std::move(namen), ab);
}

std::optional<std::optional<Archivvermerk>> Vorleser::Hole(std::size_t index) {
    auto abgabe = ring_.Hole(index);
    if (abgabe.Selbst)
        return lesen_(abgabe.Selbst->Ordner.get(), abgabe.Selbst->Namen->CName(index));
    return abgabe.Wert;
}

Vorleser::Zaehler Vorleser::Stand() const {
    const auto z = ring_.Stand();
    return {z.Vorab, z.Selbst, z.Wartet};
}

} // namespace tresor::posix
