#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tresor::posix {

// A field of the mount table with its octal escapes undone (\040 blank, \011 tab, \012 newline, \134
// backslash). Every reader of /proc/self/mounts or mountinfo takes its paths through this.
std::string Mounttabellenfeld(std::string_view feld);

// The mounts of this process as the mount table names them, for one question: what is the path of an entry
// within its file system? That is the path below the mount point that covers it, joined to the folder of the
// file system that the mount shows there (its root, "/" unless it is a bind mount of a folder). A USB stick
// mounted at /media/anna/STICK today and at /mnt/stick tomorrow gives "/Fotos/a.jpg" both times, so archive
// records bound to that path stay valid across mounts.
class Einhaengungen {
public:
    // From the text of a /proc/self/mountinfo file. Lines it cannot read are left out.
    explicit Einhaengungen(std::string_view mountinfo);
    // The mount table of this process now; empty when it cannot be read.
    static Einhaengungen AusSystem();

    // The path within its file system of the absolute, lexically normal POSIX path `posix`: the mount whose
    // mount point covers it most closely decides (the later one where two share a mount point, as the later
    // mount hides the earlier). Without any covering mount the path itself.
    std::string ImDateisystem(std::string_view posix) const;

    // What the table says of the file system of a device (st_dev): its type as the table names it ("ext4",
    // "fuse.smbnetfs", "cifs") and the options of the file system itself (the last field). Nothing where no
    // mount of the table shows that device.
    struct Art {
        std::string Typ;
        std::string Optionen;
    };
    std::optional<Art> ArtVon(dev_t geraet) const;

private:
    struct Einhaengung {
        std::string Wurzel; // the folder of the file system shown at the mount point
        std::string Punkt;  // the mount point
        dev_t Geraet = 0;   // major:minor, 0 where the line gives none
        Art Dateisystem;    // empty where the line gives none
    };
    std::vector<Einhaengung> liste_;
};

} // namespace tresor::posix
