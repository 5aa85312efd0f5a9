// The copy walk of a backup run: the mirrors of the source's folders, the copies of the files to back up, the
// batches made durable before their sources are marked, and the entries passed over by name.

#include "engine/sicherung/Sicherung.h"
#include "engine/sicherung/SicherungIntern.h"

#include "fs/Attribute.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tresor {

namespace {

// A batch of copies is made durable with one flush of the target before the sources' archive bits are
// cleared: at the latest after this many files or bytes, and at the end of the copy.
constexpr std::size_t StapelDateien = 2000;
constexpr std::uint64_t StapelBytes = 256ull << 20;

// The reason of a failed check for a file whose copy would replace the copy of another file of this run: on
// a target that ignores letter case, "F.txt" and "f.txt" (or the folders "A" and "a") are one name.
constexpr const char* Namensgleichheit = "gleichnamige Kopie (Groß-/Kleinschreibung) vorhanden";
// A name the target cannot store (Dateisystem::NurWindowsNamen): the entry is passed over before the target is
// asked anything about it, as a share through smbnetfs answers every call with an input/output error for a while
// after it refused one.
constexpr const char* Namenfremd = "das Ziel kann diesen Namen nicht speichern";

// The mask a copy is looked up with after its source was marked: it admits every file and link whatever its hidden
// and system bits, and no folder.
constexpr int Kopiemaske = attr::Versteckt | attr::System;

} // namespace

void Sicherung::KopiereDateien(const Pfad& atmp_Quelle, const Pfad& atmp_ziel) {
    fortschritt_ = {};
    // The record of the source takes each version the index's record names once its copy is still there: the
    // index looks at those copies as it reads ahead.
    if (index_)
        index_->Neu(bestand_ != nullptr);
    try {
        ErstellePfad(atmp_ziel, Anlage::Privat);
        KopiereDateienBaum(atmp_Quelle, atmp_ziel);
    } catch (const Laufabbruch&) {
        // A stopped run keeps what it copied: the open batch is made durable and marked, and the folders
        // on the way get their final bits, as at the end of a whole run.
        Abschliessen();
        if (!IstLaufwerkswurzel(atmp_Quelle))
            Fso().OrdnerAbschliessen(atmp_Quelle, atmp_ziel);
        throw;
    }
    // The run's last batch: the maps' rows are written after the record, once their ctimes' clock step is over.
    Abschliessen(true);
    // A drive root has no folder bits of its own to hand on; the backup folder keeps the user's defaults.
    if (!IstLaufwerkswurzel(atmp_Quelle))
        Fso().OrdnerAbschliessen(atmp_Quelle, atmp_ziel);
}

