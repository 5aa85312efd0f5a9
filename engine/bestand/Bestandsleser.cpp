// Reading a record of the source, entry by entry (see Bestandsleser.h), and whole (LiesBestand).
#include "engine/bestand/Bestandsleser.h"

#include "engine/bestand/Anzeigetext.h"
#include "engine/bestand/Bestandszeilen.h"

#include "fs/FsFehler.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>

namespace tresor {

namespace {

// The fields of a line, separated by single blanks; at most Felder::Platz of them (an entry has at most 12),
// more count as too many.
struct Felder {
    static constexpr std::size_t Platz = 13;
    std::array<std::string_view, Platz> Feld;
    std::size_t Anzahl = 0;

    explicit Felder(std::string_view zeile) {
        std::size_t pos = 0;
        while (Anzahl < Platz) {
            const std::size_t ende = zeile.find(' ', pos);
            Feld[Anzahl++] = zeile.substr(pos, ende == std::string_view::npos ? std::string_view::npos : ende - pos);
            if (ende == std::string_view::npos)
                return;
            pos = ende + 1;
        }
        Anzahl = Platz + 1; // more than fit
    }
    [[nodiscard]] std::size_t size() const { return Anzahl; }
    std::string_view operator[](std::size_t i) const {
        return i < std::min(Anzahl, Platz) ? Feld[i] : std::string_view();
    }
};

std::string Kaputt(const std::string& was) {
    return "Die Bestandsliste ist fehlerhaft: " + was;
}

std::string Nr(std::size_t nummer) {
    return "Eintrag " + std::to_string(nummer) + ".";
}

} // namespace

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

namespace {

// The longest line a record may hold (a path and a link target of 4096 bytes, each escaped, are far shorter).
constexpr std::size_t LaengsteZeile = Bestandszeilen::LaengsteZeile;

std::string Abschlusslos() {
    return "Die Bestandsliste ist unvollständig (ohne Abschluss).";
}

std::string Beschaedigt() {
    return "Die Bestandsliste ist beschädigt (Prüfsumme stimmt nicht).";
}

std::string Unlesbar(const FsFehler& f) {
    return "Die Bestandsliste ist nicht lesbar: " + Fehlertext(f.Ursache());
}

// The place of an entry's version, as the entry's second field holds it (D and V lines only), where it is
// one.
std::string_view Ortsfeld(std::string_view zeile) {
    if (zeile.size() < 3 || (zeile[0] != 'D' && zeile[0] != 'V') || zeile[1] != ' ')
        return {};
    const std::size_t ende = zeile.find(' ', 2);
    const std::string_view ort = zeile.substr(2, ende == std::string_view::npos ? std::string_view::npos : ende - 2);
    // A place no entry may name is not counted: the entry is malformed, and the reader stops there.
    return ort == OrtFehlt || IstSicherungsordnername(ort) ? ort : std::string_view();
}

} // namespace

Bestandsleser::Bestandsleser() = default;
Bestandsleser::Bestandsleser(Bestandsleser&&) noexcept = default;
Bestandsleser& Bestandsleser::operator=(Bestandsleser&&) noexcept = default;
Bestandsleser::~Bestandsleser() = default;

namespace {

// The last line of a record: where it begins, the count of lines and the checksum; or why there is none.
std::string LiesAbschluss(Bestandsquelle& quelle, std::uint64_t& rumpfEnde, std::uint64_t& anzahl,
                          std::uint64_t& pruefsumme) {
    const std::uint64_t groesse = quelle.Groesse();
    char ende[128];
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(groesse, sizeof ende));
    if (n == 0 || quelle.Lies(groesse - n, ende, n) != n || ende[n - 1] != '\n')
        return Abschlusslos();
    const std::string_view schwanz(ende, n - 1);
    const std::size_t nl = schwanz.rfind('\n');
    if (nl == std::string_view::npos && n < groesse)
        return Abschlusslos();
    const std::size_t beginn = nl == std::string_view::npos ? 0 : nl + 1;
    rumpfEnde = groesse - n + beginn;
    const Felder f(schwanz.substr(beginn));
    if (f.size() != 3 || f[0] != "ende" || !LiesZahl(f[1], anzahl) || f[2].size() != 16 ||
        !LiesZahl(f[2], pruefsumme, 16))
        return Abschlusslos();
    return {};
}

// The version line: the version, or 0 with `fehler` set.
int LiesVersion(std::string_view zeile, std::string& fehler) {
    const Felder erste(zeile);
    if (erste.size() != 2 || erste[0] != "tresor-ix-bestand") {
        fehler = Kaputt("keine Bestandsliste.");
        return 0;
    }
    if (erste[1] == "1" || erste[1] == "2" || erste[1] == "3" || erste[1] == "4")
        return erste[1][0] - '0';
    fehler = std::string("Die Bestandsliste hat eine unbekannte Version: ") + Anzeigetext(erste[1]);
    return 0;
}

// The lines of the head after the version: 4 in version 3, then "kopiert" (and "lauf" from version 2) in
// the earlier forms.
std::size_t Kopfzeilen(int version) {
    return version == 1 ? 6 : version == 2 ? 7 : 5;
}

// Line `k` (1 on) of the head of the form `b.Version`, or the line of the end that says the same: "" when it
// is right, else why not.
std::string KopfZeile(std::size_t k, std::string_view zeile, Bestand& b) {
    const Felder f(zeile);
    if (k >= 1 && k <= 4) {
        const char* kopf[] = {"ordner", "quelle", "posix", "zeit"};
        std::string* ziele[] = {&b.Ordner, &b.Quelle, &b.QuellePosix, &b.Zeit};
        if (f.size() != 2 || f[0] != kopf[k - 1] || !Demaskiere(f[1], *ziele[k - 1]))
            return Kaputt(std::string("Zeile ") + kopf[k - 1] + ".");
    } else if (k == 5) {
        if (f.size() != 3 || f[0] != "kopiert" || !LiesZahl(f[1], b.KopierteDateien) ||
            !LiesZahl(f[2], b.KopierteBytes))
            return Kaputt("Zeile kopiert.");
    } else if (k == 6) {
        if (f.size() != 2 || f[0] != "lauf" || (f[1] != "ganz" && f[1] != "abgebrochen"))
            return Kaputt("Zeile lauf.");
        b.Abgebrochen = f[1] == "abgebrochen";
    }
    return {};
}

// The "summe" line into `zahlen`: "" when it is right.
std::string SummenZeile(std::string_view zeile, const std::string& ordner, Bestandszahlen& zahlen) {
    const std::string falsch = Kaputt("Zeile summe.");
    std::vector<std::string_view> f;
    for (std::size_t pos = 0;;) {
        const std::size_t ende = zeile.find(' ', pos);
        f.push_back(zeile.substr(pos, ende == std::string_view::npos ? std::string_view::npos : ende - pos));
        if (ende == std::string_view::npos)
            break;
        pos = ende + 1;
    }
    if (f.size() < 4 || f.size() % 2 != 0 || f[0] != "summe" || !LiesZahl(f[1], zahlen.Eintraege) ||
        !LiesZahl(f[2], zahlen.Ausgelassene) || !LiesZahl(f[3], zahlen.Einhaengepunkte))
        return falsch;
    zahlen.Orte.clear();
    std::uint64_t summe = 0;
    for (std::size_t i = 4; i < f.size(); i += 2) {
        std::uint64_t anzahl = 0;
        const std::string_view ort = f[i];
        if (!LiesZahl(f[i + 1], anzahl) || anzahl == 0 ||
            (ort != OrtFehlt && (!IstSicherungsordnername(ort) || ort > ordner)) ||
            (!zahlen.Orte.empty() && zahlen.Orte.back().first >= ort))
            return falsch;
        zahlen.Orte.emplace_back(std::string(ort), anzahl);
        summe += anzahl;
    }
    return summe <= zahlen.Eintraege ? std::string() : falsch;
}

} // namespace

