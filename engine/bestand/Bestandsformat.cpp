// The record of the source: its text form (see Bestandsformat.h).
#include "engine/bestand/Bestandsformat.h"

#include "engine/bestand/Bestandsleser.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <set>

namespace tresor {

namespace {

// The length of the valid UTF-8 sequence at `i` and its character, or 0 when there is none.
std::size_t Utf8Laenge(std::string_view s, std::size_t i, char32_t& zeichen) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    char32_t z = 0;
    if (b < 0x80)
        return zeichen = b, 1;
    if ((b & 0xE0) == 0xC0)
        n = 2, z = b & 0x1F;
    else if ((b & 0xF0) == 0xE0)
        n = 3, z = b & 0x0F;
    else if ((b & 0xF8) == 0xF0)
        n = 4, z = b & 0x07;
    else
        return 0;
    if (i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto f = static_cast<unsigned char>(s[i + k]);
        if ((f & 0xC0) != 0x80)
            return 0;
        z = (z << 6) | (f & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    if ((n == 2 && z < 0x80) || (n == 3 && z < 0x800) || (n == 4 && z < 0x10000) || z > 0x10FFFF ||
        (z >= 0xD800 && z <= 0xDFFF))
        return 0;
    zeichen = z;
    return n;
}

void Hex(std::string& aus, unsigned char b, const char* vorne) {
    static const char ziffern[] = "0123456789ABCDEF";
    aus += vorne;
    aus += ziffern[b >> 4];
    aus += ziffern[b & 15];
}

std::string Hex16(std::uint64_t wert) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(wert));
    return text;
}

} // namespace

std::uint64_t Fnv1a(std::string_view bytes, std::uint64_t stand) {
    for (const char c : bytes) {
        stand ^= static_cast<unsigned char>(c);
        stand *= 1099511628211ull;
    }
    return stand;
}

bool IstSicherungsordnername(std::string_view name) {
    constexpr std::string_view muster = "Sicherung-0000-00-00--00-00-00";
    if (name.size() != muster.size())
        return false;
    for (std::size_t i = 0; i < muster.size(); ++i) {
        if (muster[i] == '0' ? !std::isdigit(static_cast<unsigned char>(name[i])) : name[i] != muster[i])
            return false;
    }
    return true;
}

std::string Bestandsdateiname(int nummer) {
    return nummer == 0 ? "tresor-ix-bestand.txt" : "tresor-ix-bestand-" + std::to_string(nummer + 1) + ".txt";
}

bool IstBestandsdateiname(std::string_view name) {
    if (name == "tresor-ix-bestand.txt")
        return true;
    if (!name.starts_with("tresor-ix-bestand-") || !name.ends_with(".txt"))
        return false;
    const std::string_view zahl = name.substr(18, name.size() - 22);
    int n = 0;
    return !zahl.empty() && zahl[0] != '0' && LiesZahl(zahl, n) && n >= 2 && Bestandsdateiname(n - 1) == name;
}

void MaskiereIn(std::string& aus, std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        // The plain bytes up to the next one to escape, taken at once: most names hold nothing else.
        std::size_t j = i;
        while (j < bytes.size()) {
            const auto b = static_cast<unsigned char>(bytes[j]);
            if (b <= 0x20 || b >= 0x7F || b == '%')
                break;
            ++j;
        }
        aus.append(bytes.data() + i, j - i);
        i = j;
        if (i == bytes.size())
            break;
        const auto b = static_cast<unsigned char>(bytes[i]);
        char32_t z = 0;
        const std::size_t n = b >= 0x80 ? Utf8Laenge(bytes, i, z) : 0;
        if (n > 1 && z >= 0xA0) {
            aus.append(bytes.substr(i, n));
            i += n;
            continue;
        }
        Hex(aus, b, "%");
        ++i;
    }
}

std::string Maskiere(std::string_view bytes) {
    std::string aus;
    aus.reserve(bytes.size());
    MaskiereIn(aus, bytes);
    return aus;
}

std::optional<std::string> Demaskiere(std::string_view text) {
    std::string aus;
    if (!Demaskiere(text, aus))
        return std::nullopt;
    return aus;
}

