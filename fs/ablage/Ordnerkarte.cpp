#include "fs/ablage/Ordnerkarte.h"

#include "fs/ablage/Archivvermerk.h"
#include "fs/ablage/Siegel.h"
#include "fs/system/Bytes.h"
#include "fs/system/ErweiterteAttribute.h"
#include "fs/system/Ort.h"
#include "fs/system/Zeitraster.h"

#include <algorithm>

namespace tresor::posix {

namespace {

constexpr char Form = 1;
constexpr std::size_t Kopf = 17;

} // namespace

std::uint64_t Kartenzeile(std::string_view name, const struct stat& st) {
    // Asked for every file a walk looks at: the numbers are hashed from the stack, as little-endian bytes.
    auto zahl = [](std::uint64_t h, std::uint64_t wert) {
        char b[8];
        for (int i = 0; i < 8; ++i)
            b[i] = static_cast<char>((wert >> (8 * i)) & 0xffu);
        return Fnv1a(h, std::string_view(b, sizeof b));
    };
    // The name's length first, so that no name and numbers run into another name's.
    const std::uint64_t h = Fnv1a(zahl(FnvAnfang, name.size()), name);
    return zahl(zahl(h, static_cast<std::uint64_t>(st.st_ino)), static_cast<std::uint64_t>(CtimeNs(st)));
}

std::string OrdnerkartenWert(Ordnerkarte karte) {
    std::sort(karte.Zeilen.begin(), karte.Zeilen.end());
    std::string wert(1, Form);
    HaengeLe64An(wert, karte.OrdnerInode);
    HaengeLe64An(wert, karte.OrdnerName);
    for (const std::uint64_t zeile : karte.Zeilen)
        HaengeLe64An(wert, zeile);
    return Benutzersiegel().Versiegelt(wert);
}

std::optional<Ordnerkarte> LiesOrdnerkarte(std::string_view gesiegelt) {
    const auto entsiegelt = Benutzersiegel().Entsiegelt(gesiegelt);
    if (!entsiegelt)
        return std::nullopt;
    const std::string_view wert = *entsiegelt;
    if (wert.size() < Kopf || wert[0] != Form || (wert.size() - Kopf) % 8 != 0 || (wert.size() - Kopf) / 8 > MaxZeilen)
        return std::nullopt;
    Ordnerkarte karte{LiesLe64(wert, 1), LiesLe64(wert, 9), {}};
    for (std::size_t o = Kopf; o < wert.size(); o += 8)
        karte.Zeilen.push_back(LiesLe64(wert, o));
    if (!std::is_sorted(karte.Zeilen.begin(), karte.Zeilen.end()))
        return std::nullopt;
    return karte;
}

void Kartenstand::Neu(std::size_t eintraege, std::int64_t uhrNs) {
    *this = Kartenstand{};
    eintraege_ = eintraege;
    uhrNs_ = uhrNs;
}

void Kartenstand::Lies(int ordnerFd, std::uint64_t ordnerName) {
    if (gelesen_)
        return;
    gelesen_ = true;
    struct stat ost {};
    if (::fstat(ordnerFd, &ost) != 0) {
        naechster_ = eintraege_ + 1; // nothing is written to a folder that cannot be looked at
        return;
    }
    ordnerInode_ = static_cast<std::uint64_t>(ost.st_ino);
    ordnerName_ = ordnerName;
    const auto wert = LiesXattr(Ort::OrdnerSelbst(ordnerFd), OrdnerkarteName);
    if (!wert)
        return;
    karte_ = LiesOrdnerkarte(*wert);
    if (karte_ && (karte_->OrdnerInode != ordnerInode_ || karte_->OrdnerName != ordnerName_))
        karte_.reset();
}

bool Kartenstand::Kennt(std::string_view name, const struct stat& st) const {
    return karte_ && std::binary_search(karte_->Zeilen.begin(), karte_->Zeilen.end(), Kartenzeile(name, st));
}

void Kartenstand::Gefragt(int ordnerFd, std::size_t index, std::string_view name, const struct stat& st, bool zeile) {
    if (index != naechster_) {
        naechster_ = eintraege_ + 1;
        return;
    }
    ++naechster_;
    if (zeile && neu_.size() < MaxZeilen && StempelEindeutig(CtimeNs(st), uhrNs_))
        neu_.push_back(Kartenzeile(name, st));
    if (naechster_ != eintraege_ || !gelesen_)
        return;
    std::sort(neu_.begin(), neu_.end());
    if (karte_ ? karte_->Zeilen == neu_ : neu_.empty())
        return;
    Ordnerkarte karte{ordnerInode_, ordnerName_, std::move(neu_)};
    const std::string wert = OrdnerkartenWert(karte);
    // A map that cannot be written (a read-only medium, another user's folder, no room) only costs the record
    // reads it would have spared.
    (void)SetxattrAn(Ort::OrdnerSelbst(ordnerFd), OrdnerkarteName, wert.data(), wert.size());
    karte_ = std::move(karte);
    neu_.clear();
}

} // namespace tresor::posix
