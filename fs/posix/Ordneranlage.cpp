// Folders made ahead of the walk on a thread of its own (see Ordneranlage.h).
#include "fs/posix/Ordneranlage.h"

#include "fs/system/Faden.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tresor::posix {

Ordneranlage::Ordneranlage(std::function<void(const std::string& name)> haken) : haken_(std::move(haken)) {}

Ordneranlage::~Ordneranlage() {
    {
        const std::lock_guard<std::mutex> l(m_);
        halt_ = true;
    }
    arbeit_.notify_all();
    if (faden_.joinable())
        faden_.join();
}

bool Ordneranlage::Vormerken(std::vector<Auftrag> auftraege, Deskriptor ordner, std::string einhaengepunkt,
                             dev_t geraet) {
    if (auftraege.empty() || !ordner.gueltig())
        return false;
    if (!faden_.joinable()) {
        faden_ = FadenOhneSignale([this] { Arbeite(); });
        if (!faden_.joinable())
            return false;
    }
    const auto geteilt = std::make_shared<const Deskriptor>(std::move(ordner));
    const auto punkt = std::make_shared<const std::string>(std::move(einhaengepunkt));
    {
        const std::lock_guard<std::mutex> l(m_);
        // Depth first: the folders of the folder the walk is in now come before those of the folders above it.
        auto vorn = warteschlange_.begin();
        for (Auftrag& a : auftraege) {
            const auto [it, neu] = eintraege_.try_emplace(a.Pfad);
            if (!neu)
                continue;
            it->second.Ordner = geteilt;
            it->second.Name = std::move(a.Name);
            it->second.Einhaengepunkt = punkt;
            it->second.Geraet = geraet;
            vorn = std::next(warteschlange_.insert(vorn, std::move(a.Pfad)));
        }
    }
    arbeit_.notify_one();
    return true;
}

void Ordneranlage::Arbeite() {
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
        arbeit_.wait(l, [this] { return halt_ || !warteschlange_.empty(); });
        if (halt_)
            return;
        const std::string pfad = std::move(warteschlange_.front());
        warteschlange_.pop_front();
        const auto it = eintraege_.find(pfad);
        // Taken back by the walk meanwhile (or dropped).
        if (it == eintraege_.end() || it->second.Was != Zustand::Wartet)
            continue;
        it->second.Was = Zustand::Laeuft;
        // The entry stays while it runs (the walk waits for it rather than take or drop it), and so does its place
        // in the map, whatever is announced meanwhile.
        Eintrag& e = it->second;
        l.unlock();
        if (haken_)
            haken_(e.Name);
        int fehler = 0;
        struct stat wurzel {};
        // Nothing is ever made in the folder that a vanished mount used to cover.
        if (e.Geraet != 0 && (::stat(e.Einhaengepunkt->c_str(), &wurzel) != 0 || wurzel.st_dev != e.Geraet))
            fehler = ENODEV;
        else if (::mkdirat(e.Ordner->get(), e.Name.c_str(), 0700) != 0)
            fehler = errno;
        l.lock();
        e.Fehler = fehler;
        e.Was = Zustand::Fertig;
        if (fehler == 0)
            ++zaehler_.Angelegt;
        fertig_.notify_all();
    }
}

void Ordneranlage::Warte(std::unique_lock<std::mutex>& l, const std::string& pfad) {
    fertig_.wait(l, [&] {
        const auto it = eintraege_.find(pfad);
        return it == eintraege_.end() || it->second.Was == Zustand::Fertig;
    });
}

bool Ordneranlage::Nimm(const std::string& pfad) {
    std::unique_lock<std::mutex> l(m_);
    auto it = eintraege_.find(pfad);
    if (it == eintraege_.end())
        return false;
    if (it->second.Was == Zustand::Wartet) {
        // Not begun: the walk makes it itself now, and the other thread passes it over.
        eintraege_.erase(it);
        ++zaehler_.Zurueckgenommen;
        return false;
    }
    Warte(l, pfad);
    it = eintraege_.find(pfad);
    if (it == eintraege_.end())
        return false;
    const bool angelegt = it->second.Fehler == 0;
    eintraege_.erase(it);
    return angelegt;
}

void Ordneranlage::Verwirf(const std::string& pfad) noexcept {
    std::unique_lock<std::mutex> l(m_);
    auto it = eintraege_.find(pfad);
    if (it == eintraege_.end())
        return;
    if (it->second.Was != Zustand::Wartet) {
        Warte(l, pfad);
        it = eintraege_.find(pfad);
        if (it == eintraege_.end())
            return;
    }
    const Eintrag e = std::move(it->second);
    eintraege_.erase(it);
    l.unlock();
    // Made here and not mirrored into: removed, only while it is an empty folder.
    if (e.Was == Zustand::Fertig && e.Fehler == 0)
        ::unlinkat(e.Ordner->get(), e.Name.c_str(), AT_REMOVEDIR);
}

Ordneranlage::Zaehler Ordneranlage::Stand() const {
    const std::lock_guard<std::mutex> l(m_);
    return zaehler_;
}

} // namespace tresor::posix
