// The file-system object on Linux.
//
// How the attribute bits are kept:
//   1  read-only  the owner has no write permission (S_IWUSR). Setting the bit removes every write
//                 permission; clearing it gives the owner write permission.
//   2  hidden     the name begins with a dot ("." and ".." excepted), or the hidden bit (0x2) is set in
//                 the extended attribute user.DOSATTRIB. A dot name is hidden whatever the attribute
//                 says, so the hidden bit of a dot name cannot be cleared.
//   4  system     the system bit (0x4) in user.DOSATTRIB.
//   16 directory  the entry is a directory (lstat; symbolic links are never followed).
//   32 archive    regular files and symbolic links, never folders: set unless the file carries a valid
//                 archive record that still matches it, and always set while user.DOSATTRIB carries its
//                 archive bit (0x20). For a symbolic link, see "Symbolic links" below.
// No other bit is ever reported.
//
// user.DOSATTRIB is read in every form it is found in: the text "0x<hex>" with or without a trailing NUL,
// and the binary forms (versions 1 to 5): a NUL-terminated text, padding to an even offset, a 16-bit
// version, the same version again as a 16-bit switch, padding to a multiple of four, then the version's
// record, whose 32-bit attribute field comes first (version 1) or after a 32-bit field of flags (versions
// 2 to 5). All numbers little-endian. It is written only as the text "0x<hex>" followed by one NUL, the
// form Samba itself writes when it stores the text alone and that Wine reads as well. It is written where
// hidden or system must be stored and the name does not say it already, and wherever it already exists,
// so that what is changed here is also what SMB clients see; it is never removed. Bits of it that this
// program does not use are kept as they are.
//
// The archive record is the extended attribute user.tresor-ix.archiv. Its value is ASCII text without a
// trailing NUL: the format version "1", then the modification time in nanoseconds since the epoch, the
// size in bytes and the inode number, all in decimal and separated by single blanks, e.g.
// "1 1700000000123456789 4096 1835012". A file of several names (hard links) shares one record among them
// and is backed up under each name: its record goes on with a blank and, joined by commas, one key for each
// name it was backed up under (16 hex digits: FNV-1a of the absolute POSIX path), and it reads as archive
// set under every name that is not among them. A value of any other form counts as missing. The record describes
// the file as it was when it was backed up; a file whose time, size or inode has moved on since (written,
// truncated, replaced through a rename, restored, copied) reads as archive set.
//
// Further choices of this backend:
// - Paths: a path not in program form fails with EINVAL, a drive letter missing from the drive table with
//   ENODEV ("Laufwerk nicht bereit"). A folder object's Path has no trailing backslash except a drive root.
// - Dir: a missing entry, and a listing of a folder that does not exist, yield "". Symbolic links, FIFOs
//   and the like are entries without the directory bit; nothing is ever followed.
// - Names: a Linux name may hold any byte but "/" and NUL. A backslash inside a name is written as "/" in
//   the program's form (a byte that never occurs in a Linux name), and a "/" of the program form is a
//   backslash on disk (Laufwerkstabelle, NamenAusPosix). So the name "a\b" is listed with the Name "a/b" and
//   the Path "C:\f\a/b": one level, never two; the engine splits paths at backslashes only, and the copy
//   gets exactly the bytes of its name on disk. Names that are not UTF-8, or hold a newline, are bytes like
//   any other and are kept as they are.
// - Long paths: the kernel takes no path of PATH_MAX (4096) bytes or more. Such a path is reached through
//   a descriptor of a folder on its way, opened in steps that each fit, and given to the kernel as
//   "/proc/self/fd/N/rest" (Systempfad). Every operation works on paths of any length that way.
// - Symbolic links are never followed. Files lists them beside the regular files (whatever they point to:
//   nothing, themselves, a folder); SubFolders never does. A link is backed up as the same link: Copy reads
//   its target text and makes a link of that text under a temporary name in the destination folder, gives
//   it the link's modification time and renames it into place. FIFOs, sockets and device files are never
//   listed or opened.
// - Symbolic links: Linux allows no user extended attributes on a link, so a link's archive record lives
//   on the folder that holds it, in user.tresor-ix.verweise. Its value is binary, all numbers 64-bit
//   little-endian: the format version 1, the folder's modification time in nanoseconds and its inode
//   number when the record was begun, then in ascending order one key for each link backed up in that
//   state of the folder. The key is FNV-1a (64 bits) over the bytes of the link's name on disk followed by
//   its inode number and its modification time in nanoseconds (8 bytes each). A value of any other form
//   counts as missing. A link reads archive set unless the record exists, its folder state equals the
//   folder's present one and it holds the link's key. Making, replacing, renaming or removing any entry of
//   the folder changes the folder's time, so a new or changed link reads set, and so do the other links
//   of that folder once: they are copied again with it, which costs little. Writing the record touches
//   only the folder's ctime, never its time, so the record does not spoil itself. Clearing the bit adds
//   the key of the state the copy was taken from, read with the folder's state before the copy: a folder
//   changed during the run leaves its links set for the next run. A record of another folder state is
//   replaced, not merged. Setting the bit removes the link's key. Read-only and system are never reported
//   or stored for a link; hidden follows its name. The record needs write permission on the folder, lent
//   for the moment on a folder of the user's own, as for files. Its limit: the file system gives all
//   extended attributes of a folder only so much room (ext4 about one block of 4 KiB, some hundreds of
//   keys). Where the record cannot grow any more (E2BIG, ENOSPC) it is left as it was: the link keeps its
//   archive bit, the run's check of the copy reports that, and nothing is reported as backed up that was
//   not.
// - A folder met through SubFolders that is the root of another mount (another device, a mount root, or a
//   drive of the table) is listed, but its own SubFolders and Files are empty. The root of a walk, taken
//   through GetFolder, is entered.
// - Copy writes ".tresor-ix-<hex>.tmp" in the destination folder and renames it into place; every failure
//   removes it. Nothing is flushed per file: Sync flushes the whole file system once for many copies.

#include "fs/PosixDateisystem.h"

#include "fs/Attribute.h"
#include "fs/FsFehler.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <utility>