bool Demaskiere(std::string_view text, std::string& aus) {
    aus.clear();
    std::size_t i = 0;
    while (i < text.size()) {
        // The plain bytes up to the next escape, taken at once.
        std::size_t j = i;
        for (; j < text.size(); ++j) {
            const auto b = static_cast<unsigned char>(text[j]);
            if (b == '%' || b <= 0x20 || b == 0x7F)
                break;
        }
        aus.append(text.substr(i, j - i));
        if (j == text.size())
            break;
        unsigned wert = 0;
        if (text[j] != '%' || j + 2 >= text.size() || !LiesZahl(text.substr(j + 1, 2), wert, 16))
            return false;
        aus += static_cast<char>(wert);
        i = j + 3;
    }
    return true;
}

int Wegordnung(std::string_view a, bool aOrdner, std::string_view b, bool bOrdner) {
    // Each name of a path is a folder but the last name of a file or link. At the first place where the two
    // differ, the walk meets a folder's files and links before its subfolders, and each kind in byte order
    // of the names; a folder comes before everything inside it.
    if (a == ".")
        a = {};
    if (b == ".")
        b = {};
    // The names before the last '/' of the bytes both begin with are the same folders in both: the comparison
    // begins after it (the walk asks mostly for neighbours, which share all their folders).
    const std::size_t kuerzer = std::min(a.size(), b.size());
    std::size_t gemeinsam = 0;
    while (gemeinsam < kuerzer && a[gemeinsam] == b[gemeinsam])
        ++gemeinsam;
    const std::size_t schnitt = a.substr(0, gemeinsam).rfind('/');
    std::size_t ia = schnitt == std::string_view::npos ? 0 : schnitt + 1;
    std::size_t ib = ia;
    for (;;) {
        const bool aAus = ia >= a.size();
        const bool bAus = ib >= b.size();
        if (aAus || bAus)
            return aAus && bAus ? 0 : aAus ? -1 : 1;
        const std::size_t ea = std::min(a.find('/', ia), a.size());
        const std::size_t eb = std::min(b.find('/', ib), b.size());
        const bool aBlatt = ea == a.size() && !aOrdner;
        const bool bBlatt = eb == b.size() && !bOrdner;
        if (aBlatt != bBlatt)
            return aBlatt ? -1 : 1;
        if (const int v = a.substr(ia, ea - ia).compare(b.substr(ib, eb - ib)); v != 0)
            return v < 0 ? -1 : 1;
        ia = ea + 1;
        ib = eb + 1;
    }
}

int Wegordnung(const Bestandseintrag& a, const Bestandseintrag& b) {
    return Wegordnung(a.Pfad, a.Art == Eintragsart::Ordner, b.Pfad, b.Art == Eintragsart::Ordner);
}

std::string_view Oberordner(std::string_view pfad) {
    const std::size_t schnitt = pfad.rfind('/');
    return schnitt == std::string_view::npos ? std::string_view(".") : pfad.substr(0, schnitt);
}

void Bestandsschreiber::Weg() {
    aus_(puffer_);
    puffer_.clear();
}

void Bestandsschreiber::Zeile(std::string& zeile) {
    zeile += '\n';
    pruefsumme_ = Fnv1a(zeile, pruefsumme_);
    puffer_ += zeile;
    if (puffer_.size() >= (1u << 16))
        Weg();
}

void Bestandsschreiber::Kopf(const Bestand& b) {
    const std::pair<const char*, const std::string*> kopf[] = {
        {"ordner ", &b.Ordner}, {"quelle ", &b.Quelle}, {"posix ", &b.QuellePosix}, {"zeit ", &b.Zeit}};
    zeile_ = "tresor-ix-bestand " + std::to_string(Bestandsversion);
    Zeile(zeile_);
    for (const auto& [name, wert] : kopf) {
        zeile_ = name + Maskiere(*wert);
        Zeile(zeile_);
    }
}

