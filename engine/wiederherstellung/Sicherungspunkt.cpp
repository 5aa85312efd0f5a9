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

namespace {

// Whether the name `a` comes before the content of the folder `ordner` in byte order of the paths: before
// "ordner/...", so "a-b" does and "a0" does not for the folder "a" ("-" < "/" < "0").
bool VorInhalt(std::string_view a, std::string_view ordner) {
    if (a.substr(0, ordner.size()) != ordner)
        return a < ordner;
    return a.size() == ordner.size() || static_cast<unsigned char>(a[ordner.size()]) < '/';
}

} // namespace

std::shared_ptr<const posix::Namensliste> InByteordnung(std::shared_ptr<const posix::Namensliste> namen) {
    if (!namen)
        return std::make_shared<const posix::Namensliste>();
    for (std::size_t i = 1; i < namen->size(); ++i)
        if (!((*namen)[i - 1] < (*namen)[i])) {
            auto geordnet = std::make_shared<posix::Namensliste>(*namen);
            (void)geordnet->Sortiere();
            return geordnet;
        }
    return namen;
}

Ordnerinhalt LiesOrdnerinhalt(Dateisystem& fso, const Pfad& ordner) {
    Ordnerinhalt inhalt;
    const Ordner o = fso.GetFolder(ordner);
    inhalt.Weg = o.Path;
    inhalt.Dateien = InByteordnung(fso.Files(o).Namen());
    for (const Ordner& u : fso.SubFolders(o))
        inhalt.Unterordner.Hinzu(NamenAusPosix(u.Name));
    (void)inhalt.Unterordner.Sortiere();
    inhalt.Unterordner.Straffe();
    return inhalt;
}

// The backups without a record up to a point, merged into one tree a folder at a time, newest first: the
// first copy of a path met is the one restored, and nothing below a file or link of a newer backup comes from
// an older one. The entries come in byte order of their paths (every folder before what lies inside it); held
// are only the folders on the way to the entry in hand, each with the names of its mirrors in the backups.
struct Wiederherstellung::Sammelweg {
    // The mirror of a folder in one backup: its files' names as listed (shared with the file-system object),
    // its subfolders' names, each in byte order of the names as stored on disk.
    struct Spiegelordner : Ordnerinhalt {
        std::size_t Sicherung = 0;
        [[nodiscard]] bool HatDatei(std::string_view name) const { return Dateien->Suche(name) < Dateien->size(); }
        [[nodiscard]] bool HatOrdner(std::string_view name) const {
            return Unterordner.Suche(name) < Unterordner.size();
        }
    };
    // A folder of the merged tree on the way: every name of its mirrors once, in byte order, and beside each
    // whether it is a folder; the next name whose entry is given, and the next whose content is.
    struct Ebene {
        std::string Relativ;
        std::vector<Spiegelordner> Spiegel; // newest first
        posix::Namensliste Namen;
        std::vector<bool> Ordner;
        std::size_t Eintrag = 0;
        std::size_t Abstieg = 0;
    };
    struct Sicherung {
        std::string Name;
        Pfad Spiegel;
        std::string Kaputt; // a torn record's file name, left out of a drive root's mirror
    };

    Sammelweg(std::unique_ptr<Dateisystem> fso, const Punkt& p)
        : fso_(std::move(fso)), laufwerk_(p.Quelle.size() == 3), punkt_(p.Name()) {
        for (std::size_t i = p.Index + 1; i-- > 0;)
            if (!p.Fremd[i] || p.Fremd[p.Index])
                sicherungen_.push_back(
                    {p.Folge[i], p.Spiegel(p.Folge[i]),
                     p.Funde[i].Zustand == Bestandsfund::Art::Kaputt ? p.Funde[i].Dateiname : std::string()});
    }

    void VonVorn() {
        ebenen_.clear();
        begonnen_ = false;
    }

