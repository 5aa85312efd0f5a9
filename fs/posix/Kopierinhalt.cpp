// The content of a copy: a reflink where the file systems make one, else reads and writes in pieces, data regions
// only (a sparse source's holes stay holes), its write-back begun a stretch at a time, its checksum taken as it goes.
#include "fs/FsFehler.h"
#include "fs/posix/Kopie.h"
#include "fs/system/Schreibfehler.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace tresor::posix {

void Kopierer::KopiereInhalt(int q, int z, const struct stat& vorher, const std::pair<dev_t, dev_t>& geraete,
                             const Pfad& quelle, const Pfad& ziel, const std::function<void(off_t)>& melde) {
    auto quellfehler = [&](int nummer) { return FsFehler("Copy", quelle, Fehlercode(nummer)); };
    auto zielfehler = [&](int nummer) { return FsFehler("Copy", ziel, Fehlercode(Schreibfehler(z, nummer))); };
    // Reflink where the file system offers it: the copy shares the blocks and is made at once. Where the
    // two file systems refused it once, they are not asked again for the copies that follow. A restore reads
    // every byte instead (QuellordnerHalten): a shared block of a backup that no longer reads would pass
    // unnoticed into the file restored, which then fails to read.
    const bool teilen = !quellordnerHalten_;
    // The content's checksum (Quellstand::Inhalt) is taken from the very bytes written, or read: a copy that
    // holds less than the size, or one whose source could not be read to its end, has none.
    inhalt_.reset();
    summierer_.Neu();
    off_t summiertBis = 0;
    const off_t groesse = vorher.st_size;
    auto summiere = [&](const char* daten, off_t von, std::size_t laenge) {
        if (von != summiertBis)
            summierer_.Nullen(static_cast<std::uint64_t>(von - summiertBis)); // a hole before it
        summierer_.Dazu(daten, laenge);
        summiertBis = von + static_cast<off_t>(laenge);
    };
    std::vector<char> puffer;
    auto pufferFuer = [&] {
        // No larger than the file: a restore, which reads every file this way, holds little for small ones.
        if (puffer.empty())
            puffer.resize(std::max<std::size_t>(1, std::min(Stueck, static_cast<std::size_t>(groesse))));
    };
    if (teilen && !ohneReflink_.contains(geraete)) {
        if (::ioctl(z, FICLONE, q) == 0) {
            melde(vorher.st_size);
            // The clone shares the source's blocks: the source read once more gives their checksum.
            pufferFuer();
            for (off_t von = 0; von < groesse;) {
                const ssize_t n =
                    ::pread(q, puffer.data(), std::min(puffer.size(), static_cast<std::size_t>(groesse - von)), von);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return;
                summiere(puffer.data(), von, static_cast<std::size_t>(n));
                von += n;
            }
            inhalt_ = summierer_.Summe();
            return;
        }
        if (errno == EOPNOTSUPP || errno == EXDEV || errno == EINVAL || errno == ENOTTY)
            ohneReflink_.insert(geraete);
    }
    // Never beyond the size the source had when it was looked at: a source that grew meanwhile is copied
    // again, and no tail of it is ever made up.
    // The bytes pass through this program, read and written, so that they are summed as they go
    // (copy_file_range would keep them in the kernel). A restore so reads every byte itself as well: within one
    // file system that can share blocks, the kernel's copy might share them as a reflink does.
    off_t geschriebenBis = 0;
    bool ganz = true; // the source read to the end of every region
    // Write-back of a large copy begins while it is being made, a stretch at a time, so that the flush before the
    // sources are marked does not find all of it still in memory (and the disk idle until then).
    off_t zurueckBis = 0;
    // A piece is written up to `bis`: its write-back, once a stretch is together, and its report.
    auto geschrieben = [&](off_t bis) {
        geschriebenBis = bis;
        if (geschriebenBis - zurueckBis >= Rueckschreibstrecke) {
            (void)::sync_file_range(z, zurueckBis, geschriebenBis - zurueckBis, SYNC_FILE_RANGE_WRITE);
            zurueckBis = geschriebenBis;
        }
        melde(bis);
    };
    auto kopiereBereich = [&](off_t von, off_t bis) {
        bis = std::min(bis, groesse);
        while (von < bis) {
            // In pieces, so that the caller hears of a large file while it is copied.
            const std::size_t laenge = std::min(static_cast<std::size_t>(bis - von), Stueck);
            pufferFuer();
            const ssize_t n = ::pread(q, puffer.data(), std::min(laenge, puffer.size()), von);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                throw quellfehler(errno);
            }
            if (n == 0) {
                ganz = false; // the source has become shorter
                return;
            }
            summiere(puffer.data(), von, static_cast<std::size_t>(n));
            for (ssize_t geschrieben = 0; geschrieben < n;) {
                const ssize_t m = ::pwrite(z, puffer.data() + geschrieben, static_cast<std::size_t>(n - geschrieben),
                                           von + geschrieben);
                if (m < 0) {
                    if (errno == EINTR)
                        continue;
                    throw zielfehler(errno);
                }
                geschrieben += m;
            }
            von += n;
            geschrieben(von);
        }
    };
    if (static_cast<std::int64_t>(vorher.st_blocks) * 512 >= static_cast<std::int64_t>(groesse)) {
        // Its blocks cover the whole size: a file without holes, copied in one stretch without asking for
        // its data regions.
        kopiereBereich(0, groesse);
    } else {
        // Only the data regions are copied, so holes of sparse files stay holes.
        off_t pos = 0;
        while (pos < groesse) {
            const off_t daten = ::lseek(q, pos, SEEK_DATA);
            if (daten < 0) {
                if (errno == ENXIO)
                    break; // nothing but a hole up to the end
                if (errno != EINVAL && errno != ENOTSUP)
                    throw quellfehler(errno);
                // No hole information: copy everything.
                kopiereBereich(pos, groesse);
                break;
            }
            const off_t loch = ::lseek(q, daten, SEEK_HOLE);
            if (loch < 0)
                throw quellfehler(errno);
            kopiereBereich(daten, loch);
            pos = loch;
        }
    }
    // A trailing hole of the source stays a hole of the copy. Only a copy of an unchanged source is kept, so
    // this hole is one the source had.
    if (geschriebenBis < groesse && ::ftruncate(z, groesse) != 0)
        throw zielfehler(errno);
    if (ganz) {
        if (summiertBis < groesse)
            summierer_.Nullen(static_cast<std::uint64_t>(groesse - summiertBis)); // the trailing hole
        inhalt_ = summierer_.Summe();
    }
}

} // namespace tresor::posix