void Sicherung::KopiereDateienBaum(const Pfad& atmp_Quelle, const Pfad& atmp_ziel, const Eintritt* eintritt) {
    if (bestand_)
        bestand_->Ordner(atmp_Quelle);
    FensterPruefen();
    tmp = std::monostate{};
    // Where the target ignores letter case, a copy could replace the copy of another file of this run (the
    // backup folder is new, so whatever is there was made in this run). Asked once per walk: every mirror is
    // made in its parent's mirror, on that one's file system.
    const Zielnamen zielnamen = eintritt ? eintritt->Namen : ZielnamenIn(atmp_ziel);
    std::optional<Ordner> genommen = KopiereDateienRoot(atmp_Quelle, atmp_ziel, eintritt, zielnamen);
    tmp = std::monostate{};

    // The folder as KopiereDateienRoot took it: SubFolders reaches it from the held folders by its path once
    // more, and fails as GetFolder would where it is gone or no folder any more.
    const Ordner ordner = genommen ? std::move(*genommen) : Fso().GetFolder(atmp_Quelle);
    const std::vector<Ordner> unterordner = Fso().SubFolders(ordner);
    // Their mirrors, each under the name the listing gave, may be made ahead while the walk is in the ones before
    // (Dateisystem::OrdnerVoraus). Each is taken where the walk mirrors that folder under that name; whatever the walk
    // does not take (a folder gone since, or a stopped run) is dropped before the walk leaves this folder, so that the
    // backup holds no mirror this walk would not have made.
    // A folder whose name the target cannot store gets no mirror, ahead or not. On a target that ignores letter
    // case, a mirror made ahead could take the place of the mirror of a folder before it whose name differs in case
    // only, between the walk's look for that one's mirror and its making it (the walk takes back a folder the other
    // thread has not begun, and makes it itself). There a name that differs from one before it in letter case only is
    // not made ahead, and from the first name that is not plain ASCII on the walk makes every mirror itself (such a
    // file system may fold other letters onto ASCII ones, too).
    std::vector<std::string> vorausNamen;
    vorausNamen.reserve(unterordner.size());
    std::set<std::string> gefaltet;
    for (const Ordner& u : unterordner) {
        if (zielnamen.NurWindows && !WindowsName(u.Name))
            continue;
        if (zielnamen.GrossKleinBlind) {
            std::string schluessel = u.Name;
            bool ascii = true;
            for (char& c : schluessel) {
                ascii = ascii && static_cast<unsigned char>(c) < 0x80;
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c - 'A' + 'a');
            }
            if (!ascii)
                break;
            if (!gefaltet.insert(std::move(schluessel)).second)
                continue;
        }
        vorausNamen.push_back(u.Name);
    }
    Fso().OrdnerVoraus(atmp_ziel, vorausNamen);
    struct Verwerfen {
        Dateisystem& fs;
        const Pfad& ziel;
        const std::vector<std::string>& namen;
        ~Verwerfen() {
            for (const std::string& name : namen)
                fs.VorausVerwerfen(ziel + "\\" + name);
        }
    } verwerfen{Fso(), atmp_ziel, vorausNamen};
    for (const Ordner& u : unterordner) {
        if (zielnamen.NurWindows && !WindowsName(u.Name)) {
            // Its whole tree is passed over, named once; nothing of it is looked at in the target.
            NameUnspeicherbar(u.Path);
            continue;
        }
        bool angehalten = false; // the run was stopped inside this folder
        if (u.Einhaengepunkt) {
            // Another file system: mirrored as an empty folder and not entered, and never left out silently.
            if (bestand_)
                bestand_->Einhaengepunkt(u.Path);
            fenster_.Einhaengepunkt(u.Path);
        }
        try {
            const Ordner wieder = Fso().GetFolder(u.Path);
            // The name as stored, hidden and system folders included, so that every folder is mirrored under
            // its own name and no two folders share a destination.
            const std::string gefunden = Fso().Dir(wieder.Path, attr::AlleOrdner);
            const std::string& name = gefunden.empty() ? wieder.Name : gefunden;
            const Pfad ziel = atmp_ziel + "\\" + name;
            // A mirror made ahead under another name than this one is not this folder's.
            const Pfad angesagt = atmp_ziel + "\\" + u.Name;
            if (angesagt != ziel)
                Fso().VorausVerwerfen(angesagt);
            // A mirror made ahead was made where its name was free (neither a folder nor anything else was there):
            // as the check and MakeDir below would have found and made it.
            if (!Fso().VorausAngelegt(ziel)) {
                // The backup folder is new, so a mirror that exists already was made in this run for another
                // folder: on a target that ignores letter case "A" and "a" are one folder. This folder's files
                // are not mixed into it; each that is to be backed up fails its check and keeps its archive bit.
                if (!Fso().Dir(ziel, attr::AlleOrdner).empty()) {
                    MeldeNamensgleichheit(wieder.Path);
                    continue;
                }
                // Its mirror goes into the mirror of this folder, made before it; the name is free, as just seen.
                Fso().MakeDir(ziel, Anlage::Privat);
            }
            // The folder, its name and the letter case of its mirror's file system are known from just now: the
            // folder's own walk takes them instead of looking them up again.
            const Eintritt hinein{wieder, gefunden, zielnamen};
            try {
                KopiereDateienBaum(wieder.Path, ziel, &hinein);
            } catch (const Laufabbruch&) {
                angehalten = true;
            }
            // A stopped run still closes the folders it entered, as at the end of a whole run.
            tmp = std::monostate{};
            Fso().OrdnerAbschliessen(wieder.Path, ziel);
        } catch (const FsFehler& f) {
            // A source folder that vanished or cannot be read fails as an entry; the rest of the tree goes on
            // (unless the run was stopped).
            const auto grund = Eintragsfehler(f, u.Path);
            if (!grund)
                throw;
            PruefungFehlgeschlagen(f.Path(), *grund);
        }
        if (angehalten)
            throw Laufabbruch{};
    }
}

void Sicherung::KopiereDateienRoot(const Pfad& atmp_Quelle, const Pfad& atmp_ziel) {
    KopiereDateienRoot(atmp_Quelle, atmp_ziel, nullptr, ZielnamenIn(atmp_ziel));
}

