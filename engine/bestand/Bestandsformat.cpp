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
    text.reserve(80 + b.Eintraege.size() * 128);
    text += "tresor-ix-bestand " + std::to_string(Bestandsversion) + "\n";
    text += "ordner " + Maskiere(b.Ordner) + "\n";
    text += "quelle " + Maskiere(b.Quelle) + "\n";
    text += "posix " + Maskiere(b.QuellePosix) + "\n";
    text += "zeit " + Maskiere(b.Zeit) + "\n";
    text += "kopiert " + std::to_string(b.KopierteDateien) + " " + std::to_string(b.KopierteBytes) + "\n";
    text += b.Abgebrochen ? "lauf abgebrochen\n" : "lauf ganz\n";
    char modus[16];
    for (const Bestandseintrag& e : b.Eintraege) {
        const bool ordnerartig = e.Art == Eintragsart::Ordner;
        text += static_cast<char>(e.Art);
        text += ' ';
        text += ordnerartig ? std::string("-") : Maskiere(e.Ort);
        text += ' ';
        text += std::to_string(ordnerartig ? 0 : e.Groesse);
        text += ' ';
        text += std::to_string(e.MtimeNs);
        std::snprintf(modus, sizeof modus, " %o ", e.Modus);
        text += modus;
        text += std::to_string(e.Uid);
        text += ' ';
        text += std::to_string(e.Gid);
        text += ' ';
        text += std::to_string(ordnerartig ? 0 : e.Inode);
        text += ' ';
        text += std::to_string(ordnerartig ? 0 : e.CtimeNs);
        text += ' ';
        text += e.Verbund == 0 || e.Art != Eintragsart::Datei ? std::string("-") : std::to_string(e.Verbund);
        text += ' ';
        text += e.Pfad == "." ? std::string(".") : Maskiere(e.Pfad);
        if (e.Art == Eintragsart::Verweis) {
            text += ' ';
            text += Maskiere(e.Verweisziel);
        }
        text += '\n';
    }
    for (const std::string& p : b.Einhaengepunkte)
        text += "E " + (p == "." ? std::string(".") : Maskiere(p)) + "\n";
    for (const Auslassung& a : b.Ausgelassen)
        text += "X " + (a.Pfad == "." ? std::string(".") : Maskiere(a.Pfad)) + " " + Maskiere(a.Grund) + "\n";
    text += "ende " + std::to_string(b.Eintraege.size() + b.Einhaengepunkte.size() + b.Ausgelassen.size()) + " " +
            Hex16(Fnv1a(text)) + "\n";
    return text;
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
    return !b.Abgebrochen && Unvollstaendige(b) == 0;
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
    const std::string_view version = Felder(zeilen[0])[1];
    if (version == "1")
        b.Version = 1;
    else if (version == "2")
        b.Version = 2;
    else
        return std::string("Die Bestandsliste hat eine unbekannte Version: ") + Anzeigetext(version);
    // Version 2 has one more line in its head: whether the run went through.
    const std::size_t kopfzeilen = b.Version == 1 ? 6 : 7;
    if (zeilen.size() < kopfzeilen)
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
    if (b.Version >= 2) {
        const auto f = Felder(zeilen[6]);
        if (f.size() != 2 || f[0] != "lauf" || (f[1] != "ganz" && f[1] != "abgebrochen"))
            return kaputt("Zeile lauf.");
        b.Abgebrochen = f[1] == "abgebrochen";
    }
    if (zeilen.size() - kopfzeilen != anzahl)
        return std::string("Die Bestandsliste ist beschädigt (Anzahl der Einträge stimmt nicht).");

    std::set<std::string> ordner, alle;
    b.Eintraege.reserve(anzahl);
    // Fields of an entry before its path: kind, place, size, time, mode, owner, group, and in version 2
    // inode, ctime and link group.
    const std::size_t vorPfad = b.Version == 1 ? 7 : 10;
    std::size_t z = kopfzeilen;
    for (; z < zeilen.size(); ++z) {
        const auto f = Felder(zeilen[z]);
        const std::string nr = "Eintrag " + std::to_string(z - kopfzeilen + 1) + ".";
        if ((f[0] == "E" || f[0] == "X") && b.Version >= 2)
            break; // the mount points and the entries not backed up follow
        if (f.size() < vorPfad + 1 || f[0].size() != 1)
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
        const bool ordnerartig = e.Art == Eintragsart::Ordner;
        if (f.size() != vorPfad + (e.Art == Eintragsart::Verweis ? 2u : 1u))
            return kaputt(nr);
        const auto ort = Demaskiere(f[1]);
        const auto pfad = f[vorPfad] == "." ? std::optional<std::string>(".") : Demaskiere(f[vorPfad]);
        if (!ort || !pfad || !Zahl(f[2], e.Groesse) || !Zahl(f[3], e.MtimeNs) || !Zahl(f[4], e.Modus, 8) ||
            e.Modus > 07777 || !Zahl(f[5], e.Uid) || !Zahl(f[6], e.Gid))
            return kaputt(nr);
        if (b.Version >= 2) {
            if (!Zahl(f[7], e.Inode) || !Zahl(f[8], e.CtimeNs))
                return kaputt(nr);
            if (f[9] != "-" && (e.Art != Eintragsart::Datei || !Zahl(f[9], e.Verbund) || e.Verbund == 0))
                return kaputt(nr);
        }
        e.Ort = *ort;
        e.Pfad = *pfad;
        // A version lies in this backup folder or an earlier one of the same target, never elsewhere.
        if (ordnerartig ? e.Ort != "-" : e.Ort != OrtFehlt && (!IstSicherungsordnername(e.Ort) || e.Ort > b.Ordner))
            return kaputt(nr);
        if (e.Art == Eintragsart::Verweis) {
            const auto ziel = Demaskiere(f[vorPfad + 1]);
            if (!ziel || ziel->empty())
                return kaputt(nr);
            e.Verweisziel = *ziel;
        }
        if (z == kopfzeilen) {
            if (e.Pfad != "." || e.Art != Eintragsart::Ordner)
                return kaputt("der erste Eintrag ist nicht der Quellordner.");
        } else if (!GuterPfad(e.Pfad) || !ordner.contains(Elternpfad(e.Pfad)) || !alle.insert(e.Pfad).second) {
            return kaputt(nr + " Pfad: " + Anzeigetext(e.Pfad));
        }
        if (e.Art == Eintragsart::Ordner)
            ordner.insert(e.Pfad);
        b.Eintraege.push_back(std::move(e));
    }
    // The mount points, each a folder of the record, and the entries not backed up, each below a folder of
    // the record (or the source folder itself).
    for (; z < zeilen.size(); ++z) {
        const auto f = Felder(zeilen[z]);
        const std::string nr = "Eintrag " + std::to_string(z - kopfzeilen + 1) + ".";
        if (f.size() != (f[0] == "X" ? 3u : 2u) || (f[0] != "X" && f[0] != "E"))
            return kaputt(nr);
        const auto pfad = f[1] == "." ? std::optional<std::string>(".") : Demaskiere(f[1]);
        if (!pfad)
            return kaputt(nr);
        if (f[0] == "E") {
            if (!ordner.contains(*pfad))
                return kaputt(nr + " Pfad: " + Anzeigetext(*pfad));
            b.Einhaengepunkte.push_back(*pfad);
            continue;
        }
        const auto grund = Demaskiere(f[2]);
        if (!grund || (*pfad != "." && (!GuterPfad(*pfad) || !ordner.contains(Elternpfad(*pfad)))))
            return kaputt(nr + " Pfad: " + Anzeigetext(*pfad));
        b.Ausgelassen.push_back({*pfad, *grund});
    }
    return b;
}

} // namespace tresor
