// Reading a record of the source, entry by entry (see Bestandsleser.h), and whole (LiesBestand).
#include "engine/bestand/Bestandsleser.h"

#include "engine/bestand/Anzeigetext.h"

#include <algorithm>
#include <array>
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

std::string_view Elternpfad(std::string_view pfad) {
    const std::size_t schnitt = pfad.rfind('/');
    return schnitt == std::string_view::npos ? std::string_view(".") : pfad.substr(0, schnitt);
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

std::variant<Bestandsleser, std::string> Bestandsleser::Oeffne(std::string text) {
    // The last line first: a record that was cut short or changed is torn, whatever else it holds.
    if (text.empty() || text.back() != '\n')
        return std::string("Die Bestandsliste ist unvollständig (ohne Abschluss).");
    const std::size_t letzte = text.rfind('\n', text.size() - 2);
    const std::size_t rumpfEnde = letzte == std::string::npos ? 0 : letzte + 1;
    const Felder schluss(std::string_view(text).substr(rumpfEnde, text.size() - rumpfEnde - 1));
    std::size_t anzahl = 0;
    std::uint64_t pruefsumme = 0;
    if (schluss.size() != 3 || schluss[0] != "ende" || !LiesZahl(schluss[1], anzahl) || schluss[2].size() != 16 ||
        !LiesZahl(schluss[2], pruefsumme, 16))
        return std::string("Die Bestandsliste ist unvollständig (ohne Abschluss).");
    text.resize(rumpfEnde);
    if (Fnv1a(text) != pruefsumme)
        return std::string("Die Bestandsliste ist beschädigt (Prüfsumme stimmt nicht).");

    Bestandsleser l;
    Bestand& b = l.kopf_;
    const std::string_view rumpf = text;
    const auto zeilen = static_cast<std::size_t>(std::count(rumpf.begin(), rumpf.end(), '\n'));
    std::size_t pos = 0;
    auto zeile = [&] {
        const std::size_t ende = rumpf.find('\n', pos);
        const std::string_view z = rumpf.substr(pos, ende - pos);
        pos = ende + 1;
        return z;
    };
    if (zeilen == 0)
        return Kaputt("keine Bestandsliste.");
    const Felder erste(zeile());
    if (erste.size() != 2 || erste[0] != "tresor-ix-bestand")
        return Kaputt("keine Bestandsliste.");
    if (erste[1] == "1")
        b.Version = 1;
    else if (erste[1] == "2")
        b.Version = 2;
    else
        return std::string("Die Bestandsliste hat eine unbekannte Version: ") + Anzeigetext(erste[1]);
    // Version 2 has one more line in its head: whether the run went through.
    const std::size_t kopfzeilen = b.Version == 1 ? 6 : 7;
    if (zeilen < kopfzeilen)
        return Kaputt("Kopf unvollständig.");
    const char* kopf[] = {"ordner", "quelle", "posix", "zeit"};
    std::string* ziele[] = {&b.Ordner, &b.Quelle, &b.QuellePosix, &b.Zeit};
    for (int k = 0; k < 4; ++k) {
        const Felder f(zeile());
        if (f.size() != 2 || f[0] != kopf[k] || !Demaskiere(f[1], *ziele[k]))
            return Kaputt(std::string("Zeile ") + kopf[k] + ".");
    }
    {
        const Felder f(zeile());
        if (f.size() != 3 || f[0] != "kopiert" || !LiesZahl(f[1], b.KopierteDateien) ||
            !LiesZahl(f[2], b.KopierteBytes))
            return Kaputt("Zeile kopiert.");
    }
    if (b.Version >= 2) {
        const Felder f(zeile());
        if (f.size() != 2 || f[0] != "lauf" || (f[1] != "ganz" && f[1] != "abgebrochen"))
            return Kaputt("Zeile lauf.");
        b.Abgebrochen = f[1] == "abgebrochen";
    }
    if (zeilen - kopfzeilen != anzahl)
        return std::string("Die Bestandsliste ist beschädigt (Anzahl der Einträge stimmt nicht).");
    l.anfang_ = l.pos_ = pos;
    l.text_ = std::move(text);
    return l;
}

void Bestandsleser::VonVorn() {
    pos_ = anfang_;
    gegeben_ = 0;
    ende_ = false;
    fehler_.clear();
}

std::string_view Bestandsleser::Schluss() const {
    return ende_ && fehler_.empty() ? std::string_view(text_).substr(pos_) : std::string_view();
}

const Bestandseintrag* Bestandsleser::Naechster() {
    if (ende_)
        return nullptr;
    if (pos_ >= text_.size()) {
        ende_ = true;
        return nullptr;
    }
    const std::size_t ende = text_.find('\n', pos_);
    const std::string_view zeile = std::string_view(text_).substr(pos_, ende - pos_);
    // The mount points and the entries not backed up follow the entries.
    if (kopf_.Version >= 2 && (zeile.starts_with("E ") || zeile.starts_with("X ") || zeile == "E" || zeile == "X")) {
        ende_ = true;
        return nullptr;
    }
    if (!LiesEintrag(zeile)) {
        ende_ = true;
        return nullptr;
    }
    pos_ = ende + 1;
    ++gegeben_;
    return &eintrag_;
}

bool Bestandsleser::LiesEintrag(std::string_view zeile) {
    const std::string nr = Nr(gegeben_ + 1);
    auto kaputt = [&](const std::string& was) {
        fehler_ = Kaputt(was);
        return false;
    };
    const Felder f(zeile);
    // Fields of an entry before its path: kind, place, size, time, mode, owner, group, and in version 2
    // inode, ctime and link group.
    const std::size_t vorPfad = kopf_.Version == 1 ? 7 : 10;
    if (f.size() < vorPfad + 1 || f[0].size() != 1)
        return kaputt(nr);
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
        return kaputt(nr);
    }
    if (f.size() != vorPfad + (e.Art == Eintragsart::Verweis ? 2u : 1u))
        return kaputt(nr);
    const bool pfadOk = f[vorPfad] == "." ? (e.Pfad = ".", true) : Demaskiere(f[vorPfad], e.Pfad);
    if (!Demaskiere(f[1], e.Ort) || !pfadOk || !LiesZahl(f[2], e.Groesse) || !LiesZahl(f[3], e.MtimeNs) ||
        !LiesZahl(f[4], e.Modus, 8) || e.Modus > 07777 || !LiesZahl(f[5], e.Uid) || !LiesZahl(f[6], e.Gid))
        return kaputt(nr);
    e.Inode = 0;
    e.CtimeNs = 0;
    e.Verbund = 0;
    if (kopf_.Version >= 2) {
        if (!LiesZahl(f[7], e.Inode) || !LiesZahl(f[8], e.CtimeNs))
            return kaputt(nr);
        if (f[9] != "-" && (e.Art != Eintragsart::Datei || !LiesZahl(f[9], e.Verbund) || e.Verbund == 0))
            return kaputt(nr);
    }
    // A version lies in this backup folder or an earlier one of the same target, never elsewhere.
    if (e.Art == Eintragsart::Ordner ? e.Ort != "-"
                                     : e.Ort != OrtFehlt && (!IstSicherungsordnername(e.Ort) || e.Ort > kopf_.Ordner))
        return kaputt(nr);
    e.Verweisziel.clear();
    if (e.Art == Eintragsart::Verweis && (!Demaskiere(f[vorPfad + 1], e.Verweisziel) || e.Verweisziel.empty()))
        return kaputt(nr);
    if (gegeben_ == 0) {
        if (e.Pfad != "." || e.Art != Eintragsart::Ordner)
            return kaputt("der erste Eintrag ist nicht der Quellordner.");
    } else if (!GuterPfad(e.Pfad)) {
        return kaputt(nr + " Pfad: " + Anzeigetext(e.Pfad));
    }
    return true;
}

