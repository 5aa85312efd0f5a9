// The record of the source: its text form (see Bestandsformat.h).
#include "engine/bestand/Bestandsformat.h"

#include "engine/bestand/Anzeigetext.h"

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

std::vector<std::string_view> Felder(std::string_view zeile) {
    std::vector<std::string_view> felder;
    std::size_t pos = 0;
    while (pos <= zeile.size()) {
        const std::size_t ende = zeile.find(' ', pos);
        felder.push_back(zeile.substr(pos, ende == std::string_view::npos ? std::string_view::npos : ende - pos));
        if (ende == std::string_view::npos)
            break;
        pos = ende + 1;
    }
    return felder;
}

template <class T> bool Zahl(std::string_view text, T& wert, int basis = 10) {
    if (text.empty())
        return false;
    const auto [ende, fehler] = std::from_chars(text.data(), text.data() + text.size(), wert, basis);
    return fehler == std::errc() && ende == text.data() + text.size();
}

// Whether the relative path is made of proper names, one level each.
bool GuterPfad(std::string_view pfad) {
    if (pfad.empty())
        return false;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t ende = pfad.find('/', pos);
        const std::string_view name =
            pfad.substr(pos, ende == std::string_view::npos ? std::string_view::npos : ende - pos);
        if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string_view::npos)
            return false;
        if (ende == std::string_view::npos)
            return true;
        pos = ende + 1;
    }
}

std::string Elternpfad(const std::string& pfad) {
    const std::size_t schnitt = pfad.rfind('/');
    return schnitt == std::string::npos ? "." : pfad.substr(0, schnitt);
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
    return !zahl.empty() && zahl[0] != '0' && Zahl(zahl, n) && n >= 2 && Bestandsdateiname(n - 1) == name;
}

std::string Maskiere(std::string_view bytes) {
    std::string aus;
    aus.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b > 0x20 && b < 0x7F && b != '%') {
            aus += static_cast<char>(b);
            ++i;
            continue;
        }
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
    return aus;
}

std::optional<std::string> Demaskiere(std::string_view text) {
    std::string aus;
    aus.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '%') {
            unsigned wert = 0;
            if (i + 2 >= text.size() || !Zahl(text.substr(i + 1, 2), wert, 16))
                return std::nullopt;
            aus += static_cast<char>(wert);
            i += 2;
        } else if (b <= 0x20 || b == 0x7F) {
            return std::nullopt;
        } else {
            aus += static_cast<char>(b);
        }
    }
    return aus;
}

std::string SchreibeBestand(const Bestand& b) {
    std::string text;
    text.reserve(64 + b.Eintraege.size() * 96);
    text += "tresor-ix-bestand " + std::to_string(Bestandsversion) + "\n";
    text += "ordner " + Maskiere(b.Ordner) + "\n";
    text += "quelle " + Maskiere(b.Quelle) + "\n";
    text += "posix " + Maskiere(b.QuellePosix) + "\n";
    text += "zeit " + Maskiere(b.Zeit) + "\n";
    text += "kopiert " + std::to_string(b.KopierteDateien) + " " + std::to_string(b.KopierteBytes) + "\n";
    char modus[16];
    for (const Bestandseintrag& e : b.Eintraege) {
        text += static_cast<char>(e.Art);
        text += ' ';
        text += e.Art == Eintragsart::Ordner ? std::string("-") : Maskiere(e.Ort);
        text += ' ';
        text += std::to_string(e.Groesse);
        text += ' ';
        text += std::to_string(e.MtimeNs);
        std::snprintf(modus, sizeof modus, " %o ", e.Modus);
        text += modus;
        text += std::to_string(e.Uid);
        text += ' ';
        text += std::to_string(e.Gid);
        text += ' ';
        text += e.Pfad == "." ? std::string(".") : Maskiere(e.Pfad);
        if (e.Art == Eintragsart::Verweis) {
            text += ' ';
            text += Maskiere(e.Verweisziel);
        }
        text += '\n';
    }
    text += "ende " + std::to_string(b.Eintraege.size()) + " " + Hex16(Fnv1a(text)) + "\n";
    return text;
}

