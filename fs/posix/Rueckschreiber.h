#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace tresor::posix {

// Begins the write-back of copies while more are being made: once enough was copied since the last time, the
// file system of the copies' folder is flushed (syncfs) on a thread of its own, so that the disk writes while
// the run reads and copies, and the flush before the sources are marked (PosixDateisystem::Sync) finds little
// left to do. On a machine of two cores the kernel's write-back then runs beside the copies instead of after
// them.
//
// Nothing here makes anything durable for the run: only Sync does, on its own thread, before any source is
// marked. A write error reaches only the first flush that looks after it happened, and that may be one of
// this thread: its error is kept and handed to Sync (Abwarten), which then fails as if it had seen it itself.
class Rueckschreiber {
public:
    // Flushes the file system of the open descriptor `fd`: 0, or the error number.
    using Flush = std::function<int(int fd)>;
    // Flushed once this much content or this many copies came together since the last flush began.
    static constexpr std::uint64_t Strecke = 4 << 20;
    static constexpr std::size_t Dateien = 256;

    // Without `flush`, syncfs.
    explicit Rueckschreiber(Flush flush = {});
    ~Rueckschreiber();
    Rueckschreiber(const Rueckschreiber&) = delete;
    Rueckschreiber& operator=(const Rueckschreiber&) = delete;

    // A copy of `bytes` bytes of content was made in the open folder `ordnerFd` (the descriptor stays the
    // caller's: the folder is opened once more to be flushed). Begins a flush where enough came together and none is
    // under way; never waits for one.
    void Kopiert(int ordnerFd, std::uint64_t bytes);
    // Waits for a flush under way, and returns the error number of the first one that failed since the last
    // call, else 0.
    [[nodiscard]] int Abwarten();

private:
    void Arbeite();

    Flush flush_;
    std::mutex m_;
    std::condition_variable wecker_;
    std::thread faden_;
    int fd_ = -1;         // handed over to be flushed, the thread's to close
    bool laeuft_ = false; // a flush handed over or under way
    bool ende_ = false;
    int fehler_ = 0;
    // Since the last flush began; the caller's thread only.
    std::uint64_t bytes_ = 0;
    std::size_t dateien_ = 0;
};

} // namespace tresor::posix
