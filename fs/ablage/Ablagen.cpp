#include "fs/ablage/Ablagen.h"

#include "fs/Laufwerkstabelle.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Einhaengungen.h"
#include "fs/system/ErweiterteAttribute.h"
#include "fs/system/Ordnereintraege.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/msdos_fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tresor::posix {

namespace {

#ifndef EXFAT_SUPER_MAGIC
#define EXFAT_SUPER_MAGIC 0x2011BAB0
#endif
constexpr long Ntfs3Magie = 0x7366746e;

// File-system types that never ignore letter case (ext4's casefold folders aside).
constexpr long Fallgetreu[] = {
    EXT4_SUPER_MAGIC,     XFS_SUPER_MAGIC,       BTRFS_SUPER_MAGIC,  TMPFS_MAGIC,          0xF2F52010 /* f2fs */,
    0x2fc12fc1 /* zfs */, OVERLAYFS_SUPER_MAGIC, NFS_SUPER_MAGIC,    RAMFS_MAGIC,          0xca451a4e /* bcachefs */,
    REISERFS_SUPER_MAGIC, 0x3153464a /* jfs */,  0x3434 /* nilfs */, 0x00011954 /* ufs */, SQUASHFS_MAGIC,
};
// File-system types that always ignore it.
constexpr long Fallblind[] = {MSDOS_SUPER_MAGIC, EXFAT_SUPER_MAGIC};

// An entry to ask about its file system: the entry itself where it can be opened for reading, else (a
// symbolic link, a file without read permission) its folder.
Deskriptor Pruefling(const Ort& ort) {
    constexpr int Schalter = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (ort.Ordner != AT_FDCWD && *ort.Name == '\0')
        return Deskriptor(::fcntl(ort.Ordner, F_DUPFD_CLOEXEC, 0));
    Deskriptor fd(::openat(ort.Ordner, ort.Name, Schalter));
    if (fd.gueltig())
        return fd;
    if (ort.Ordner != AT_FDCWD)
        return Deskriptor(::openat(ort.Ordner, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string pfad = ort.Name;
    const auto schnitt = pfad.find_last_of('/');
    if (schnitt == std::string::npos)
        return Deskriptor();
    pfad.resize(schnitt == 0 ? 1 : schnitt);
    return Deskriptor(::open(pfad.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Where the file system of a device is mounted (its root) and from what, after the mount table.
struct Einhaengung {
    std::string Punkt;
    std::string Quelle;
};

std::optional<Einhaengung> EinhaengungVon(dev_t geraet) {
    std::ifstream ein("/proc/self/mountinfo");
    std::string zeile;
    const std::string nummer = std::to_string(major(geraet)) + ":" + std::to_string(minor(geraet));
    while (std::getline(ein, zeile)) {
        std::istringstream felder(zeile);
        std::string id, eltern, mm, wurzel, punkt, f;
        if (!(felder >> id >> eltern >> mm >> wurzel >> punkt) || mm != nummer || wurzel != "/")
            continue;
        while (felder >> f && f != "-") {
        }
        std::string typ, quelle;
        felder >> typ >> quelle;
        return Einhaengung{Mounttabellenfeld(punkt), Mounttabellenfeld(quelle)};
    }
    return std::nullopt;
}

// The UUID of a file system on a block device: from /dev/disk/by-uuid, else from its superblock where the
// device can be read.
std::string UuidVon(dev_t geraet, const std::string& quelle) {
    if (DIR* d = ::opendir("/dev/disk/by-uuid")) {
        std::string gefunden;
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            struct stat st {};
            if (::fstatat(::dirfd(d), e->d_name, &st, 0) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == geraet) {
                gefunden = e->d_name;
                break;
            }
        }
        ::closedir(d);
        if (!gefunden.empty())
            return gefunden;
    }
    if (!quelle.starts_with("/dev/"))
        return {};
    std::string uuid;
    if (blkid_probe probe = blkid_new_probe_from_filename(quelle.c_str())) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_UUID);
        const char* wert = nullptr;
        if (blkid_do_safeprobe(probe) == 0 && blkid_probe_lookup_value(probe, "UUID", &wert, nullptr) == 0 && wert)
            uuid = wert;
        blkid_free_probe(probe);
    }
    return uuid;
}

// Letters, digits, '-', '.' and '_' stay; every other byte becomes '_'.
std::string Dateiname(std::string_view text) {
    std::string aus(text);
    for (char& c : aus) {
        const bool gut = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                         c == '.' || c == '_';
        if (!gut)
            c = '_';
    }
    return aus;
}

std::unique_ptr<ZustandsAblage> ZustandsAblageFuer(dev_t geraet, const struct statfs& sf) {
    const auto einhaengung = EinhaengungVon(geraet);
    if (!einhaengung)
        return nullptr;
    std::string schluessel = UuidVon(geraet, einhaengung->Quelle);
    if (schluessel.empty())
        schluessel = "geraet-" + einhaengung->Quelle + "-" + std::to_string(sf.f_blocks);
    return std::make_unique<ZustandsAblage>(Zustandsordner() + "/" + Dateiname(schluessel) + ".zustand",
                                            einhaengung->Punkt);
}

} // namespace

std::string Zustandsordner() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/tresor-ix";
    const char* heim = std::getenv("HOME");
    std::string basis = heim != nullptr && heim[0] == '/' ? heim : "";
    if (basis.empty()) {
        if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_dir != nullptr)
            basis = pw->pw_dir;
    }
    return basis + "/.local/state/tresor-ix";
}