std::variant<Bestandsleser, std::string> Bestandsleser::Oeffne(std::string text) {
    return Oeffne(Textquelle(std::move(text)));
}

std::variant<Bestandsleser, std::string> Bestandsleser::Oeffne(std::unique_ptr<Bestandsquelle> quelle) {
    Bestandsleser l;
    l.zeilen_ = std::make_unique<Bestandszeilen>(std::move(quelle));
    Bestand& b = l.kopf_;
    Bestandszeilen& zeilen = *l.zeilen_;
    try {
        std::uint64_t rumpfEnde = 0;
        std::uint64_t anzahl = 0;
        std::uint64_t pruefsumme = 0;
        if (std::string f = LiesAbschluss(zeilen.Quelle(), rumpfEnde, anzahl, pruefsumme); !f.empty())
            return f;
        // Once through: the checksum over every line, the head, the counts and the lines after the entries.
        // A malformed line is told only when the checksum and the count are right (else the record is torn).
        zeilen.Ab(0, rumpfEnde, Fnv1aAnfang);
        std::string kopfFehler;
        std::string fehler;
        auto merke = [&fehler](std::string f) {
            if (fehler.empty())
                fehler = std::move(f);
        };
        std::uint64_t nummer = 0;   // of the line read last, 1 on
        std::size_t kopfzeilen = 0; // 0 until the version is known
        bool inEintraegen = true;   // the lines read so far after the head are entries
        std::uint64_t eintraege = 0;
        std::uint64_t danach = 0; // lines after the entries
        std::map<std::string, std::uint64_t, std::less<>> orte;
        std::map<std::string, std::uint64_t, std::less<>>::iterator zuletzt = orte.end();
        std::string pfad;
        std::string_view z;
        for (;;) {
            const std::uint64_t stelle = zeilen.Stelle();
            const std::uint64_t stand = zeilen.Stand();
            if (!zeilen.Naechste(z))
                break;
            const std::uint64_t k = nummer++;
            if (!kopfFehler.empty())
                continue;
            if (k == 0) {
                b.Version = LiesVersion(z, kopfFehler);
                kopfzeilen = Kopfzeilen(b.Version);
                continue;
            }
            if (k < kopfzeilen) {
                kopfFehler = KopfZeile(k, z, b);
                l.anfang_ = zeilen.Stelle();
                l.stand_ = zeilen.Stand();
                continue;
            }
            // Version 3 ends with the lines "kopiert", "lauf" and "summe".
            const std::uint64_t gesamt = kopfzeilen + anzahl;
            const bool schluss = b.Version >= 3 && gesamt >= kopfzeilen + 3 && k + 3 >= gesamt && k < gesamt;
            const bool eintrag =
                inEintraegen && !schluss &&
                (b.Version < 2 || !(z.starts_with("E ") || z.starts_with("X ") || z == "E" || z == "X"));
            if (inEintraegen && !eintrag) {
                inEintraegen = false;
                l.eintraegeEnde_ = stelle;
                l.standEnde_ = stand;
            }
            if (eintrag) {
                ++eintraege;
                if (const std::string_view ort = Ortsfeld(z); !ort.empty()) {
                    if (zuletzt == orte.end() || zuletzt->first != ort)
                        zuletzt = orte.try_emplace(std::string(ort), 0).first;
                    ++zuletzt->second;
                    if (orte.size() > 100000)
                        merke(Kaputt("zu viele Sicherungsorte."));
                }
                continue;
            }
            ++danach;
            if (schluss) {
                const std::uint64_t s = k + 3 - gesamt; // 0 kopiert, 1 lauf, 2 summe
                merke(s < 2 ? KopfZeile(5 + s, z, b) : SummenZeile(z, b.Ordner, b.Zahlen));
                continue;
            }
            // The mount points and the entries not backed up.
            const Felder f(z);
            const std::string nr = Nr(eintraege + danach);
            if (f.size() != (f[0] == "X" ? 3u : 2u) || (f[0] != "X" && f[0] != "E")) {
                merke(Kaputt(nr));
                continue;
            }
            pfad = ".";
            if ((f[1] != "." && (!Demaskiere(f[1], pfad) || !GuterPfad(pfad)))) {
                merke(Kaputt(nr + " Pfad: " + Anzeigetext(pfad)));
                continue;
            }
            if (f[0] == "E") {
                b.Einhaengepunkte.push_back(pfad);
                continue;
            }
            std::string grund;
            if (!Demaskiere(f[2], grund))
                merke(Kaputt(nr));
            else
                b.Ausgelassen.push_back({pfad, std::move(grund)});
        }
        if (zeilen.Zustand() == Bestandszeilen::Art::ZuLang)
            return Kaputt("eine Zeile ist zu lang.");
        if (zeilen.Zustand() == Bestandszeilen::Art::Kurz)
            return Abschlusslos();
        if (zeilen.Stand() != pruefsumme)
            return Beschaedigt();
        if (nummer == 0)
            return Kaputt("keine Bestandsliste.");
        if (!kopfFehler.empty())
            return kopfFehler;
        if (nummer < kopfzeilen)
            return Kaputt("Kopf unvollständig.");
        if (nummer - kopfzeilen != anzahl || (b.Version >= 3 && anzahl < 3))
            return std::string("Die Bestandsliste ist beschädigt (Anzahl der Einträge stimmt nicht).");
        if (!fehler.empty())
            return fehler;
        if (inEintraegen) {
            l.eintraegeEnde_ = rumpfEnde;
            l.standEnde_ = zeilen.Stand();
        }
        Bestandszahlen gezaehlt;
        gezaehlt.Eintraege = eintraege;
        gezaehlt.Ausgelassene = b.Ausgelassen.size();
        gezaehlt.Einhaengepunkte = b.Einhaengepunkte.size();
        gezaehlt.Orte.assign(orte.begin(), orte.end());
        // The counts the record gives are those of its lines.
        if (b.Version >= 3 && b.Zahlen != gezaehlt)
            return Kaputt("Zeile summe.");
        b.Zahlen = std::move(gezaehlt);
    } catch (const FsFehler& f) {
        return Unlesbar(f);
    }
    l.VonVorn();
    return l;
}

