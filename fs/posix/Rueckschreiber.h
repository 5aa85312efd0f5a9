#pragma once

#include "fs/Pfad.h"
#include "fs/system/Deskriptor.h"

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tresor::posix {

// Begins the write-back of copies while more are being made: once enough was copied since the last time, the
// file system of the copies' folder is flushed (syncfs) on a thread of its own, so that the disk writes while
// the run reads and copies, and the flush before the sources are marked (PosixDateisystem::Sync) finds little
// left to do. On a machine of two cores the kernel's write-back then runs beside the copies instead of after
// them.
//
// Nothing here counts as durable for the run: only Sync does, on its own thread, before any source is
// marked. A write error reaches only the first flush that looks after it happened, and that may be one of
// this thread: its error is kept and handed to Sync (Abwarten), which then fails as if it had seen it itself.
//
// Where a flush of the whole file system asks nothing of the server that holds the copies (sshfs, SMB), each copy
// is flushed by itself (fsync, Einzeln) on one of a few threads of its own while the walk goes on: several such
// flushes in flight let the server write them out together. Sync waits for every one handed over before it and
// fails where one failed (Abwarten), naming that copy; a copy of a backup whose flush failed loses its name.
class Rueckschreiber {
public:
    // Flushes the file system of the open descriptor `fd`: 0, or the error number.
    using Flush = std::function<int(int fd)>;
    // Flushed once this much content or this many copies came together since the last flush began.
    static constexpr std::uint64_t Strecke = 4 << 20;
    static constexpr std::size_t Dateien = 256;

    // Flushed by themselves at most this many copies at a time, and this many more handed over and waiting;
    // a copy handed over beyond that waits until one is through.
    static constexpr std::size_t Einzelfaeden = 4;
    static constexpr std::size_t Warteplaetze = 16;

    // Without `flush`, syncfs. Without `einzeln`, fsync; with it (a test's), every copy is flushed by itself
    // (Immer), on any file system.
    explicit Rueckschreiber(Flush flush = {}, Flush einzeln = {});
    ~Rueckschreiber();
    Rueckschreiber(const Rueckschreiber&) = delete;
    Rueckschreiber& operator=(const Rueckschreiber&) = delete;

    // A copy of `bytes` bytes of content was made in the open folder `ordnerFd` (the descriptor stays the
    // caller's: the folder is opened once more to be flushed). Begins a flush where enough came together and none is
    // under way; never waits for one.
    void Kopiert(int ordnerFd, std::uint64_t bytes);
    // Whether every copy is flushed by itself, whatever its file system (a test's flush given).
    [[nodiscard]] bool Immer() const { return immer_; }
    // Hands over the copy `name` (program path `ziel`) of the open folder `ordnerFd` (device `geraet`, inode
    // `inode`, 0 where not known) to be flushed by itself; the descriptor stays the caller's. Where `entfernen`,
    // a copy whose flush fails loses its name. False where it cannot be handed over (no thread, no descriptor
    // left): the caller flushes it itself (EinzelnJetzt).
    [[nodiscard]] bool Einzeln(int ordnerFd, dev_t geraet, ino_t inode, const std::string& name, const Pfad& ziel,
                               bool entfernen);
    // Flushes the open copy `fd` by itself on the caller's thread: 0, or the error number.
    [[nodiscard]] int EinzelnJetzt(int fd) const { return einzeln_(fd); }
    // Waits for a flush under way and for every copy handed over to be flushed, and returns the error number of
    // the first one that failed since the last call, else 0; `kopie`, where given, learns the program path of
    // the copy whose flush failed (empty where it was a flush of the whole file system).
    [[nodiscard]] int Abwarten(Pfad* kopie = nullptr);

private:
    struct Auftrag {
        std::shared_ptr<const Deskriptor> Ordner; // the folder, a descriptor of its own shared by its copies
        std::string Name;
        Pfad Ziel;
        bool Entfernen;
    };
    void Arbeite();
    void ArbeiteEinzeln();
    void Fehlschlag(int fehler, const Pfad& kopie);

    Flush flush_;
    std::mutex m_;
    std::condition_variable wecker_;
    std::thread faden_;
    int fd_ = -1;         // handed over to be flushed, the thread's to close
    bool laeuft_ = false; // a flush handed over or under way
    bool ende_ = false;
    int fehler_ = 0;
    Pfad fehlerKopie_;
    // The copies to be flushed by themselves, and their threads.
    Flush einzeln_;
    bool immer_ = false;
    std::deque<Auftrag> auftraege_;
    std::size_t inArbeit_ = 0;
    std::vector<std::thread> einzelfaeden_;
    bool ohneFaeden_ = false;
    // The folder of the copy handed over last, so that the copies of one folder share its descriptor; the
    // caller's thread only.
    struct Letzter {
        int Fd = -1; // the caller's
        dev_t Geraet = 0;
        ino_t Inode = 0;
        std::shared_ptr<const Deskriptor> Ordner;
    } letzter_;
    // Since the last flush began; the caller's thread only.
    std::uint64_t bytes_ = 0;
    std::size_t dateien_ = 0;
};

} // namespace tresor::posix
