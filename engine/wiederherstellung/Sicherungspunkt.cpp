// The backups of a source in a target, the point chosen and what it consists of (see Sicherungspunkt.h).
#include "engine/wiederherstellung/Sicherungspunkt.h"

#include "engine/bestand/Anzeigetext.h"
#include "engine/wiederherstellung/Auswahl.h"
#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

namespace tresor {

namespace {

const char* const Praefix = "Sicherung-";

} // namespace

std::optional<Eintragsart> ArtAus(const Eintragsstand& stand) {
    switch (stand.Typ) {
    case Eintragsstand::Art::Verweis:
        return Eintragsart::Verweis;
    case Eintragsstand::Art::Ordner:
        return Eintragsart::Ordner;
    case Eintragsstand::Art::Datei:
        return Eintragsart::Datei;
    case Eintragsstand::Art::Anderes:
        break;
    }
    return std::nullopt;
}

Eintragsstand StandAus(const Bestandseintrag& e) {
    Eintragsstand s;
    s.Typ = e.Art == Eintragsart::Ordner    ? Eintragsstand::Art::Ordner
            : e.Art == Eintragsart::Verweis ? Eintragsstand::Art::Verweis
                                            : Eintragsstand::Art::Datei;
    s.Groesse = e.Groesse;
    s.MtimeNs = e.MtimeNs;
    s.Modus = e.Modus;
    s.Uid = e.Uid;
    s.Gid = e.Gid;
    s.Verweisziel = e.Verweisziel;
    return s;
}

const char* Artname(Eintragsart art) {
    switch (art) {
    case Eintragsart::Ordner:
        return "Ordner";
    case Eintragsart::Verweis:
        return "Verknüpfung";
    case Eintragsart::Datei:
        break;
    }
    return "Datei";
}

std::string InhaltAbweichend(const std::string& ort) {
    return "der Inhalt der Kopie in " + Anzeigetext(ort) + " weicht vom gesicherten ab";
}

std::string Anzeigepfad(const std::string& relativ) {
    return relativ == "." ? std::string("(Quellordner)") : Anzeigetext(relativ);
}

long NenneLuecken(const Bestand& b, std::ostream& aus) {
    long luecken = 0;
    if (b.Abgebrochen) {
        aus << "Abgebrochen: Die Sicherung " << Anzeigetext(b.Ordner)
            << " wurde vor ihrem Ende abgebrochen; was sie nicht erreichte, steht mit der früheren Fassung darin.\n";
        ++luecken;
    }
    for (const std::string& p : b.Einhaengepunkte) {
        aus << "Nicht gesichert: " << Anzeigepfad(p) << ": anderes Dateisystem eingehängt, nicht durchsucht\n";
        ++luecken;
    }
    for (const Auslassung& a : b.Ausgelassen) {
        aus << "Nicht gesichert: " << Anzeigepfad(a.Pfad) << ": " << Anzeigetext(a.Grund) << "\n";
        ++luecken;
    }
    return luecken;
}

std::string Zeitteil(const std::string& ordnername) {
    return ordnername.substr(10);
}

Bestandsfund LesbarerKopf(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name) {
    try {
        return LiesBestandskopf(zugriff, ziel, name);
    } catch (const FsFehler& f) {
        Bestandsfund fund;
        fund.Zustand = Bestandsfund::Art::Kaputt;
        fund.Fehler = "Der Sicherungsordner ist nicht lesbar: " + Fehlertext(f.Ursache());
        return fund;
    }
}

bool SpiegelDa(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name, const Pfad& quelle) {
    try {
        const auto spiegel = zugriff.Stand(Spiegelpfad(Unterpfad(ziel, name), quelle));
        return spiegel && spiegel->Typ == Eintragsstand::Art::Ordner;
    } catch (const FsFehler&) {
        return true;
    }
}

namespace {

// That the backup folder is the user uid's, another user's (German, without a full stop).
std::string FremderPunkt(const std::string& ordner, std::uint32_t uid) {
    return "Die Sicherung " + Anzeigetext(Zeitteil(ordner)) + " gehört " + FremderBenutzer(uid) +
           ", weder dem aufrufenden noch dem Besitzer des Ziels";
}

} // namespace

std::optional<Wiederherstellung::Punkt> Wiederherstellung::WaehlePunkt(const Pfad& ziel, const Quellangabe& quelle,
                                                                       const std::optional<std::string>& stand) {
    const Quellzuordnung zuordnung(laufwerke_, quelle);
    Punkt p;
    p.Ziel = ziel;
    p.Quelle = quelle.Quelle;
    p.QuellePosix = zuordnung.PosixHeute();
    p.WieVerzeichnet = zuordnung.WieVerzeichnet();
    const std::optional<std::string> gesucht = stand ? std::optional<std::string>(Praefix + *stand) : std::nullopt;
    const std::vector<std::string> alle = Sicherungsordnernamen(zugriff_, ziel);
    p.Sicherungen.insert(alle.begin(), alle.end());
    // The places the source had, as its records name them (taken so): more than one are several sources.
    std::set<std::string> orte;
    // A source that is not there, of that name or at the place the path names today: said when nothing is found.
    std::optional<std::pair<Pfad, std::string>> verdeckt;
    const Sicherungsbesitz besitz(zugriff_, ziel);
    for (const std::string& name : alle) {
        // Only the head of each record, its first and last lines: whose it is. The chosen one is read whole
        // (as a stream) when it is used.
        Bestandsfund fund = LesbarerKopf(zugriff_, ziel, name);
        bool vonQuelle = false;
        if (fund.Zustand == Bestandsfund::Art::Gelesen) {
            vonQuelle = zuordnung.Nimmt(*fund.Liste);
            if (vonQuelle && p.WieVerzeichnet)
                orte.insert(fund.Liste->QuellePosix);
            if (zuordnung.Verdeckt(*fund.Liste))
                verdeckt = {fund.Liste->Quelle, fund.Liste->QuellePosix};
            if (!vonQuelle && SpiegelUeberdecken(fund.Liste->Quelle, quelle.Quelle))
                p.Andere.insert(fund.Liste->Quelle);
        } else if (zuordnung.MitOrdnernOhneBestand()) {
            vonQuelle = SpiegelDa(zugriff_, ziel, name, quelle.Quelle);
        }
        if (!vonQuelle)
            continue;
        p.Folge.push_back(name);
        p.Funde.push_back(std::move(fund));
        const auto ordner = zugriff_.Stand(Unterpfad(ziel, name));
        p.Fremd.push_back(ordner && !besitz.Eigen(*ordner) ? std::optional<std::uint32_t>(ordner->Uid) : std::nullopt);
    }
    if (p.Folge.empty()) {
        fehler_ << "Im Ziel " << Anzeigetext(ziel) << " gibt es keine Sicherung der Quelle " << zuordnung.Text()
                << ".\n";
        if (verdeckt)
            fehler_ << HinweisWieVerzeichnet(verdeckt->first, verdeckt->second);
        return std::nullopt;
    }
    // Sources that bore one name are never mixed: which one is meant, its former place says.
    if (orte.size() > 1) {
        fehler_ << "Im Ziel " << Anzeigetext(ziel) << " gibt es Sicherungen mehrerer Quellen, die "
                << Anzeigetext(quelle.Quelle) << " hießen:";
        for (const std::string& ort : orte)
            fehler_ << " " << Quelltext(quelle.Quelle, ort) << (ort == *orte.rbegin() ? "." : ",");
        fehler_ << " Welche gemeint ist, ist mit ihrem früheren Ort anzugeben.\n";
        return std::nullopt;
    }
    auto gewaehlt = [&p](std::size_t i) {
        p.Index = i;
        return std::move(p);
    };
    if (!gesucht) {
        // The newest point of the user's own; another user's is passed over, named, unless all are.
        std::size_t eigen = p.Folge.size();
        while (eigen > 0 && p.Fremd[eigen - 1])
            --eigen;
        if (eigen == 0) {
            fehler_ << "Warnung: " << FremderPunkt(p.Folge.back(), *p.Fremd.back()) << ".\n";
            return gewaehlt(p.Folge.size() - 1);
        }
        for (std::size_t i = eigen; i < p.Folge.size(); ++i)
            fehler_ << "Hinweis: " << FremderPunkt(p.Folge[i], *p.Fremd[i]) << "; gewählt ist der Stand "
                    << Anzeigetext(Zeitteil(p.Folge[eigen - 1])) << ", die neueste eigene Sicherung.\n";
        return gewaehlt(eigen - 1);
    }
    for (std::size_t i = 0; i < p.Folge.size(); ++i)
        if (p.Folge[i] == *gesucht) {
            if (p.Fremd[i])
                fehler_ << "Warnung: " << FremderPunkt(p.Folge[i], *p.Fremd[i]) << ".\n";
            return gewaehlt(i);
        }
    fehler_ << "Im Ziel " << Anzeigetext(ziel) << " gibt es keine Sicherung der Quelle " << zuordnung.Text()
            << " vom Stand " << Anzeigetext(*stand) << ".\n";
    return std::nullopt;
}

std::optional<Wiederherstellung::Vorlage> Wiederherstellung::Bereite(Punkt& p) {
    Bestandsfund& fund = p.Funde[p.Index];
    struct Vorlage v;
    std::string kaputt = fund.Fehler;
    if (fund.Zustand == Bestandsfund::Art::Gelesen) {
        // Read through once on opening: whole, with its checksum; then as a stream in the walk's order.
        Bestandsfund voll;
        v.Leser = LiesBestandsleser(zugriff_, p.Ziel, p.Name(), &voll);
        if (v.Leser) {
            v.Kopf = v.Leser->Kopf();
            if (v.Durchgesehen())
                return v;
            v.Leser.reset();
        }
        // Written in another order (by an earlier version), or malformed: read whole, which says why it is
        // no record where it is none.
        Bestandsfund ganz = LiesBestandsfund(zugriff_, p.Ziel, p.Name());
        if (ganz.Zustand == Bestandsfund::Art::Gelesen) {
            v.Liste = std::shared_ptr<const std::vector<Bestandseintrag>>(ganz.Liste, &ganz.Liste->Eintraege);
            v.Kopf = Bestand{};
            const Bestand& b = *ganz.Liste;
            v.Kopf.Ordner = b.Ordner;
            v.Kopf.Quelle = b.Quelle;
            v.Kopf.QuellePosix = b.QuellePosix;
            v.Kopf.Zeit = b.Zeit;
            v.Kopf.KopierteDateien = b.KopierteDateien;
            v.Kopf.KopierteBytes = b.KopierteBytes;
            v.Kopf.Abgebrochen = b.Abgebrochen;
            v.Kopf.Ausgelassen = b.Ausgelassen;
            v.Kopf.Einhaengepunkte = b.Einhaengepunkte;
            v.Kopf.Version = b.Version;
            return v;
        }
        kaputt = ganz.Zustand == Bestandsfund::Art::Kaputt ? ganz.Fehler : std::string("nicht mehr lesbar");
    }
    if (fund.Zustand != Bestandsfund::Art::Keiner) {
        fehler_ << "Die Bestandsliste des Sicherungsordners " << Anzeigetext(p.Name())
                << " ist nicht brauchbar: " << kaputt << "\n";
        return std::nullopt;
    }
    // The earlier records whole, with their checksums: a backup folder without a record gathers the newest
    // copies only where none of them has one, and leaves out a torn one's file.
    for (std::size_t i = 0; i < p.Index; ++i)
        if (p.Funde[i].Zustand != Bestandsfund::Art::Keiner)
            (void)LiesBestandsleser(zugriff_, p.Ziel, p.Folge[i], &p.Funde[i]);
    for (std::size_t i = 0; i < p.Index; ++i)
        if (p.Funde[i].Zustand == Bestandsfund::Art::Gelesen) {
            fehler_ << "Dem Sicherungsordner " << Anzeigetext(p.Name())
                    << " fehlt die Bestandsliste, die frühere Sicherungen haben: welche Dateien zu diesem Stand"
                       " gehörten, ist nicht bekannt.\n";
            return std::nullopt;
        }
    v.MitBestand = false;
    // Taken as the source's, as ever (after a disk died they may be all there is of it), and said to be
    // perhaps another's.
    v.Andere = p.Andere;
    // Gathered from the user's own backups only, where the point is one of them (Sammelweg).
    if (!p.Fremd[p.Index])
        for (std::size_t i = 0; i < p.Index; ++i)
            if (p.Fremd[i])
                fehler_ << "Hinweis: " << FremderPunkt(p.Folge[i], *p.Fremd[i]) << "; sie bleibt außen vor.\n";
    SammleOhneBestand(p, v);
    return v;
}

bool Folgepruefung::Passt(const Bestandseintrag& e) {
    const bool ordner = e.Art == Eintragsart::Ordner;
    if (ordner_.empty() && vorig_.empty()) {
        if (e.Pfad != "." || !ordner)
            return false;
    } else {
        if (Wegordnung(vorig_, vorigOrdner_, e.Pfad, ordner) >= 0)
            return false;
        // The folders the walk has left are behind it for good: what follows lies in none of them.
        const std::string eltern = Elternpfad(e.Pfad);
        while (!ordner_.empty() && !Unter(eltern, ordner_.back()))
            ordner_.pop_back();
        if (ordner_.empty() || ordner_.back() != eltern)
            return false;
    }
    if (ordner)
        ordner_.push_back(e.Pfad);
    vorig_ = e.Pfad;
    vorigOrdner_ = ordner;
    return true;
}

void Folgepruefung::VonVorn() {
    ordner_.clear();
    vorig_.clear();
    vorigOrdner_ = false;
}

void Wiederherstellung::Vorlage::VonVorn() {
    stelle_ = 0;
    Fehler.clear();
    folge_.VonVorn();
    if (Leser)
        Leser->VonVorn();
    if (Weg)
        WegVonVorn();
}

const Bestandseintrag* Wiederherstellung::Vorlage::Naechster() {
    if (Weg) {
        try {
            return WegNaechster();
        } catch (const FsFehler& f) {
            // Gone through once before: the backups have changed since.
            if (!Gezaehlt)
                throw;
            Fehler = f.Bericht();
            return nullptr;
        }
    }
    if (!Leser)
        return Liste && stelle_ < Liste->size() ? &(*Liste)[stelle_++] : nullptr;
    const Bestandseintrag* e = Leser->Naechster();
    if (e == nullptr) {
        Fehler = Leser->Fehler();
        return nullptr;
    }
    if (!folge_.Passt(*e)) {
        Fehler = "Die Bestandsliste ist fehlerhaft: Eintrag " + std::to_string(Leser->Gegeben()) +
                 ". Pfad: " + Anzeigetext(e->Pfad);
        return nullptr;
    }
    return e;
}

bool Wiederherstellung::Vorlage::Durchgesehen() {
    // Each mount point is a folder of the record.
    std::set<std::string> eingehaengt(Kopf.Einhaengepunkte.begin(), Kopf.Einhaengepunkte.end());
    VonVorn();
    DateienGesamt = 0;
    BytesGesamt = 0;
    while (const Bestandseintrag* e = Naechster()) {
        if (e->Art == Eintragsart::Ordner) {
            eingehaengt.erase(e->Pfad);
            continue;
        }
        ++DateienGesamt;
        BytesGesamt += e->Art == Eintragsart::Datei ? static_cast<std::uint64_t>(e->Groesse) : 0;
    }
    const bool gut = Fehler.empty() && eingehaengt.empty();
    Gezaehlt = gut;
    VonVorn();
    return gut;
}

} // namespace tresor
