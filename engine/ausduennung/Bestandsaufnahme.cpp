// The points of one source in a target (see Bestandsaufnahme.h).
#include "engine/ausduennung/Bestandsaufnahme.h"

#include "engine/ausduennung/Zusammenfuehrung.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "fs/FsFehler.h"

#include <algorithm>

namespace tresor::ausduennung {

const Punkt* Aufnahme::Finde(const std::string& name) const {
    const auto it = std::lower_bound(Punkte.begin(), Punkte.end(), name,
                                     [](const Punkt& p, const std::string& n) { return p.Name < n; });
    return it != Punkte.end() && it->Name == name ? &*it : nullptr;
}

Aufnahme NimmAuf(Eintragszugriff& zugriff, const Laufwerkstabelle& laufwerke, const Pfad& ziel, const Pfad& quelle) {
    Aufnahme a;
    bool fremdeSpiegel = false; // another source's records, mirrored where this one's is
    a.Ziel = ziel;
    a.Quelle = quelle;
    a.QuellePosix = laufwerke.ZuPosix(quelle).value_or("");
    // A backup folder of another user is none of this user's points, whatever its record says (written into a
    // target that user may write, as the newest point, it would make the rule remove this user's points); on a
    // medium that keeps no owners, every entry shows the user the target folder has.
    const Sicherungsbesitz besitz(zugriff, ziel);
    for (const std::string& name : Sicherungsordnernamen(zugriff, ziel)) {
        // The head says whose point it is; its entries are read where they are needed.
        const Bestandsfund fund = LiesBestandskopf(zugriff, ziel, name);
        const auto ordner = zugriff.Stand(Unterpfad(ziel, name));
        const bool eigener = ordner && besitz.Eigen(*ordner);
        Punkt p;
        p.Name = name;
        p.Bestandsdatei = fund.Dateiname;
        if (fund.Zustand == Bestandsfund::Art::Gelesen) {
            if (!GleicheQuelle(*fund.Liste, quelle, a.QuellePosix)) {
                fremdeSpiegel = fremdeSpiegel || SpiegelUeberdecken(fund.Liste->Quelle, quelle);
                continue;
            }
            if (!eigener)
                continue;
            p.Art = Bestandsart::Gelesen;
        } else if (fund.Unlesbar) {
            // Nothing in it can be looked at, its mirror neither: it may be this source's.
            if (!eigener)
                continue;
            p.Art = Bestandsart::Kaputt;
            p.Unlesbar = fund.Fehler;
        } else {
            const auto spiegel = eigener ? zugriff.Stand(Spiegelpfad(Unterpfad(ziel, name), quelle)) : std::nullopt;
            if (!spiegel || spiegel->Typ != Eintragsstand::Art::Ordner)
                continue;
            p.Art = fund.Zustand == Bestandsfund::Art::Kaputt ? Bestandsart::Kaputt : Bestandsart::Keiner;
            p.Abgang = p.Art == Bestandsart::Keiner && AbgangPasst(zugriff, ziel, name, quelle, a.QuellePosix);
        }
        a.Punkte.push_back(std::move(p));
    }
    if (fremdeSpiegel)
        for (Punkt& p : a.Punkte)
            p.Mehrdeutig = p.Art != Bestandsart::Gelesen && !p.Abgang;
    return a;
}

bool AbgangPasst(Eintragszugriff& zugriff, const Pfad& ziel, const std::string& name, const Pfad& quelle,
                 const std::string& quellePosix) {
    try {
        auto datei = zugriff.OeffneDatei(Unterpfad(Unterpfad(ziel, name), Abgangsname));
        if (!datei)
            return false;
        // Checked as a record found under its own name is: whole, of this folder, of this source.
        const auto kopf = Bestandsleser::LiesKopf(Dateiquelle(std::move(*datei)));
        const Bestand* b = std::get_if<Bestand>(&kopf);
        return b != nullptr && b->Ordner == name && IstProgrammpfad(b->Quelle) &&
               GleicheQuelle(*b, quelle, quellePosix);
    } catch (const FsFehler&) {
        return false;
    }
}

std::optional<Bestandsleser> LiesBestandVon(Eintragszugriff& zugriff, const Aufnahme& aufnahme, const Punkt& punkt) {
    Bestandsfund fund;
    auto leser = LiesBestandsleser(zugriff, aufnahme.Ziel, punkt.Name, &fund);
    if (!leser || fund.Dateiname != punkt.Bestandsdatei ||
        !GleicheQuelle(leser->Kopf(), aufnahme.Quelle, aufnahme.QuellePosix))
        return std::nullopt;
    return leser;
}

std::string Spiegel(const std::string& ordner, const Pfad& quelle) {
    return quelle.size() <= 3 ? ordner : ordner + "/" + NamenAusPosix(quelle.substr(3));
}

std::string Kopieort(const std::string& ordner, const Pfad& quelle, const std::string& pfad) {
    return Spiegel(ordner, quelle) + "/" + pfad;
}

std::vector<bool> UnbekannterBedarf(const Aufnahme& aufnahme, const std::vector<bool>& bleibt) {
    std::vector<bool> halten(aufnahme.Punkte.size(), false);
    bool spaeter = false;
    for (std::size_t i = aufnahme.Punkte.size(); i-- > 0;) {
        if (!bleibt[i] && spaeter)
            halten[i] = true;
        if ((bleibt[i] || halten[i]) && aufnahme.Punkte[i].Art != Bestandsart::Gelesen)
            spaeter = true;
    }
    return halten;
}

void Brauchen(Eintragszugriff& zugriff, Aufnahme& aufnahme, const std::vector<bool>& bleibt, bool& veraendert,
              std::set<std::string>& nennende, const std::function<void(const Verschiebung&)>& zug) {
    veraendert = false;
    std::set<std::string, std::less<>> gehen;
    for (std::size_t i = 0; i < aufnahme.Punkte.size(); ++i)
        if (!bleibt[i])
            gehen.insert(aufnahme.Punkte[i].Name);
    if (gehen.empty())
        return;
    // The records that stay, oldest first.
    std::vector<Punkt*> punkte;
    for (std::size_t i = 0; i < aufnahme.Punkte.size(); ++i)
        if (bleibt[i] && aufnahme.Punkte[i].Art == Bestandsart::Gelesen)
            punkte.push_back(&aufnahme.Punkte[i]);
    Verschiebung v;
    std::vector<const std::string*> genannt; // the points that go named at this path so far
    veraendert = Nebeneinander(zugriff, aufnahme, punkte, [&](const std::string& pfad, const Pfadeintraege& hier) {
        genannt.clear();
        for (const auto& bei : hier) {
            Punkt* const punkt = bei.first;
            const Bestandseintrag* const e = bei.second;
            if (!gehen.contains(e->Ort))
                continue;
            nennende.insert(punkt->Name);
            if (std::any_of(genannt.begin(), genannt.end(), [e](const std::string* g) { return *g == e->Ort; }))
                continue;
            genannt.push_back(&e->Ort);
            v.Von = e->Ort;
            v.Nach = punkt->Name;
            v.Pfad = pfad;
            zug(v);
        }
    });
}

} // namespace tresor::ausduennung
