// The backups without a record up to a point, gathered side by side into one tree (see Sicherungspunkt.h).
#include "engine/wiederherstellung/Sicherungspunkt.h"

#include "fs/FsFehler.h"
#include "fs/Pfadteile.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tresor {

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

void Wiederherstellung::Vorlage::WegVonVorn() {
    Weg->VonVorn();
}

const Bestandseintrag* Wiederherstellung::Vorlage::WegNaechster() {
    return Weg->Naechster();
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