namespace tresor {

namespace {

constexpr const char* DosattribName = "user.DOSATTRIB";
constexpr const char* VermerkName = "user.tresor-ix.archiv";
constexpr const char* VerweiseName = "user.tresor-ix.verweise";

// The DOS attribute bits this program keeps in user.DOSATTRIB; the values match the attribute value's.
constexpr std::uint32_t DosEigeneBits = attr::Schreibgeschuetzt | attr::Versteckt | attr::System | attr::Archiv;

std::error_code Fehlercode(int nummer) {
    return {nummer, std::generic_category()};
}

// An open file descriptor, closed when it goes.
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

// The last name of a path in program form (after the last backslash); "" for a drive root.
std::string LetzterName(std::string_view pfad) {
    const auto schnitt = pfad.rfind('\\');
    return std::string(schnitt == std::string_view::npos ? pfad : pfad.substr(schnitt + 1));
}

bool IstLaufwerkswurzel(std::string_view pfad) {
    return pfad.size() == 3 && pfad[1] == ':' && pfad[2] == '\\';
}

// A folder object's path: no trailing backslash, except for a drive root.
Pfad OhneSchraegstrich(Pfad pfad) {
    while (pfad.size() > 3 && pfad.back() == '\\')
        pfad.pop_back();
    return pfad;
}

std::string PosixKind(const std::string& ordner, const std::string& name) {
    return (!ordner.empty() && ordner.back() == '/') ? ordner + name : ordner + "/" + name;
}

// An absolute POSIX path in a form the kernel takes. A path shorter than PATH_MAX is given as it is. A longer
// one is reached through a folder on its way: the folders are opened one stretch at a time (each stretch
// shorter than PATH_MAX, relative to the folder before), and the path becomes "/proc/self/fd/N/rest" with
// the descriptor N of the last folder opened, which this object keeps open. The kernel resolves that
// through the open folder, so every path-based call (lstat, open, mkdir, chmod, the xattr calls, rename)
// works on it and, as with the whole path, does not follow a symbolic link in the last name.
// A failure on the way (a missing folder, no access) is kept in Fehler(); the path is then unusable.
class Systempfad {
public:
    explicit Systempfad(std::string voll) : voll_(std::move(voll)) {
        if (voll_.size() < PATH_MAX) {
            kurz_ = voll_;
            return;
        }
        // Stretches well below the limit leave room for the descriptor's prefix and the last names.
        constexpr std::size_t Strecke = 2048;
        const std::size_t schnitt = voll_.rfind('/');
        const std::string_view ordner = std::string_view(voll_).substr(0, schnitt);
        std::size_t pos = 0;
        int basis = AT_FDCWD;
        while (ordner.size() - pos > Strecke) {
            const std::size_t ende = ordner.rfind('/', pos + Strecke);
            if (ende == std::string_view::npos || ende <= pos) {
                fehler_ = ENAMETOOLONG; // a single name longer than a stretch: no file system has one
                return;
            }
            std::string stueck(ordner.substr(pos, ende - pos));
            if (stueck.empty())
                stueck = "/";
            Deskriptor neu(::openat(basis, stueck.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!neu.gueltig()) {
                fehler_ = errno;
                return;
            }
            stufe_ = std::move(neu);
            basis = stufe_.get();
            pos = ende + 1;
        }
        kurz_ = "/proc/self/fd/" + std::to_string(basis) + "/";
        if (pos < ordner.size())
            kurz_.append(ordner.substr(pos)).append("/");
        kurz_.append(voll_, schnitt + 1);
    }

    // The whole path, for comparisons and messages.
    const std::string& Voll() const noexcept { return voll_; }
    // The form for system calls.
    const std::string& Kurz() const noexcept { return kurz_; }
    const char* c_str() const noexcept { return kurz_.c_str(); }
    operator const std::string&() const noexcept { return kurz_; }
    // 0, or the error number of the way to a long path's folder.
    int Fehler() const noexcept { return fehler_; }

private:
    std::string voll_;
    std::string kurz_;
    Deskriptor stufe_;
    int fehler_ = 0;
};

// Removes a temporary entry of a copy when it goes out of scope before the copy was renamed into place, so
// that a failure never leaves anything partial behind.
struct TemporaererEintrag {
    int ordner;
    const std::string& name;
    const bool& fertig;
    ~TemporaererEintrag() {
        if (!fertig)
            ::unlinkat(ordner, name.c_str(), 0);
    }
};

Pfad KindPfad(const Pfad& eltern, const std::string& name) {
    return (!eltern.empty() && eltern.back() == '\\') ? eltern + name : eltern + "\\" + name;
}

// A name that begins with a dot is hidden, except the entries "." and "..".
bool IstPunktname(std::string_view name) {
    return !name.empty() && name.front() == '.' && name != "." && name != "..";
}

// A name on disk in the program's form: a backslash inside it is written as "/" (see the top of this file).
std::string Programmname(const std::string& name) {
    return name.find('\\') == std::string::npos ? name : NamenAusPosix(name);
}

std::int64_t MtimeNs(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

Quellstand StandAus(const struct stat& st) {
    return Quellstand{MtimeNs(st), static_cast<std::int64_t>(st.st_size), static_cast<std::uint64_t>(st.st_ino), true};
}

std::uint32_t LiesLe16(std::string_view b, std::size_t o) {
    return static_cast<std::uint8_t>(b[o]) | (static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[o + 1])) << 8);
}
std::uint32_t LiesLe32(std::string_view b, std::size_t o) {
    return LiesLe16(b, o) | (LiesLe16(b, o + 2) << 16);
}

std::optional<std::uint32_t> HexWert(std::string_view text) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return std::nullopt;
    std::uint32_t wert = 0;
    const auto [ende, fehler] = std::from_chars(text.data() + 2, text.data() + text.size(), wert, 16);
    if (fehler != std::errc() || ende != text.data() + text.size())
        return std::nullopt;
    return wert;
}

// The DOS attribute value of a user.DOSATTRIB value, or nothing when it is in no known form.
std::optional<std::uint32_t> DosattribWert(std::string_view blob) {
    const auto nul = blob.find('\0');
    const std::string_view text = nul == std::string_view::npos ? blob : blob.substr(0, nul);
    if (nul != std::string_view::npos && nul + 1 < blob.size()) {
        std::size_t o = (nul + 1 + 1) & ~std::size_t{1};
        if (o + 4 <= blob.size()) {
            const std::uint32_t version = LiesLe16(blob, o);
            const std::uint32_t schalter = LiesLe16(blob, o + 2);
            o = (o + 4 + 3) & ~std::size_t{3};
            std::size_t attrib = 0;
            if (version == 1)
                attrib = o;
            else if (version >= 2 && version <= 5)
                attrib = o + 4;
            if (version == schalter && version >= 1 && version <= 5 && attrib + 4 <= blob.size())
                return LiesLe32(blob, attrib);
        }
    }
    // The text alone (older writers), or a binary value that does not parse but starts with the text.
    return HexWert(text);
}

// Where an entry is for the system calls: a folder descriptor and the entry's name in it, so that the
// kernel looks up one name instead of walking the whole path again. With AT_FDCWD the name is a whole path.
// The strings are the caller's; an Ort lives no longer than they do.
struct Ort {
    int Ordner = AT_FDCWD;
    const char* Name = "";
    Ort() = default;
    Ort(int ordner, const char* name) : Ordner(ordner), Name(name) {}
    // A whole path (the drive-root case and the paths a Systempfad shortened).
    Ort(const std::string& pfad) : Name(pfad.c_str()) {} // NOLINT: a path stands for its entry
    Ort(const Systempfad& pfad) : Name(pfad.c_str()) {}  // NOLINT: likewise
    // The open entry itself.
    static Ort Selbst(int fd) { return Ort(fd, ""); }
};

// The extended-attribute calls relative to a folder descriptor (getxattrat and its siblings, Linux 6.13).
// Where the kernel has none of them, the entry is named through /proc/self/fd instead, which the kernel
// resolves through the same open folder.
#ifndef SYS_setxattrat
#define SYS_setxattrat 463
#endif
#ifndef SYS_getxattrat
#define SYS_getxattrat 464
#endif
#ifndef SYS_removexattrat
#define SYS_removexattrat 466
#endif

struct XattrArgumente {
    std::uint64_t Wert;
    std::uint32_t Groesse;
    std::uint32_t Schalter;
};

std::atomic<bool> ohneXattrat{false};

std::string ProcPfad(const Ort& ort) {
    return "/proc/self/fd/" + std::to_string(ort.Ordner) + "/" + ort.Name;
}

ssize_t GetxattrAn(const Ort& ort, const char* attribut, void* puffer, std::size_t groesse) {
    if (ort.Ordner != AT_FDCWD && *ort.Name == '\0')
        return ::fgetxattr(ort.Ordner, attribut, puffer, groesse);
    if (ort.Ordner == AT_FDCWD)
        return ::lgetxattr(ort.Name, attribut, puffer, groesse);
    if (!ohneXattrat.load(std::memory_order_relaxed)) {
        XattrArgumente a{reinterpret_cast<std::uintptr_t>(puffer), static_cast<std::uint32_t>(groesse), 0};
        const long n = ::syscall(SYS_getxattrat, ort.Ordner, ort.Name, AT_SYMLINK_NOFOLLOW, attribut, &a, sizeof a);
        if (n >= 0 || errno != ENOSYS)
            return n;
        ohneXattrat.store(true, std::memory_order_relaxed);
    }
    return ::lgetxattr(ProcPfad(ort).c_str(), attribut, puffer, groesse);
}

int SetxattrAn(const Ort& ort, const char* attribut, const void* wert, std::size_t groesse) {
    if (ort.Ordner == AT_FDCWD)
        return ::lsetxattr(ort.Name, attribut, wert, groesse, 0);
    if (!ohneXattrat.load(std::memory_order_relaxed)) {
        XattrArgumente a{reinterpret_cast<std::uintptr_t>(wert), static_cast<std::uint32_t>(groesse), 0};
        const long n = ::syscall(SYS_setxattrat, ort.Ordner, ort.Name, AT_SYMLINK_NOFOLLOW, attribut, &a, sizeof a);
        if (n >= 0 || errno != ENOSYS)
            return static_cast<int>(n);
        ohneXattrat.store(true, std::memory_order_relaxed);
    }
    return ::lsetxattr(ProcPfad(ort).c_str(), attribut, wert, groesse, 0);
}

int RemovexattrAn(const Ort& ort, const char* attribut) {
    if (ort.Ordner == AT_FDCWD)
        return ::lremovexattr(ort.Name, attribut);
    if (!ohneXattrat.load(std::memory_order_relaxed)) {
        const long n = ::syscall(SYS_removexattrat, ort.Ordner, ort.Name, AT_SYMLINK_NOFOLLOW, attribut);
        if (n >= 0 || errno != ENOSYS)
            return static_cast<int>(n);
        ohneXattrat.store(true, std::memory_order_relaxed);
    }
    return ::lremovexattr(ProcPfad(ort).c_str(), attribut);
}

// Reads an extended attribute of the entry itself (never through a symbolic link). Nothing when it is
// missing, unreadable or not supported by the file system.
std::optional<std::string> LiesXattr(const Ort& ort, const char* name) {
    char puffer[256];
    ssize_t n = GetxattrAn(ort, name, puffer, sizeof puffer);
    if (n >= 0)
        return std::string(puffer, static_cast<std::size_t>(n));
    if (errno != ERANGE)
        return std::nullopt;
    for (int versuch = 0; versuch < 3; ++versuch) {
        n = GetxattrAn(ort, name, nullptr, 0);
        if (n < 0)
            return std::nullopt;
        std::string wert(static_cast<std::size_t>(n), '\0');
        n = GetxattrAn(ort, name, wert.data(), wert.size());
        if (n >= 0) {
            wert.resize(static_cast<std::size_t>(n));
            return wert;
        }
        if (errno != ERANGE)
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> LiesDosattrib(const Ort& ort) {
    const auto blob = LiesXattr(ort, DosattribName);
    if (!blob)
        return std::nullopt;
    return DosattribWert(*blob);
}

std::string DosattribText(std::uint32_t wert) {
    char text[16];
    const int n = std::snprintf(text, sizeof text, "0x%x", wert);
    return std::string(text, static_cast<std::size_t>(n) + 1); // with the NUL
}

// The user.DOSATTRIB value to write so that the entry `name` carries the attribute bits of `wert`, or
// nothing when none is to be written: it is written where it exists already (and would change), or where
// hidden or system must be stored and the name does not say it. Bits of an existing value that this
// program does not use are kept; a folder's archive bit is not ours and stays as it is.
std::optional<std::uint32_t> NeuerDosWert(const std::optional<std::uint32_t>& alt, int wert, std::string_view name,
                                          bool istOrdner) {
    std::uint32_t eigene = static_cast<std::uint32_t>(wert) & DosEigeneBits;
    if (istOrdner)
        eigene = (eigene & ~static_cast<std::uint32_t>(attr::Archiv)) | (alt.value_or(0) & attr::Archiv);
    const bool noetig = (wert & attr::System) || ((wert & attr::Versteckt) && !IstPunktname(name));
    if (!alt && !noetig)
        return std::nullopt;
    std::uint32_t neu = (alt.value_or(0) & ~DosEigeneBits) | eigene;
    if (istOrdner)
        neu |= attr::Verzeichnis;
    if (alt && *alt == neu)
        return std::nullopt;
    return neu;
}

bool SchreibeDos(const Ort& ort, std::uint32_t wert) {
    const std::string text = DosattribText(wert);
    return SetxattrAn(ort, DosattribName, text.data(), text.size()) == 0;
}

// The archive record: the state, and for a file of several names (hard links) the names it was backed up
// under, as FNV-1a hashes of their absolute POSIX paths.
struct Vermerk {
    Quellstand Stand;
    std::vector<std::uint64_t> Namen;
};

// FNV-1a, 64 bits: offset basis 14695981039346656037, prime 1099511628211; each byte is XORed into the
// hash, which is then multiplied by the prime (modulo 2^64).
constexpr std::uint64_t FnvAnfang = 14695981039346656037ull;
std::uint64_t Fnv1a(std::uint64_t h, std::string_view bytes) {
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

// The key of one name of a file in its archive record: FNV-1a of the absolute POSIX path, begun from the
// value 1469598103934665603 rather than the usual offset basis. Records written so far carry keys of that
// start, so it stays.
std::uint64_t Namenskennung(std::string_view posix) {
    return Fnv1a(1469598103934665603ull, posix);
}

std::string VermerkText(const Vermerk& vermerk) {
    std::string text = "1 " + std::to_string(vermerk.Stand.MtimeNs) + " " + std::to_string(vermerk.Stand.Groesse) +
                       " " + std::to_string(vermerk.Stand.Inode);
    for (std::size_t i = 0; i < vermerk.Namen.size(); ++i) {
        char hex[24];
        (void)std::snprintf(hex, sizeof hex, "%c%016llx", i == 0 ? ' ' : ',',
                            static_cast<unsigned long long>(vermerk.Namen[i]));
        text += hex;
    }
    return text;
}

std::optional<Vermerk> LiesVermerk(const Ort& ort) {
    const auto text = LiesXattr(ort, VermerkName);
    if (!text || !text->starts_with("1 ") || text->ends_with(' ') || text->ends_with(','))
        return std::nullopt;
    Vermerk vermerk;
    Quellstand& stand = vermerk.Stand;
    const char* p = text->data() + 2;
    const char* ende = text->data() + text->size();
    // A number, then the separator `danach` or the end (when `endeErlaubt`).
    auto zahl = [&](auto& wert, int basis, char danach, bool endeErlaubt) {
        const auto [q, fehler] = std::from_chars(p, ende, wert, basis);
        if (fehler != std::errc() || q == p)
            return false;
        p = q;
        if (p == ende)
            return endeErlaubt;
        if (*p != danach)
            return false;
        ++p;
        return true;
    };
    if (!zahl(stand.MtimeNs, 10, ' ', false) || !zahl(stand.Groesse, 10, ' ', false) ||
        !zahl(stand.Inode, 10, ' ', true))
        return std::nullopt;
    while (p != ende) {
        std::uint64_t name = 0;
        if (!zahl(name, 16, ',', true))
            return std::nullopt;
        vermerk.Namen.push_back(name);
    }
    stand.Gueltig = true;
    return vermerk;
}

bool Gleich(const Quellstand& a, const Quellstand& b) {
    return a.MtimeNs == b.MtimeNs && a.Groesse == b.Groesse && a.Inode == b.Inode;
}

// The record of the symbolic links of one folder that were backed up (see the top of this file): the
// folder's state when it was written and one key for each link backed up in that state.
struct Verweisvermerk {
    std::int64_t OrdnerMtimeNs = 0;
    std::uint64_t OrdnerInode = 0;
    std::vector<std::uint64_t> Kennungen; // ascending, each once
};

constexpr std::uint64_t VerweisFormat = 1;
constexpr std::size_t VerweisKopf = 24;

void HaengeLe64An(std::string& text, std::uint64_t wert) {
    for (int i = 0; i < 8; ++i)
        text.push_back(static_cast<char>((wert >> (8 * i)) & 0xffu));
}

std::uint64_t LiesLe64(std::string_view b, std::size_t o) {
    return LiesLe32(b, o) | (static_cast<std::uint64_t>(LiesLe32(b, o + 4)) << 32);
}

std::string VerweisvermerkWert(const Verweisvermerk& vermerk) {
    std::string wert;
    wert.reserve(VerweisKopf + 8 * vermerk.Kennungen.size());
    HaengeLe64An(wert, VerweisFormat);
    HaengeLe64An(wert, static_cast<std::uint64_t>(vermerk.OrdnerMtimeNs));
    HaengeLe64An(wert, vermerk.OrdnerInode);
    for (const std::uint64_t k : vermerk.Kennungen)
        HaengeLe64An(wert, k);
    return wert;
}

// The folder's link record, or nothing when it is missing or of any other form.
std::optional<Verweisvermerk> LiesVerweisvermerk(const Ort& ordner) {
    const auto wert = LiesXattr(ordner, VerweiseName);
    if (!wert || wert->size() < VerweisKopf || wert->size() % 8 != 0 || LiesLe64(*wert, 0) != VerweisFormat)
        return std::nullopt;
    Verweisvermerk vermerk;
    vermerk.OrdnerMtimeNs = static_cast<std::int64_t>(LiesLe64(*wert, 8));
    vermerk.OrdnerInode = LiesLe64(*wert, 16);
    for (std::size_t o = VerweisKopf; o < wert->size(); o += 8) {
        const std::uint64_t k = LiesLe64(*wert, o);
        if (!vermerk.Kennungen.empty() && k <= vermerk.Kennungen.back())
            return std::nullopt;
        vermerk.Kennungen.push_back(k);
    }
    return vermerk;
}

// The key of a symbolic link in its folder's record: FNV-1a over the bytes of its name on disk, then its
// inode number and its modification time in nanoseconds, each as 8 bytes little-endian. A link made anew,
// renamed or touched gets another key.
std::uint64_t Verweiskennung(std::string_view name, std::uint64_t inode, std::int64_t mtimeNs) {
    std::string zahlen;
    HaengeLe64An(zahlen, inode);
    HaengeLe64An(zahlen, static_cast<std::uint64_t>(mtimeNs));
    return Fnv1a(Fnv1a(FnvAnfang, name), zahlen);
}

// The folder itself, named through its open descriptor.
Ort OrdnerSelbst(int ordnerFd) {
    return Ort(ordnerFd, ".");
}

// The attribute value of the symbolic link `name` (its name on disk) in the open folder `ordnerFd`, whose
// lstat data is `st`: hidden for a dot name, archive unless the folder's record matches the folder as it is
// now and holds the link's key. Links have no read-only, system or directory bit.
int Verweiswert(int ordnerFd, std::string_view name, const struct stat& st) {
    int wert = IstPunktname(name) ? attr::Versteckt : 0;
    struct stat ost {};
    bool archiv = true;
    if (ordnerFd != AT_FDCWD && ::fstat(ordnerFd, &ost) == 0) {
        if (const auto vermerk = LiesVerweisvermerk(OrdnerSelbst(ordnerFd));
            vermerk && vermerk->OrdnerMtimeNs == MtimeNs(ost) && vermerk->OrdnerInode == ost.st_ino)
            archiv = !std::binary_search(vermerk->Kennungen.begin(), vermerk->Kennungen.end(),
                                         Verweiskennung(name, st.st_ino, MtimeNs(st)));
    }
    if (archiv)
        wert |= attr::Archiv;
    return wert;
}

enum class MitArchiv { nein, ja };

// The attribute value of an entry whose lstat data is `st`. `name` is its last name, `voll` its whole POSIX
// path (the name of a file with several names in its archive record). The archive bit costs one more system
// call and is left out where only the other bits matter.
int Attributwert(const Ort& ort, std::string_view name, const struct stat& st,
                 MitArchiv mitArchiv = MitArchiv::ja, std::string_view voll = {}) {
    int wert = 0;
    if ((st.st_mode & S_IWUSR) == 0)
        wert |= attr::Schreibgeschuetzt;
    if (IstPunktname(name))
        wert |= attr::Versteckt;
    // Symbolic links carry no user attributes; asking would only cost a system call.
    const auto dos = S_ISLNK(st.st_mode) ? std::nullopt : LiesDosattrib(ort);
    if (dos)
        wert |= static_cast<int>(*dos & (attr::Versteckt | attr::System));
    if (S_ISDIR(st.st_mode)) {
        wert |= attr::Verzeichnis;
    } else if (S_ISREG(st.st_mode) && mitArchiv == MitArchiv::ja) {
        bool archiv = dos && (*dos & attr::Archiv) != 0;
        if (!archiv) {
            const auto vermerk = LiesVermerk(ort);
            archiv = !vermerk || !Gleich(vermerk->Stand, StandAus(st));
            // A file of several names is backed up under each of them: the record must hold this one.
            if (!archiv && st.st_nlink > 1)
                archiv = std::find(vermerk->Namen.begin(), vermerk->Namen.end(), Namenskennung(voll)) ==
                         vermerk->Namen.end();
        }
        if (archiv)
            wert |= attr::Archiv;
    }
    return wert;
}

// The entries of an open folder, "." and ".." left out, in byte order of their names.
struct Eintrag {
    std::string Name;
    unsigned char Typ; // d_type, DT_UNKNOWN where the file system does not tell
};

std::vector<Eintrag> LiesEintraege(Deskriptor ordner, int& fehler) {
    fehler = 0;
    std::vector<Eintrag> eintraege;
    DIR* d = ::fdopendir(ordner.get());
    if (d == nullptr) {
        fehler = errno;
        return eintraege;
    }
    (void)ordner.freigeben(); // the stream owns the descriptor now
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(d);
        if (e == nullptr) {
            fehler = errno;
            break;
        }
        const std::string_view name(e->d_name);
        if (name == "." || name == "..")
            continue;
        eintraege.push_back(Eintrag{std::string(name), e->d_type});
    }
    ::closedir(d);
    // std::string compares as unsigned char: byte order.
    std::sort(eintraege.begin(), eintraege.end(), [](const Eintrag& a, const Eintrag& b) { return a.Name < b.Name; });
    return eintraege;
}

class PosixDateisystem final : public Dateisystem {
public:
    explicit PosixDateisystem(Laufwerkstabelle laufwerke) : laufwerke_(std::move(laufwerke)) {}

    Ordner GetFolder(const Pfad& pfad) override;
    std::vector<Ordner> SubFolders(const Ordner& ordner) override;
    std::vector<Datei> Files(const Ordner& ordner) override;
    Datei GetFile(const Pfad& pfad) override;
    int Attributes(const Datei& datei) override;
    Quellstand Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt = {}) override;
    std::string Dir(const Pfad& pfad, int maske) override;
    void MakeDir(const Pfad& pfad, Anlage anlage) override;
    void SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) override;
    void Sync(const Pfad& pfad) override;
    void OrdnerAbschliessen(const Pfad& quelle, const Pfad& ziel) override;
    void Ausschliessen(const Pfad& ordner) override;

private:
    using Kennung = std::pair<dev_t, ino_t>;

    // The POSIX path of a program path. A path not in program form fails with EINVAL, a drive that is not
    // in the table with ENODEV ("not ready").
    // A path whose way fails (a long path through a missing folder) fails with that error.
    Systempfad Posix(const char* operation, const Pfad& pfad) const;
    // Fails for a path that ZuPosix refused: EINVAL when it is not in program form, else ENODEV.
    [[noreturn]] static void Unbrauchbar(const char* operation, const Pfad& pfad);
    struct stat Lstat(const char* operation, const Pfad& pfad, const std::string& posix) const;
    // Opens a folder for reading its entries (never through a symbolic link).
    Deskriptor OeffneOrdner(const char* operation, const Pfad& pfad, const std::string& posix, struct stat& st) const;
    // What a collection reads of a folder: its entries, a descriptor of it for looking at them, its stat.
    struct Ordnerinhalt {
        std::vector<Eintrag> Eintraege;
        Deskriptor Basis;
        struct stat St {};
        Systempfad Posix;
    };
    // Nothing for a folder that is never entered (a mount point met through SubFolders).
    std::optional<Ordnerinhalt> LiesOrdner(const char* operation, const Ordner& ordner);
    std::string TemporaererName();
    // Copy of a symbolic link as the same link; `quelle` is the link's place.
    class Eintragsort;
    Quellstand KopiereVerweis(const Datei& datei, const Pfad& ziel, Eintragsort& quelle);
    // SetFileAttr of a symbolic link: the archive bit in its folder's record.
    void VerweisVermerken(const Pfad& pfad, Eintragsort& ort, const struct stat& st, int wert, const Quellstand& stand);

    // An entry as the system calls name it: relative to its folder, held open for the next operations in
    // the same folder, or as a whole path where the path ends in no name of its own.
    class Eintragsort {
    public:
        Ort Wo() const { return ganz_ ? Ort(*ganz_) : Ort(ordner_, name_.c_str()); }
        int Ordner() const { return ganz_ ? AT_FDCWD : ordner_; }
        const char* Name() const { return ganz_ ? ganz_->c_str() : name_.c_str(); }
        bool Ganz() const { return ganz_.has_value(); }

    private:
        friend class PosixDateisystem;
        int ordner_ = AT_FDCWD;
        dev_t ordnerGeraet_ = 0;
        std::string ordnerpfad_; // the key of the held-open folder, empty for a whole path
        std::string name_;
        std::optional<Systempfad> ganz_;
    };
    // Fills `ort` for the program path. Returns 0, or the error number of the way to the entry's folder
    // (which the path-based call would have met as well). A path not in program form fails as in Posix.
    [[nodiscard]] int Verorte(const char* operation, const Pfad& pfad, Eintragsort& ort);
    // After a call through a held-open folder found no entry: true when that folder was removed since it was
    // opened (a folder of that path may have been made anew), in which case it is opened again and `ort`
    // is filled anew, so that the call can be repeated as the path would have been resolved now.
    [[nodiscard]] bool Erneuert(const char* operation, const Pfad& pfad, Eintragsort& ort);
    void VerorteOderWirf(const char* operation, const Pfad& pfad, Eintragsort& ort);
    // lstat of the entry; fails with the operation and the path.
    struct stat StatAn(const char* operation, const Pfad& pfad, Eintragsort& ort);

    // Folders held open, the most recently used first. The engine works in one source folder and its
    // mirror at a time, so a few suffice. A folder that is removed meanwhile fails the calls as its path
    // would; the descriptors are closed with this object.
    struct OffenerOrdner {
        Pfad Programmpfad;
        Deskriptor Fd;
        dev_t Geraet;
    };
    std::vector<OffenerOrdner> offeneOrdner_;
    static constexpr std::size_t OffeneOrdnerHoechstens = 4;
    // Pairs of file systems (source, target folder) that refused a reflink.
    std::set<std::pair<dev_t, dev_t>> ohneReflink_;

    Laufwerkstabelle laufwerke_;
    std::set<Kennung> grenzen_;        // mount points met through SubFolders: listed, never entered
    std::set<Kennung> ausgeschlossen_; // never listed
    std::mt19937_64 zufall_{std::random_device{}()};
};

Systempfad PosixDateisystem::Posix(const char* operation, const Pfad& pfad) const {
    if (auto posix = laufwerke_.ZuPosix(pfad)) {
        Systempfad sp(*std::move(posix));
        if (sp.Fehler() != 0)
            throw FsFehler(operation, pfad, Fehlercode(sp.Fehler()));
        return sp;
    }
    Unbrauchbar(operation, pfad);
}

void PosixDateisystem::Unbrauchbar(const char* operation, const Pfad& pfad) {
    const bool form = pfad.size() >= 3 && pfad[1] == ':' && pfad[2] == '\\' &&
                      ((pfad[0] >= 'A' && pfad[0] <= 'Z') || (pfad[0] >= 'a' && pfad[0] <= 'z')) &&
                      pfad.find('\0') == Pfad::npos;
    throw FsFehler(operation, pfad, Fehlercode(form ? ENODEV : EINVAL));
}

struct stat PosixDateisystem::Lstat(const char* operation, const Pfad& pfad, const std::string& posix) const {
    struct stat st {};
    if (::lstat(posix.c_str(), &st) != 0)
        throw FsFehler(operation, pfad, Fehlercode(errno));
    return st;
}

Deskriptor PosixDateisystem::OeffneOrdner(const char* operation, const Pfad& pfad, const std::string& posix,
                                          struct stat& st) const {
    Deskriptor fd(::open(posix.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.gueltig() || ::fstat(fd.get(), &st) != 0)
        throw FsFehler(operation, pfad, Fehlercode(errno));
    return fd;
}

std::optional<PosixDateisystem::Ordnerinhalt> PosixDateisystem::LiesOrdner(const char* operation,
                                                                           const Ordner& ordner) {
    Ordnerinhalt inhalt{{}, Deskriptor(), {}, Posix(operation, ordner.Path)};
    Deskriptor fd = OeffneOrdner(operation, ordner.Path, inhalt.Posix, inhalt.St);
    if (grenzen_.contains({inhalt.St.st_dev, inhalt.St.st_ino}))
        return std::nullopt;
    // The descriptor goes to the directory stream; keep a second one for the stat calls.
    inhalt.Basis = Deskriptor(::dup(fd.get()));
    if (!inhalt.Basis.gueltig())
        throw FsFehler(operation, ordner.Path, Fehlercode(errno));
    int fehler = 0;
    inhalt.Eintraege = LiesEintraege(std::move(fd), fehler);
    if (fehler != 0)
        throw FsFehler(operation, ordner.Path, Fehlercode(fehler));
    return inhalt;
}

int PosixDateisystem::Verorte(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    const auto schnitt = pfad.rfind('\\');
    const std::string_view name = schnitt == Pfad::npos ? std::string_view() : std::string_view(pfad).substr(schnitt + 1);
    if (schnitt == Pfad::npos || schnitt < 2 || name.empty() || name == "." || name == "..") {
        const auto posix = laufwerke_.ZuPosix(pfad);
        if (!posix)
            Unbrauchbar(operation, pfad);
        ort.ganz_.emplace(*posix);
        return ort.ganz_->Fehler();
    }
    // The folder: "X:\" for an entry of a drive root, else everything before the last backslash.
    // A NUL byte would cut the name short in every system call; such a path is not in program form.
    if (name.find('\0') != std::string_view::npos)
        Unbrauchbar(operation, pfad);
    const std::string_view ordnerpfad = std::string_view(pfad).substr(0, schnitt == 2 ? 3 : schnitt);
    ort.name_ = NamenAusPosix(name);
    for (std::size_t i = 0; i < offeneOrdner_.size(); ++i) {
        if (offeneOrdner_[i].Programmpfad == ordnerpfad) {
            if (i != 0)
                std::rotate(offeneOrdner_.begin(), offeneOrdner_.begin() + static_cast<std::ptrdiff_t>(i),
                            offeneOrdner_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            ort.ordner_ = offeneOrdner_.front().Fd.get();
            ort.ordnerGeraet_ = offeneOrdner_.front().Geraet;
            ort.ordnerpfad_ = offeneOrdner_.front().Programmpfad;
            return 0;
        }
    }
    const auto posix = laufwerke_.ZuPosix(ordnerpfad);
    if (!posix)
        Unbrauchbar(operation, pfad);
    const Systempfad sp(*posix);
    if (sp.Fehler() != 0)
        return sp.Fehler();
    Deskriptor fd(::open(sp.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!fd.gueltig() || ::fstat(fd.get(), &st) != 0)
        return errno;
    if (offeneOrdner_.size() >= OffeneOrdnerHoechstens)
        offeneOrdner_.pop_back();
    offeneOrdner_.insert(offeneOrdner_.begin(), OffenerOrdner{Pfad(ordnerpfad), std::move(fd), st.st_dev});
    ort.ordner_ = offeneOrdner_.front().Fd.get();
    ort.ordnerGeraet_ = st.st_dev;
    ort.ordnerpfad_ = offeneOrdner_.front().Programmpfad;
    return 0;
}

bool PosixDateisystem::Erneuert(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    if (ort.Ganz())
        return false;
    const auto gehalten = std::find_if(offeneOrdner_.begin(), offeneOrdner_.end(),
                                       [&](const OffenerOrdner& o) { return o.Programmpfad == ort.ordnerpfad_; });
    if (gehalten == offeneOrdner_.end())
        return false;
    // A removed folder has no links left; one that is still there is the folder the path names.
    struct stat st {};
    if (::fstat(gehalten->Fd.get(), &st) != 0 || st.st_nlink != 0)
        return false;
    offeneOrdner_.erase(gehalten);
    if (const int fehler = Verorte(operation, pfad, ort); fehler != 0) {
        errno = fehler;
        return false;
    }
    return true;
}

void PosixDateisystem::VerorteOderWirf(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    if (const int fehler = Verorte(operation, pfad, ort); fehler != 0)
        throw FsFehler(operation, pfad, Fehlercode(fehler));
}

struct stat PosixDateisystem::StatAn(const char* operation, const Pfad& pfad, Eintragsort& ort) {
    struct stat st {};
    if (::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return st;
    int fehler = errno;
    if (fehler == ENOENT && Erneuert(operation, pfad, ort)) {
        if (::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            return st;
        fehler = errno;
    }
    throw FsFehler(operation, pfad, Fehlercode(fehler));
}

Ordner PosixDateisystem::GetFolder(const Pfad& pfad) {
    const Systempfad posix = Posix("GetFolder", pfad);
    const struct stat st = Lstat("GetFolder", pfad, posix);
    if (!S_ISDIR(st.st_mode))
        throw FsFehler("GetFolder", pfad, Fehlercode(ENOTDIR));
    Pfad path = OhneSchraegstrich(pfad);
    std::string name = IstLaufwerkswurzel(path) ? std::string() : LetzterName(path);
    return Ordner{std::move(path), std::move(name)};
}

std::vector<Ordner> PosixDateisystem::SubFolders(const Ordner& ordner) {
    auto inhalt = LiesOrdner("SubFolders", ordner);
    if (!inhalt)
        return {};
    const auto& eintraege = inhalt->Eintraege;
    const Deskriptor& basis = inhalt->Basis;
    const struct stat& st = inhalt->St;
    const Systempfad& posix = inhalt->Posix;

    std::vector<Ordner> ordnerliste;
    for (const auto& e : eintraege) {
        if (e.Typ != DT_DIR && e.Typ != DT_UNKNOWN)
            continue;
        struct statx sx {};
        if (::statx(basis.get(), e.Name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO, &sx) !=
            0) {
            if (errno == ENOENT)
                continue; // removed since the folder was read
            throw FsFehler("SubFolders", KindPfad(ordner.Path, Programmname(e.Name)), Fehlercode(errno));
        }
        if (!S_ISDIR(sx.stx_mode))
            continue;
        const Kennung kennung{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
        if (ausgeschlossen_.contains(kennung))
            continue;
        const bool einhaengepunkt = kennung.first != st.st_dev ||
                                    ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                                     (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) ||
                                    laufwerke_.IstEinhaengepunkt(PosixKind(posix.Voll(), e.Name));
        if (einhaengepunkt)
            grenzen_.insert(kennung);
        std::string name = Programmname(e.Name);
        ordnerliste.push_back(Ordner{KindPfad(ordner.Path, name), name});
    }
    return ordnerliste;
}

std::vector<Datei> PosixDateisystem::Files(const Ordner& ordner) {
    auto inhalt = LiesOrdner("Files", ordner);
    if (!inhalt)
        return {};
    const auto& eintraege = inhalt->Eintraege;
    const Deskriptor& basis = inhalt->Basis;

    std::vector<Datei> dateien;
    for (const auto& e : eintraege) {
        // Regular files and symbolic links; a link is listed whatever it points to, and never followed.
        bool regulaer = e.Typ == DT_REG || e.Typ == DT_LNK;
        if (e.Typ == DT_UNKNOWN) {
            struct stat kst {};
            if (::fstatat(basis.get(), e.Name.c_str(), &kst, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;
                throw FsFehler("Files", KindPfad(ordner.Path, Programmname(e.Name)), Fehlercode(errno));
            }
            regulaer = S_ISREG(kst.st_mode) || S_ISLNK(kst.st_mode);
        }
        if (regulaer) {
            std::string name = Programmname(e.Name);
            dateien.push_back(Datei{KindPfad(ordner.Path, name), name});
        }
    }
    return dateien;
}

Datei PosixDateisystem::GetFile(const Pfad& pfad) {
    Eintragsort ort;
    VerorteOderWirf("GetFile", pfad, ort);
    const struct stat st = StatAn("GetFile", pfad, ort);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        throw FsFehler("GetFile", pfad, Fehlercode(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
    return Datei{pfad, LetzterName(pfad)};
}

int PosixDateisystem::Attributes(const Datei& datei) {
    Eintragsort ort;
    VerorteOderWirf("Attributes", datei.Path, ort);
    const struct stat st = StatAn("Attributes", datei.Path, ort);
    if (S_ISLNK(st.st_mode))
        return Verweiswert(ort.Ordner(), ort.Ganz() ? std::string_view() : std::string_view(ort.Name()), st);
    // The whole POSIX path names a file of several names in its archive record; others need none.
    const std::string voll = st.st_nlink > 1 ? laufwerke_.ZuPosix(datei.Path).value_or(std::string()) : std::string();
    return Attributwert(ort.Wo(), LetzterName(datei.Path), st, MitArchiv::ja, voll);
}

std::string PosixDateisystem::TemporaererName() {
    char text[32];
    (void)std::snprintf(text, sizeof text, ".tresor-ix-%08llx.tmp",
                        static_cast<unsigned long long>(zufall_() & 0xffffffffU));
    return text;
}

Quellstand PosixDateisystem::Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt) {
    (void)fortschritt;
    auto quellfehler = [&](int nummer) { return FsFehler("Copy", datei.Path, Fehlercode(nummer)); };
    auto zielfehler = [&](int nummer) { return FsFehler("Copy", ziel, Fehlercode(nummer)); };
    Eintragsort quelle;
    VerorteOderWirf("Copy", datei.Path, quelle);

    // O_NONBLOCK: opening a FIFO that slipped in must not wait for a writer; it is refused below.
    constexpr int Lesen = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Deskriptor q(::openat(quelle.Ordner(), quelle.Name(), Lesen));
    if (!q.gueltig() && errno == ENOENT && Erneuert("Copy", datei.Path, quelle))
        q = Deskriptor(::openat(quelle.Ordner(), quelle.Name(), Lesen));
    // O_NOFOLLOW refuses a symbolic link with ELOOP: it is copied as a link.
    if (!q.gueltig() && errno == ELOOP) {
        struct stat lst {};
        if (::fstatat(quelle.Ordner(), quelle.Name(), &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode))
            return KopiereVerweis(datei, ziel, quelle);
        errno = ELOOP;
    }
    if (!q.gueltig())
        throw quellfehler(errno);
    struct stat vorher {};
    if (::fstat(q.get(), &vorher) != 0)
        throw quellfehler(errno);
    if (!S_ISREG(vorher.st_mode))
        throw quellfehler(EINVAL);
    // Nothing else of the open flags is set: plain reads from here on.
    (void)::fcntl(q.get(), F_SETFL, 0);

    Eintragsort zielort;
    if (const int fehler = Verorte("Copy", ziel, zielort); fehler != 0)
        throw zielfehler(fehler);
    // The copy needs a name of its own in a folder: not a drive root, ".", ".." or a trailing backslash.
    if (zielort.Ganz())
        throw zielfehler(EINVAL);
    int ordnerFd = zielort.Ordner();
    const std::string zielName = zielort.Name();

    std::string tmpName;
    Deskriptor z;
    for (int versuch = 0; versuch < 100 && !z.gueltig(); ++versuch) {
        tmpName = TemporaererName();
        z = Deskriptor(::openat(ordnerFd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        // A destination folder removed since it was opened is looked up anew.
        if (!z.gueltig() && errno == ENOENT && Erneuert("Copy", ziel, zielort)) {
            ordnerFd = zielort.Ordner();
            z = Deskriptor(::openat(ordnerFd, tmpName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        }
        if (!z.gueltig() && errno != EEXIST)
            throw zielfehler(errno);
    }
    if (!z.gueltig())
        throw zielfehler(EEXIST);

    // From here on every failure removes the temporary file: nothing partial stays behind.
    bool fertig = false;
    const TemporaererEintrag aufraeumen{ordnerFd, tmpName, fertig};

    // Reflink where the file system offers it: the copy shares the blocks and is made at once. Where the
    // two file systems refused it once, they are not asked again for the copies that follow.
    const std::pair<dev_t, dev_t> geraete{vorher.st_dev, zielort.ordnerGeraet_};
    bool geklont = false;
    if (!ohneReflink_.contains(geraete)) {
        geklont = ::ioctl(z.get(), FICLONE, q.get()) == 0;
        if (!geklont && (errno == EOPNOTSUPP || errno == EXDEV || errno == EINVAL || errno == ENOTTY))
            ohneReflink_.insert(geraete);
    }
    if (!geklont) {
        bool schnellweg = true; // copy_file_range, until it refuses
        std::vector<char> puffer;
        off_t geschriebenBis = 0;
        auto kopiereBereich = [&](off_t von, off_t bis) {
            while (von < bis) {
                const std::size_t laenge = static_cast<std::size_t>(bis - von);
                if (schnellweg) {
                    loff_t a = von;
                    loff_t b = von;
                    const ssize_t n = ::copy_file_range(q.get(), &a, z.get(), &b, laenge, 0);
                    if (n > 0) {
                        von += n;
                        geschriebenBis = von;
                        continue;
                    }
                    if (n == 0)
                        return; // the source has become shorter
                    if (errno == EINTR)
                        continue;
                    // Not possible here, or failed: the plain way either works or names the side at fault.
                    schnellweg = false;
                }
                if (puffer.empty())
                    puffer.resize(1 << 20);
                const ssize_t n = ::pread(q.get(), puffer.data(), std::min(laenge, puffer.size()), von);
                if (n < 0) {
                    if (errno == EINTR)
                        continue;
                    throw quellfehler(errno);
                }
                if (n == 0)
                    return;
                for (ssize_t geschrieben = 0; geschrieben < n;) {
                    const ssize_t m = ::pwrite(z.get(), puffer.data() + geschrieben,
                                               static_cast<std::size_t>(n - geschrieben), von + geschrieben);
                    if (m < 0) {
                        if (errno == EINTR)
                            continue;
                        throw zielfehler(errno);
                    }
                    geschrieben += m;
                }
                von += n;
                geschriebenBis = von;
            }
        };
        if (static_cast<std::int64_t>(vorher.st_blocks) * 512 >= static_cast<std::int64_t>(vorher.st_size)) {
            // Its blocks cover the whole size: a file without holes, copied in one stretch without asking for
            // its data regions.
            kopiereBereich(0, vorher.st_size);
        } else {
            // Only the data regions are copied, so holes of sparse files stay holes.
            off_t pos = 0;
            for (;;) {
                const off_t daten = ::lseek(q.get(), pos, SEEK_DATA);
                if (daten < 0) {
                    if (errno == ENXIO)
                        break; // nothing but a hole up to the end
                    if (errno != EINVAL && errno != ENOTSUP)
                        throw quellfehler(errno);
                    // No hole information: copy everything up to the end.
                    const off_t ende = ::lseek(q.get(), 0, SEEK_END);
                    if (ende < 0)
                        throw quellfehler(errno);
                    kopiereBereich(pos, ende);
                    break;
                }
                const off_t loch = ::lseek(q.get(), daten, SEEK_HOLE);
                if (loch < 0)
                    throw quellfehler(errno);
                kopiereBereich(daten, loch);
                pos = loch;
            }
        }
        // The copy ends where the source ends now (a trailing hole, or a source that changed its length).
        const off_t ende = ::lseek(q.get(), 0, SEEK_END);
        if (ende < 0)
            throw quellfehler(errno);
        if (ende != geschriebenBis && ::ftruncate(z.get(), ende) != 0)
            throw zielfehler(errno);
    }

    // Hidden and system bits, then the permission bits (which may take away the write permission the
    // attribute needs), then the time, which nothing after it changes.
    const auto quellDos = LiesDosattrib(Ort::Selbst(q.get()));
    int wert = attr::Archiv; // a copy is new: it reads archive set, and SMB clients see that too
    if ((vorher.st_mode & S_IWUSR) == 0)
        wert |= attr::Schreibgeschuetzt;
    if (IstPunktname(LetzterName(datei.Path)) || (quellDos && (*quellDos & attr::Versteckt)))
        wert |= attr::Versteckt;
    if (quellDos && (*quellDos & attr::System))
        wert |= attr::System;
    const bool dosNoetig = quellDos || (wert & attr::System) || ((wert & attr::Versteckt) && !IstPunktname(zielName));
    if (dosNoetig) {
        const std::string text = DosattribText(static_cast<std::uint32_t>(wert) & DosEigeneBits);
        if (::fsetxattr(z.get(), DosattribName, text.data(), text.size(), 0) != 0)
            throw zielfehler(errno);
    }
    if (::fchmod(z.get(), vorher.st_mode & 07777) != 0)
        throw zielfehler(errno);
    const struct timespec zeiten[2] = {{0, UTIME_OMIT}, vorher.st_mtim};
    if (::futimens(z.get(), zeiten) != 0)
        throw zielfehler(errno);
    if (z.schliessen() != 0)
        throw zielfehler(errno);
    if (::renameat(ordnerFd, tmpName.c_str(), ordnerFd, zielName.c_str()) != 0)
        throw zielfehler(errno);
    fertig = true;
    // The state read before the copy, even if the file was written meanwhile: the record made from it
    // then no longer matches the file, which keeps its archive bit and is backed up again.
    return StandAus(vorher);
}

Quellstand PosixDateisystem::KopiereVerweis(const Datei& datei, const Pfad& ziel, Eintragsort& quelle) {
    auto quellfehler = [&](int nummer) { return FsFehler("Copy", datei.Path, Fehlercode(nummer)); };
    auto zielfehler = [&](int nummer) { return FsFehler("Copy", ziel, Fehlercode(nummer)); };
    if (quelle.Ganz())
        throw quellfehler(EINVAL);
    // The folder first, then the link: a link replaced after the folder was read changes the folder's time,
    // so the record made from this state no longer matches and the link is backed up again.
    struct stat ordnerVorher {};
    if (::fstat(quelle.Ordner(), &ordnerVorher) != 0)
        throw quellfehler(errno);
    struct stat vorher {};
    if (::fstatat(quelle.Ordner(), quelle.Name(), &vorher, AT_SYMLINK_NOFOLLOW) != 0)
        throw quellfehler(errno);
    if (!S_ISLNK(vorher.st_mode))
        throw quellfehler(EINVAL);
    // The target text, whatever its length (st_size is 0 on some file systems).
    std::string text(std::max<std::size_t>(static_cast<std::size_t>(vorher.st_size) + 1, 256), '\0');
    for (;;) {
        const ssize_t n = ::readlinkat(quelle.Ordner(), quelle.Name(), text.data(), text.size());
        if (n < 0)
            throw quellfehler(errno);
        if (static_cast<std::size_t>(n) < text.size()) {
            text.resize(static_cast<std::size_t>(n));
            break;
        }
        text.resize(text.size() * 2);
    }

    Eintragsort zielort;
    if (const int fehler = Verorte("Copy", ziel, zielort); fehler != 0)
        throw zielfehler(fehler);
    if (zielort.Ganz())
        throw zielfehler(EINVAL);
    int ordnerFd = zielort.Ordner();
    const std::string zielName = zielort.Name();
    std::string tmpName;
    bool angelegt = false;
    for (int versuch = 0; versuch < 100 && !angelegt; ++versuch) {
        tmpName = TemporaererName();
        angelegt = ::symlinkat(text.c_str(), ordnerFd, tmpName.c_str()) == 0;
        if (!angelegt && errno == ENOENT && Erneuert("Copy", ziel, zielort)) {
            ordnerFd = zielort.Ordner();
            angelegt = ::symlinkat(text.c_str(), ordnerFd, tmpName.c_str()) == 0;
        }
        if (!angelegt && errno != EEXIST)
            throw zielfehler(errno);
    }
    if (!angelegt)
        throw zielfehler(EEXIST);
    bool fertig = false;
    const TemporaererEintrag aufraeumen{ordnerFd, tmpName, fertig};
    // The link's own time (a link has no permission bits of its own on Linux, and no user attributes).
    const struct timespec zeiten[2] = {{0, UTIME_OMIT}, vorher.st_mtim};
    if (::utimensat(ordnerFd, tmpName.c_str(), zeiten, AT_SYMLINK_NOFOLLOW) != 0)
        throw zielfehler(errno);
    if (::renameat(ordnerFd, tmpName.c_str(), ordnerFd, zielName.c_str()) != 0)
        throw zielfehler(errno);
    fertig = true;
    Quellstand stand = StandAus(vorher);
    stand.OrdnerMtimeNs = MtimeNs(ordnerVorher);
    stand.OrdnerInode = static_cast<std::uint64_t>(ordnerVorher.st_ino);
    return stand;
}

std::string PosixDateisystem::Dir(const Pfad& pfad, int maske) {
    auto zugelassen = [maske](int wert) {
        return (wert & (attr::Versteckt | attr::System | attr::Verzeichnis) & ~maske) == 0;
    };

    if (!pfad.empty() && pfad.back() != '\\') {
        // One entry: the last name of the path.
        Eintragsort ort;
        const int weg = Verorte("Dir", pfad, ort);
        // A path whose way is missing names nothing, like any missing path.
        if (weg == ENOENT || weg == ENOTDIR)
            return {};
        if (weg != 0)
            throw FsFehler("Dir", pfad, Fehlercode(weg));
        struct stat st {};
        if (::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
            (errno != ENOENT || !Erneuert("Dir", pfad, ort) ||
             ::fstatat(ort.Ordner(), ort.Name(), &st, AT_SYMLINK_NOFOLLOW) != 0)) {
            if (errno == ENOENT || errno == ENOTDIR)
                return {};
            throw FsFehler("Dir", pfad, Fehlercode(errno));
        }
        // Letter case is exact on Linux: the name as given is the name as stored.
        std::string name = LetzterName(pfad);
        int wert = IstPunktname(name) ? attr::Versteckt : 0;
        if (S_ISDIR(st.st_mode))
            wert |= attr::Verzeichnis;
        // user.DOSATTRIB only where its hidden or system bit can still change the answer. Symbolic links
        // carry no user attributes.
        constexpr int VersteckSystem = attr::Versteckt | attr::System;
        if (zugelassen(wert) && (maske & VersteckSystem) != VersteckSystem && !S_ISLNK(st.st_mode)) {
            if (const auto dos = LiesDosattrib(ort.Wo()))
                wert |= static_cast<int>(*dos & VersteckSystem);
        }
        return zugelassen(wert) ? name : std::string();
    }

    const auto umgesetzt = laufwerke_.ZuPosix(pfad);
    if (!umgesetzt)
        Unbrauchbar("Dir", pfad);
    const Systempfad posix(*umgesetzt);
    // A long path whose way is missing names nothing, like any missing path.
    if (posix.Fehler() == ENOENT || posix.Fehler() == ENOTDIR)
        return {};
    if (posix.Fehler() != 0)
        throw FsFehler("Dir", pfad, Fehlercode(posix.Fehler()));

    // A listing. A folder that does not exist has no entries, so the answer is "", as for a name that
    // does not exist; only a drive that is not ready fails (above).
    Deskriptor fd(::open(posix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.gueltig()) {
        if (errno == ENOENT || errno == ENOTDIR)
            return {};
        throw FsFehler("Dir", pfad, Fehlercode(errno));
    }
    // "." and ".." head the listing of every folder but a drive root; both are plain folders.
    if (!IstLaufwerkswurzel(pfad) && zugelassen(attr::Verzeichnis))
        return ".";
    Deskriptor basis(::dup(fd.get()));
    if (!basis.gueltig())
        throw FsFehler("Dir", pfad, Fehlercode(errno));
    int fehler = 0;
    const auto eintraege = LiesEintraege(std::move(fd), fehler);
    if (fehler != 0)
        throw FsFehler("Dir", pfad, Fehlercode(fehler));
    for (const auto& e : eintraege) {
        // The cheap tests first: the name, then the type; the extended attribute only when it can matter.
        int wert = IstPunktname(e.Name) ? attr::Versteckt : 0;
        if (!zugelassen(wert))
            continue;
        bool ordner = e.Typ == DT_DIR;
        bool symlink = e.Typ == DT_LNK;
        if (e.Typ == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(basis.get(), e.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;
                throw FsFehler("Dir", pfad + Programmname(e.Name), Fehlercode(errno));
            }
            ordner = S_ISDIR(st.st_mode);
            symlink = S_ISLNK(st.st_mode);
        }
        if (ordner)
            wert |= attr::Verzeichnis;
        if (!zugelassen(wert))
            continue;
        if ((maske & (attr::Versteckt | attr::System)) != (attr::Versteckt | attr::System) && !symlink) {
            if (const auto dos = LiesDosattrib(Ort(basis.get(), e.Name.c_str())))
                wert |= static_cast<int>(*dos & (attr::Versteckt | attr::System));
            if (!zugelassen(wert))
                continue;
        }
        return Programmname(e.Name);
    }
    return {};
}

void PosixDateisystem::MakeDir(const Pfad& pfad, Anlage anlage) {
    const Systempfad posix = Posix("MakeDir", pfad);
    if (::mkdir(posix.c_str(), anlage == Anlage::Privat ? 0700 : 0777) != 0)
        throw FsFehler("MakeDir", pfad, Fehlercode(errno));
}

void PosixDateisystem::SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) {
    Eintragsort ort;
    VerorteOderWirf("SetFileAttr", pfad, ort);
    const struct stat st = StatAn("SetFileAttr", pfad, ort);
    if (S_ISLNK(st.st_mode)) {
        VerweisVermerken(pfad, ort, st, wert, stand);
        return;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        throw FsFehler("SetFileAttr", pfad, Fehlercode(EINVAL));
    const bool istOrdner = S_ISDIR(st.st_mode);
    const std::string name = LetzterName(pfad);
    const auto dos = LiesDosattrib(ort.Wo());

    mode_t modus = st.st_mode & 07777;
    if (wert & attr::Schreibgeschuetzt)
        modus &= ~static_cast<mode_t>(0222);
    else
        modus |= S_IWUSR;

    const auto dosNeu = NeuerDosWert(dos, wert, name, istOrdner);

    // Extended attributes need write permission on the file. A read-only file of the user's own gets it
    // for the moment and its final mode afterwards; on anyone else's file the write fails with its error.
    bool geliehen = false;
    if ((dosNeu || !istOrdner) && (st.st_mode & S_IWUSR) == 0 && st.st_uid == ::geteuid()) {
        if (::fchmodat(ort.Ordner(), ort.Name(), (st.st_mode & 07777) | S_IWUSR, 0) != 0)
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
        geliehen = true;
    }
    try {
        if (dosNeu && !SchreibeDos(ort.Wo(), *dosNeu))
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
        if (!istOrdner) {
            if ((wert & attr::Archiv) == 0) {
                Vermerk vermerk{stand.Gueltig ? stand : StandAus(st), {}};
                if (st.st_nlink > 1) {
                    // The names recorded for the same state stay; this one joins them.
                    if (auto alt = LiesVermerk(ort.Wo()); alt && Gleich(alt->Stand, vermerk.Stand))
                        vermerk.Namen = std::move(alt->Namen);
                    const std::uint64_t kennung = Namenskennung(laufwerke_.ZuPosix(pfad).value_or(std::string()));
                    if (std::find(vermerk.Namen.begin(), vermerk.Namen.end(), kennung) == vermerk.Namen.end())
                        vermerk.Namen.push_back(kennung);
                }
                const std::string text = VermerkText(vermerk);
                if (SetxattrAn(ort.Wo(), VermerkName, text.data(), text.size()) != 0)
                    throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
            } else if (RemovexattrAn(ort.Wo(), VermerkName) != 0 && errno != ENODATA && errno != ENOTSUP) {
                throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
            }
        }
    } catch (...) {
        if (geliehen)
            (void)::fchmodat(ort.Ordner(), ort.Name(), st.st_mode & 07777, 0);
        throw;
    }
    if (geliehen || modus != (st.st_mode & 07777)) {
        if (::fchmodat(ort.Ordner(), ort.Name(), modus, 0) != 0)
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
    }
}

void PosixDateisystem::VerweisVermerken(const Pfad& pfad, Eintragsort& ort, const struct stat& st, int wert,
                                        const Quellstand& stand) {
    if (ort.Ganz())
        throw FsFehler("SetFileAttr", pfad, Fehlercode(EINVAL));
    const int ordnerFd = ort.Ordner();
    const Ort ordnerOrt = OrdnerSelbst(ordnerFd);
    struct stat ost {};
    if (::fstat(ordnerFd, &ost) != 0)
        throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
    auto alt = LiesVerweisvermerk(ordnerOrt);

    // Only the archive bit is kept for a link; read-only and system have no place, hidden follows the name.
    Verweisvermerk neu;
    if ((wert & attr::Archiv) == 0) {
        // The state the copy was taken from, or where there is none, the state now.
        Quellstand s = stand;
        if (!s.Gueltig) {
            s = StandAus(st);
            s.OrdnerMtimeNs = MtimeNs(ost);
            s.OrdnerInode = static_cast<std::uint64_t>(ost.st_ino);
        }
        const std::uint64_t kennung = Verweiskennung(ort.Name(), s.Inode, s.MtimeNs);
        // Keys recorded for the same folder state stay; a record of another state is replaced, not merged,
        // since the links it speaks of may have changed since.
        if (alt && alt->OrdnerMtimeNs == s.OrdnerMtimeNs && alt->OrdnerInode == s.OrdnerInode) {
            neu = std::move(*alt);
        } else {
            neu.OrdnerMtimeNs = s.OrdnerMtimeNs;
            neu.OrdnerInode = s.OrdnerInode;
        }
        const auto stelle = std::lower_bound(neu.Kennungen.begin(), neu.Kennungen.end(), kennung);
        if (stelle != neu.Kennungen.end() && *stelle == kennung)
            return;
        neu.Kennungen.insert(stelle, kennung);
    } else {
        if (!alt)
            return;
        neu = std::move(*alt);
        const std::uint64_t kennung = Verweiskennung(ort.Name(), st.st_ino, MtimeNs(st));
        const auto stelle = std::lower_bound(neu.Kennungen.begin(), neu.Kennungen.end(), kennung);
        if (stelle == neu.Kennungen.end() || *stelle != kennung)
            return;
        neu.Kennungen.erase(stelle);
    }

    // The record needs write permission on the folder: a folder of the user's own gets it for the moment
    // (a change of mode touches only the folder's ctime, as does the attribute itself, so the folder's
    // state in the record stays valid).
    bool geliehen = false;
    if ((ost.st_mode & S_IWUSR) == 0 && ost.st_uid == ::geteuid()) {
        if (::fchmodat(ordnerFd, ".", (ost.st_mode & 07777) | S_IWUSR, 0) != 0)
            throw FsFehler("SetFileAttr", pfad, Fehlercode(errno));
        geliehen = true;
    }
    int fehler = 0;
    if (neu.Kennungen.empty()) {
        if (RemovexattrAn(ordnerOrt, VerweiseName) != 0 && errno != ENODATA)
            fehler = errno;
    } else {
        const std::string text = VerweisvermerkWert(neu);
        if (SetxattrAn(ordnerOrt, VerweiseName, text.data(), text.size()) != 0)
            fehler = errno;
    }
    if (geliehen && ::fchmodat(ordnerFd, ".", ost.st_mode & 07777, 0) != 0 && fehler == 0)
        fehler = errno;
    // The limit of this record: the file system gives all extended attributes of a folder only so much room
    // (ext4 about one block of 4 KiB, which holds some hundreds of keys). A record that would outgrow it
    // stays as it was: the link keeps its archive bit, the run's check of the copy reports that, and the
    // next run copies the link again. Nothing is reported as backed up that was not.
    if (fehler == E2BIG || fehler == ENOSPC)
        return;
    if (fehler != 0)
        throw FsFehler("SetFileAttr", pfad, Fehlercode(fehler));
}

void PosixDateisystem::Sync(const Pfad& pfad) {
    const auto umgesetzt = laufwerke_.ZuPosix(pfad);
    if (!umgesetzt)
        Unbrauchbar("Sync", pfad);
    // The path only names the file system: a copy removed since (by whoever) leaves its folder to name it,
    // but never a folder above the drive's own.
    const std::size_t wurzel = laufwerke_.Finde(pfad[0])->Einhaengepunkt.size();
    std::string stufe = *umgesetzt;
    auto oeffne = [](const std::string& posix, int flags) {
        const Systempfad sp(posix);
        if (sp.Fehler() != 0) {
            errno = sp.Fehler();
            return Deskriptor();
        }
        return Deskriptor(::open(sp.c_str(), flags | O_CLOEXEC));
    };
    Deskriptor fd = oeffne(stufe, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    const int ersterFehler = errno;
    while (!fd.gueltig() && (errno == ENOENT || errno == ENOTDIR) && stufe.size() > wurzel) {
        const auto schnitt = stufe.find_last_of('/', stufe.size() - 2);
        if (schnitt == std::string::npos)
            break;
        stufe.resize(std::max<std::size_t>(schnitt == 0 ? 1 : schnitt, wurzel));
        fd = oeffne(stufe, O_RDONLY | O_DIRECTORY);
    }
    if (!fd.gueltig())
        throw FsFehler("Sync", pfad, Fehlercode(ersterFehler));
    if (::syncfs(fd.get()) != 0)
        throw FsFehler("Sync", pfad, Fehlercode(errno));
}

void PosixDateisystem::OrdnerAbschliessen(const Pfad& quelle, const Pfad& ziel) {
    const Systempfad quellPosix = Posix("OrdnerAbschliessen", quelle);
    const Systempfad zielPosix = Posix("OrdnerAbschliessen", ziel);
    const struct stat qst = Lstat("OrdnerAbschliessen", quelle, quellPosix);
    const struct stat zst = Lstat("OrdnerAbschliessen", ziel, zielPosix);
    if (!S_ISDIR(qst.st_mode))
        throw FsFehler("OrdnerAbschliessen", quelle, Fehlercode(ENOTDIR));
    if (!S_ISDIR(zst.st_mode))
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(ENOTDIR));
    const int quellWert = Attributwert(quellPosix, LetzterName(OhneSchraegstrich(quelle)), qst);
    // The mirror is still the user's own and writable here; its attribute goes before the final mode.
    const auto dosNeu = NeuerDosWert(LiesDosattrib(zielPosix), quellWert, LetzterName(OhneSchraegstrich(ziel)), true);
    if (dosNeu && !SchreibeDos(zielPosix, *dosNeu))
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(errno));
    if (::chmod(zielPosix.c_str(), qst.st_mode & 07777) != 0)
        throw FsFehler("OrdnerAbschliessen", ziel, Fehlercode(errno));
}

void PosixDateisystem::Ausschliessen(const Pfad& ordner) {
    const Systempfad posix = Posix("Ausschliessen", ordner);
    struct stat st {};
    if (::stat(posix.c_str(), &st) != 0)
        throw FsFehler("Ausschliessen", ordner, Fehlercode(errno));
    ausgeschlossen_.insert({st.st_dev, st.st_ino});
}

} // namespace

std::unique_ptr<Dateisystem> ErzeugePosixDateisystem(Laufwerkstabelle laufwerke) {
    return std::make_unique<PosixDateisystem>(std::move(laufwerke));
}

} // namespace tresor