std::variant<Bestand, std::string> Bestandsleser::LiesKopf(std::unique_ptr<Bestandsquelle> quelle) {
    Bestand b;
    try {
        Bestandszeilen zeilen(std::move(quelle));
        const std::uint64_t groesse = zeilen.Quelle().Groesse();
        zeilen.Ab(0, groesse, Fnv1aAnfang);
        std::string_view z;
        std::string fehler;
        if (!zeilen.Naechste(z))
            return Abschlusslos();
        b.Version = LiesVersion(z, fehler);
        if (!fehler.empty())
            return fehler;
        if (b.Version < 3) {
            // No counts to read: the whole record is read through for them.
            auto offen = Oeffne(zeilen.Hergeben());
            if (auto* grund = std::get_if<std::string>(&offen))
                return std::move(*grund);
            return std::get<Bestandsleser>(offen).Kopf();
        }
        for (std::size_t k = 1; k < Kopfzeilen(b.Version); ++k) {
            if (!zeilen.Naechste(z))
                return Kaputt("Kopf unvollständig.");
            if (fehler = KopfZeile(k, z, b); !fehler.empty())
                return fehler;
        }
        // The last four lines: "kopiert", "lauf", "summe" and "ende".
        const std::uint64_t kopfEnde = zeilen.Stelle();
        // The end is read from a few KiB on, more only where its lines are longer (many backup folders).
        std::string schwanz;
        std::vector<std::string_view> letzte;
        std::size_t n = 0;
        for (std::uint64_t lang = 4096;; lang *= 4) {
            n = static_cast<std::size_t>(std::min<std::uint64_t>({groesse - kopfEnde, lang, LaengsteZeile}));
            schwanz.resize(n);
            if (zeilen.Quelle().Lies(groesse - n, schwanz.data(), n) != n || schwanz.empty() || schwanz.back() != '\n')
                return Abschlusslos();
            letzte.clear();
            bool ganz = true;
            std::size_t ende = schwanz.size() - 1;
            while (letzte.size() < 4) {
                const std::size_t nl = ende == 0 ? std::string::npos : schwanz.rfind('\n', ende - 1);
                if (nl == std::string::npos && n < groesse - kopfEnde) {
                    ganz = false;
                    break;
                }
                const std::size_t beginn = nl == std::string::npos ? 0 : nl + 1;
                letzte.push_back(std::string_view(schwanz).substr(beginn, ende - beginn));
                if (nl == std::string::npos)
                    break;
                ende = nl;
            }
            if (ganz)
                break;
            if (n == LaengsteZeile || n == groesse - kopfEnde)
                return Abschlusslos();
        }
        const Felder abschluss(letzte.front());
        std::uint64_t anzahl = 0;
        std::uint64_t pruefsumme = 0;
        if (letzte.size() < 4 || abschluss.size() != 3 || abschluss[0] != "ende" || !LiesZahl(abschluss[1], anzahl) ||
            anzahl < 3 || abschluss[2].size() != 16 || !LiesZahl(abschluss[2], pruefsumme, 16))
            return Abschlusslos();
        // The checksum over everything before the last line, a piece at a time and without taking the lines
        // apart: a listing never shows a changed record as a good one.
        const std::uint64_t rumpfEnde =
            groesse - n + static_cast<std::uint64_t>(letzte.front().data() - schwanz.data());
        std::string stueck;
        std::uint64_t stand = Fnv1aAnfang;
        for (std::uint64_t stelle = 0; stelle < rumpfEnde;) {
            const auto m =
                static_cast<std::size_t>(std::min<std::uint64_t>(Bestandszeilen::Stueck, rumpfEnde - stelle));
            stueck.resize(m);
            if (zeilen.Quelle().Lies(stelle, stueck.data(), m) != m)
                return Abschlusslos();
            stand = Fnv1a(stueck, stand);
            stelle += m;
        }
        if (stand != pruefsumme)
            return Beschaedigt();
        for (std::size_t s = 0; s < 2; ++s)
            if (fehler = KopfZeile(5 + s, letzte[3 - s], b); !fehler.empty())
                return fehler;
        if (fehler = SummenZeile(letzte[1], b.Ordner, b.Zahlen); !fehler.empty())
            return fehler;
    } catch (const FsFehler& f) {
        return Unlesbar(f);
    }
    return b;
}