void Bestandsschreiber::Eintrag(const Bestandseintrag& e) {
    std::string& z = zeile_;
    z.clear();
    const bool ordnerartig = e.Art == Eintragsart::Ordner;
    auto zahl = [&z](auto wert, int basis = 10) {
        char text[24];
        const auto ende = std::to_chars(text, text + sizeof text, wert, basis).ptr;
        z.append(text, ende);
        z += ' ';
    };
    z += static_cast<char>(e.Art);
    z += ' ';
    if (ordnerartig) {
        z += '-';
    } else {
        // Runs of entries name one place: its escaped form and its count are those of the entry before.
        if (ort_ == orte_.end() || ortRoh_ != e.Ort) {
            ortRoh_ = e.Ort;
            std::string maskiert;
            MaskiereIn(maskiert, e.Ort);
            ort_ = orte_.try_emplace(std::move(maskiert), 0).first;
        }
        ++ort_->second;
        z += ort_->first;
    }
    z += ' ';
    zahl(ordnerartig ? 0 : e.Groesse);
    zahl(e.MtimeNs);
    zahl(e.Modus, 8);
    zahl(e.Uid);
    zahl(e.Gid);
    zahl(ordnerartig ? 0 : e.Inode);
    zahl(ordnerartig ? 0 : e.CtimeNs);
    if (e.Verbund == 0 || e.Art != Eintragsart::Datei)
        z += "- ";
    else
        zahl(e.Verbund);
    if (e.Inhalt && e.Art == Eintragsart::Datei && e.Ort != OrtFehlt)
        z += InhaltssummeText(*e.Inhalt);
    else
        z += '-';
    z += ' ';
    if (e.Pfad == ".")
        z += '.';
    else
        MaskiereIn(z, e.Pfad);
    if (e.Art == Eintragsart::Verweis) {
        z += ' ';
        MaskiereIn(z, e.Verweisziel);
    }
    Zeile(z);
    ++zeilen_;
    ++zahlen_.Eintraege;
}

void Bestandsschreiber::Ausgelassen(const Auslassung& a) {
    zeile_ = "X " + (a.Pfad == "." ? std::string(".") : Maskiere(a.Pfad)) + " " + Maskiere(a.Grund);
    Zeile(zeile_);
    ++zeilen_;
    ++zahlen_.Ausgelassene;
}

void Bestandsschreiber::Ende(const Bestand& b) {
    for (const std::string& p : b.Einhaengepunkte) {
        zeile_ = "E " + (p == "." ? std::string(".") : Maskiere(p));
        Zeile(zeile_);
    }
    for (const Auslassung& a : b.Ausgelassen)
        Ausgelassen(a);
    zeile_ = "kopiert " + std::to_string(b.KopierteDateien) + " " + std::to_string(b.KopierteBytes);
    Zeile(zeile_);
    zeile_ = b.Abgebrochen ? "lauf abgebrochen" : "lauf ganz";
    Zeile(zeile_);
    zeile_ = "summe " + std::to_string(zahlen_.Eintraege) + " " + std::to_string(zahlen_.Ausgelassene) + " " +
             std::to_string(b.Einhaengepunkte.size());
    for (const auto& [ort, anzahl] : orte_)
        zeile_ += " " + ort + " " + std::to_string(anzahl);
    Zeile(zeile_);
    zeilen_ += b.Einhaengepunkte.size() + 3;
    puffer_ += "ende " + std::to_string(zeilen_) + " " + Hex16(pruefsumme_) + "\n";
    Weg();
}

std::string SchreibeBestand(const Bestand& b) {
    std::string text;
    text.reserve(80 + b.Eintraege.size() * 128);
    Bestandsschreiber schreiber([&text](std::string_view stueck) { text += stueck; });
    schreiber.Kopf(b);
    for (const Bestandseintrag& e : b.Eintraege)
        schreiber.Eintrag(e);
    schreiber.Ende(b);
    return text;
}

std::uint64_t Bestandszahlen::Fehlende() const {
    for (const auto& [ort, anzahl] : Orte)
        if (ort == OrtFehlt)
            return anzahl;
    return 0;
}

std::size_t Unvollstaendige(const Bestand& b) {
    std::set<std::string_view> pfade;
    for (const Bestandseintrag& e : b.Eintraege)
        if (e.Art != Eintragsart::Ordner && e.Ort == OrtFehlt)
            pfade.insert(e.Pfad);
    for (const std::string& p : b.Einhaengepunkte)
        pfade.insert(p);
    for (const Auslassung& a : b.Ausgelassen)
        pfade.insert(a.Pfad);
    return pfade.size();
}

bool Vollstaendig(const Bestand& b) {
    // A record read whole has both its entries and its counts; a head read alone only the counts.
    return !b.Abgebrochen && Unvollstaendige(b) == 0 && b.Zahlen.Fehlende() == 0 && b.Zahlen.Ausgelassene == 0 &&
           b.Zahlen.Einhaengepunkte == 0;
}

} // namespace tresor
