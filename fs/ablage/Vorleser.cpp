#include "fs/ablage/Vorleser.h"

#include "fs/system/ErweiterteAttribute.h"
#include "fs/system/Faden.h"
#include "fs/system/Ort.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

namespace tresor::posix {

namespace {

std::optional<Archivvermerk> LiesVermerkVon(int ordnerFd, const char* name) {
    const int gerettet = errno;
    const auto text = LiesXattr(Ort(ordnerFd, name), ArchivvermerkName);
    errno = gerettet;
    if (!text)
        return std::nullopt;
    return LiesArchivvermerk(*text);
}

} // namespace

Vorleser::Vorleser(Lesen lesen, std::function<void(const std::string&)> gelesen)
    : lesen_(lesen ? std::move(lesen) : Lesen(LiesVermerkVon)), gelesen_(std::move(gelesen)) {}

Vorleser::~Vorleser() {
    {
        const std::lock_guard<std::mutex> l(m_);
        ende_ = true;
    }
    arbeit_.notify_all();
    if (faden_.joinable())
        faden_.join();
}

bool Vorleser::KannArbeiten() const {
    return auftrag_ && naechster_ < auftrag_->Namen->size() && naechster_ < verbraucht_ + Vorlauf;
}

bool Vorleser::Beginne(int ordnerFd, const std::vector<std::string>& namen, std::size_t ab) {
    auto liste = std::make_shared<Namensliste>();
    for (const std::string& name : namen)
        liste->Hinzu(name);
    return Beginne(ordnerFd, std::move(liste), ab);
}

bool Vorleser::Beginne(int ordnerFd, std::shared_ptr<const Namensliste> namen, std::size_t ab) {
    Beende();
    if (!namen || ab >= namen->size())
        return false;
    auto auftrag = std::make_shared<Auftrag>();
    // A copy of the descriptor of its own: the caller may close its own while an entry is being read.
    auftrag->Ordner = Deskriptor(::fcntl(ordnerFd, F_DUPFD_CLOEXEC, 0));
    if (!auftrag->Ordner.gueltig())
        return false;
    auftrag->Namen = std::move(namen);
    {
        const std::lock_guard<std::mutex> l(m_);
        if (!faden_.joinable()) {
            faden_ = FadenOhneSignale([this] { Arbeite(); });
            if (!faden_.joinable())
                return false; // no thread: the walk reads everything itself
        }
        ++generation_;
        auftrag_ = std::move(auftrag);
        naechster_ = ab;
        verbraucht_ = ab;
        for (Platz& p : plaetze_)
            p.Was = Zustand::Leer;
    }
    arbeit_.notify_one();
    return true;
}

void Vorleser::Beende() {
    std::shared_ptr<Auftrag> alt;
    const std::lock_guard<std::mutex> l(m_);
    ++generation_;
    alt = std::move(auftrag_); // closed here, or by the other thread once it is done with it
}

std::optional<std::optional<Archivvermerk>> Vorleser::Hole(std::size_t index) {
    std::unique_lock<std::mutex> l(m_);
    if (!auftrag_ || index < verbraucht_ || index >= auftrag_->Namen->size())
        return std::nullopt;
    Platz& p = plaetze_[index % Vorlauf];
    std::optional<std::optional<Archivvermerk>> ergebnis;
    std::shared_ptr<Auftrag> selbst;
    if (index < naechster_ && p.Index == index && p.Was == Zustand::Fertig) {
        ergebnis = p.Vermerk;
        p.Was = Zustand::Leer;
    } else {
        // Not begun, or begun and not yet done: read here rather than wait; what the other thread finds for
        // it is thrown away. Where the walk has caught up with the other thread, the rest ahead is split: the
        // walk reads the first half itself and the other thread goes on with the second, so that the two do
        // not keep meeting on the same entry.
        selbst = auftrag_;
        if (naechster_ <= index + 1) {
            const std::size_t grenze = std::min(auftrag_->Namen->size(), index + 1 + Vorlauf);
            naechster_ = index + 1 + (grenze - index - 1) / 2;
        }
        ++zaehler_.Selbst;
    }
    verbraucht_ = index + 1;
    // The other thread sleeps when it is Vorlauf entries ahead: wake it once half of that room is free again.
    const bool wecken = wartet_ && KannArbeiten() && naechster_ + Vorlauf / 2 <= verbraucht_ + Vorlauf;
    l.unlock();
    if (wecken)
        arbeit_.notify_one();
    if (selbst)
        ergebnis = lesen_(selbst->Ordner.get(), selbst->Namen->CName(index));
    return ergebnis;
}

void Vorleser::Arbeite() {
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
        const std::size_t index = naechster_++;
        Platz& p = plaetze_[index % Vorlauf];
        p.Index = index;
        p.Was = Zustand::InArbeit;
        l.unlock();
        auto vermerk = lesen_(auftrag->Ordner.get(), auftrag->Namen->CName(index));
        if (gelesen_)
            gelesen_(std::string((*auftrag->Namen)[index]));
        l.lock();
        // Kept only for the entry it was read for, while the walk has not passed it.
        if (generation == generation_ && p.Index == index && p.Was == Zustand::InArbeit && index >= verbraucht_) {
            p.Vermerk = vermerk;
            p.Was = Zustand::Fertig;
            ++zaehler_.Vorgelesen;
        }
    }
}

Vorleser::Zaehler Vorleser::Stand() const {
    const std::lock_guard<std::mutex> l(m_);
    Zaehler z = zaehler_;
    z.Wartet = wartet_;
    return z;
}

} // namespace tresor::posix
