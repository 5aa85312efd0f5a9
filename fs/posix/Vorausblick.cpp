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
    // One entry at a time, so that the walk finds each look as soon as it is taken: what was seen is stored and
    // the next entry is taken under one lock.
    struct Blick {
        std::shared_ptr<Auftrag> Fuer; // nothing: no look waits to be stored
        std::uint64_t Generation = 0;
        std::size_t Index = 0;
        struct stat St {};
        bool Gelungen = false;
    };
    Blick blick;
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
        if (blick.Fuer) {
            // Kept only for the entry it was taken for, while the walk has not passed it.
            Platz& p = plaetze_[blick.Index % Vorlauf];
            if (blick.Generation == generation_ && p.Index == blick.Index && p.Was == Zustand::InArbeit &&
                blick.Index >= verbraucht_) {
                p.St = blick.St;
                p.Was = blick.Gelungen ? Zustand::Fertig : Zustand::Fehlschlag;
                if (blick.Gelungen)
                    ++zaehler_.Vorab;
            }
            blick.Fuer.reset();
        }
        if (!ende_ && !KannArbeiten()) {
            wartet_ = true;
            arbeit_.wait(l, [this] { return ende_ || KannArbeiten(); });
            wartet_ = false;
        }
        if (ende_)
            return;
        blick.Fuer = auftrag_;
        blick.Generation = generation_;
        blick.Index = naechster_++;
        Platz& p = plaetze_[blick.Index % Vorlauf];
        p.Index = blick.Index;
        p.Was = Zustand::InArbeit;
        l.unlock();
        const char* name = blick.Fuer->Namen->CName(blick.Index);
        blick.Gelungen = ::fstatat(blick.Fuer->Ordner.get(), name, &blick.St, AT_SYMLINK_NOFOLLOW) == 0;
        if (gesehen_)
            gesehen_(name);
        l.lock();
    }
}

Vorausblick::Zaehler Vorausblick::Stand() const {
    const std::lock_guard<std::mutex> l(m_);
    Zaehler z = zaehler_;
    z.Wartet = wartet_;
    return z;
}

} // namespace tresor::posix