Sicherung::Zielnamen Sicherung::ZielnamenIn(const Pfad& atmp_ziel) {
    return Zielnamen{Fso().GrossKleinBlind(atmp_ziel), Fso().NurWindowsNamen(atmp_ziel)};
}

std::optional<Ordner> Sicherung::KopiereDateienRoot(const Pfad& atmp_Quelle, const Pfad& atmp_ziel,
                                                    const Eintritt* eintritt, Zielnamen namen) {
    // A drive root has no name of its own; its mirror is the backup folder itself.
    if (!IstLaufwerkswurzel(atmp_Quelle)) {
        // The mirror's name as its file system keeps it; the source folder's as the parent's loop just saw it.
        const std::string zielname = Fso().Dir(atmp_ziel, attr::AlleOrdner);
        const std::string quellname = eintritt ? eintritt->Quellname : Fso().Dir(atmp_Quelle, attr::AlleOrdner);
        if (zielname != quellname)
            return std::nullopt;
    }

    Ordner ordner = eintritt ? eintritt->Quelle : Fso().GetFolder(atmp_Quelle);
    fc = Dateisammlung{ordner.Path, Fso().Files(ordner)};
    fortschritt_.Ordner = ordner.Path;
    // `namen`: whether the target ignores letter case in the mirror (elsewhere no lookup is made per file), and
    // whether it stores only the names Windows allows.
    for (std::size_t i = 0; i < fc->Elemente.size(); ++i) {
        Pruefpunkt();
        FensterPruefen();
        const Datei datei = fc->Elemente[i];
        const std::string name = datei.Name;
        const Pfad ziel = atmp_ziel + "\\" + name;
        Quellstand stand;
        std::optional<Datei> objekt;
        Eintragsstand gesehen; // what the look at the file saw
        try {
            // The file object and whether its value reaches 32, in one look at the file.
            objekt = ZuSichern(datei, gesehen);
            if (!objekt) {
                if (bestand_)
                    bestand_->Gelassen(datei.Path, gesehen, index_.get());
                continue;
            }
            if (namen.NurWindows && !WindowsName(name)) {
                NameUnspeicherbar(datei.Path);
                continue;
            }
            if (namen.GrossKleinBlind && !Fso().Dir(ziel, attr::AlleOrdner).empty()) {
                PruefungFehlgeschlagen(datei.Path, Namensgleichheit);
                continue;
            }
            // A large file reports its progress while it is copied, and a stop request ends its copy. The
            // run's own count only grows by copies that are in place.
            stand = Fso().Copy(*objekt, ziel, [this, &name](std::uint64_t kopiert, std::uint64_t groesse) {
                tresor::Fortschritt jetzt = fortschritt_;
                jetzt.Bytes += kopiert;
                jetzt.Datei = name;
                jetzt.DateiBytes = kopiert;
                jetzt.DateiGroesse = groesse;
                fenster_.Fortschritt(jetzt);
                Pruefpunkt();
            });
        } catch (const FsFehler& f) {
            // The entry vanished, was swapped for something else or cannot be read: its check fails, the
            // copy goes on. An error of the target ends the run.
            const auto grund = Eintragsfehler(f, datei.Path);
            if (!grund)
                throw;
            PruefungFehlgeschlagen(datei.Path, *grund);
            continue;
        }
        if (stand.Veraendert) {
            // No copy was put in place; the file keeps its archive bit and the next run tries again.
            char dauer[64];
            std::snprintf(dauer, sizeof dauer, " (%d Versuche in %.1f s)", stand.Versuche,
                          static_cast<double>(stand.VersuchtNs) / 1e9);
            std::string text = dauer;
            std::replace(text.begin(), text.end(), '.', ',');
            PruefungFehlgeschlagen(datei.Path, "hat sich beim Kopieren geändert" + text);
            continue;
        }
        offen_.push_back({*objekt, name, ziel, stand});
        if (bestand_)
            bestand_->Kopiert(objekt->Path, stand, gesehen);
        const auto bytes = static_cast<std::uint64_t>(stand.Groesse > 0 ? stand.Groesse : 0);
        offeneBytes_ += bytes;
        fortschritt_.Dateien += 1;
        fortschritt_.Bytes += bytes;
        fenster_.Fortschritt(fortschritt_);
        if (offen_.size() >= StapelDateien || offeneBytes_ >= StapelBytes)
            Abschliessen();
    }
    return ordner;
}

