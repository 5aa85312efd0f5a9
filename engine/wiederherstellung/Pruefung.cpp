// Checking a point and listing the backups of a target (see Wiederherstellung.h). The backups are only read,
// one name at a time from the root, never through a link (Eintragszugriff), and a version only where its
// place is a real backup folder of the target.
#include "engine/wiederherstellung/Sicherungspunkt.h"

#include "engine/bestand/Anzeigetext.h"
#include "engine/wiederherstellung/Auswahl.h"
#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

namespace tresor {

Befund Wiederherstellung::Pruefen(const Pfad& ziel, const Quellangabe& quelle, const std::optional<std::string>& stand,
                                  bool mitQuelle) {
    bericht_ = {};
    auto punkt = WaehlePunkt(ziel, quelle, stand);
    if (!punkt)
        return Befund::Abgelehnt;
    auto fso = fabrik_();
    (void)fso->GetFolder(ziel); // held from here on: every backup is read from it
    auto vorlage = Bereite(*punkt);
    if (!vorlage)
        return Befund::Probleme;
    if (!vorlage->MitBestand)
        fehler_ << "Warnung: Die Sicherungen bis zum Stand " << Zeitteil(punkt->Name())
                << " haben keine Bestandsliste. Geprüft wird die neueste Kopie jeder Datei bis zu diesem Stand;"
                   " ob Dateien fehlen, lässt sich nicht sagen.\n";
    if (!vorlage->Andere.empty())
        fehler_ << AndereQuellenWarnung(vorlage->Andere);
    long probleme = 0, ordner = 0, dateien = 0, verweise = 0;
    auto melde = [&](const std::string& art, const std::string& relativ, const std::string& grund) {
        fehler_ << art << ": " << Anzeigepfad(relativ) << ": " << grund << "\n";
        ++probleme;
    };
    Rueckholstand gang;
    if (vorlage->Gezaehlt) {
        gang.DateienGesamt = vorlage->DateienGesamt;
        gang.BytesGesamt = vorlage->BytesGesamt;
    }
    for (vorlage->VonVorn(); const Bestandseintrag* e = vorlage->Gezaehlt ? nullptr : vorlage->Naechster();)
        if (e->Art != Eintragsart::Ordner) {
            ++gang.DateienGesamt;
            gang.BytesGesamt += e->Art == Eintragsart::Datei ? static_cast<std::uint64_t>(e->Groesse) : 0;
        }
    bool angehalten = false;
    Summierer summierer;
    long beschaedigt = 0; // of the problems: copies there, whole, but of other content
    for (vorlage->VonVorn(); const Bestandseintrag* eintrag = vorlage->Naechster();) {
        const Bestandseintrag& e = *eintrag;
        if (e.Art != Eintragsart::Ordner) {
            if (fortschritt_)
                fortschritt_(gang);
            if (stopp_ != nullptr && stopp_->load()) {
                angehalten = bericht_.Angehalten = true;
                break;
            }
            ++gang.Dateien;
            gang.Bytes += e.Art == Eintragsart::Datei ? static_cast<std::uint64_t>(e.Groesse) : 0;
        }
        if (e.Art == Eintragsart::Ordner) {
            // Counted as the restore counts: the folders below the one restored into.
            if (e.Pfad != ".")
                ++ordner;
            continue;
        }
        if (e.Ort == OrtFehlt) {
            melde("Fehlt", e.Pfad, "keine Sicherung enthält diesen Stand");
            continue;
        }
        if (!punkt->Sicherungen.contains(e.Ort)) {
            // Gone, or no real backup folder (a link, a file) under that name.
            melde("Fehlt", e.Pfad, "nicht mehr in " + Anzeigetext(e.Ort));
            continue;
        }
        const Pfad woher = Unterpfad(punkt->Spiegel(e.Ort), e.Pfad);
        try {
            const auto k = fso->Stand(woher);
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
            // Read as a restore reads it, every byte, and summed where the record has the content's checksum.
            const std::uint64_t gelesen =
                zugriff_.LiesDurch(woher, static_cast<std::uint64_t>(e.Groesse), e.Inhalt ? &summierer : nullptr);
            if (gelesen != static_cast<std::uint64_t>(e.Groesse)) {
                melde("Falsch", e.Pfad,
                      "in " + Anzeigetext(e.Ort) + " " + std::to_string(gelesen) + " statt " +
                          std::to_string(e.Groesse) + " Bytes lesbar");
                continue;
            }
            if (e.Inhalt && summierer.Summe() != *e.Inhalt) {
                melde("Beschädigt", e.Pfad, InhaltAbweichend(e.Ort));
                ++beschaedigt;
                continue;
            }
            ++dateien;
        } catch (const FsFehler& f) {
            melde("Nicht lesbar", e.Pfad, "in " + Anzeigetext(e.Ort) + ": " + Fehlertext(f.Ursache()));
        }
    }
    if (angehalten) {
        fehler_ << "Angehalten: Die Prüfung des Standes " << Zeitteil(punkt->Name()) << " wurde nach " << gang.Dateien
                << " von " << gang.DateienGesamt << " Dateien abgebrochen.\n";
        return Befund::Probleme;
    }
    if (!vorlage->Fehler.empty()) {
        // Checked whole before, the record was changed while it was read: the rest is not checked.
        fehler_ << "Die Bestandsliste des Sicherungsordners " << Anzeigetext(punkt->Name())
                << " hat sich beim Lesen geändert: " << vorlage->Fehler << "\n";
        ++probleme;
    }
    if (fortschritt_)
        fortschritt_(gang);
    if (vorlage->MitBestand)
        probleme += NenneLuecken(vorlage->Kopf, fehler_);
    if (probleme == 0)
        aus_ << "Stand " << Zeitteil(punkt->Name()) << " ist vollständig wiederherstellbar: " << ordner << " Ordner, "
             << dateien << " Dateien, " << verweise << " Verknüpfungen.\n";
    else {
        // What is missing or unreadable, and what is there but damaged, each counted for what it is.
        fehler_ << "Stand " << Zeitteil(punkt->Name()) << " ist nicht vollständig wiederherstellbar: ";
        if (const long fehlend = probleme - beschaedigt; fehlend > 0)
            fehler_ << fehlend << (fehlend == 1 ? " Eintrag fehlt oder ist" : " Einträge fehlen oder sind")
                    << " nicht lesbar" << (beschaedigt > 0 ? ", " : "");
        if (beschaedigt > 0)
            fehler_ << beschaedigt << (beschaedigt == 1 ? " Datei ist" : " Dateien sind") << " beschädigt";
        fehler_ << ".\n";
    }
    if (mitQuelle) {
        // Stopped as the check stops: before the next entry compared; what differed before is named.
        const auto halt = [&] {
            if (fortschritt_)
                fortschritt_(gang);
            return stopp_ != nullptr && stopp_->load();
        };
        long unterschiede = 0;
        try {
            unterschiede = Vergleiche(*punkt, *vorlage, halt);
        } catch (const Anhalt&) {
            bericht_.Angehalten = true;
            fehler_ << "Angehalten: Der Vergleich der Quelle mit dem Stand " << Zeitteil(punkt->Name())
                    << " wurde abgebrochen.\n";
            return Befund::Probleme;
        }
        if (unterschiede == 0)
            aus_ << "Die Quelle stimmt mit dem Stand " << Zeitteil(punkt->Name()) << " überein.\n";
        else
            fehler_ << "Die Quelle weicht in " << unterschiede << (unterschiede == 1 ? " Eintrag" : " Einträgen")
                    << " vom Stand " << Zeitteil(punkt->Name()) << " ab.\n";
        probleme += unterschiede;
    }
    return probleme == 0 ? Befund::Vollstaendig : Befund::Probleme;
}

long Wiederherstellung::Vergleiche(const Punkt& p, struct Vorlage& v, const std::function<bool()>& halt) {
    auto fso = fabrik_();
    // A source taken as its records name it is not there, whatever folder its path names today.
    const auto da = p.WieVerzeichnet ? std::nullopt : zugriff_.Stand(p.Quelle);
    if (!da || da->Typ != Eintragsstand::Art::Ordner) {
        fehler_ << "Die Quelle " << Anzeigetext(p.Quelle) << " ist nicht da.\n";
        return 1;
    }
    // The record's entries in the walk's order, one ahead: a record read as a stream is in it already; one read
    // whole (or gathered without a record) is put in it.
    std::vector<const Bestandseintrag*> geordnet;
    std::vector<Bestandseintrag> gesammelt; // of backups without a record, each valid until the next
    std::size_t stelle = 0;
    v.VonVorn();
    if (!v.Leser) {
        while (const Bestandseintrag* e = v.Naechster())
            if (v.Weg)
                gesammelt.push_back(*e);
            else
                geordnet.push_back(e);
        for (const Bestandseintrag& e : gesammelt)
            geordnet.push_back(&e);
        std::stable_sort(geordnet.begin(), geordnet.end(),
                         [](const Bestandseintrag* a, const Bestandseintrag* b) { return Wegordnung(*a, *b) < 0; });
    }
    std::optional<Bestandseintrag> vorne;
    auto schau = [&]() -> const Bestandseintrag* {
        if (!vorne) {
            if (halt())
                throw Anhalt{};
            const Bestandseintrag* e = v.Leser                    ? v.Naechster()
                                       : stelle < geordnet.size() ? geordnet[stelle++]
                                                                  : nullptr;
            if (e != nullptr)
                vorne = *e;
        }
        return vorne ? &*vorne : nullptr;
    };
    long unterschiede = 0;
    auto melde = [&](const char* was, const std::string& relativ) {
        fehler_ << was << Anzeigepfad(relativ) << "\n";
        ++unterschiede;
    };
    auto unter = [](const std::string& relativ, const std::string& name) {
        return relativ == "." ? name : relativ + "/" + name;
    };
    // A source folder's entries held compactly, as a folder of hundreds of thousands of files may hold: the
    // names of its files and links as the file-system object listed them (one buffer, shared with it), those of
    // its subfolders in a buffer of their own, each list in byte order of the names as stored on disk, and beside
    // each name whether the record named it already. Each entry's state is looked at only when it is compared or
    // named.
    struct Quellordner : Ordnerinhalt {
        std::vector<bool> DateiGetroffen;
        std::vector<bool> OrdnerGetroffen;
    };
    auto liste = [&](const Pfad& ordner) {
        Quellordner q{LiesOrdnerinhalt(*fso, ordner), {}, {}};
        q.DateiGetroffen.resize(q.Dateien->size());
        q.OrdnerGetroffen.resize(q.Unterordner.size());
        return q;
    };
    // Where the source folder holds the name that the record has not met yet: a subfolder (first: one name is
    // one entry, and the folder's counts), or a file at that place of its list.
    struct Stelle {
        bool Ordner;
        std::size_t Index;
    };
    auto finde = [](const Quellordner& q, std::string_view name) -> std::optional<Stelle> {
        if (const std::size_t i = q.Unterordner.Suche(name); i < q.Unterordner.size())
            return q.OrdnerGetroffen[i] ? std::nullopt : std::optional<Stelle>(Stelle{true, i});
        if (const std::size_t i = q.Dateien->Suche(name); i < q.Dateien->size())
            return q.DateiGetroffen[i] ? std::nullopt : std::optional<Stelle>(Stelle{false, i});
        return std::nullopt;
    };
    auto weg = [](const Quellordner& q, std::string_view name) { return posix::KindPfad(q.Weg, NamenAusPosix(name)); };
    std::function<void(const Pfad&, const std::string&)> allesNeu;
    // The entries of a source folder that the record did not name, both lists merged in byte order: new, with
    // all that lies in them; an entry gone meanwhile is not named.
    auto restNeu = [&](const Quellordner& q, const std::string& rel) {
        const posix::Namensliste& dateien = *q.Dateien;
        const posix::Namensliste& ordnerNamen = q.Unterordner;
        std::size_t d = 0;
        std::size_t u = 0;
        while (d < dateien.size() || u < ordnerNamen.size()) {
            const bool ordner = d == dateien.size() || (u < ordnerNamen.size() && ordnerNamen[u] <= dateien[d]);
            if (ordner && d < dateien.size() && ordnerNamen[u] == dateien[d])
                ++d; // one name, one entry: the folder
            const std::size_t i = ordner ? u++ : d++;
            if (ordner ? q.OrdnerGetroffen[i] : q.DateiGetroffen[i])
                continue;
            if (halt())
                throw Anhalt{};
            const std::string_view name = ordner ? ordnerNamen[i] : dateien[i];
            const Pfad w = weg(q, name);
            const std::string relativ = unter(rel, std::string(name));
            if (zugriff_.Stand(w))
                melde("Neu in der Quelle: ", relativ);
            if (ordner)
                allesNeu(w, relativ);
        }
    };
    // What a source folder holds that the record does not: new, with all that lies in it.
    allesNeu = [&](const Pfad& ordner, const std::string& rel) { restNeu(liste(ordner), rel); };
    // What the record holds inside a folder the source no longer has as a folder.
    auto nichtMehr = [&](const std::string& rel) {
        while (const Bestandseintrag* e = schau()) {
            if (e->Pfad.size() <= rel.size() || !e->Pfad.starts_with(rel) || e->Pfad[rel.size()] != '/')
                break;
            melde("Nicht mehr in der Quelle: ", e->Pfad);
            vorne.reset();
        }
    };
    // A folder of the record and of the source side by side: the record's entries in it come next, each
    // folder followed by its own content, and each is looked up among the source folder's names, which are
    // held for this folder only (and for the folders around it, on the way).
    std::function<void(const Pfad&, const std::string&)> gleiche = [&](const Pfad& ordner, const std::string& rel) {
        Quellordner da = liste(ordner);
        while (const Bestandseintrag* naechster = schau()) {
            if (Elternpfad(naechster->Pfad) != rel)
                break;
            const Bestandseintrag e = *naechster;
            vorne.reset();
            // A name the record names twice is there once: the second finds nothing.
            const std::optional<Stelle> stelle = finde(da, Letzter(e.Pfad));
            const bool quellordner = stelle && stelle->Ordner;
            const Pfad w =
                stelle ? weg(da, quellordner ? da.Unterordner[stelle->Index] : (*da.Dateien)[stelle->Index]) : Pfad();
            const std::optional<Eintragsstand> stand = stelle ? zugriff_.Stand(w) : std::nullopt;
            if (!stand) {
                melde("Nicht mehr in der Quelle: ", e.Pfad);
            } else {
                const Eintragsstand& s = *stand;
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
            }
            if (stelle)
                (quellordner ? da.OrdnerGetroffen : da.DateiGetroffen)[stelle->Index] = true;
            if (e.Art == Eintragsart::Ordner && quellordner)
                gleiche(w, e.Pfad);
            else if (e.Art == Eintragsart::Ordner)
                nichtMehr(e.Pfad);
            else if (quellordner)
                allesNeu(w, e.Pfad);
        }
        restNeu(da, rel);
    };
    if (const Bestandseintrag* e = schau(); e != nullptr && e->Pfad == ".")
        vorne.reset();
    gleiche(p.Quelle, ".");
    while (const Bestandseintrag* e = schau()) {
        melde("Nicht mehr in der Quelle: ", e->Pfad);
        vorne.reset();
    }
    return unterschiede;
}

} // namespace tresor
