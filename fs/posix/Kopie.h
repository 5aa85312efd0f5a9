#pragma once

#include "fs/Dateisystem.h"
#include "fs/ablage/Ablagen.h"
#include "fs/posix/OffeneOrdner.h"
#include "fs/posix/Rueckschreiber.h"
#include "fs/system/Inhaltssumme.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>

namespace tresor::posix {

// Removes a temporary entry of a copy when it goes out of scope before the copy was renamed into place, so
// that a failure never leaves anything partial behind. An empty name: no entry (yet).
struct TemporaererEintrag {
    const int& ordner;
    const std::string& name;
    const bool& fertig;
    ~TemporaererEintrag() {
        if (!fertig && !name.empty())
            ::unlinkat(ordner, name.c_str(), 0);
    }
};

// The copy of one file or symbolic link into the backup.
//
// A regular file gets the content, the modification time, the permission bits and the read-only, hidden and
// system bits of the source, never its archive record: the copy reads archive set. Where the source's file system
// lists every attribute a file keeps (ext4, XFS, btrfs, tmpfs, f2fs), one listing of the source's attributes tells
// which of user.DOSATTRIB and the ACL are read at all, and whether it has an archive record (QuelleOhneVermerk).
// The copy is written as an unnamed file of the destination folder (O_TMPFILE) and linked under its name when
// complete; where a file of that name exists, it is linked as ".tresor-ix-<hex>.tmp" and renamed over it. Where
// the folder's file system makes no unnamed files (FUSE, shares, FAT), the copy is written under such a temporary
// name from the start.
// Every failure removes the temporary file, so nothing partial is ever left under a real name.
// The source is looked at before and after its content is copied; a source that changed in between (size,
// modification time, ctime) is copied again, up to four times in all, and one that still changes leaves no
// copy: Copy returns its state marked Veraendert (with how often and how long it tried) and the temporary file
// goes. Where the source's file system clones (btrfs, XFS), such a file is cloned instead, at one moment, into
// an unnamed file of its folder, and the clone is copied: the copy is one version the file really had, and
// where its state at the clone is not certain, the state is marked Schnappschuss (the file stays to be backed
// up). A copy is never extended
// beyond what was read, so it never holds a made-up tail of zeros. The first look waits until the step of
// the source's ctime is over (Zeitraster.h; up to two seconds for a file just written on a stick that stamps
// whole seconds, or FAT's two): no later change can then share the stamp the copy was taken from. A source
// that keeps changing for that long counts as changed as well.
// Nothing is flushed per file: Sync flushes the whole file system once for many copies, and in a backup the
// write-back of the copies made so far begins meanwhile on a thread of its own (Rueckschreiber.h). The copy shares the
// source's blocks where the file systems offer a reflink, else it goes through reads and writes of this program;
// holes of sparse files stay holes. Either way the bytes are summed (Quellstand::Inhalt, Inhaltssumme.h).
//
// A symbolic link is never followed: its target text is read and a link of that text is made under a
// temporary name in the destination folder, given the link's modification time (where the target can: see
// VerweiseEigenstaendig) and renamed into place.
// FIFOs, sockets and device files are never opened (refused with EINVAL).
//
// The content goes in pieces of at most Stueck bytes, and the caller's Kopierfortschritt hears of each piece
// when it is written (a reflinked file once, when it is made): at 10 MB/s, the speed of a slow stick, that is
// every 100 ms. A copy made again because its source changed goes on reporting from where the count stood
// (see Copy). The callback may throw to stop the copy; the temporary file is then removed as on a failure.
class Kopierer {
public:
    // The held-open folders and the stores are the file-system object's; both must outlive this object.
    // `haken`, where given, is called inside each copy of a file's content (PosixDateisystem.h, Kopierhaken).
    // `rueckschreiber`, where given, hears of each copy once it is in place, and begins the write-back of what
    // came together (Rueckschreiber.h); where only a flush of the very file makes
    // it durable (NurEinzelnDauerhaft), it flushes each copy, of a restore as well; it must outlive this object.
    Kopierer(OffeneOrdner& ordner, Ablagen& ablagen, std::function<void(const Pfad&, int)> haken = {},
             Rueckschreiber* rueckschreiber = nullptr)
        : ordner_(ordner), ablagen_(ablagen), rueckschreiber_(rueckschreiber), haken_(std::move(haken)) {}

    // Copies `datei` to the program path `ziel`. Returns the state the copy was taken from (for a link, with
    // the state of its folder); `geraet` and `inode`, where given, learn which file that was. `fortschritt`,
    // where given, hears of the copy's progress and may stop it. Fails with FsFehler naming the source or the
    // destination, whichever is at fault.
    // Owners, set-ID bits and ACLs of the copy: Eigentum.h.
    Quellstand Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt = {},
                    dev_t* geraet = nullptr, ino_t* inode = nullptr);

