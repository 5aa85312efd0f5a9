// The entries a backup run could not back up, each once, held a few thousand at a time (see Auslassungen.h).
#include "engine/bestand/Auslassungen.h"

#include "fs/FsFehler.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <tuple>

namespace tresor {

namespace {

// An unnamed file of the user's temporary folder, gone when it is closed; -1 where none can be made.
int UnbenannteDatei() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string ordner = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
    int fd = ::open(ordner.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    // A file system without unnamed files: a name for the moment it takes to remove it again.
    std::string muster = ordner + "/tresor-ix-XXXXXX";
    fd = ::mkostemp(muster.data(), O_CLOEXEC);
    if (fd >= 0)
        (void)::unlink(muster.c_str());
    return fd;
}

void HaengeLaengeAn(std::string& block, std::size_t laenge) {
    for (int i = 0; i < 4; ++i)
        block += static_cast<char>((laenge >> (8 * i)) & 0xffu);
}

std::uint32_t LiesLaenge(const unsigned char* b) {
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

[[noreturn]] void Unlesbar(int fehler) {
    throw FsFehler("Bestandsliste", Pfad(), std::error_code(fehler, std::generic_category()));
}

// Reads `laenge` bytes at `stelle` of `fd` into `ziel`.
void LiesAn(int fd, char* ziel, std::size_t laenge, std::uint64_t stelle) {
    while (laenge > 0) {
        const ssize_t n = ::pread(fd, ziel, laenge, static_cast<off_t>(stelle));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            Unlesbar(n < 0 ? errno : EIO);
        ziel += n;
        laenge -= static_cast<std::size_t>(n);
        stelle += static_cast<std::uint64_t>(n);
    }
}

bool SchreibeAn(int fd, const std::string& block, std::uint64_t stelle) {
    std::size_t geschrieben = 0;
    while (geschrieben < block.size()) {
        const ssize_t n = ::pwrite(fd, block.data() + geschrieben, block.size() - geschrieben,
                                   static_cast<off_t>(stelle + geschrieben));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        geschrieben += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

Auslassungen::Auslassungen(std::size_t haltbar) : haltbar_(std::max<std::size_t>(haltbar, 1)) {}

Auslassungen::~Auslassungen() {
    if (datei_ >= 0)
        ::close(datei_);
}

void Auslassungen::Neu(std::string pfad, std::string grund) {
    gehalten_.push_back({{std::move(pfad), std::move(grund)}, folge_++});
    // Where no run can be written, they stay held, sorted again only each time their number doubled.
    if (gehalten_.size() >= haltbar_ && !Lagere())
        haltbar_ = 2 * gehalten_.size();
}

namespace {

// Sorts by path, the first reason of each path first, and keeps that one.
template <typename Meldungen> void Ordne(Meldungen& m) {
    std::sort(m.begin(), m.end(),
              [](const auto& x, const auto& y) { return std::tie(x.A.Pfad, x.Folge) < std::tie(y.A.Pfad, y.Folge); });
    m.erase(std::unique(m.begin(), m.end(), [](const auto& x, const auto& y) { return x.A.Pfad == y.A.Pfad; }),
            m.end());
}

} // namespace

bool Auslassungen::Lagere() {
    Ordne(gehalten_);
    if (datei_ < 0)
        datei_ = UnbenannteDatei();
    if (datei_ < 0)
        return false;
    // Written a piece at a time; a run counts once it is there whole.
    std::string block;
    std::uint64_t ende = laenge_;
    for (std::size_t i = 0; i < gehalten_.size(); ++i) {
        const Auslassung& a = gehalten_[i].A;
        HaengeLaengeAn(block, a.Pfad.size());
        HaengeLaengeAn(block, a.Grund.size());
        block += a.Pfad;
        block += a.Grund;
        if (block.size() >= (1u << 16) || i + 1 == gehalten_.size()) {
            if (!SchreibeAn(datei_, block, ende))
                return false;
            ende += block.size();
            block.clear();
        }
    }
    laeufe_.push_back({laenge_, ende});
    laenge_ = ende;
    gehalten_.clear();
    return true;
}

bool Auslassungen::Lies(Lauf& lauf, Auslassung& a) const {
    if (lauf.Anfang >= lauf.Ende)
        return false;
    unsigned char kopf[8];
    LiesAn(datei_, reinterpret_cast<char*>(kopf), sizeof kopf, lauf.Anfang);
    const std::uint64_t pfad = LiesLaenge(kopf);
    const std::uint64_t grund = LiesLaenge(kopf + 4);
    if (lauf.Ende - lauf.Anfang < sizeof kopf + pfad + grund)
        Unlesbar(EIO);
    a.Pfad.resize(pfad);
    a.Grund.resize(grund);
    lauf.Anfang += sizeof kopf;
    LiesAn(datei_, a.Pfad.data(), a.Pfad.size(), lauf.Anfang);
    lauf.Anfang += pfad;
    LiesAn(datei_, a.Grund.data(), a.Grund.size(), lauf.Anfang);
    lauf.Anfang += grund;
    return true;
}

void Auslassungen::Gib(const std::function<void(const Auslassung&)>& aus) {
    Ordne(gehalten_);
    // The runs of the file, and what is held as the last of them: on one path, the earlier run's reason.
    struct Kopf {
        Auslassung A;
        std::size_t Lauf = 0;
    };
    std::vector<Kopf> koepfe;
    std::size_t naechsterGehaltener = 0;
    const auto spaeter = [](const Kopf& x, const Kopf& y) {
        return std::tie(x.A.Pfad, x.Lauf) > std::tie(y.A.Pfad, y.Lauf);
    };
    const auto hole = [&](std::size_t lauf) {
        Kopf k;
        k.Lauf = lauf;
        if (lauf < laeufe_.size()) {
            if (!Lies(laeufe_[lauf], k.A))
                return;
        } else if (naechsterGehaltener < gehalten_.size()) {
            k.A = std::move(gehalten_[naechsterGehaltener++].A);
        } else {
            return;
        }
        koepfe.push_back(std::move(k));
        std::push_heap(koepfe.begin(), koepfe.end(), spaeter);
    };
    for (std::size_t lauf = 0; lauf <= laeufe_.size(); ++lauf)
        hole(lauf);
    std::string letzter;
    bool erster = true;
    while (!koepfe.empty()) {
        std::pop_heap(koepfe.begin(), koepfe.end(), spaeter);
        Kopf k = std::move(koepfe.back());
        koepfe.pop_back();
        if (erster || k.A.Pfad != letzter) {
            aus(k.A);
            letzter = k.A.Pfad;
            erster = false;
        }
        hole(k.Lauf);
    }
    gehalten_.clear();
    laeufe_.clear();
    laenge_ = 0;
}

} // namespace tresor