std::string LiesSchluss(std::string_view schluss, std::size_t nummer,
                        const std::function<bool(const std::string&)>& istOrdner, Bestand& b) {
    // The mount points, each a folder of the record, and the entries not backed up, each a path below the
    // source (or the source folder itself).
    for (std::size_t pos = 0; pos < schluss.size();) {
        const std::size_t ende = schluss.find('\n', pos);
        const Felder f(schluss.substr(pos, ende - pos));
        pos = ende + 1;
        const std::string nr = Nr(++nummer);
        if (f.size() != (f[0] == "X" ? 3u : 2u) || (f[0] != "X" && f[0] != "E"))
            return Kaputt(nr);
        std::string pfad = ".";
        if (f[1] != "." && !Demaskiere(f[1], pfad))
            return Kaputt(nr);
        if (f[0] == "E") {
            if (!istOrdner(pfad))
                return Kaputt(nr + " Pfad: " + Anzeigetext(pfad));
            b.Einhaengepunkte.push_back(std::move(pfad));
            continue;
        }
        // Only named, never restored: its folder need not be in the record (one whose mirror clashed).
        std::string grund;
        if (!Demaskiere(f[2], grund) || (pfad != "." && !GuterPfad(pfad)))
            return Kaputt(nr + " Pfad: " + Anzeigetext(pfad));
        b.Ausgelassen.push_back({std::move(pfad), std::move(grund)});
    }
    return {};
}

std::variant<Bestand, std::string> LiesBestand(std::string_view text) {
    auto offen = Bestandsleser::Oeffne(std::string(text));
    if (auto* grund = std::get_if<std::string>(&offen))
        return std::move(*grund);
    Bestandsleser& leser = std::get<Bestandsleser>(offen);
    Bestand b = leser.Kopf();
    // For a restore, every folder comes before its content and no path twice.
    std::set<std::string, std::less<>> ordner, alle;
    while (const Bestandseintrag* e = leser.Naechster()) {
        if (leser.Gegeben() > 1 && (!ordner.contains(Elternpfad(e->Pfad)) || !alle.insert(e->Pfad).second))
            return Kaputt(Nr(leser.Gegeben()) + " Pfad: " + Anzeigetext(e->Pfad));
        if (e->Art == Eintragsart::Ordner)
            ordner.insert(e->Pfad);
        b.Eintraege.push_back(*e);
    }
    if (!leser.Fehler().empty())
        return leser.Fehler();
    if (std::string fehler = LiesSchluss(
            leser.Schluss(), leser.Gegeben(), [&](const std::string& pfad) { return ordner.contains(pfad); }, b);
        !fehler.empty())
        return fehler;
    return b;
}

} // namespace tresor
