#include "fs/posix/Rueckschreiber.h"

#include "fs/system/Deskriptor.h"
#include "fs/system/Faden.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace tresor::posix {

Rueckschreiber::Rueckschreiber(Flush flush, Flush einzeln)
    : flush_(std::move(flush)), einzeln_(std::move(einzeln)), immer_(static_cast<bool>(einzeln_)) {
    if (!flush_)
        flush_ = [](int fd) { return ::syncfs(fd) == 0 ? 0 : errno; };
    if (!einzeln_)
        einzeln_ = [](int fd) { return ::fsync(fd) == 0 ? 0 : errno; };
}

Rueckschreiber::~Rueckschreiber() {
    {
        const std::lock_guard<std::mutex> l(m_);
        ende_ = true;
    }
    wecker_.notify_all();
    if (faden_.joinable())
        faden_.join();
    for (std::thread& t : einzelfaeden_)
        t.join();
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

bool Rueckschreiber::Einzeln(int ordnerFd, dev_t geraet, ino_t inode, const std::string& name, const Pfad& ziel,
                             bool entfernen) {
    // The copies of one folder share one descriptor of it: the copies waiting hold one at most each.
    if (!letzter_.Ordner || inode == 0 || letzter_.Fd != ordnerFd || letzter_.Geraet != geraet ||
        letzter_.Inode != inode) {
        letzter_ = {};
        const int fd = ::fcntl(ordnerFd, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            return false;
        letzter_ = {ordnerFd, geraet, inode, std::make_shared<const Deskriptor>(fd)};
    }
    std::unique_lock<std::mutex> l(m_);
    if (einzelfaeden_.size() < Einzelfaeden && !ohneFaeden_) {
        std::thread t = FadenOhneSignale([this] { ArbeiteEinzeln(); });
        if (t.joinable())
            einzelfaeden_.push_back(std::move(t));
        else
            ohneFaeden_ = true;
    }
    if (einzelfaeden_.empty())
        return false;
    wecker_.wait(l, [this] { return auftraege_.size() < Warteplaetze; });
    auftraege_.push_back({letzter_.Ordner, name, ziel, entfernen});
    l.unlock();
    wecker_.notify_all();
    return true;
}

int Rueckschreiber::Abwarten(Pfad* kopie) {
    letzter_ = {};
    std::unique_lock<std::mutex> l(m_);
    wecker_.wait(l, [this] { return !laeuft_ && auftraege_.empty() && inArbeit_ == 0; });
    if (kopie != nullptr)
        *kopie = fehlerKopie_;
    fehlerKopie_.clear();
    return std::exchange(fehler_, 0);
}

void Rueckschreiber::Fehlschlag(int fehler, const Pfad& kopie) {
    if (fehler != 0 && fehler_ == 0) {
        fehler_ = fehler;
        fehlerKopie_ = kopie;
    }
}

void Rueckschreiber::ArbeiteEinzeln() {
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
        wecker_.wait(l, [this] { return ende_ || !auftraege_.empty(); });
        if (ende_)
            return;
        Auftrag a = std::move(auftraege_.front());
        auftraege_.pop_front();
        ++inArbeit_;
        l.unlock();
        wecker_.notify_all(); // a place is free
        int fehler = 0;
        {
            // Opened by its name, as it stands in the backup: its content and that name are made durable.
            const Deskriptor kopie(
                ::openat(a.Ordner->get(), a.Name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            fehler = kopie.gueltig() ? einzeln_(kopie.get()) : errno;
        }
        // A copy that cannot be made durable is not left under its name for anyone to take as a backup.
        if (fehler != 0 && a.Entfernen)
            (void)::unlinkat(a.Ordner->get(), a.Name.c_str(), 0);
        a.Ordner.reset();
        l.lock();
        Fehlschlag(fehler, a.Ziel);
        --inArbeit_;
        wecker_.notify_all();
    }
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
        Fehlschlag(fehler, {});
        laeuft_ = false;
        wecker_.notify_all();
    }
}

} // namespace tresor::posix
