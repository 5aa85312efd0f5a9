// Checking a point and listing the backups of a target (see Wiederherstellung.h). The backups are only read,
// one name at a time from the root, never through a link (Eintragszugriff), and a version only where its
// place is a real backup folder of the target.
#include "engine/wiederherstellung/Sicherungspunkt.h"

#include "engine/bestand/Anzeigetext.h"
#include "fs/FsFehler.h"

#include <functional>
#include <map>
#include <set>

namespace tresor {

Befund Wiederherstellung::Pruefen(const Pfad& ziel, const Pfad& quelle, const std::optional<std::string>& stand,
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
    for (vorlage->VonVorn(); const Bestandseintrag* e = vorlage->Naechster();)
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
    for (v.VonVorn(); const Bestandseintrag* eintrag = v.Naechster();) {
        const Bestandseintrag& e = *eintrag;
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

} // namespace tresor
