// The lines of a record read a piece at a time, and where they come from (see Bestandszeilen.h).
#include "engine/bestand/Bestandszeilen.h"

#include <algorithm>
#include <cstring>

namespace tresor {

namespace {

class Text final : public Bestandsquelle {
public:
    explicit Text(std::string text) : text_(std::move(text)) {}
    [[nodiscard]] std::uint64_t Groesse() const override { return text_.size(); }
    std::size_t Lies(std::uint64_t ab, char* ziel, std::size_t n) override {
        if (ab >= text_.size())
            return 0;
        return text_.copy(ziel, n, static_cast<std::size_t>(ab));
    }

private:
    std::string text_;
};

class Datei final : public Bestandsquelle {
public:
    explicit Datei(Lesedatei datei) : datei_(std::move(datei)) {}
    [[nodiscard]] std::uint64_t Groesse() const override { return datei_.Groesse(); }
    std::size_t Lies(std::uint64_t ab, char* ziel, std::size_t n) override { return datei_.Lies(ab, ziel, n); }

private:
    Lesedatei datei_;
};

} // namespace

std::unique_ptr<Bestandsquelle> Textquelle(std::string text) {
    return std::make_unique<Text>(std::move(text));
}

std::unique_ptr<Bestandsquelle> Dateiquelle(Lesedatei datei) {
    return std::make_unique<Datei>(std::move(datei));
}

void Bestandszeilen::Ab(std::uint64_t von, std::uint64_t bis, std::uint64_t stand, bool summe) {
    puffer_.clear();
    anfang_ = 0;
    pos_ = von;
    bis_ = bis;
    stand_ = stand;
    summe_ = summe;
    art_ = Art::Gut;
}

bool Bestandszeilen::Naechste(std::string_view& zeile) {
    for (;;) {
        const char* daten = puffer_.data() + anfang_;
        if (const void* nl = std::memchr(daten, '\n', puffer_.size() - anfang_)) {
            const auto laenge = static_cast<std::size_t>(static_cast<const char*>(nl) - daten);
            zeile = std::string_view(daten, laenge);
            if (summe_)
                stand_ = Fnv1a(std::string_view(daten, laenge + 1), stand_);
            anfang_ += laenge + 1;
            return true;
        }
        if (puffer_.size() - anfang_ > LaengsteZeile) {
            art_ = Art::ZuLang;
            return false;
        }
        if (pos_ >= bis_) {
            if (anfang_ < puffer_.size())
                art_ = Art::Kurz;
            return false;
        }
        puffer_.erase(0, anfang_);
        anfang_ = 0;
        const std::size_t alt = puffer_.size();
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(Stueck, bis_ - pos_));
        puffer_.resize(alt + n);
        const std::size_t k = quelle_->Lies(pos_, puffer_.data() + alt, n);
        puffer_.resize(alt + k);
        pos_ += k;
        if (k == 0) { // the file shrank since it was opened
            art_ = Art::Kurz;
            return false;
        }
    }
}

} // namespace tresor