bool GleichOhneGrossKlein(std::string_view a, std::string_view b) {
    return GrossKleinForm(a) == GrossKleinForm(b);
}

Ablagen::Ablagen() = default;
Ablagen::~Ablagen() {
    // Records not yet written are written now where that is possible; where not, their files read as archive
    // set, so nothing is lost but a second copy.
    std::string datei;
    (void)Festschreiben(datei);
}

Attributablage& Ablagen::Fuer(dev_t geraet, const Ort& ort) {
    if (const auto stelle = gewaehlt_.find(geraet); stelle != gewaehlt_.end())
        return *stelle->second;
    const int gerettet = errno;
    auto gewaehlt = Waehle(geraet, ort);
    errno = gerettet;
    Attributablage* ablage = &xattr_;
    if (gewaehlt) {
        ablage = gewaehlt.get();
        if (auto* zustand = dynamic_cast<ZustandsAblage*>(ablage))
            zustaende_.push_back(zustand);
        eigene_.push_back(std::move(gewaehlt));
    }
    gewaehlt_[geraet] = ablage;
    return *ablage;
}

std::unique_ptr<Attributablage> Ablagen::Waehle(dev_t geraet, const Ort& ort) {
    const Deskriptor fd = Pruefling(ort);
    struct stat st {};
    struct statfs sf {};
    // Only an entry of that very file system tells what it is.
    if (!fd.gueltig() || ::fstat(fd.get(), &st) != 0 || st.st_dev != geraet || ::fstatfs(fd.get(), &sf) != 0)
        return nullptr;
    const Ort selbst = Ort::Selbst(fd.get());
    if (sf.f_type == MSDOS_SUPER_MAGIC || sf.f_type == EXFAT_SUPER_MAGIC) {
        std::uint32_t wert = 0;
        if (aufrufe_.FatAttributeLesen(selbst, wert) == 0)
            return std::make_unique<EigeneBitsAblage>(Bitart::Fat, aufrufe_);
    } else if (sf.f_type == Ntfs3Magie) {
        unsigned char b = 0;
        if (aufrufe_.Getxattr(selbst, Ntfs3AttributName, &b, 1) == 1)
            return std::make_unique<EigeneBitsAblage>(Bitart::Ntfs3, aufrufe_);
    } else if (sf.f_type == FUSE_SUPER_MAGIC) {
        unsigned char b[4];
        if (aufrufe_.Getxattr(selbst, NtfsAttributName, b, sizeof b) == 4)
            return std::make_unique<EigeneBitsAblage>(Bitart::Ntfs3g, aufrufe_);
    }
    // User extended attributes, or none at all.
    char puffer[1];
    if (GetxattrAn(selbst, "user.tresor-ix.probe", puffer, sizeof puffer) < 0 &&
        (errno == ENOTSUP || errno == EOPNOTSUPP))
        return ZustandsAblageFuer(geraet, sf);
    return nullptr;
}

bool Ablagen::GrossKleinBlind(dev_t geraet, int ordnerFd, const char* name) {
    return GrossKleinBlindBekannt(geraet, ordnerFd, name).value_or(false);
}

std::optional<bool> Ablagen::GrossKleinBlindBekannt(dev_t geraet, int ordnerFd, const char* name) {
    if (const auto stelle = blind_.find(geraet); stelle != blind_.end())
        return stelle->second;
    const int gerettet = errno;
    std::optional<bool> blind;
    struct statfs sf {};
    if (::fstatfs(ordnerFd, &sf) == 0) {
        if (std::find(std::begin(Fallgetreu), std::end(Fallgetreu), static_cast<long>(sf.f_type)) !=
            std::end(Fallgetreu))
            blind = false;
        else if (std::find(std::begin(Fallblind), std::end(Fallblind), static_cast<long>(sf.f_type)) !=
                 std::end(Fallblind))
            blind = true;
    }
    if (!blind) {
        // Asked by name: the name with its ASCII letters in the other case.
        std::string anders = name;
        bool buchstabe = false;
        for (char& c : anders) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
                buchstabe = true;
            } else if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
                buchstabe = true;
            }
        }
        if (buchstabe) {
            struct stat st {};
            if (::fstatat(ordnerFd, anders.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    blind = false;
            } else {
                int fehler = 0;
                const auto eintraege =
                    LiesEintraege(Deskriptor(::openat(ordnerFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)), fehler);
                if (fehler == 0)
                    blind = std::none_of(eintraege.begin(), eintraege.end(),
                                         [&](const Eintrag& e) { return e.Name == anders; });
            }
        }
    }
    errno = gerettet;
    if (blind)
        blind_[geraet] = *blind;
    return blind;
}

bool Ablagen::Festschreiben(std::string& datei) {
    for (ZustandsAblage* zustand : zustaende_) {
        if (!zustand->Festschreiben()) {
            datei = zustand->Datei();
            return false;
        }
    }
    return true;
}

} // namespace tresor::posix