    // user.DOSATTRIB of the regular file the last Copy took its copy from, as read once the copy was whole
    // (inside, nothing where the file has none); nothing at all where that Copy read none (a link, a failure).
    [[nodiscard]] const std::optional<std::optional<std::uint32_t>>& QuellDos() const { return quellDos_; }
    // True when the last Copy found the regular file it copied, unchanged, without an archive record (a listing
    // of its attributes named none; see Copy): it holds none as long as it is in the state copied, since writing
    // one moves its ctime. False where that is not known.
    [[nodiscard]] bool QuelleOhneVermerk() const { return quelleOhneVermerk_; }

    // From now on a file or link is copied from the folder held since it was met, even where that folder was
    // renamed since (Dateisystem::QuellordnerHalten): no look at its path after every copy. And its content is
    // read to its end, never shared by a reflink: a block that no longer reads fails the copy.
    void QuellordnerHalten() { quellordnerHalten_ = true; }

    // The largest piece of content written between two reports of progress.
    static constexpr std::size_t Stueck = 1 << 20;
    // How much of a copy is written before its write-back is started (see Copy).
    static constexpr off_t Rueckschreibstrecke = 8 << 20;

private:
    // Copy again, after the source's folder turned out to be renamed away (OffeneOrdner::AmOrt).
    Quellstand NochEinmal(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt, dev_t* geraet,
                          ino_t* inode);
    // `fortschritt` only for a copy made again from the folder the path names now, which may hold a file.
    Quellstand KopiereVerweis(const Datei& datei, const Pfad& ziel, Eintragsort& quelle,
                              const Kopierfortschritt& fortschritt, dev_t* geraet, ino_t* inode);
    // The content of the open source `q` into the empty open copy `z`, up to the size the source had in
    // `vorher` and never beyond; `melde` hears of each piece written, with the offset reached. Fails with
    // FsFehler naming `quelle` or `ziel`, whichever is at fault.
    void KopiereInhalt(int q, int z, const struct stat& vorher, const std::pair<dev_t, dev_t>& geraete,
                       const Pfad& quelle, const Pfad& ziel, const std::function<void(off_t)>& melde);
    std::string TemporaererName();
    // Whether the destination folder of `zielort` has a default ACL (VorgabeAcl), which a copy made in it gets as
    // its own. Asked once for the copies of one folder: the folders of the backup are the run's own.
    bool VorgabeAclIn(const Eintragsort& zielort);
    // Whether the file system of the open folder `ordnerFd` (device `geraet`) sets the time and owner of a
    // symbolic link on the link itself. A network file system that passes such a change on to the server by
    // the link's path (sshfs) changes the file the link points to instead, or fails where it points nowhere:
    // there a copied link keeps the time and owner it was made with. Asked once per device, with a link of
    // its own that points nowhere.
    bool VerweiseEigenstaendig(int ordnerFd, dev_t geraet);
    // Whether the file system of the device `geraet` (a file of it open as `fd`) is one of the local ones whose
    // listing of a file's attributes names every one it holds, the ACL included, and which stamp the ctime of a
    // file that is renamed or linked. Asked once per device.
    bool Lokal(int fd, dev_t geraet);
    // The kind of file system (statfs's f_type, 0 where it cannot be asked) of the device `geraet`, a file or
    // folder of it open as `fd`. Asked once per device; Lokal and NurEinzelnDauerhaft go by it.
    long Dateisystemart(int fd, dev_t geraet);
    // Whether the file system of the device `geraet` (a folder of it open as `fd`) makes a copy durable on the
    // disk that holds it only through a flush of that very file (fsync): its flush of the whole file system
    // (syncfs) asks nothing of its server. Asked once per device.
    bool NurEinzelnDauerhaft(int fd, dev_t geraet);

    OffeneOrdner& ordner_;
    Ablagen& ablagen_;
    Rueckschreiber* rueckschreiber_;
    // Pairs of file systems (source, target folder) that refused a reflink: not asked again.
    std::set<std::pair<dev_t, dev_t>> ohneReflink_;
    // Target devices whose file system refused an unnamed file (O_TMPFILE): not asked again.
    std::set<dev_t> ohneUnbenannte_;
    // Per target device: whether it sets a link's own time (VerweiseEigenstaendig).
    std::map<dev_t, bool> verweisGeraete_;
    // Per device, source or target: Dateisystemart.
    std::map<dev_t, long> arten_;
    // The destination folder asked last by VorgabeAclIn, and its answer.
    struct Vorgabe {
        dev_t Geraet;
        ino_t Inode;
        bool Acl;
    };
    std::optional<Vorgabe> vorgabeAcl_;
    std::mt19937_64 zufall_{std::random_device{}()};
    std::function<void(const Pfad&, int)> haken_;
    int ortswechsel_ = 0;              // nested NochEinmal calls of the present copy
    std::int64_t ortswechselSeit_ = 0; // when the present copy's first try began
    bool quellordnerHalten_ = false;   // QuellordnerHalten
    std::uint64_t gemeldet_ = 0;       // the progress reported of the present copy, across copies made again
    std::optional<std::optional<std::uint32_t>> quellDos_; // QuellDos
    bool quelleOhneVermerk_ = false;                       // QuelleOhneVermerk
    Summierer summierer_;                                  // of the content under way
    std::optional<Inhaltssumme> inhalt_;                   // of the last content copied whole
};

} // namespace tresor::posix