    const Bestandseintrag* Naechster() {
        if (!begonnen_) {
            begonnen_ = true;
            std::vector<std::pair<std::size_t, Pfad>> spiegel;
            for (std::size_t s = 0; s < sicherungen_.size(); ++s)
                spiegel.emplace_back(s, sicherungen_[s].Spiegel);
            ebenen_.push_back(Oeffne(".", spiegel));
            e_ = Bestandseintrag{};
            e_.Art = Eintragsart::Ordner;
            e_.Ort = punkt_;
            e_.Pfad = ".";
            return &e_;
        }
        while (!ebenen_.empty()) {
            Ebene& ebene = ebenen_.back();
            while (ebene.Abstieg < ebene.Namen.size() && !ebene.Ordner[ebene.Abstieg])
                ++ebene.Abstieg;
            if (ebene.Eintrag < ebene.Namen.size() &&
                (ebene.Abstieg == ebene.Namen.size() ||
                 VorInhalt(ebene.Namen[ebene.Eintrag], ebene.Namen[ebene.Abstieg]))) {
                if (Gib(ebene, ebene.Eintrag++))
                    return &e_;
                continue;
            }
            if (ebene.Abstieg < ebene.Namen.size()) {
                const std::string_view name = ebene.Namen[ebene.Abstieg++];
                std::vector<std::pair<std::size_t, Pfad>> spiegel;
                for (const Spiegelordner& m : ebene.Spiegel)
                    if (m.HatOrdner(name))
                        spiegel.emplace_back(m.Sicherung, posix::KindPfad(m.Weg, NamenAusPosix(name)));
                std::string relativ = Unter(ebene.Relativ, name);
                ebenen_.push_back(Oeffne(std::move(relativ), spiegel));
                continue;
            }
            ebenen_.pop_back();
        }
        return nullptr;
    }

private:
    static std::string Unter(const std::string& relativ, std::string_view name) {
        return relativ == "." ? std::string(name) : relativ + "/" + std::string(name);
    }
    // Whether the mirror's file of that name counts: not a drive root's torn record.
    [[nodiscard]] bool Zaehlt(const Ebene& ebene, const Spiegelordner& m, std::string_view name) const {
        return !(laufwerk_ && ebene.Relativ == "." && name == sicherungen_[m.Sicherung].Kaputt) && m.HatDatei(name);
    }
    // The state of a regular file or link of that name in the mirror, or nothing.
    std::optional<Eintragsstand> Kopie(const Spiegelordner& m, std::string_view name) {
        auto stand = fso_->Stand(posix::KindPfad(m.Weg, NamenAusPosix(name)));
        if (!stand || (stand->Typ != Eintragsstand::Art::Datei && stand->Typ != Eintragsstand::Art::Verweis))
            return std::nullopt;
        return stand;
    }

    // Lists the mirrors of a folder (newest first) and merges their names: a name is the newest copy's, a
    // folder where that is a folder; a file or link of a mirror counts only where it is one when looked at.
    Ebene Oeffne(std::string relativ, const std::vector<std::pair<std::size_t, Pfad>>& spiegel) {
        Ebene ebene;
        ebene.Relativ = std::move(relativ);
        for (const auto& [sicherung, weg] : spiegel) {
            ebene.Spiegel.push_back(Spiegelordner{LiesOrdnerinhalt(*fso_, weg), sicherung});
        }
        // Every list's names side by side, the least first.
        std::vector<std::size_t> dateiStelle(ebene.Spiegel.size(), 0);
        std::vector<std::size_t> ordnerStelle(ebene.Spiegel.size(), 0);
        std::vector<bool> hatDatei(ebene.Spiegel.size());
        std::vector<bool> hatOrdner(ebene.Spiegel.size());
        for (;;) {
            std::optional<std::string_view> kleinster;
            for (std::size_t s = 0; s < ebene.Spiegel.size(); ++s) {
                const Spiegelordner& m = ebene.Spiegel[s];
                if (dateiStelle[s] < m.Dateien->size() && (!kleinster || (*m.Dateien)[dateiStelle[s]] < *kleinster))
                    kleinster = (*m.Dateien)[dateiStelle[s]];
                if (ordnerStelle[s] < m.Unterordner.size() &&
                    (!kleinster || m.Unterordner[ordnerStelle[s]] < *kleinster))
                    kleinster = m.Unterordner[ordnerStelle[s]];
            }
            if (!kleinster)
                break;
            const std::string_view name = *kleinster; // the lists stay as they are
            bool irgendOrdner = false;
            for (std::size_t s = 0; s < ebene.Spiegel.size(); ++s) {
                const Spiegelordner& m = ebene.Spiegel[s];
                hatDatei[s] = false;
                hatOrdner[s] = false;
                // A name listed twice (no file system lists one so) is one entry.
                for (; dateiStelle[s] < m.Dateien->size() && (*m.Dateien)[dateiStelle[s]] == name; ++dateiStelle[s])
                    hatDatei[s] = true;
                for (; ordnerStelle[s] < m.Unterordner.size() && m.Unterordner[ordnerStelle[s]] == name;
                     ++ordnerStelle[s])
                    hatOrdner[s] = true;
                irgendOrdner = irgendOrdner || hatOrdner[s];
            }
            // The newest mirror that holds a folder, or a file or link, of that name decides. A file is looked
            // at here only where an older mirror holds a folder of its name, else when its entry is given.
            std::optional<bool> ordner;
            for (std::size_t s = 0; s < ebene.Spiegel.size() && !ordner; ++s) {
                if (hatOrdner[s])
                    ordner = true;
                else if (hatDatei[s] && Zaehlt(ebene, ebene.Spiegel[s], name) &&
                         (!irgendOrdner || Kopie(ebene.Spiegel[s], name)))
                    ordner = false;
            }
            if (!ordner)
                continue;
            ebene.Namen.Hinzu(name);
            ebene.Ordner.push_back(*ordner);
        }
        ebene.Namen.Straffe();
        return ebene;
    }

