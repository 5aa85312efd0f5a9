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

constexpr char Form = 2;
constexpr std::size_t Kopf = 17;

} // namespace

namespace {

// The numbers are hashed from the stack, as little-endian bytes: a row is asked for every file a walk looks at.
std::uint64_t MitZahl(std::uint64_t h, std::uint64_t wert) {
    char b[8];
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<char>((wert >> (8 * i)) & 0xffu);
    return Fnv1a(h, std::string_view(b, sizeof b));
}

// Name, inode and ctime; the name's length first, so that no name and numbers run into another name's.
std::uint64_t NameInodeCtime(std::uint64_t h, std::string_view name, const struct stat& st) {
    h = Fnv1a(MitZahl(h, name.size()), name);
    return MitZahl(MitZahl(h, static_cast<std::uint64_t>(st.st_ino)), static_cast<std::uint64_t>(CtimeNs(st)));
}

} // namespace

std::uint64_t Kartenzeile(std::string_view name, const struct stat& st) {
    // A mark of its own first: no row of this form is the earlier row of another state.
    const std::uint64_t h = NameInodeCtime(MitZahl(FnvAnfang, 0x7a65696c65u), name, st);
    return MitZahl(MitZahl(h, static_cast<std::uint64_t>(st.st_size)), static_cast<std::uint64_t>(MtimeNs(st)));
}

std::uint64_t FruehereKartenzeile(std::string_view name, const struct stat& st) {
    return NameInodeCtime(FnvAnfang, name, st);
}

bool HaeltZeile(const Ordnerkarte& karte, std::string_view name, const struct stat& st, bool vermerkPasst) {
    const auto hat = [&](std::uint64_t zeile) {
        return std::binary_search(karte.Zeilen.begin(), karte.Zeilen.end(), zeile);
    };
    return hat(Kartenzeile(name, st)) || (vermerkPasst && hat(FruehereKartenzeile(name, st)));
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

std::optional<Ordnerkarte> KarteDesOrdners(int ordnerFd, std::uint64_t ordnerName, std::uint64_t& ordnerInode) {
    ordnerInode = 0;
    struct stat ost {};
    if (::fstat(ordnerFd, &ost) != 0)
        return std::nullopt;
    ordnerInode = static_cast<std::uint64_t>(ost.st_ino);
    // Read in one call, whatever its rows: a map of 30 rows or more is longer than LiesXattr's usual buffer.
    const auto wert = LiesXattr(Ort::OrdnerSelbst(ordnerFd), OrdnerkarteName, Kopf + MaxZeilen * 8 + Siegel::Laenge);
    if (!wert)
        return std::nullopt;
    auto karte = LiesOrdnerkarte(*wert);
    if (karte && (karte->OrdnerInode != ordnerInode || karte->OrdnerName != ordnerName))
        karte.reset();
    return karte;
}

std::optional<Ordnerkarte> Ergaenze(int ordnerFd, std::uint64_t ordnerName, std::vector<std::uint64_t> zeilen) {
    std::uint64_t inode = 0;
    auto karte = KarteDesOrdners(ordnerFd, ordnerName, inode);
    if (inode == 0)
        return std::nullopt;
    if (!karte)
        karte = Ordnerkarte{inode, ordnerName, {}};
    const std::size_t vorher = karte->Zeilen.size();
    std::sort(zeilen.begin(), zeilen.end());
    for (const std::uint64_t zeile : zeilen)
        if (karte->Zeilen.size() < MaxZeilen &&
            !std::binary_search(karte->Zeilen.begin(), karte->Zeilen.begin() + static_cast<std::ptrdiff_t>(vorher),
                                zeile))
            karte->Zeilen.push_back(zeile);
    if (karte->Zeilen.size() == vorher)
        return karte;
    std::sort(karte->Zeilen.begin(), karte->Zeilen.end());
    karte->Zeilen.erase(std::unique(karte->Zeilen.begin(), karte->Zeilen.end()), karte->Zeilen.end());
    const std::string wert = OrdnerkartenWert(*karte);
    if (SetxattrAn(Ort::OrdnerSelbst(ordnerFd), OrdnerkarteName, wert.data(), wert.size()) != 0)
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
    karte_ = KarteDesOrdners(ordnerFd, ordnerName, ordnerInode_);
    ordnerName_ = ordnerName;
    if (ordnerInode_ == 0)
        naechster_ = eintraege_ + 1; // nothing is written to a folder that cannot be looked at
}

void Kartenstand::Ergaenzt(const Ordnerkarte& karte, const std::vector<std::uint64_t>& zeilen) {
    if (!gelesen_ || karte.OrdnerInode != ordnerInode_ || karte.OrdnerName != ordnerName_)
        return;
    karte_ = karte;
    for (const std::uint64_t zeile : zeilen)
        if (neu_.size() < MaxZeilen)
            neu_.push_back(zeile);
}

std::uint64_t Kartenstand::Zeile(std::string_view name, const struct stat& st) const {
    // Kennt and Gefragt ask for the row of the same file one after the other: it is hashed once.
    const auto inode = static_cast<std::uint64_t>(st.st_ino);
    const std::int64_t ctime = CtimeNs(st);
    const std::int64_t mtime = MtimeNs(st);
    const auto groesse = static_cast<std::int64_t>(st.st_size);
    if (zuletzt_.Da && zuletzt_.Inode == inode && zuletzt_.CtimeNs == ctime && zuletzt_.MtimeNs == mtime &&
        zuletzt_.Groesse == groesse && zuletzt_.Name == name)
        return zuletzt_.Zeile;
    zuletzt_.Name.assign(name);
    zuletzt_.Inode = inode;
    zuletzt_.CtimeNs = ctime;
    zuletzt_.MtimeNs = mtime;
    zuletzt_.Groesse = groesse;
    zuletzt_.Zeile = Kartenzeile(name, st);
    zuletzt_.Da = true;
    return zuletzt_.Zeile;
}

bool Kartenstand::Kennt(std::string_view name, const struct stat& st) const {
    return karte_ && std::binary_search(karte_->Zeilen.begin(), karte_->Zeilen.end(), Zeile(name, st));
}

bool Kartenstand::KenntHinterVermerk(std::string_view name, const struct stat& st) const {
    return karte_ && (Kennt(name, st) ||
                      std::binary_search(karte_->Zeilen.begin(), karte_->Zeilen.end(), FruehereKartenzeile(name, st)));
}

void Kartenstand::Gefragt(int ordnerFd, std::size_t index, std::string_view name, const struct stat& st, bool zeile) {
    if (index != naechster_) {
        naechster_ = eintraege_ + 1;
        return;
    }
    ++naechster_;
    if (zeile && neu_.size() < MaxZeilen && StempelEindeutig(CtimeNs(st), uhrNs_))
        neu_.push_back(Zeile(name, st));
    if (naechster_ != eintraege_ || !gelesen_)
        return;
    std::sort(neu_.begin(), neu_.end());
    neu_.erase(std::unique(neu_.begin(), neu_.end()), neu_.end());
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
