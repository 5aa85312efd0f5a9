#include "fs/ablage/Zustandsdatei.h"

#include "fs/system/Bytes.h"

#include <charconv>
#include <cstdio>

namespace tresor::posix {

namespace {

constexpr std::string_view Kopf = "tresor-ix-zustand 1\n";
constexpr std::uint64_t Anfangswert = 14695981039346656037ull;

bool Maskiert(unsigned char c) {
    return c <= 0x20 || c == 0x7f || c == '%';
}

std::string Maskiere(std::string_view name) {
    std::string aus;
    aus.reserve(name.size());
    for (const char z : name) {
        const auto c = static_cast<unsigned char>(z);
        if (Maskiert(c)) {
            char hex[4];
            (void)std::snprintf(hex, sizeof hex, "%%%02X", c);
            aus += hex;
        } else {
            aus.push_back(z);
        }
    }
    return aus;
}

std::optional<std::string> Demaskiere(std::string_view text) {
    std::string aus;
    aus.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c != '%') {
            if (Maskiert(c))
                return std::nullopt;
            aus.push_back(text[i]);
            continue;
        }
        unsigned int wert = 0;
        if (i + 2 >= text.size())
            return std::nullopt;
        const auto [p, fehler] = std::from_chars(text.data() + i + 1, text.data() + i + 3, wert, 16);
        if (fehler != std::errc() || p != text.data() + i + 3 || !Maskiert(static_cast<unsigned char>(wert)))
            return std::nullopt;
        aus.push_back(static_cast<char>(wert));
        i += 2;
    }
    return aus;
}

} // namespace

std::string ZustandsText(const Zustandsbestand& bestand) {
    std::string text(Kopf);
    for (const auto& [name, vermerk] : bestand) {
        text += Maskiere(name);
        text += '\t';
        text += vermerk;
        text += '\n';
    }
    char ende[64];
    (void)std::snprintf(ende, sizeof ende, "ende %zu %016llx\n", bestand.size(),
                        static_cast<unsigned long long>(Fnv1a(Anfangswert, text)));
    return text + ende;
}

bool LiesZustand(std::string_view text, const Zustandsempfaenger& je) {
    Zustandsleser leser(je);
    return leser.Lies(text) && leser.Ende();
}

std::optional<Zustandsbestand> LiesZustand(std::string_view text) {
    Zustandsbestand bestand;
    bool doppelt = false;
    const bool gut = LiesZustand(text, [&](std::string_view name, std::string_view vermerk) {
        doppelt = doppelt || !bestand.emplace(name, vermerk).second;
        return true;
    });
    if (!gut || doppelt)
        return std::nullopt;
    return bestand;
}

Zustandsleser::Zustandsleser(Zustandsempfaenger je) : je_(std::move(je)), summe_(Anfangswert) {}

bool Zustandsleser::Lies(std::string_view stueck) {
    while (gut_ && !stueck.empty()) {
        const std::size_t ende = stueck.find('\n');
        const std::size_t bis = ende == std::string_view::npos ? stueck.size() : ende + 1;
        if (zeile_.size() + bis > MaxZeile)
            gut_ = false;
        else
            zeile_.append(stueck.substr(0, bis));
        stueck.remove_prefix(bis);
        if (gut_ && ende != std::string_view::npos)
            Zeile();
    }
    return gut_;
}

// A whole line is in `zeile_`: the one held before it is no longer the last, so it counts.
void Zustandsleser::Zeile() {
    if (!kopf_) {
        gut_ = zeile_ == Kopf;
        kopf_ = true;
        summe_ = Fnv1a(summe_, zeile_);
        zeile_.clear();
        return;
    }
    if (gehalten_) {
        summe_ = Fnv1a(summe_, *gehalten_);
        const std::string_view z = std::string_view(*gehalten_).substr(0, gehalten_->size() - 1);
        const std::size_t tab = z.find('\t');
        const auto name = tab == std::string_view::npos || tab == 0 ? std::nullopt : Demaskiere(z.substr(0, tab));
        gut_ = name && je_(*name, z.substr(tab + 1));
        ++anzahl_;
    }
    gehalten_ = std::move(zeile_);
    zeile_.clear();
}

bool Zustandsleser::Ende() {
    // The last line closes the file: count and checksum of everything before it.
    if (!gut_ || !kopf_ || !zeile_.empty() || !gehalten_)
        return false;
    const std::string_view schluss = *gehalten_;
    if (!schluss.starts_with("ende "))
        return false;
    std::size_t anzahl = 0;
    unsigned long long summe = 0;
    const char* p = schluss.data() + 5;
    const char* e = schluss.data() + schluss.size() - 1;
    auto r = std::from_chars(p, e, anzahl, 10);
    if (r.ec != std::errc() || r.ptr == e || *r.ptr != ' ')
        return false;
    r = std::from_chars(r.ptr + 1, e, summe, 16);
    return r.ec == std::errc() && r.ptr == e && anzahl == anzahl_ && summe == summe_;
}

} // namespace tresor::posix
