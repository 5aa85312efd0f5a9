#include "tests/zuverlaessigkeit/Bestand.h"

#include "fs/Attribute.h"
#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/Dosattrib.h"
#include "fs/posix/PosixDateisystem.h"
#include "fs/system/Einhaengungen.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace tresor::test {

namespace {

constexpr std::uint64_t FnvAnfang = 1469598103934665603ull;

std::uint64_t Fnv(std::uint64_t h, const void* daten, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(daten);
    for (std::size_t i = 0; i < n; ++i) {
        h ^= b[i];
        h *= 1099511628211ull;
    }
    return h;
}

// Blocks of 64 KiB that hold only zeros do not count, so holes and written zeros give the same fingerprint.
constexpr std::size_t Block = 64 * 1024;

Inhalt Fingerabdruck(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw std::runtime_error("fstat");
    Inhalt inhalt{static_cast<std::uint64_t>(st.st_size), FnvAnfang};
    std::vector<char> puffer(Block);
    const off_t groesse = st.st_size;
    off_t naechster = 0; // the first block not yet taken in
    off_t pos = 0;
    while (pos < groesse) {
        off_t daten = ::lseek(fd, pos, SEEK_DATA);
        if (daten < 0 && errno == ENXIO)
            break;
        if (daten < 0)
            daten = pos;
        off_t loch = ::lseek(fd, daten, SEEK_HOLE);
        if (loch < 0)
            loch = groesse;
        for (off_t b = std::max(naechster, daten / static_cast<off_t>(Block) * static_cast<off_t>(Block)); b < loch;
             b += static_cast<off_t>(Block)) {
            const ssize_t n = ::pread(fd, puffer.data(), Block, b);
            if (n < 0)
                throw std::runtime_error("pread");
            naechster = b + static_cast<off_t>(Block);
            if (n == 0)
                break;
            const auto ende = puffer.begin() + n;
            if (std::all_of(puffer.begin(), ende, [](char c) { return c == 0; }))
                continue;
            inhalt.Kennung = Fnv(inhalt.Kennung, &b, sizeof b);
            inhalt.Kennung = Fnv(inhalt.Kennung, puffer.data(), static_cast<std::size_t>(n));
        }
        pos = std::max(loch, naechster);
    }
    return inhalt;
}

// Deep trees hold one descriptor per level while they are walked.
void GenugDeskriptoren() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max && r.rlim_cur < 8192) {
        r.rlim_cur = std::min<rlim_t>(r.rlim_max, 8192);
        (void)::setrlimit(RLIMIT_NOFILE, &r);
    }
}