    // The entry of the name in place i: a folder from the newest mirror that holds it as one, a file or link
    // from the newest that holds it as one when looked at now; false where none does any more.
    bool Gib(const Ebene& ebene, std::size_t i) {
        const std::string_view name = ebene.Namen[i];
        e_ = Bestandseintrag{};
        e_.Pfad = Unter(ebene.Relativ, name);
        for (const Spiegelordner& m : ebene.Spiegel) {
            if (m.HatOrdner(name)) {
                if (!ebene.Ordner[i])
                    return false;
                e_.Art = Eintragsart::Ordner;
                e_.Ort = sicherungen_[m.Sicherung].Name;
                return true;
            }
            if (ebene.Ordner[i] || !Zaehlt(ebene, m, name))
                continue;
            const auto stand = Kopie(m, name);
            if (!stand)
                continue;
            e_.Art = *ArtAus(*stand);
            e_.Ort = sicherungen_[m.Sicherung].Name;
            e_.Groesse = stand->Groesse;
            e_.MtimeNs = stand->MtimeNs;
            e_.Modus = stand->Modus;
            e_.Uid = stand->Uid;
            e_.Gid = stand->Gid;
            e_.Verweisziel = stand->Verweisziel;
            return true;
        }
        return false;
    }

    std::unique_ptr<Dateisystem> fso_;
    std::vector<Sicherung> sicherungen_; // newest first
    bool laufwerk_;                      // the source is a drive root: its mirror is the backup folder
    std::string punkt_;
    std::vector<Ebene> ebenen_;
    bool begonnen_ = false;
    Bestandseintrag e_;
};

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
        Weg->VonVorn();
}

const Bestandseintrag* Wiederherstellung::Vorlage::Naechster() {
    if (Weg) {
        try {
            return Weg->Naechster();
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

void Wiederherstellung::SammleOhneBestand(const Punkt& p, struct Vorlage& v) {
    auto fso = fabrik_();
    (void)fso->GetFolder(p.Ziel); // held from here on: every backup is read from it
    v.Weg = std::make_shared<Sammelweg>(std::move(fso), p);
    v.VonVorn();
    v.DateienGesamt = 0;
    v.BytesGesamt = 0;
    while (const Bestandseintrag* e = v.Naechster())
        if (e->Art != Eintragsart::Ordner) {
            ++v.DateienGesamt;
            v.BytesGesamt += e->Art == Eintragsart::Datei ? static_cast<std::uint64_t>(e->Groesse) : 0;
        }
    v.Gezaehlt = true;
    v.VonVorn();
}

} // namespace tresor
