// The plan's text in the target (see Bestandsaufnahme.h).
//
//   tresor-ix-ausduennung 1
//   quelle D:\home\anna\Daten                       the source in the program's form
//   posix /home/anna/Daten                          and as a POSIX path when the plan was made
//   bleibt Sicherung-2026-12-08--10-15-02           each kept backup folder (for the reader)
//   geht Sicherung-2026-12-01--10-15-02             each backup folder to be removed
//   zieht Sicherung-2026-12-01--10-15-02 Sicherung-2026-12-08--10-15-02 1835 Briefe/a.txt
//                                                   a copy moved: from, into, bytes, path in the source
//   bestand Sicherung-2026-12-08--10-15-02          a kept point whose record is rewritten
//   frei 123456                                     the bytes the removal frees
//   ende 7 8c1f0e5d2b7a9c31                         number of lines after the head and the checksum
// Escaped like the record of the source (Maskiere); the checksum is FNV-1a over every byte before "ende".
#include "engine/ausduennung/Bestandsaufnahme.h"

#include "engine/bestand/Sicherungsfolge.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace tresor::ausduennung {

namespace {

const char* const KopfZeile = "tresor-ix-ausduennung 1";

std::vector<std::string_view> Felder(std::string_view zeile) {
    std::vector<std::string_view> felder;
    std::size_t anfang = 0;
    for (;;) {
        const std::size_t schluss = zeile.find(' ', anfang);
        felder.push_back(zeile.substr(anfang, schluss - anfang));
        if (schluss == std::string_view::npos)
            return felder;
        anfang = schluss + 1;
    }
}

bool Zahl(std::string_view text, std::uint64_t& wert) {
    const auto [ende, fehler] = std::from_chars(text.data(), text.data() + text.size(), wert);
    return fehler == std::errc() && ende == text.data() + text.size() && !text.empty();
}

// A path relative to the source: names joined by "/", none empty, "." or "..".
bool IstRelativ(std::string_view pfad) {
    if (pfad.empty() || pfad.find('\0') != std::string_view::npos)
        return false;
    std::size_t anfang = 0;
    for (;;) {
        const std::size_t schluss = std::min(pfad.find('/', anfang), pfad.size());
        const std::string_view name = pfad.substr(anfang, schluss - anfang);
        if (name.empty() || name == "." || name == "..")
            return false;
        if (schluss == pfad.size())
            return true;
        anfang = schluss + 1;
    }
}

} // namespace

void Planschreiber::Zeile(const std::string& zeile) {
    puffer_ += zeile;
    puffer_ += '\n';
    ++zeilen_;
    if (puffer_.size() >= (1u << 16)) {
        pruefsumme_ = Fnv1a(puffer_, pruefsumme_);
        aus_(puffer_);
        puffer_.clear();
    }
}

void Planschreiber::Kopf(const Ausduennungsplan& plan, const std::string& quellePosix) {
    puffer_ = std::string(KopfZeile) + "\n";
    pruefsumme_ = Fnv1aAnfang;
    zeilen_ = 0;
    Zeile("quelle " + Maskiere(plan.Quelle));
    Zeile("posix " + Maskiere(quellePosix));
    for (const std::string& b : plan.Bleiben)
        Zeile("bleibt " + b);
    for (const std::string& g : plan.Gehen)
        Zeile("geht " + g);
}

void Planschreiber::Zug(const Verschiebung& v) {
    Zeile("zieht " + v.Von + " " + v.Nach + " " + std::to_string(v.Bytes) + " " + Maskiere(v.Pfad));
}

void Planschreiber::Ende(const Ausduennungsplan& plan) {
    for (const std::string& b : plan.NeueBestaende)
        Zeile("bestand " + b);
    Zeile("frei " + std::to_string(plan.FreieBytes));
    pruefsumme_ = Fnv1a(puffer_, pruefsumme_);
    char pruefsumme[32];
    std::snprintf(pruefsumme, sizeof pruefsumme, "%016llx", static_cast<unsigned long long>(pruefsumme_));
    puffer_ += "ende " + std::to_string(zeilen_) + " " + pruefsumme + "\n";
    aus_(puffer_);
    puffer_.clear();
}

std::string SchreibePlan(const Ausduennungsplan& plan, const std::string& quellePosix,
                         const std::vector<Verschiebung>& zuege) {
    std::string text;
    Planschreiber schreiber([&text](std::string_view stueck) { text += stueck; });
    schreiber.Kopf(plan, quellePosix);
    for (const Verschiebung& v : zuege)
        schreiber.Zug(v);
    schreiber.Ende(plan);
    return text;
}

namespace {

const char* const Kaputt = "Der Plan ist nicht vollständig oder nicht von diesem Programm.";

enum class Zeilenart { Kaputt, Zug, Anderes };

// One line after the head: into `plan`, or a move into `zug`.
Zeilenart LiesZeile(std::string_view zeile, GelesenerPlan& gelesen, Verschiebung& zug, bool& quelle) {
    Ausduennungsplan& plan = gelesen.Plan;
    const auto f = Felder(zeile);
    const auto ordner = [](std::string_view n) { return IstSicherungsordnername(n); };
    if (f.size() == 2 && f[0] == "quelle") {
        const auto q = Demaskiere(f[1]);
        if (!q || !IstProgrammpfad(*q))
            return Zeilenart::Kaputt;
        plan.Quelle = *q;
        quelle = true;
    } else if (f.size() == 2 && f[0] == "posix") {
        const auto p = Demaskiere(f[1]);
        if (!p)
            return Zeilenart::Kaputt;
        gelesen.QuellePosix = *p;
    } else if (f.size() == 2 && (f[0] == "bleibt" || f[0] == "geht" || f[0] == "bestand") && ordner(f[1])) {
        (f[0] == "bleibt" ? plan.Bleiben : f[0] == "geht" ? plan.Gehen : plan.NeueBestaende).emplace_back(f[1]);
    } else if (f.size() == 5 && f[0] == "zieht" && ordner(f[1]) && ordner(f[2])) {
        zug.Von = f[1];
        zug.Nach = f[2];
        if (!Zahl(f[3], zug.Bytes) || !Demaskiere(f[4], zug.Pfad) || !IstRelativ(zug.Pfad))
            return Zeilenart::Kaputt;
        return Zeilenart::Zug;
    } else if (f.size() == 2 && f[0] == "frei") {
        if (!Zahl(f[1], plan.FreieBytes))
            return Zeilenart::Kaputt;
    } else {
        return Zeilenart::Kaputt;
    }
    return Zeilenart::Anderes;
}

} // namespace