void Lauf(int ordnerFd, const std::string& rel, std::map<std::string, Inhalt>& bestand) {
    DIR* d = ::fdopendir(::dup(ordnerFd));
    if (d == nullptr)
        throw std::runtime_error("fdopendir " + rel);
    std::vector<std::pair<std::string, unsigned char>> eintraege;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            eintraege.emplace_back(name, e->d_type);
    }
    ::closedir(d);
    for (const auto& [name, typ] : eintraege) {
        struct stat st {};
        if (::fstatat(ordnerFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const std::string kind = rel.empty() ? name : rel + "/" + name;
        if (S_ISDIR(st.st_mode)) {
            const int fd = ::openat(ordnerFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                throw std::runtime_error("openat " + kind);
            Lauf(fd, kind, bestand);
            ::close(fd);
        } else if (S_ISREG(st.st_mode)) {
            const int fd = ::openat(ordnerFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                throw std::runtime_error("openat " + kind);
            bestand[kind] = Fingerabdruck(fd);
            ::close(fd);
        }
    }
}

// Opens an absolute path of any length one name at a time; -1 when a step fails.
int OeffneLang(const std::string& posix, int flags) {
    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::size_t pos = 1;
    while (fd >= 0 && pos < posix.size()) {
        std::size_t ende = posix.find('/', pos);
        const bool letzter = ende == std::string::npos;
        const std::string name = posix.substr(pos, letzter ? std::string::npos : ende - pos);
        const int neu =
            name.empty() ? ::dup(fd) : ::openat(fd, name.c_str(), (letzter ? flags : O_PATH | O_DIRECTORY) | O_CLOEXEC);
        ::close(fd);
        fd = neu;
        if (letzter)
            break;
        pos = ende + 1;
    }
    return fd;
}

bool IstRest(const std::string& name) {
    if (name.size() != 23 || !name.starts_with(".tresor-ix-") || !name.ends_with(".tmp"))
        return false;
    return std::all_of(name.begin() + 11, name.begin() + 19,
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string LetzterName(const std::string& rel) {
    const auto s = rel.rfind('/');
    return s == std::string::npos ? rel : rel.substr(s + 1);
}

} // namespace

std::map<std::string, Inhalt> Bestand(const std::string& ordner) {
    GenugDeskriptoren();
    std::map<std::string, Inhalt> bestand;
    const int fd = OeffneLang(ordner, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return bestand;
    Lauf(fd, {}, bestand);
    ::close(fd);
    return bestand;
}

std::optional<Inhalt> InhaltVon(const std::string& posix) {
    const int fd = OeffneLang(posix, O_RDONLY | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    const Inhalt i = Fingerabdruck(fd);
    ::close(fd);
    return i;
}

Inhalt InhaltAus(std::string_view bytes) {
    Inhalt inhalt{bytes.size(), FnvAnfang};
    for (std::size_t b = 0; b < bytes.size(); b += Block) {
        const std::string_view block = bytes.substr(b, Block);
        if (std::all_of(block.begin(), block.end(), [](char c) { return c == 0; }))
            continue;
        const off_t o = static_cast<off_t>(b);
        inhalt.Kennung = Fnv(inhalt.Kennung, &o, sizeof o);
        inhalt.Kennung = Fnv(inhalt.Kennung, block.data(), block.size());
    }
    return inhalt;
}

bool ArchivGesetzt(const std::string& posix) {
    const Laufwerkstabelle wurzel({Laufwerk{'C', "/", {}}});
    auto fs = ErzeugePosixDateisystem(wurzel);
    const Pfad pfad = *wurzel.AusPosix(posix);
    if ((fs->Attributes(fs->GetFile(pfad)) & attr::Archiv) == 0)
        return false;
    char wert[512];
    const ssize_t n = ::lgetxattr(posix.c_str(), posix::ArchivvermerkName, wert, sizeof wert);
    const auto vermerk =
        n > 0 ? posix::LiesArchivvermerk(std::string_view(wert, static_cast<std::size_t>(n))) : std::nullopt;
    struct stat st {};
    if (!vermerk || ::lstat(posix.c_str(), &st) != 0 || st.st_nlink != 1)
        return true;
    const std::uint64_t name = posix::Namenskennung(posix::Einhaengungen::AusSystem().ImDateisystem(posix));
    if (!posix::PasstBisAufCtime(*vermerk, st, name))
        return true;
    const ssize_t dos = ::lgetxattr(posix.c_str(), "user.DOSATTRIB", wert, sizeof wert);
    const auto bits = dos > 0 ? posix::DosattribWert(std::string_view(wert, static_cast<std::size_t>(dos)))
                              : std::optional<std::uint32_t>{};
    return bits && (*bits & attr::Archiv) != 0;
}

void Verluste::Melde(const std::string& text) {
    ++Anzahl;
    if (Meldungen.size() < 20)
        Meldungen.push_back(text);
}

Verluste PruefeSicherungen(const std::string& quelle, const std::vector<Sicherungsstand>& sicherungen,
                           bool restErlaubt) {
    Verluste v;
    std::vector<std::map<std::string, Inhalt>> bestaende;
    for (const auto& s : sicherungen) {
        bestaende.push_back(Bestand(s.Spiegel));
        for (const auto& [rel, inhalt] : bestaende.back()) {
            if (IstRest(LetzterName(rel))) {
                if (!restErlaubt)
                    v.Melde("Rest einer Kopie: " + s.Spiegel + "/" + rel);
                continue;
            }
            const auto erwartet = s.Erwartet(rel);
            if (!erwartet)
                v.Melde("unerwartete Datei: " + s.Spiegel + "/" + rel);
            else if (!(*erwartet == inhalt))
                v.Melde("Kopie weicht von ihrer Quelle ab: " + s.Spiegel + "/" + rel);
        }
    }
    for (const auto& [rel, inhalt] : Bestand(quelle)) {
        if (ArchivGesetzt(quelle + "/" + rel))
            continue;
        bool gesichert = false;
        for (const auto& b : bestaende) {
            const auto it = b.find(rel);
            gesichert = gesichert || (it != b.end() && it->second == inhalt);
        }
        if (!gesichert)
            v.Melde("als gesichert vermerkt, aber in keiner Sicherung: " + quelle + "/" + rel);
    }
    return v;
}

std::vector<std::string> Reste(const std::string& ordner) {
    std::vector<std::string> reste;
    for (const auto& [rel, inhalt] : Bestand(ordner))
        if (IstRest(LetzterName(rel)))
            reste.push_back(rel);
    return reste;
}

void Berichte(const std::string& zeile, long anzahl) {
    const char* datei = std::getenv("TRESOR_BERICHT");
    if (datei == nullptr || *datei == '\0')
        return;
    std::ofstream aus(datei, std::ios::app);
    aus << zeile << ' ' << anzahl << '\n';
}

} // namespace tresor::test