void Sicherung::Abschliessen(bool letzter) {
    if (offen_.empty())
        return;
    // One flush makes every copy of the batch durable before any source is marked as backed up.
    Fso().Sync(offen_.front().Ziel);
    std::vector<OffeneKopie> stapel;
    stapel.swap(offen_);
    offeneBytes_ = 0;
    for (const OffeneKopie& k : stapel) {
        // A clone of a file that kept changing is one version it had, but not a state it can be marked with:
        // it keeps its archive bit, and the next run copies it again.
        if (k.Stand.Schnappschuss) {
            if (Fso().Dir(k.Ziel, attr::AlleOrdner) != k.Name)
                PruefungFehlgeschlagen(k.Quelle.Path, "die Kopie ist nicht zu finden");
            continue;
        }
        // The source may have vanished or changed its kind since its copy, or its record cannot be written.
        // Only the archive bit is ever taken away; a file never gets a bit it did not have. The target's record
        // holds the state the file has once marked, with the ctime its record's write gave it.
        Archivloeschung loeschung;
        if (!AlsEintrag(k.Quelle.Path, [&] {
                loeschung = Fso().ArchivbitLoeschen(k.Quelle, k.Stand);
                if (loeschung.Gesetzt && bestand_)
                    bestand_->Vermerkt(k.Quelle.Path, loeschung.Danach);
            }))
            continue;
        // The copy under its own name, whatever its hidden and system bits (never a folder of that name).
        if (Fso().Dir(k.Ziel, Kopiemaske) != k.Name) {
            PruefungFehlgeschlagen(k.Quelle.Path, "die Kopie ist nicht zu finden");
            continue;
        }
        // Whether the bit reads clear now: as the state read back after the record's write tells it, where the
        // file-system object knows it, else looked at once more.
        bool gesetzt = false;
        if (loeschung.Geloescht)
            gesetzt = !*loeschung.Geloescht;
        else if (!AlsEintrag(k.Quelle.Path, [&] { gesetzt = Fso().Attributes(k.Quelle) >= 32; }))
            continue;
        if (gesetzt)
            PruefungFehlgeschlagen(k.Quelle.Path, "das Archivbit ist noch gesetzt");
    }
    // Records kept apart from the files (a stick without room for them) are written once per batch.
    if (letzter)
        Fso().FestschreibenZuletzt();
    else
        Fso().Festschreiben();
    // The batch's entries are final: the record is written up to here.
    if (bestand_)
        bestand_->Abgeschlossen();
}

void Sicherung::FensterPruefen() {
    // A run with few copies among many files it leaves finishes its batch early, so that the record's entries
    // held back for the batch's copies stay few.
    if (bestand_ && bestand_->FensterVoll())
        Abschliessen();
}

void Sicherung::MeldeNamensgleichheit(const Pfad& atmp_Quelle) {
    const Ordner ordner = Fso().GetFolder(atmp_Quelle);
    for (const Datei& datei : Fso().Files(ordner))
        if (Fso().ArchivGesetzt(datei))
            PruefungFehlgeschlagen(datei.Path, Namensgleichheit);
    for (const Ordner& u : Fso().SubFolders(ordner))
        MeldeNamensgleichheit(u.Path);
}

void Sicherung::OberordnerAbschliessen(const Pfad& quelle, const Pfad& zielordner) {
    // The mirrors of the folders above the source (home and anna above home\anna\Dokumente) get their source
    // folders' bits and owners, the deepest first, so that nothing in the backup is open to someone who could
    // not reach it in the source.
    for (Pfad oben = quelle.substr(0, quelle.rfind('\\')); oben.size() > 3; oben = oben.substr(0, oben.rfind('\\')))
        Fso().OrdnerAbschliessen(oben, zielordner + oben.substr(2));
}

void Sicherung::NameUnspeicherbar(const Pfad& eintrag) {
    tmp_fehler = "ja";
    // Named as not backed up, as PruefungFehlgeschlagen does, but never looked for in the target's earlier backup
    // folders.
    if (bestand_) {
        bestand_->Unspeicherbar(eintrag);
        bestand_->Ausgelassen(eintrag, Namenfremd);
    }
    fenster_.PruefungFehlgeschlagen(eintrag, Namenfremd);
}

} // namespace tresor
