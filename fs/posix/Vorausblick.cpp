#include "fs/posix/Vorausblick.h"

#include "fs/system/Faden.h"

#include <fcntl.h>

#include <algorithm>

namespace tresor::posix {

Vorausblick::Vorausblick(std::function<void(const std::string&)> gesehen) : gesehen_(std::move(gesehen)) {}

Vorausblick::~Vorausblick() {
    {
        const std::lock_guard<std::mutex> l(m_);
        ende_ = true;
    }
    arbeit_.notify_all();
    if (faden_.joinable())
        faden_.join();
}

bool Vorausblick::KannArbeiten() const {
    return auftrag_ && naechster_ < auftrag_->Namen->size() && naechster_ < verbraucht_ + Vorlauf;
}

bool Vorausblick::Beginne(Deskriptor ordner, dev_t geraet, ino_t inode, std::shared_ptr<const Namensliste> namen) {
    Beende();
    if (!namen || namen->size() == 0 || !ordner.gueltig())
        return false;
    auto auftrag = std::make_shared<Auftrag>();
    auftrag->Ordner = std::move(ordner);
    auftrag->Geraet = geraet;
    auftrag->Inode = inode;
    auftrag->Namen = std::move(namen);
    {
        const std::lock_guard<std::mutex> l(m_);
        if (!faden_.joinable()) {
            faden_ = FadenOhneSignale([this] { Arbeite(); });
            if (!faden_.joinable())
                return false; // no thread: the walk looks at everything itself
        }
        ++generation_;
        auftrag_ = std::move(auftrag);
        naechster_ = 0;
        verbraucht_ = 0;
        for (Platz& p : plaetze_)
            p.Was = Zustand::Leer;
    }
    arbeit_.notify_one();
    return true;
}

void Vorausblick::Beende() {
    std::shared_ptr<Auftrag> alt;
    const std::lock_guard<std::mutex> l(m_);
    ++generation_;
    alt = std::move(auftrag_); // closed here, or by the other thread once it is done with it
}

std::optional<struct stat> Vorausblick::Hole(dev_t geraet, ino_t inode, std::size_t index) {
    std::shared_ptr<Auftrag> alt;
    std::unique_lock<std::mutex> l(m_);
    if (!auftrag_ || index < verbraucht_ || index >= auftrag_->Namen->size())
        return std::nullopt;
    std::optional<struct stat> ergebnis;
    Platz& p = plaetze_[index % Vorlauf];
    const bool gleicherOrdner = auftrag_->Geraet == geraet && auftrag_->Inode == inode;
    if (!gleicherOrdner) {
        // The walk reaches the names through another folder than the one listed (renamed, replaced): nothing
        // looked at ahead is that folder's, and nothing more is looked at.
        ++generation_;
        alt = std::move(auftrag_);
        ++zaehler_.Selbst;
        return std::nullopt;
    }
    if (index < naechster_ && p.Index == index && p.Was == Zustand::Fertig) {
        ergebnis = p.St;
        p.Was = Zustand::Leer;
    } else {
        // Not begun, begun and not yet stored, or failed: the caller looks itself rather than wait; what the
        // other thread finds for it is thrown away. Where the walk has caught up with the other thread, it
        // takes the next few itself, and the other thread goes on beyond them, so that the two do not keep
        // meeting on the same entry.
        if (naechster_ <= index + 1)
            naechster_ = std::min(auftrag_->Namen->size(), index + 1 + Abstand);
        ++zaehler_.Selbst;
    }
    verbraucht_ = index + 1;
    // The other thread sleeps when it is Vorlauf entries ahead: wake it once half of that room is free again.
    const bool wecken = wartet_ && KannArbeiten() && naechster_ + Vorlauf / 2 <= verbraucht_ + Vorlauf;
    l.unlock();
    if (wecken)
        arbeit_.notify_one();
    return ergebnis;
}

void Vorausblick::Arbeite() {
    std::array<struct stat, Schub> gesehen{};
    std::array<bool, Schub> gelungen{};
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
        if (!ende_ && !KannArbeiten()) {
            wartet_ = true;
            arbeit_.wait(l, [this] { return ende_ || KannArbeiten(); });
            wartet_ = false;
        }
        if (ende_)
            return;
        const std::shared_ptr<Auftrag> auftrag = auftrag_;
        const std::uint64_t generation = generation_;
        const std::size_t von = naechster_;
        const std::size_t bis = std::min({auftrag->Namen->size(), von + Schub, verbraucht_ + Vorlauf});
        naechster_ = bis;
        for (std::size_t i = von; i < bis; ++i) {
            Platz& p = plaetze_[i % Vorlauf];
            p.Index = i;
            p.Was = Zustand::InArbeit;
        }
        l.unlock();
        for (std::size_t i = von; i < bis; ++i) {
            gelungen[i - von] =
                ::fstatat(auftrag->Ordner.get(), auftrag->Namen->CName(i), &gesehen[i - von], AT_SYMLINK_NOFOLLOW) == 0;
            if (gesehen_)
                gesehen_(std::string((*auftrag->Namen)[i]));
        }
        l.lock();
        // Kept only for the entry it was taken for, while the walk has not passed it.
        for (std::size_t i = von; i < bis; ++i) {
            Platz& p = plaetze_[i % Vorlauf];
            if (generation == generation_ && p.Index == i && p.Was == Zustand::InArbeit && i >= verbraucht_) {
                p.St = gesehen[i - von];
                p.Was = gelungen[i - von] ? Zustand::Fertig : Zustand::Fehlschlag;
                if (gelungen[i - von])
                    ++zaehler_.Vorab;
            }
        }
    }
}

Vorausblick::Zaehler Vorausblick::Stand() const {
    const std::lock_guard<std::mutex> l(m_);
    Zaehler z = zaehler_;
    z.Wartet = wartet_;
    return z;
}

} // namespace tresor::posix