std::variant<Bestand, std::string> LiesBestand(std::string_view text) {
    // The last line first: a record that was cut short or changed is torn, whatever else it holds.
    if (text.empty() || text.back() != '\n')
        return std::string("Die Bestandsliste ist unvollständig (ohne Abschluss).");
    const std::size_t letzte = text.rfind('\n', text.size() - 2);
    const std::string_view rumpf = letzte == std::string_view::npos ? std::string_view() : text.substr(0, letzte + 1);
    const std::string_view schluss =
        text.substr(letzte == std::string_view::npos ? 0 : letzte + 1, text.size() - (letzte + 1) - 1);
    const auto schlussfelder = Felder(schluss);
    std::size_t anzahl = 0;
    std::uint64_t pruefsumme = 0;
    if (schlussfelder.size() != 3 || schlussfelder[0] != "ende" || !Zahl(schlussfelder[1], anzahl) ||
        schlussfelder[2].size() != 16 || !Zahl(schlussfelder[2], pruefsumme, 16))
        return std::string("Die Bestandsliste ist unvollständig (ohne Abschluss).");
    if (Fnv1a(rumpf) != pruefsumme)
        return std::string("Die Bestandsliste ist beschädigt (Prüfsumme stimmt nicht).");

    Bestand b;
    std::vector<std::string_view> zeilen;
    for (std::size_t pos = 0; pos < rumpf.size();) {
        const std::size_t ende = rumpf.find('\n', pos);
        zeilen.push_back(rumpf.substr(pos, ende - pos));
        pos = ende + 1;
    }
    auto kaputt = [](const std::string& was) { return std::string("Die Bestandsliste ist fehlerhaft: ") + was; };
    if (zeilen.empty() || Felder(zeilen[0]).size() != 2 || Felder(zeilen[0])[0] != "tresor-ix-bestand")
        return kaputt("keine Bestandsliste.");
    if (Felder(zeilen[0])[1] != std::to_string(Bestandsversion))
        return std::string("Die Bestandsliste hat eine unbekannte Version: ") + Anzeigetext(Felder(zeilen[0])[1]);
    if (zeilen.size() < 6)
        return kaputt("Kopf unvollständig.");
    const char* kopf[] = {"ordner", "quelle", "posix", "zeit"};
    std::string* ziele[] = {&b.Ordner, &b.Quelle, &b.QuellePosix, &b.Zeit};
    for (int k = 0; k < 4; ++k) {
        const auto f = Felder(zeilen[1 + k]);
        std::optional<std::string> wert = f.size() == 2 && f[0] == kopf[k] ? Demaskiere(f[1]) : std::nullopt;
        if (!wert)
            return kaputt(std::string("Zeile ") + kopf[k] + ".");
        *ziele[k] = std::move(*wert);
    }
    {
        const auto f = Felder(zeilen[5]);
        if (f.size() != 3 || f[0] != "kopiert" || !Zahl(f[1], b.KopierteDateien) || !Zahl(f[2], b.KopierteBytes))
            return kaputt("Zeile kopiert.");
    }
    if (zeilen.size() - 6 != anzahl)
        return std::string("Die Bestandsliste ist beschädigt (Anzahl der Einträge stimmt nicht).");

    std::set<std::string> ordner, alle;
    b.Eintraege.reserve(anzahl);
    for (std::size_t z = 6; z < zeilen.size(); ++z) {
        const auto f = Felder(zeilen[z]);
        const std::string nr = "Eintrag " + std::to_string(z - 5) + ".";
        if (f.size() < 8 || f[0].size() != 1)
            return kaputt(nr);
        Bestandseintrag e;
        switch (f[0][0]) {
        case 'O':
            e.Art = Eintragsart::Ordner;
            break;
        case 'D':
            e.Art = Eintragsart::Datei;
            break;
        case 'V':
            e.Art = Eintragsart::Verweis;
            break;
        default:
            return kaputt(nr);
        }
        if (f.size() != (e.Art == Eintragsart::Verweis ? 9u : 8u))
            return kaputt(nr);
        const auto ort = Demaskiere(f[1]);
        const auto pfad = f[7] == "." ? std::optional<std::string>(".") : Demaskiere(f[7]);
        if (!ort || !pfad || !Zahl(f[2], e.Groesse) || !Zahl(f[3], e.MtimeNs) || !Zahl(f[4], e.Modus, 8) ||
            e.Modus > 07777 || !Zahl(f[5], e.Uid) || !Zahl(f[6], e.Gid))
            return kaputt(nr);
        e.Ort = *ort;
        e.Pfad = *pfad;
        // A version lies in this backup folder or an earlier one of the same target, never elsewhere.
        if (e.Art == Eintragsart::Ordner ? e.Ort != "-"
                                         : e.Ort != OrtFehlt && (!IstSicherungsordnername(e.Ort) || e.Ort > b.Ordner))
            return kaputt(nr);
        if (e.Art == Eintragsart::Verweis) {
            const auto ziel = Demaskiere(f[8]);
            if (!ziel || ziel->empty())
                return kaputt(nr);
            e.Verweisziel = *ziel;
        }
        if (z == 6) {
            if (e.Pfad != "." || e.Art != Eintragsart::Ordner)
                return kaputt("der erste Eintrag ist nicht der Quellordner.");
        } else if (!GuterPfad(e.Pfad) || !ordner.contains(Elternpfad(e.Pfad)) || !alle.insert(e.Pfad).second) {
            return kaputt(nr + " Pfad: " + Anzeigetext(e.Pfad));
        }
        if (e.Art == Eintragsart::Ordner)
            ordner.insert(e.Pfad);
        b.Eintraege.push_back(std::move(e));
    }
    return b;
}

} // namespace tresor
