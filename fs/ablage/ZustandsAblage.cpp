#include "fs/ablage/ZustandsAblage.h"

#include "fs/system/Deskriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace tresor::posix {

namespace {

// The path an open descriptor stands for, as the kernel tells it.
std::optional<std::string> PfadVon(int fd) {
    const std::string verweis = "/proc/self/fd/" + std::to_string(fd);
    std::string pfad(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink(verweis.c_str(), pfad.data(), pfad.size());
        if (n < 0)
            return std::nullopt;
        if (static_cast<std::size_t>(n) < pfad.size()) {
            pfad.resize(static_cast<std::size_t>(n));
            return pfad;
        }
        pfad.resize(pfad.size() * 2);
    }
}

bool SchreibeGanz(int fd, const std::string& text) {
    std::size_t geschrieben = 0;
    while (geschrieben < text.size()) {
        const ssize_t n = ::write(fd, text.data() + geschrieben, text.size() - geschrieben);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        geschrieben += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

ZustandsAblage::ZustandsAblage(std::string datei, std::string einhaengepunkt)
    : datei_(std::move(datei)), einhaengepunkt_(std::move(einhaengepunkt)) {
    const Deskriptor fd(::open(datei_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.gueltig())
        return; // none yet, or unreadable: every file reads as archive set
    std::string text;
    char puffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), puffer, sizeof puffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                return;
            break;
        }
        text.append(puffer, static_cast<std::size_t>(n));
    }
    if (auto bestand = LiesZustand(text))
        bestand_ = *std::move(bestand);
}

std::optional<std::string> ZustandsAblage::Name(const Ort& ort) const {
    std::string pfad;
    if (ort.Ordner == AT_FDCWD) {
        pfad = ort.Name;
    } else {
        auto ordner = PfadVon(ort.Ordner);
        if (!ordner)
            return std::nullopt;
        pfad = *std::move(ordner);
        const std::string_view name = ort.Name;
        if (!name.empty() && name != ".")
            pfad += (pfad == "/" ? "" : "/") + std::string(name);
    }
    if (einhaengepunkt_ == "/")
        return pfad.size() > 1 && pfad.front() == '/' ? std::optional(pfad.substr(1)) : std::optional(std::string());
    if (!pfad.starts_with(einhaengepunkt_))
        return std::nullopt;
    if (pfad.size() == einhaengepunkt_.size())
        return std::string();
    if (pfad[einhaengepunkt_.size()] != '/')
        return std::nullopt;
    return pfad.substr(einhaengepunkt_.size() + 1);
}

std::optional<std::uint32_t> ZustandsAblage::LiesDos(const Ort&) {
    errno = ENOTSUP;
    return std::nullopt;
}

bool ZustandsAblage::SchreibeDos(const Ort&, std::uint32_t) {
    errno = ENOTSUP;
    return false;
}

std::optional<Archivvermerk> ZustandsAblage::LiesVermerk(const Ort& ort) {
    const auto name = Name(ort);
    if (!name)
        return std::nullopt;
    const auto stelle = bestand_.find(*name);
    if (stelle == bestand_.end())
        return std::nullopt;
    auto vermerk = LiesArchivvermerk(stelle->second);
    if (!vermerk)
        return std::nullopt;
    // No inode number is kept: the entry's present one stands in for it.
    struct stat st {};
    const int r = ort.Ordner != AT_FDCWD && *ort.Name == '\0'
                      ? ::fstat(ort.Ordner, &st)
                      : ::fstatat(ort.Ordner, ort.Name, &st, AT_SYMLINK_NOFOLLOW);
    if (r != 0)
        return std::nullopt;
    vermerk->Stand.Inode = static_cast<std::uint64_t>(st.st_ino);
    return vermerk;
}

bool ZustandsAblage::SchreibeVermerk(const Ort& ort, const Archivvermerk& vermerk) {
    const auto name = Name(ort);
    if (!name) {
        errno = EXDEV;
        return false;
    }
    Archivvermerk ohneInode = vermerk;
    ohneInode.Stand.Inode = 0;
    bestand_[*name] = ArchivvermerkText(ohneInode);
    geaendert_ = true;
    return true;
}

bool ZustandsAblage::LoescheVermerk(const Ort& ort) {
    const auto name = Name(ort);
    if (name && bestand_.erase(*name) > 0)
        geaendert_ = true;
    return true;
}

std::optional<Verweisvermerk> ZustandsAblage::LiesVerweisvermerk(const Ort&) {
    return std::nullopt;
}

bool ZustandsAblage::SchreibeVerweisvermerk(const Ort&, const Verweisvermerk&) {
    errno = ENOTSUP;
    return false;
}

bool ZustandsAblage::LoescheVerweisvermerk(const Ort&) {
    return true;
}

bool ZustandsAblage::Festschreiben() {
    if (!geaendert_)
        return true;
    const auto schnitt = datei_.find_last_of('/');
    const std::string ordner = schnitt == 0 ? "/" : datei_.substr(0, schnitt);
    // The folder (and the ones above it) private to the user: the records name the user's files.
    for (std::size_t p = 1; p <= ordner.size(); ++p) {
        if (p == ordner.size() || ordner[p] == '/') {
            if (::mkdir(ordner.substr(0, p).c_str(), 0700) != 0 && errno != EEXIST)
                return false;
        }
    }
    char endung[32];
    (void)std::snprintf(endung, sizeof endung, ".%08x.tmp", static_cast<unsigned>(std::random_device{}()));
    const std::string tmp = datei_ + endung;
    Deskriptor fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.gueltig())
        return false;
    const bool ok = SchreibeGanz(fd.get(), ZustandsText(bestand_)) && ::fsync(fd.get()) == 0 && fd.schliessen() == 0 &&
                    ::rename(tmp.c_str(), datei_.c_str()) == 0;
    if (!ok) {
        const int fehler = errno;
        ::unlink(tmp.c_str());
        errno = fehler;
        return false;
    }
    const Deskriptor ordnerFd(::open(ordner.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!ordnerFd.gueltig() || ::fsync(ordnerFd.get()) != 0)
        return false;
    geaendert_ = false;
    return true;
}

} // namespace tresor::posix