Planleser::Planleser() = default;
Planleser::Planleser(Planleser&&) noexcept = default;
Planleser& Planleser::operator=(Planleser&&) noexcept = default;
Planleser::~Planleser() = default;

std::variant<Planleser, std::string> Planleser::Oeffne(std::unique_ptr<Bestandsquelle> datei) {
    Planleser l;
    const std::uint64_t groesse = datei->Groesse();
    l.zeilen_ = std::make_unique<Bestandszeilen>(std::move(datei));
    Bestandszeilen& zeilen = *l.zeilen_;
    zeilen.Ab(0, groesse, Fnv1aAnfang);
    std::string_view zeile;
    if (!zeilen.Naechste(zeile) || zeile != KopfZeile)
        return Kaputt;
    bool quelle = false;
    std::uint64_t anzahl = 0;
    std::string vorig;
    Verschiebung zug;
    for (;;) {
        const std::uint64_t stand = zeilen.Stand();
        const std::uint64_t stelle = zeilen.Stelle();
        if (!zeilen.Naechste(zeile))
            return Kaputt;
        if (zeilen.Stelle() == groesse) {
            // The last line: the count of lines after the head and the checksum of every byte before it.
            const auto schluss = Felder(zeile);
            char pruefsumme[32];
            std::snprintf(pruefsumme, sizeof pruefsumme, "%016llx", static_cast<unsigned long long>(stand));
            std::uint64_t zahl = 0;
            if (schluss.size() != 3 || schluss[0] != "ende" || !Zahl(schluss[1], zahl) || schluss[2] != pruefsumme ||
                zahl != anzahl || !quelle)
                return Kaputt;
            l.rumpfEnde_ = stelle;
            l.pruefsumme_ = stand;
            break;
        }
        ++anzahl;
        switch (LiesZeile(zeile, l.plan_, zug, quelle)) {
        case Zeilenart::Kaputt:
            return Kaputt;
        case Zeilenart::Zug:
            ++l.plan_.Plan.Verschiebungen;
            if (l.geordnet_ && !vorig.empty() && Wegordnung(vorig, false, zug.Pfad, false) > 0)
                l.geordnet_ = false;
            vorig = zug.Pfad;
            break;
        case Zeilenart::Anderes:
            break;
        }
    }
    if (!l.geordnet_) {
        // Written by an earlier version, in the order of the folders the copies came from.
        l.geordnet_ = true;
        l.VonVorn();
        while (const Verschiebung* v = l.Naechste())
            l.sortiert_.push_back(*v);
        if (!l.fehler_.empty())
            return Kaputt;
        std::stable_sort(l.sortiert_.begin(), l.sortiert_.end(), [](const Verschiebung& a, const Verschiebung& b) {
            return Wegordnung(a.Pfad, false, b.Pfad, false) < 0;
        });
        l.geordnet_ = false;
    }
    l.VonVorn();
    return l;
}

void Planleser::VonVorn() {
    stelle_ = 0;
    fehler_.clear();
    if (geordnet_ && zeilen_) {
        zeilen_->Ab(0, rumpfEnde_, Fnv1aAnfang);
        std::string_view kopf;
        (void)zeilen_->Naechste(kopf);
    }
}

const Verschiebung* Planleser::Naechste() {
    if (!geordnet_)
        return stelle_ < sortiert_.size() ? &sortiert_[stelle_++] : nullptr;
    if (!zeilen_ || !fehler_.empty())
        return nullptr;
    // The lines again as they were when opened; what does not fit is a plan changed since.
    GelesenerPlan rest;
    bool quelle = false;
    std::string_view zeile;
    while (zeilen_->Naechste(zeile)) {
        switch (LiesZeile(zeile, rest, zug_, quelle)) {
        case Zeilenart::Zug:
            return &zug_;
        case Zeilenart::Anderes:
            continue;
        case Zeilenart::Kaputt:
            break;
        }
        break;
    }
    if (zeilen_->Stelle() != rumpfEnde_ || zeilen_->Stand() != pruefsumme_)
        fehler_ = "Der Plan hat sich während der Ausdünnung geändert.";
    zeilen_->Ab(rumpfEnde_, rumpfEnde_, pruefsumme_);
    return nullptr;
}

void Planleser::Schliesse() {
    zeilen_.reset();
    sortiert_.clear();
    sortiert_.shrink_to_fit();
}

std::variant<GelesenerPlan, std::string> LiesPlan(std::string_view text) {
    auto leser = Planleser::Oeffne(Textquelle(std::string(text)));
    if (auto* fehler = std::get_if<std::string>(&leser))
        return *fehler;
    return std::move(std::get<Planleser>(leser).Plan());
}

} // namespace tresor::ausduennung
