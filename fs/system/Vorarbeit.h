#pragma once

#include "fs/system/Deskriptor.h"
#include "fs/system/Faden.h"
#include "fs/system/Namensliste.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace tresor::posix {

// Work on a folder's entries done ahead of the walk, on a thread of its own, in the order in which the walk asks
// for them, so that on a machine of two cores the walk's thread does the rest of its work on each entry while the
// other does this part for the next ones (the walks' looks, Vorausblick.h; the records read, Vorleser.h).
//
// Results are handed out in the walk's order only, each for the very entry it was done for: the job (a folder's
// descriptor and names) begun last, the entry of that index, while the walk has not passed it. Where the other
// thread has not stored an entry, the caller does it itself, so the walk never waits; where it has caught up with
// the other thread, it keeps some of the entries ahead for itself as well (how many: the user's rule) and the other
// thread goes on beyond them, so that the two do not keep meeting on the same entry. At most Vorlauf entries are
// done ahead of the walk, in a ring of as many places, so memory stays flat whatever the folder holds and nothing
// is allocated per entry; the other thread stores a result and takes its next entry under one lock.
template <typename Ergebnis> class Vorarbeit {
public:
    // How many entries are done ahead of the walk at most.
    static constexpr std::size_t Vorlauf = 256;

    struct Auftrag {
        Deskriptor Ordner;
        std::shared_ptr<const Namensliste> Namen;
    };
    // Does the entry `index` of `auftrag` on the other thread: true where `ergebnis` is to be handed out for it
    // (else the walk does the entry itself).
    using Arbeit = std::function<bool(const Auftrag& auftrag, std::size_t index, Ergebnis& ergebnis)>;
    // Where the walk did an entry itself after catching up with the other thread: of the `vorn` entries after it
    // (to the end of the names, Vorlauf at most), how many it keeps for itself.
    using Aufholen = std::size_t (*)(std::size_t vorn);

    Vorarbeit(Arbeit arbeit, Aufholen aufholen) : arbeit_(std::move(arbeit)), aufholen_(aufholen) {}
    ~Vorarbeit() {
        {
            const std::lock_guard<std::mutex> l(m_);
            ende_ = true;
        }
        wecker_.notify_all();
        if (faden_.joinable())
            faden_.join();
    }
    Vorarbeit(const Vorarbeit&) = delete;
    Vorarbeit& operator=(const Vorarbeit&) = delete;

    // Begins the work on the entries `namen` of the folder `ordner` (taken over), from the index `ab` on; the walk
    // will ask for them in this order. Drops the job begun before. False where nothing is done ahead (no names
    // from `ab` on, no thread).
    bool Beginne(Deskriptor ordner, std::shared_ptr<const Namensliste> namen, std::size_t ab = 0) {
        Beende();
        if (!namen || ab >= namen->size())
            return false;
        auto auftrag = std::make_shared<const Auftrag>(Auftrag{std::move(ordner), std::move(namen)});
        {
            const std::lock_guard<std::mutex> l(m_);
            if (!faden_.joinable()) {
                faden_ = FadenOhneSignale([this] { Arbeite(); });
                if (!faden_.joinable())
                    return false; // no thread: the walk does everything itself
            }
            ++generation_;
            auftrag_ = std::move(auftrag);
            naechster_ = ab;
            verbraucht_ = ab;
            for (Platz& p : plaetze_)
                p.Was = Zustand::Leer;
        }
        wecker_.notify_one();
        return true;
    }

    // Drops the job begun last; its descriptor is closed once the other thread is done with it.
    void Beende() {
        std::shared_ptr<const Auftrag> alt; // closed here (after the lock), or by the other thread
        const std::lock_guard<std::mutex> l(m_);
        ++generation_;
        alt = std::move(auftrag_);
    }

    // True while the job begun last is the one for the names `namen` and none of its entries was asked for or
    // passed over yet: what it did or does is still there for the walk, from its first entry on.
    bool Unberuehrt(const Namensliste* namen) const {
        const std::lock_guard<std::mutex> l(m_);
        return auftrag_ && auftrag_->Namen.get() == namen && verbraucht_ == 0;
    }

    // What Hole gives for an entry.
    struct Abgabe {
        std::optional<Ergebnis> Wert; // the other thread's result for it
        // Else, where it is an entry still to come of the job: the job, for the caller to do the entry itself.
        std::shared_ptr<const Auftrag> Selbst;
    };
    // The entry `index` of the job begun last. Nothing where it is not an entry still to come (asked twice, no job).
    // The entries before `index` are passed over either way: what the other thread does for them is thrown away.
    Abgabe Hole(std::size_t index) {
        Abgabe abgabe;
        std::unique_lock<std::mutex> l(m_);
        if (!Kommt(index))
            return abgabe;
        Platz& p = plaetze_[index % Vorlauf];
        if (index < naechster_ && p.Index == index && p.Was == Zustand::Fertig) {
            abgabe.Wert = std::move(p.Wert);
            p.Was = Zustand::Leer;
        } else {
            // Not begun, begun and not yet stored, or not to be handed out: the caller does it rather than wait.
            abgabe.Selbst = auftrag_;
            if (naechster_ <= index + 1) {
                const std::size_t vorn = std::min(auftrag_->Namen->size() - index - 1, Vorlauf);
                naechster_ = index + 1 + std::min(vorn, aufholen_(vorn));
            }
            ++zaehler_.Selbst;
        }
        verbraucht_ = index + 1;
        // The other thread sleeps when it is Vorlauf entries ahead: wake it once half of that room is free again.
        const bool wecken = wartet_ && KannArbeiten() && naechster_ + Vorlauf / 2 <= verbraucht_ + Vorlauf;
        l.unlock();
        if (wecken)
            wecker_.notify_one();
        return abgabe;
    }

    // The walk reaches the entry `index` otherwise than the job was begun for (through another folder): nothing of
    // the job is handed out any more, and nothing more is done for it. Counted as done by the caller where it was
    // an entry still to come.
    void Verwirf(std::size_t index) {
        std::shared_ptr<const Auftrag> alt;
        const std::lock_guard<std::mutex> l(m_);
        if (!Kommt(index))
            return;
        ++generation_;
        alt = std::move(auftrag_);
        ++zaehler_.Selbst;
    }

    // What the other thread did, for tests: entries it stored and that were not thrown away since, entries the
    // walk did itself (asked but not handed out).
    struct Zaehler {
        std::uint64_t Vorab = 0;
        std::uint64_t Selbst = 0;
        bool Wartet = false; // the other thread sleeps
    };
    Zaehler Stand() const {
        const std::lock_guard<std::mutex> l(m_);
        Zaehler z = zaehler_;
        z.Wartet = wartet_;
        return z;
    }

private:
    enum class Zustand : std::uint8_t { Leer, InArbeit, Fertig };
    struct Platz {
        std::size_t Index = 0;
        Zustand Was = Zustand::Leer;
        Ergebnis Wert{};
    };

    bool Kommt(std::size_t index) const { return auftrag_ && index >= verbraucht_ && index < auftrag_->Namen->size(); }
    bool KannArbeiten() const {
        return auftrag_ && naechster_ < auftrag_->Namen->size() && naechster_ < verbraucht_ + Vorlauf;
    }

    void Arbeite() {
        // One entry at a time, so that the walk finds each result as soon as it is there: the result is stored and
        // the next entry taken under one lock.
        std::shared_ptr<const Auftrag> fuer; // nothing: no result waits to be stored
        std::uint64_t generation = 0;
        std::size_t index = 0;
        Ergebnis wert{};
        bool gelungen = false;
        std::unique_lock<std::mutex> l(m_);
        for (;;) {
            if (fuer) {
                // Kept only for the entry it was done for, while the walk has not passed it.
                Platz& p = plaetze_[index % Vorlauf];
                if (gelungen && generation == generation_ && p.Index == index && p.Was == Zustand::InArbeit &&
                    index >= verbraucht_) {
                    p.Wert = std::move(wert);
                    p.Was = Zustand::Fertig;
                    ++zaehler_.Vorab;
                }
                fuer.reset();
            }
            if (!ende_ && !KannArbeiten()) {
                wartet_ = true;
                wecker_.wait(l, [this] { return ende_ || KannArbeiten(); });
                wartet_ = false;
            }
            if (ende_)
                return;
            fuer = auftrag_;
            generation = generation_;
            index = naechster_++;
            Platz& p = plaetze_[index % Vorlauf];
            p.Index = index;
            p.Was = Zustand::InArbeit;
            l.unlock();
            gelungen = arbeit_(*fuer, index, wert);
            l.lock();
        }
    }

    const Arbeit arbeit_;
    const Aufholen aufholen_;
    mutable std::mutex m_;
    std::condition_variable wecker_;
    std::shared_ptr<const Auftrag> auftrag_;
    std::uint64_t generation_ = 0;
    std::size_t naechster_ = 0;  // the next entry not yet begun by anyone
    std::size_t verbraucht_ = 0; // entries before it were asked for (or passed over)
    bool wartet_ = false;        // the other thread sleeps
    bool ende_ = false;
    std::array<Platz, Vorlauf> plaetze_;
    Zaehler zaehler_;
    std::thread faden_;
};

} // namespace tresor::posix