void Bestandsleser::VonVorn(bool nachgeprueft) {
    zeilen_->Ab(anfang_, eintraegeEnde_, stand_, nachgeprueft);
    nachgeprueft_ = nachgeprueft;
    gegeben_ = 0;
    ende_ = false;
    fehler_.clear();
}

const Bestandseintrag* Bestandsleser::Naechster() {
    if (ende_)
        return nullptr;
    std::string_view zeile;
    try {
        if (!zeilen_->Naechste(zeile)) {
            ende_ = true;
            // The entries read again are those checked at the opening, or the file changed since.
            if (zeilen_->Zustand() != Bestandszeilen::Art::Gut || (nachgeprueft_ && zeilen_->Stand() != standEnde_) ||
                gegeben_ != kopf_.Zahlen.Eintraege)
                fehler_ = Beschaedigt();
            return nullptr;
        }
    } catch (const FsFehler& f) {
        ende_ = true;
        fehler_ = Unlesbar(f);
        return nullptr;
    }
    if (!LiesEintrag(zeile)) {
        ende_ = true;
        return nullptr;
    }
    ++gegeben_;
    return &eintrag_;
}

bool Bestandsleser::LiesEintrag(std::string_view zeile) {
    auto kaputt = [&](const std::string& was) {
        fehler_ = Kaputt(was);
        return false;
    };
    // The entry's number, for a message only.
    const auto nr = [&] { return Nr(gegeben_ + 1); };
    const Felder f(zeile);
    // Fields of an entry before its path: kind, place, size, time, mode, owner, group, from version 2 on
    // inode, ctime and link group, from version 4 on the content's checksum.
    const std::size_t vorPfad = kopf_.Version == 1 ? 7 : kopf_.Version <= 3 ? 10 : 11;
    if (f.size() < vorPfad + 1 || f[0].size() != 1)
        return kaputt(nr());
    Bestandseintrag& e = eintrag_;
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
        return kaputt(nr());
    }
    if (f.size() != vorPfad + (e.Art == Eintragsart::Verweis ? 2u : 1u))
        return kaputt(nr());
    const bool pfadOk = f[vorPfad] == "." ? (e.Pfad = ".", true) : Demaskiere(f[vorPfad], e.Pfad);
    if (!Demaskiere(f[1], e.Ort) || !pfadOk || !LiesZahl(f[2], e.Groesse) || !LiesZahl(f[3], e.MtimeNs) ||
        !LiesZahl(f[4], e.Modus, 8) || e.Modus > 07777 || !LiesZahl(f[5], e.Uid) || !LiesZahl(f[6], e.Gid))
        return kaputt(nr());
    e.Inode = 0;
    e.CtimeNs = 0;
    e.Verbund = 0;
    e.Inhalt.reset();
    if (kopf_.Version >= 2) {
        if (!LiesZahl(f[7], e.Inode) || !LiesZahl(f[8], e.CtimeNs))
            return kaputt(nr());
        if (f[9] != "-" && (e.Art != Eintragsart::Datei || !LiesZahl(f[9], e.Verbund) || e.Verbund == 0))
            return kaputt(nr());
    }
    if (kopf_.Version >= 4 && f[10] != "-") {
        // Only a file's version has a content.
        e.Inhalt = LiesInhaltssumme(f[10]);
        if (!e.Inhalt || e.Art != Eintragsart::Datei || e.Ort == OrtFehlt)
            return kaputt(nr());
    }
    // A version lies in this backup folder or an earlier one of the same target, never elsewhere. Most entries
    // name the place of the one before, which passed already.
    if (e.Art == Eintragsart::Ordner) {
        if (e.Ort != "-")
            return kaputt(nr());
    } else if (e.Ort != OrtFehlt && (guterOrt_.empty() || e.Ort != guterOrt_)) {
        if (!IstSicherungsordnername(e.Ort) || e.Ort > kopf_.Ordner)
            return kaputt(nr());
        guterOrt_ = e.Ort;
    }
    e.Verweisziel.clear();
    if (e.Art == Eintragsart::Verweis && (!Demaskiere(f[vorPfad + 1], e.Verweisziel) || e.Verweisziel.empty()))
        return kaputt(nr());
    if (gegeben_ == 0) {
        if (e.Pfad != "." || e.Art != Eintragsart::Ordner)
            return kaputt("der erste Eintrag ist nicht der Quellordner.");
    } else if (!GuterPfad(e.Pfad)) {
        return kaputt(nr() + " Pfad: " + Anzeigetext(e.Pfad));
    }
    return true;
}

