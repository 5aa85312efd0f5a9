// The tree of a point in time as its record names it (see Rueckholauftrag.h and Wiederherstellung.h).
#include "engine/bestand/Anzeigetext.h"
#include "engine/wiederherstellung/Auswahl.h"
#include "engine/wiederherstellung/Sicherungspunkt.h"

#include <map>
#include <sstream>

namespace tresor {

std::string Baumeintrag::Name() const {
    return Pfad == "." ? std::string() : Letzter(Pfad);
}

const std::vector<std::size_t>& Punktbaum::In(const std::string& ordner) const {
    static const std::vector<std::size_t> keine;
    const auto it = Inhalt.find(ordner);
    return it == Inhalt.end() ? keine : it->second;
}

std::optional<Punktbaum> Wiederherstellung::Baum(const Pfad& ziel, const Quellangabe& quelle,
                                                 const std::optional<std::string>& stand) {
    auto punkt = WaehlePunkt(ziel, quelle, stand);
    if (!punkt)
        return std::nullopt;
    std::optional<struct Vorlage> vorlage = Bereite(*punkt);
    if (!vorlage)
        return std::nullopt;
    Punktbaum baum;
    baum.Ordner = punkt->Name();
    baum.MitBestand = vorlage->MitBestand;
    std::map<std::string, std::size_t> stelle;
    for (vorlage->VonVorn(); const Bestandseintrag* eintrag = vorlage->Naechster();) {
        const Bestandseintrag& e = *eintrag;
        Baumeintrag b;
        b.Pfad = e.Pfad;
        b.Art = e.Art;
        b.Groesse = e.Groesse;
        b.MtimeNs = e.MtimeNs;
        if (e.Art != Eintragsart::Ordner) {
            b.Ort = e.Ort;
            if (e.Ort == OrtFehlt) {
                b.Zustand = Baumeintrag::Lage::Fehlt;
                b.Grund = "keine Sicherung enthält diesen Stand";
            } else if (!punkt->Sicherungen.contains(e.Ort)) {
                b.Zustand = Baumeintrag::Lage::Fehlt;
                b.Grund = "nicht mehr in " + e.Ort;
            }
        }
        stelle[b.Pfad] = baum.Eintraege.size();
        baum.Eintraege.push_back(std::move(b));
    }
    if (vorlage->MitBestand) {
        for (const std::string& p : vorlage->Kopf.Einhaengepunkte)
            if (const auto it = stelle.find(p); it != stelle.end()) {
                baum.Eintraege[it->second].Zustand = Baumeintrag::Lage::Eingehaengt;
                baum.Eintraege[it->second].Grund = "anderes Dateisystem eingehängt, nicht durchsucht";
            }
        for (const Auslassung& a : vorlage->Kopf.Ausgelassen) {
            auto it = stelle.find(a.Pfad);
            if (it == stelle.end()) {
                // Not looked at by its run: shown in the nearest folder of the record that holds it.
                Baumeintrag b;
                b.Pfad = a.Pfad;
                b.Ort = OrtFehlt;
                it = stelle.emplace(a.Pfad, baum.Eintraege.size()).first;
                baum.Eintraege.push_back(std::move(b));
            }
            baum.Eintraege[it->second].Zustand = Baumeintrag::Lage::NichtGesichert;
            baum.Eintraege[it->second].Grund = a.Grund;
        }
        std::ostringstream text;
        NenneLuecken(vorlage->Kopf, text);
        std::istringstream luecken(text.str());
        for (std::string zeile; std::getline(luecken, zeile);)
            baum.Luecken.push_back(zeile);
    }
    for (std::size_t i = 0; i < baum.Eintraege.size(); ++i) {
        const std::string& p = baum.Eintraege[i].Pfad;
        if (p == ".")
            continue;
        std::string ordner = Elternpfad(p);
        while (ordner != "." && (!stelle.contains(ordner) || baum.Eintraege[stelle[ordner]].Art != Eintragsart::Ordner))
            ordner = Elternpfad(ordner);
        baum.Inhalt[ordner].push_back(i);
    }
    return baum;
}

} // namespace tresor
