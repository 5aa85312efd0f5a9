// Bringing backups back: restore, check and list (see Wiederherstellung.h).
#include "engine/wiederherstellung/Wiederherstellung.h"

#include "engine/bestand/Anzeigetext.h"
#include "fs/Attribute.h"
#include "fs/FsFehler.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

namespace tresor {

namespace {

const char* const Praefix = "Sicherung-";

std::string Zeitteil(const std::string& ordnername) {
    return ordnername.substr(10);
}

Eintragsart ArtAus(const Eintragsstand& stand) {
    return stand.Typ == Eintragsstand::Art::Verweis  ? Eintragsart::Verweis
           : stand.Typ == Eintragsstand::Art::Ordner ? Eintragsart::Ordner
                                                     : Eintragsart::Datei;
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

// Names what keeps the point of a record from being complete beyond its versions: a stopped run, the entries
// it could not back up, the mounted file systems it did not enter. One line each to `aus`; returns how many.
long NenneLuecken(const Bestandsfund& fund, std::ostream& aus) {
    if (fund.Zustand != Bestandsfund::Art::Gelesen)
        return 0;
    const Bestand& b = *fund.Liste;
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

} // namespace

// The backups of one source in a target and the one chosen.
struct Wiederherstellung::Punkt {
    Pfad Ziel;
    Pfad Quelle;
    std::string QuellePosix;
    std::vector<std::string> Folge;  // names of the source's backup folders, oldest first
    std::vector<Bestandsfund> Funde; // their records (only the chosen one keeps its entries)
    std::size_t Index = 0;           // the chosen point
    // The source as the point's record names it: drive letters can differ from those of today, and the
    // backups mirror the source under the path the runs knew.
    Pfad Gesichert;
    const std::string& Name() const { return Folge[Index]; }
    Pfad Spiegel(const std::string& ordner) const { return Spiegelpfad(Unterpfad(Ziel, ordner), Gesichert); }
};

// What a point consists of: every entry with the backup folder that holds its version (for a folder: the
// one whose mirror gives its hidden and system bits).
struct Wiederherstellung::Vorlage {
    // The record's own entries (a folder's place "-" stands for the point's backup folder), or those
    // gathered from backups without a record; shared, not copied, for a record of a whole disk is large.
    std::shared_ptr<const std::vector<Bestandseintrag>> Liste;
    std::vector<Bestandseintrag> Gesammelt;
    bool MitBestand = true;
    const std::vector<Bestandseintrag>& Eintraege() const { return Liste ? *Liste : Gesammelt; }
    // The backup folder whose mirror holds the entry's version, or for a folder its bits.
    const std::string& Ort(const Bestandseintrag& e, const std::string& punkt) const {
        return e.Art == Eintragsart::Ordner && e.Ort == "-" ? punkt : e.Ort;
    }
};

Wiederherstellung::Wiederherstellung(const Laufwerkstabelle& laufwerke, Dateisystemfabrik fabrik, std::ostream& aus,
                                     std::ostream& fehler)
    : laufwerke_(laufwerke), fabrik_(std::move(fabrik)), aus_(aus), fehler_(fehler), zugriff_(laufwerke) {}

Wiederherstellung::~Wiederherstellung() = default;

std::optional<Wiederherstellung::Punkt> Wiederherstellung::WaehlePunkt(const Pfad& ziel, const Pfad& quelle,
                                                                       const std::optional<std::string>& stand) {
    Punkt p;
    p.Ziel = ziel;
    p.Quelle = quelle;
    p.QuellePosix = laufwerke_.ZuPosix(quelle).value_or("");
    const std::optional<std::string> gesucht = stand ? std::optional<std::string>(Praefix + *stand) : std::nullopt;
    for (const std::string& name : Sicherungsordnernamen(zugriff_, ziel)) {
        Bestandsfund fund = LiesBestandsfund(zugriff_, ziel, name);
        bool vonQuelle = false;
        if (fund.Zustand == Bestandsfund::Art::Gelesen) {
            vonQuelle = GleicheQuelle(*fund.Liste, quelle, p.QuellePosix);
        } else {
            const auto spiegel = zugriff_.Stand(Spiegelpfad(Unterpfad(ziel, name), quelle));
            vonQuelle = spiegel && spiegel->Typ == Eintragsstand::Art::Ordner;
        }
        if (!vonQuelle)
            continue;
        // Only the point's own record is kept whole; the others are only known to be there.
        if (gesucht ? name != *gesucht : false)
            fund.Liste.reset();
        if (!gesucht)
            for (Bestandsfund& f : p.Funde)
                f.Liste.reset();
        p.Folge.push_back(name);
        p.Funde.push_back(std::move(fund));
    }
    if (p.Folge.empty()) {
        fehler_ << "Im Ziel " << Anzeigetext(ziel) << " gibt es keine Sicherung der Quelle " << Anzeigetext(quelle)
                << ".\n";
        return std::nullopt;
    }
    auto gewaehlt = [&p](std::size_t i) {
        p.Index = i;
        const Bestandsfund& f = p.Funde[i];
        p.Gesichert = f.Zustand == Bestandsfund::Art::Gelesen ? f.Liste->Quelle : p.Quelle;
        return p;
    };
    if (!gesucht)
        return gewaehlt(p.Folge.size() - 1);
    for (std::size_t i = 0; i < p.Folge.size(); ++i)
        if (p.Folge[i] == *gesucht)
            return gewaehlt(i);
    fehler_ << "Im Ziel " << Anzeigetext(ziel) << " gibt es keine Sicherung der Quelle " << Anzeigetext(quelle)
            << " vom Stand " << Anzeigetext(*stand) << ".\n";
    return std::nullopt;
}

std::optional<Wiederherstellung::Vorlage> Wiederherstellung::Bereite(const Punkt& p) {
    const Bestandsfund& fund = p.Funde[p.Index];
    struct Vorlage v;
    switch (fund.Zustand) {
    case Bestandsfund::Art::Gelesen:
        v.Liste = std::shared_ptr<const std::vector<Bestandseintrag>>(fund.Liste, &fund.Liste->Eintraege);
        return v;
    case Bestandsfund::Art::Kaputt:
        fehler_ << "Die Bestandsliste des Sicherungsordners " << Anzeigetext(p.Name())
                << " ist nicht brauchbar: " << fund.Fehler << "\n";
        return std::nullopt;
    case Bestandsfund::Art::Keiner:
        break;
    }
    for (std::size_t i = 0; i < p.Index; ++i)
        if (p.Funde[i].Zustand == Bestandsfund::Art::Gelesen) {
            fehler_ << "Dem Sicherungsordner " << Anzeigetext(p.Name())
                    << " fehlt die Bestandsliste, die frühere Sicherungen haben: welche Dateien zu diesem Stand"
                       " gehörten, ist nicht bekannt.\n";
            return std::nullopt;
        }
    v.MitBestand = false;
    SammleOhneBestand(p, v);
    return v;
}

void Wiederherstellung::SammleOhneBestand(const Punkt& p, struct Vorlage& v) {
    auto fso = fabrik_();
    // Newest first: the first copy of a path met is the one restored; nothing below a file or link of a
    // newer backup comes from an older one.
    std::map<std::string, Bestandseintrag> alle;
    std::string kaputt;
    std::function<void(const std::string&, const Pfad&, const std::string&, bool)> sammle =
        [&](const std::string& ordnername, const Pfad& ordner, const std::string& relativ, bool oben) {
            const Ordner o = fso->GetFolder(ordner);
            for (const Datei& d : fso->Files(o)) {
                const std::string rel = relativ == "." ? NamenAusPosix(d.Name) : relativ + "/" + NamenAusPosix(d.Name);
                // A drive root's mirror is the backup folder, where a torn record of its own may lie.
                if (oben && p.Quelle.size() == 3 && rel == kaputt)
                    continue;
                if (alle.contains(rel))
                    continue;
                const auto stand = zugriff_.Stand(d.Path);
                if (!stand || (stand->Typ != Eintragsstand::Art::Datei && stand->Typ != Eintragsstand::Art::Verweis))
                    continue;
                Bestandseintrag e;
                e.Art = ArtAus(*stand);
                e.Ort = ordnername;
                e.Groesse = stand->Groesse;
                e.MtimeNs = stand->MtimeNs;
                e.Modus = stand->Modus;
                e.Uid = stand->Uid;
                e.Gid = stand->Gid;
                e.Pfad = rel;
                e.Verweisziel = stand->Verweisziel;
                alle.emplace(rel, std::move(e));
            }
            for (const Ordner& u : fso->SubFolders(o)) {
                const std::string rel = relativ == "." ? NamenAusPosix(u.Name) : relativ + "/" + NamenAusPosix(u.Name);
                if (!alle.contains(rel)) {
                    Bestandseintrag e;
                    e.Art = Eintragsart::Ordner;
                    e.Ort = ordnername;
                    e.Pfad = rel;
                    alle.emplace(rel, std::move(e));
                } else if (alle.at(rel).Art != Eintragsart::Ordner) {
                    continue;
                }
                sammle(ordnername, u.Path, rel, false);
            }
        };
    Bestandseintrag wurzel;
    wurzel.Art = Eintragsart::Ordner;
    wurzel.Ort = p.Name();
    wurzel.Pfad = ".";
    v.Gesammelt.push_back(wurzel);
    for (std::size_t i = p.Index + 1; i-- > 0;) {
        kaputt = p.Funde[i].Zustand == Bestandsfund::Art::Kaputt ? p.Funde[i].Dateiname : std::string();
        sammle(p.Folge[i], p.Spiegel(p.Folge[i]), ".", true);
    }
    // Byte order of the paths puts every folder before what lies inside it; an entry below a file or link
    // of a newer backup is left out.
    std::set<std::string> ordner{"."};
    for (auto& [rel, e] : alle) {
        const std::size_t schnitt = rel.rfind('/');
        const std::string eltern = schnitt == std::string::npos ? "." : rel.substr(0, schnitt);
        if (!ordner.contains(eltern))
            continue;
        if (e.Art == Eintragsart::Ordner)
            ordner.insert(rel);
        v.Gesammelt.push_back(std::move(e));
    }
}

Befund Wiederherstellung::Wiederherstellen(const Pfad& ziel, const Pfad& quelle,
                                           const std::optional<std::string>& stand, const Pfad& nach) {
    const auto punkt = WaehlePunkt(ziel, quelle, stand);
    if (!punkt)
        return Befund::Abgelehnt;

    // The folder to restore into: new, or an empty folder, and never inside a backup of the target.
    const auto nachStand = zugriff_.Stand(nach);
    if (nachStand) {
        if (nachStand->Typ != Eintragsstand::Art::Ordner) {
            fehler_ << Anzeigetext(nach) << " ist kein Ordner.\n";
            return Befund::Abgelehnt;
        }
        const auto namen = zugriff_.Namen(nach);
        if (namen && !namen->empty()) {
            fehler_ << "Der Ordner " << Anzeigetext(nach) << " ist nicht leer; wiederhergestellt wird nur in einen"
                    << " neuen oder leeren Ordner.\n";
            return Befund::Abgelehnt;
        }
    }
    {
        std::set<std::pair<std::uint64_t, std::uint64_t>> sicherungen;
        for (const std::string& name : Sicherungsordnernamen(zugriff_, ziel))
            if (const auto s = zugriff_.Stand(Unterpfad(ziel, name)))
                sicherungen.insert({s->Geraet, s->Inode});
        // Every folder on the way to the restore folder, by device and inode: no other path to a backup
        // (a second mount, a link on the way) gets past.
        for (std::size_t schnitt = 2; schnitt != std::string::npos && schnitt <= nach.size();
             schnitt = nach.find('\\', schnitt + 1)) {
            const Pfad stufe = schnitt == 2 ? nach.substr(0, 3) : nach.substr(0, schnitt);
            const auto s = zugriff_.Stand(stufe);
            if (s && sicherungen.contains({s->Geraet, s->Inode})) {
                fehler_ << "Der Ordner " << Anzeigetext(nach)
                        << " liegt in einer Sicherung des Ziels; in die Sicherungen"
                        << " wird nie geschrieben.\n";
                return Befund::Abgelehnt;
            }
            if (schnitt == nach.size())
                break;
        }
        if (const auto s = zugriff_.Stand(nach); s && sicherungen.contains({s->Geraet, s->Inode})) {
            fehler_ << "Der Ordner " << Anzeigetext(nach) << " ist eine Sicherung des Ziels.\n";
            return Befund::Abgelehnt;
        }
    }
    if (!nachStand) {
        const std::size_t schnitt = nach.rfind('\\');
        const Pfad eltern = schnitt <= 2 ? nach.substr(0, 3) : nach.substr(0, schnitt);
        const auto e = zugriff_.Stand(eltern);
        if (!e || e->Typ != Eintragsstand::Art::Ordner) {
            fehler_ << "Der Ordner " << Anzeigetext(eltern) << ", in dem " << Anzeigetext(nach)
                    << " angelegt werden soll, existiert nicht.\n";
            return Befund::Abgelehnt;
        }
    }

    const auto vorlage = Bereite(*punkt);
    if (!vorlage) {
        fehler_ << "Nichts wurde wiederhergestellt.\n";
        return Befund::Probleme;
    }
    if (!vorlage->MitBestand)
        fehler_ << "Warnung: Die Sicherungen bis zum Stand " << Zeitteil(punkt->Name())
                << " haben keine Bestandsliste. Wiederhergestellt wird die neueste Kopie jeder Datei bis zu"
                   " diesem Stand; seither gelöschte Dateien können wiederkehren.\n";

    auto fso = fabrik_();
    if (!nachStand)
        fso->MakeDir(nach, Anlage::Privat);
    const bool besitzer = Eintragszugriff::Verwalter();
    long probleme = 0, ordner = 0, dateien = 0, verweise = 0;
    std::uint64_t bytes = 0;
    std::set<std::string> fehlende; // folders that could not be made: nothing goes below them
    auto melde = [&](const std::string& relativ, const std::string& grund) {
        fehler_ << "Nicht wiederhergestellt: " << Anzeigepfad(relativ) << ": " << grund << "\n";
        ++probleme;
    };
    probleme += NenneLuecken(punkt->Funde[punkt->Index], fehler_);
    auto elternFehlt = [&](const std::string& relativ) {
        const std::size_t schnitt = relativ.rfind('/');
        return schnitt != std::string::npos && fehlende.contains(relativ.substr(0, schnitt));
    };
    for (const Bestandseintrag& e : vorlage->Eintraege()) {
        const Pfad wohin = Unterpfad(nach, e.Pfad);
        if (elternFehlt(e.Pfad)) {
            if (e.Art == Eintragsart::Ordner)
                fehlende.insert(e.Pfad);
            melde(e.Pfad, "sein Ordner fehlt");
            continue;
        }
        if (e.Art == Eintragsart::Ordner) {
            if (e.Pfad == ".")
                continue;
            try {
                fso->MakeDir(wohin, Anlage::Privat);
                ++ordner;
            } catch (const FsFehler& f) {
                fehlende.insert(e.Pfad);
                melde(e.Pfad, "Ordner nicht angelegt: " + Fehlertext(f.Ursache()));
            }
            continue;
        }
        if (e.Ort == OrtFehlt) {
            melde(e.Pfad, "keine Sicherung enthält diesen Stand der " + std::string(Artname(e.Art)));
            continue;
        }
        const Pfad woher = Unterpfad(punkt->Spiegel(e.Ort), e.Pfad);
        try {
            const Datei d = fso->GetFile(woher);
            const Quellstand s = fso->Copy(d, wohin);
            if (vorlage->MitBestand) {
                const auto kopie = zugriff_.Stand(wohin);
                if (!kopie || ArtAus(*kopie) != e.Art || kopie->Groesse != e.Groesse ||
                    (e.Art == Eintragsart::Verweis && kopie->Verweisziel != e.Verweisziel)) {
                    melde(e.Pfad, "die Kopie in " + Anzeigetext(e.Ort) + " ist nicht dieser Stand (" +
                                      std::to_string(kopie ? kopie->Groesse : 0) + " statt " +
                                      std::to_string(e.Groesse) + " Bytes)");
                    continue;
                }
                // The copy has its backup's bits and time already; only what changed since is set.
                if (kopie->MtimeNs != e.MtimeNs || (e.Art != Eintragsart::Verweis && kopie->Modus != e.Modus) ||
                    (besitzer && (kopie->Uid != e.Uid || kopie->Gid != e.Gid)))
                    zugriff_.SetzeStand(wohin, StandAus(e), besitzer);
            }
            (e.Art == Eintragsart::Verweis ? verweise : dateien) += 1;
            bytes += static_cast<std::uint64_t>(s.Groesse > 0 ? s.Groesse : 0);
        } catch (const FsFehler& f) {
            melde(e.Pfad, "aus " + Anzeigetext(e.Ort) + " nicht lesbar oder nicht schreibbar (" + f.Operation() + ": " +
                              Fehlertext(f.Ursache()) + ")");
        }
    }
    // Folders last, the deepest first: their bits and times once nothing more is written into them.
    for (auto it = vorlage->Eintraege().rbegin(); it != vorlage->Eintraege().rend(); ++it) {
        const Bestandseintrag& e = *it;
        if (e.Art != Eintragsart::Ordner || fehlende.contains(e.Pfad))
            continue;
        const Pfad wohin = Unterpfad(nach, e.Pfad);
        try {
            const Pfad spiegel = Unterpfad(punkt->Spiegel(vorlage->Ort(e, punkt->Name())), e.Pfad);
            const auto s = zugriff_.Stand(spiegel);
            if (s && s->Typ == Eintragsstand::Art::Ordner)
                fso->OrdnerAbschliessen(spiegel, wohin);
            if (vorlage->MitBestand)
                zugriff_.SetzeStand(wohin, StandAus(e), besitzer);
        } catch (const FsFehler& f) {
            melde(e.Pfad, "Rechte oder Zeit des Ordners nicht gesetzt (" + Fehlertext(f.Ursache()) + ")");
        }
    }
    aus_ << "Stand " << Zeitteil(punkt->Name()) << " wiederhergestellt in " << Anzeigetext(nach) << ": " << ordner
         << " Ordner, " << dateien << " Dateien, " << verweise << " Verknüpfungen, " << bytes << " Bytes.\n";
    if (probleme > 0) {
        fehler_ << probleme << (probleme == 1 ? " Eintrag wurde" : " Einträge wurden") << " nicht wiederhergestellt.\n";
        return Befund::Probleme;
    }
    return Befund::Vollstaendig;
}

Befund Wiederherstellung::Pruefen(const Pfad& ziel, const Pfad& quelle, const std::optional<std::string>& stand,
                                  bool mitQuelle) {
    const auto punkt = WaehlePunkt(ziel, quelle, stand);
    if (!punkt)
        return Befund::Abgelehnt;
    const auto vorlage = Bereite(*punkt);
    if (!vorlage)
        return Befund::Probleme;
    if (!vorlage->MitBestand)
        fehler_ << "Warnung: Die Sicherungen bis zum Stand " << Zeitteil(punkt->Name())
                << " haben keine Bestandsliste. Geprüft wird die neueste Kopie jeder Datei bis zu diesem Stand;"
                   " ob Dateien fehlen, lässt sich nicht sagen.\n";
    long probleme = 0, ordner = 0, dateien = 0, verweise = 0;
    auto melde = [&](const std::string& art, const std::string& relativ, const std::string& grund) {
        fehler_ << art << ": " << Anzeigepfad(relativ) << ": " << grund << "\n";
        ++probleme;
    };
    for (const Bestandseintrag& e : vorlage->Eintraege()) {
        if (e.Art == Eintragsart::Ordner) {
            ++ordner;
            continue;
        }
        if (e.Ort == OrtFehlt) {
            melde("Fehlt", e.Pfad, "keine Sicherung enthält diesen Stand");
            continue;
        }
        const Pfad woher = Unterpfad(punkt->Spiegel(e.Ort), e.Pfad);
        try {
            const auto k = zugriff_.Stand(woher);
            if (!k) {
                melde("Fehlt", e.Pfad, "nicht mehr in " + Anzeigetext(e.Ort));
                continue;
            }
            if (ArtAus(*k) != e.Art) {
                melde("Falsch", e.Pfad, "in " + Anzeigetext(e.Ort) + " keine " + Artname(e.Art));
                continue;
            }
            if (k->Groesse != e.Groesse) {
                melde("Falsch", e.Pfad,
                      "in " + Anzeigetext(e.Ort) + " " + std::to_string(k->Groesse) + " statt " +
                          std::to_string(e.Groesse) + " Bytes");
                continue;
            }
            if (e.Art == Eintragsart::Verweis) {
                if (k->Verweisziel != e.Verweisziel) {
                    melde("Falsch", e.Pfad, "in " + Anzeigetext(e.Ort) + " zeigt die Verknüpfung woandershin");
                    continue;
                }
                ++verweise;
                continue;
            }
            const std::uint64_t gelesen = zugriff_.LiesDurch(woher);
            if (gelesen != static_cast<std::uint64_t>(e.Groesse)) {
                melde("Falsch", e.Pfad,
                      "in " + Anzeigetext(e.Ort) + " " + std::to_string(gelesen) + " statt " +
                          std::to_string(e.Groesse) + " Bytes lesbar");
                continue;
            }
            ++dateien;
        } catch (const FsFehler& f) {
            melde("Nicht lesbar", e.Pfad, "in " + Anzeigetext(e.Ort) + ": " + Fehlertext(f.Ursache()));
        }
    }
    probleme += NenneLuecken(punkt->Funde[punkt->Index], fehler_);
    if (probleme == 0)
        aus_ << "Stand " << Zeitteil(punkt->Name()) << " ist vollständig wiederherstellbar: " << ordner << " Ordner, "
             << dateien << " Dateien, " << verweise << " Verknüpfungen.\n";
    else
        fehler_ << "Stand " << Zeitteil(punkt->Name()) << " ist nicht vollständig wiederherstellbar: " << probleme
                << (probleme == 1 ? " Eintrag fehlt oder ist" : " Einträge fehlen oder sind") << " nicht lesbar.\n";
    if (mitQuelle) {
        const long unterschiede = Vergleiche(*punkt, *vorlage);
        if (unterschiede == 0)
            aus_ << "Die Quelle stimmt mit dem Stand " << Zeitteil(punkt->Name()) << " überein.\n";
        else
            fehler_ << "Die Quelle weicht in " << unterschiede << (unterschiede == 1 ? " Eintrag" : " Einträgen")
                    << " vom Stand " << Zeitteil(punkt->Name()) << " ab.\n";
        probleme += unterschiede;
    }
    return probleme == 0 ? Befund::Vollstaendig : Befund::Probleme;
}

long Wiederherstellung::Vergleiche(const Punkt& p, const struct Vorlage& v) {
    auto fso = fabrik_();
    std::map<std::string, Eintragsstand> quelle;
    std::function<void(const Pfad&, const std::string&)> lauf = [&](const Pfad& ordner, const std::string& relativ) {
        const Ordner o = fso->GetFolder(ordner);
        for (const Datei& d : fso->Files(o))
            if (const auto s = zugriff_.Stand(d.Path))
                quelle.emplace(relativ == "." ? NamenAusPosix(d.Name) : relativ + "/" + NamenAusPosix(d.Name), *s);
        for (const Ordner& u : fso->SubFolders(o)) {
            const std::string rel = relativ == "." ? NamenAusPosix(u.Name) : relativ + "/" + NamenAusPosix(u.Name);
            if (const auto s = zugriff_.Stand(u.Path))
                quelle.emplace(rel, *s);
            lauf(u.Path, rel);
        }
    };
    if (const auto s = zugriff_.Stand(p.Quelle); !s || s->Typ != Eintragsstand::Art::Ordner) {
        fehler_ << "Die Quelle " << Anzeigetext(p.Quelle) << " ist nicht da.\n";
        return 1;
    }
    lauf(p.Quelle, ".");
    long unterschiede = 0;
    for (const Bestandseintrag& e : v.Eintraege()) {
        if (e.Pfad == ".")
            continue;
        const auto it = quelle.find(e.Pfad);
        if (it == quelle.end()) {
            fehler_ << "Nicht mehr in der Quelle: " << Anzeigepfad(e.Pfad) << "\n";
            ++unterschiede;
            continue;
        }
        const Eintragsstand& s = it->second;
        std::string was;
        if (ArtAus(s) != e.Art)
            was = "Art";
        else if (e.Art != Eintragsart::Ordner && s.Groesse != e.Groesse)
            was = "Größe";
        else if (e.Art != Eintragsart::Ordner && s.MtimeNs != e.MtimeNs)
            was = "Änderungszeit";
        else if (e.Art == Eintragsart::Verweis && s.Verweisziel != e.Verweisziel)
            was = "Ziel der Verknüpfung";
        else if (v.MitBestand && e.Art != Eintragsart::Verweis && s.Modus != e.Modus)
            was = "Rechte";
        else if (v.MitBestand && (s.Uid != e.Uid || s.Gid != e.Gid))
            was = "Besitzer";
        if (!was.empty()) {
            fehler_ << "Geändert (" << was << "): " << Anzeigepfad(e.Pfad) << "\n";
            ++unterschiede;
        }
        quelle.erase(it);
    }
    for (const auto& [rel, s] : quelle) {
        (void)s;
        fehler_ << "Neu in der Quelle: " << Anzeigepfad(rel) << "\n";
        ++unterschiede;
    }
    return unterschiede;
}

Befund Wiederherstellung::Liste(const Pfad& ziel, const std::optional<Pfad>& quelle) {
    const std::string quellePosix = quelle ? laufwerke_.ZuPosix(*quelle).value_or("") : std::string();
    long gezeigt = 0;
    for (const std::string& name : Sicherungsordnernamen(zugriff_, ziel)) {
        const Bestandsfund fund = LiesBestandsfund(zugriff_, ziel, name);
        std::string zeile = Zeitteil(name) + "  ";
        if (fund.Zustand == Bestandsfund::Art::Gelesen) {
            const Bestand& b = *fund.Liste;
            if (quelle && !GleicheQuelle(b, *quelle, quellePosix))
                continue;
            long fehlen = 0;
            for (const Bestandseintrag& e : b.Eintraege) {
                if (e.Art == Eintragsart::Ordner)
                    continue;
                if (e.Ort == OrtFehlt) {
                    ++fehlen;
                    continue;
                }
                const auto k = zugriff_.Stand(Unterpfad(Spiegelpfad(Unterpfad(ziel, e.Ort), b.Quelle), e.Pfad));
                if (!k || ArtAus(*k) != e.Art || k->Groesse != e.Groesse)
                    ++fehlen;
            }
            // Entries not backed up and mounted file systems not entered are missing as well.
            fehlen += static_cast<long>(b.Ausgelassen.size() + b.Einhaengepunkte.size());
            zeile += Anzeigetext(b.Quelle) + "  " + std::to_string(b.KopierteDateien) + " Dateien, " +
                     std::to_string(b.KopierteBytes) + " Bytes kopiert  " +
                     (b.Abgebrochen ? std::string("unvollständig (abgebrochen)")
                      : fehlen == 0 ? std::string("vollständig")
                                    : "unvollständig (" + std::to_string(fehlen) + " fehlen)");
        } else {
            if (quelle) {
                const auto spiegel = zugriff_.Stand(Spiegelpfad(Unterpfad(ziel, name), *quelle));
                if (!spiegel || spiegel->Typ != Eintragsstand::Art::Ordner)
                    continue;
                zeile += Anzeigetext(*quelle) + "  ";
            } else {
                zeile += "?  ";
            }
            zeile += fund.Zustand == Bestandsfund::Art::Kaputt ? "Bestandsliste beschädigt" : "ohne Bestandsliste";
        }
        aus_ << zeile << "\n";
        ++gezeigt;
    }
    if (gezeigt == 0)
        aus_ << "Keine Sicherungen" << (quelle ? " dieser Quelle" : "") << " im Ziel " << Anzeigetext(ziel) << ".\n";
    return Befund::Vollstaendig;
}

} // namespace tresor