std::variant<Bestand, std::string> LiesBestand(std::string_view text) {
    auto offen = Bestandsleser::Oeffne(std::string(text));
    if (auto* grund = std::get_if<std::string>(&offen))
        return std::move(*grund);
    return LiesBestand(std::get<Bestandsleser>(offen));
}

std::variant<Bestand, std::string> LiesBestand(Bestandsleser& leser) {
    leser.VonVorn();
    Bestand b = leser.Kopf();
    // For a restore, every folder comes before its content and no path twice.
    std::set<std::string, std::less<>> ordner, alle;
    while (const Bestandseintrag* e = leser.Naechster()) {
        if (leser.Gegeben() > 1 && (!ordner.contains(Oberordner(e->Pfad)) || !alle.insert(e->Pfad).second))
            return Kaputt(Nr(leser.Gegeben()) + " Pfad: " + Anzeigetext(e->Pfad));
        if (e->Art == Eintragsart::Ordner)
            ordner.insert(e->Pfad);
        b.Eintraege.push_back(*e);
    }
    if (!leser.Fehler().empty())
        return leser.Fehler();
    // Each mount point is a folder of the record.
    for (std::size_t i = 0; i < b.Einhaengepunkte.size(); ++i)
        if (!ordner.contains(b.Einhaengepunkte[i]))
            return Kaputt(Nr(leser.Gegeben() + i + 1) + " Pfad: " + Anzeigetext(b.Einhaengepunkte[i]));
    return b;
}

} // namespace tresor
