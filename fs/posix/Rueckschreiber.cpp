#include "fs/posix/Rueckschreiber.h"

#include "fs/system/Deskriptor.h"
#include "fs/system/Faden.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace tresor::posix {

Rueckschreiber::Rueckschreiber(Flush flush) : flush_(std::move(flush)) {
    if (!flush_)
        flush_ = [](int fd) { return ::syncfs(fd) == 0 ? 0 : errno; };
}

Rueckschreiber::~Rueckschreiber() {
    {
        const std::lock_guard<std::mutex> l(m_);
        ende_ = true;
    }
    wecker_.notify_all();
    if (faden_.joinable())
        faden_.join();
    if (fd_ >= 0)
        ::close(fd_);
}

void Rueckschreiber::Kopiert(int ordnerFd, std::uint64_t bytes) {
    bytes_ += bytes;
    ++dateien_;
    if (bytes_ < Strecke && dateien_ < Dateien)
        return;
    {
        const std::lock_guard<std::mutex> l(m_);
        if (laeuft_)
            return; // the next copy asks again
    }
    // A descriptor of its own, opened for reading (the caller's may be one that only names the folder, which
    // syncfs does not take), so that the caller may close its own while the flush runs.
    Deskriptor kopie(::openat(ordnerFd, ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!kopie.gueltig())
        return;
    bytes_ = 0;
    dateien_ = 0;
    {
        const std::lock_guard<std::mutex> l(m_);
        if (!faden_.joinable()) {
            faden_ = FadenOhneSignale([this] { Arbeite(); });
            if (!faden_.joinable())
                return; // no thread: Sync writes everything, as it always may
        }
        fd_ = kopie.freigeben();
        laeuft_ = true;
    }
    wecker_.notify_all();
}

int Rueckschreiber::Abwarten() {
    std::unique_lock<std::mutex> l(m_);
    wecker_.wait(l, [this] { return !laeuft_; });
    return std::exchange(fehler_, 0);
}

void Rueckschreiber::Arbeite() {
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
        wecker_.wait(l, [this] { return ende_ || fd_ >= 0; });
        if (ende_)
            return;
        const Deskriptor fd(std::exchange(fd_, -1));
        l.unlock();
        const int fehler = flush_(fd.get());
        l.lock();
        if (fehler != 0 && fehler_ == 0)
            fehler_ = fehler;
        laeuft_ = false;
        wecker_.notify_all();
    }
}

} // namespace tresor::posix
