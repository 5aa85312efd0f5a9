// Checking a point and listing the backups of a target (see Wiederherstellung.h). The backups are only read,
// one name at a time from the root, never through a link (Eintragszugriff), and a version only where its
// place is a real backup folder of the target.
#include "engine/wiederherstellung/Sicherungspunkt.h"

#include "engine/bestand/Anzeigetext.h"
#include "engine/wiederherstellung/Auswahl.h"
#include "fs/FsFehler.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>

namespace tresor {

Befund Wiederherstellung::Pruefen(const Pfad& ziel, const Quellangabe& quelle, const std::optional<std::string>& stand,
                                  bool mitQuelle) {
    auto punkt = WaehlePunkt(ziel, quelle, stand);
    if (!punkt)
        return Befund::Abgelehnt;
    auto fso = fabrik_();
    (void)fso->GetFolder(ziel); // held from here on: every backup is read from it
    auto vorlage = Bereite(*punkt, *fso);
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
    for (vorlage->VonVorn(); const Bestandseintrag* eintrag = vorlage->Naechster();) {
        const Bestandseintrag& e = *eintrag;
        if (e.Art != Eintragsart::Ordner) {
            if (fortschritt_)
                fortschritt_(gang);
            if (stopp_ != nullptr && stopp_->load()) {
                angehalten = true;
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
            const std::uint64_t gelesen = zugriff_.LiesDurch(woher, static_cast<std::uint64_t>(e.Groesse));
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

long Wiederherstellung::Vergleiche(const Punkt& p, struct Vorlage& v) {
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
    std::size_t stelle = 0;
    v.VonVorn();
    if (!v.Leser) {
        while (const Bestandseintrag* e = v.Naechster())
            geordnet.push_back(e);
        std::stable_sort(geordnet.begin(), geordnet.end(),
                         [](const Bestandseintrag* a, const Bestandseintrag* b) { return Wegordnung(*a, *b) < 0; });
    }
    std::optional<Bestandseintrag> vorne;
    auto schau = [&]() -> const Bestandseintrag* {
        if (!vorne) {
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
    // A source folder's entries: name, state (where it could be looked at), path, whether a folder.
    struct Da {
        std::optional<Eintragsstand> Stand;
        Pfad Weg;
        bool Ordner = false;
    };
    auto liste = [&](const Pfad& ordner) {
        std::map<std::string, Da> da;
        const Ordner o = fso->GetFolder(ordner);
        for (const Datei& d : fso->Files(o))
            if (auto s = zugriff_.Stand(d.Path))
                da[NamenAusPosix(d.Name)] = Da{std::move(s), d.Path, false};
        for (const Ordner& u : fso->SubFolders(o))
            da[NamenAusPosix(u.Name)] = Da{zugriff_.Stand(u.Path), u.Path, true};
        return da;
    };
    // What a source folder holds that the record does not: new, with all that lies in it.
    std::function<void(const Pfad&, const std::string&)> allesNeu = [&](const Pfad& ordner, const std::string& rel) {
        for (const auto& [name, d] : liste(ordner)) {
            if (d.Stand)
                melde("Neu in der Quelle: ", unter(rel, name));
            if (d.Ordner)
                allesNeu(d.Weg, unter(rel, name));
        }
    };
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
    // folder followed by its own content; the source folder's names are held for this folder only.
    std::function<void(const Pfad&, const std::string&)> gleiche = [&](const Pfad& ordner, const std::string& rel) {
        std::map<std::string, Da> da = liste(ordner);
        while (const Bestandseintrag* naechster = schau()) {
            if (Elternpfad(naechster->Pfad) != rel)
                break;
            const Bestandseintrag e = *naechster;
            vorne.reset();
            const auto it = da.find(Letzter(e.Pfad));
            const bool quellordner = it != da.end() && it->second.Ordner;
            if (it == da.end() || !it->second.Stand) {
                melde("Nicht mehr in der Quelle: ", e.Pfad);
            } else {
                const Eintragsstand& s = *it->second.Stand;
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
            if (e.Art == Eintragsart::Ordner && quellordner)
                gleiche(it->second.Weg, e.Pfad);
            else if (e.Art == Eintragsart::Ordner)
                nichtMehr(e.Pfad);
            else if (quellordner)
                allesNeu(it->second.Weg, e.Pfad);
            if (it != da.end())
                da.erase(it);
        }
        for (const auto& [name, d] : da) {
            if (d.Stand)
                melde("Neu in der Quelle: ", unter(rel, name));
            if (d.Ordner)
                allesNeu(d.Weg, unter(rel, name));
        }
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
