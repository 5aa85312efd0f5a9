#include "engine/sicherung/Sicherung.h"

#include "engine/ausduennung/Ausduennung.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "fs/Attribute.h"
#include "fs/Laufwerkstabelle.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

namespace tresor {

namespace {

// The line break inside a message box prompt: the single character 13.
constexpr char Zeilenumbruch = '\r';

// A batch of copies is made durable with one flush of the target before the sources' archive bits are
// cleared: at the latest after this many files or bytes, and at the end of the copy.
constexpr std::size_t StapelDateien = 2000;
constexpr std::uint64_t StapelBytes = 256ull << 20;

std::string OhneRandleerzeichen(const std::string& text) {
    const auto anfang = text.find_first_not_of(' ');
    if (anfang == std::string::npos)
        return {};
    const auto ende = text.find_last_not_of(' ');
    return text.substr(anfang, ende - anfang + 1);
}

std::string OhneFuehrendeLeerzeichen(const std::string& text) {
    const auto anfang = text.find_first_not_of(' ');
    return anfang == std::string::npos ? std::string() : text.substr(anfang);
}

bool IstLaufwerkswurzel(const Pfad& pfad) {
    return pfad.size() == 3;
}

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

// Thrown at a check point once the window asked the run to stop; it unwinds the walk (and a copy under way,
// whose temporary file the file system then removes) up to the run, which catches it. Only the run's own
// procedures throw and catch it; it is no FsFehler, so no handler of an entry's trouble takes it.
struct Laufabbruch {};

} // namespace

// A file whose copy is written but not yet known to be durable: its archive bit is cleared, and the copy
// checked, once the target was flushed.
struct Sicherung::OffeneKopie {
    Datei Quelle;     // the file object the copy was made from
    std::string Name; // the name the copy must be found under
    Pfad Ziel;        // where the copy lies
    Quellstand Stand; // the state of the source that the copy holds
};

Sicherung::Sicherung(Fensterschnittstelle& fenster, Uhr& uhr, Dateisystemfabrik fabrik)
    : fenster_(fenster), uhr_(uhr), fabrik_(std::move(fabrik)) {}

Sicherung::~Sicherung() = default;

Dateisystem& Sicherung::Fso() {
    if (!fso)
        throw FsFehler("CreateObject", {}, std::make_error_code(std::errc::no_such_device));
    return *fso;
}

void Sicherung::Sichern_Click() {
    ausgang = Ausgang::Offen;
    angelegt.clear();
    fenster_.SetMousePointer(vbHourglass);
    const Datum datum = uhr_.Date();
    const Zeit zeit = uhr_.Time();
    fenster_.SetZielOrdnerText(Sicherungsordnername(datum, zeit));
    tmp_fehler = "nein";
    tmp_sichern = "nein";

    const Pfad T = fenster_.ZielPfadPath();
    const Pfad Q = fenster_.QuellPfadPath();
    const std::string N = OhneRandleerzeichen(fenster_.ZielOrdnerText());
    // Blanks at the end of the target path belong to the name of its last folder ("Z5 " is not "Z5"): only
    // blanks before the drive letter are trimmed, which no path in program form can hold.
    const Pfad Tgetrimmt = OhneFuehrendeLeerzeichen(T);
    const Pfad zielordner = Tgetrimmt.size() == 3 ? Tgetrimmt + N : Tgetrimmt + "\\" + N;

    if (Ueberschneiden(Q, T)) {
        ausgang = Ausgang::Ueberschneidung;
        fenster_.SetMousePointer(vbDefault);
        tmp = fenster_.MsgBox(std::string("Sicherungsquelle und Sicherungsziel überschneiden sich ! ") + Zeilenumbruch +
                                  "Wählen Sie ein anderes Sicherungsziel." + Zeilenumbruch +
                                  "Die Funktion wird abgebrochen.",
                              vbCritical, std::nullopt);
        return;
    }

    if (fabrik_()->Dir(zielordner, attr::Verzeichnis) == N) {
        ausgang = Ausgang::Vorhanden;
        fenster_.SetMousePointer(vbDefault);
        fenster_.MsgBox(std::string("Der angegebene Ordner existiert bereits, ") + Zeilenumbruch +
                            "falls nochmals gesichert werden soll, muß nochmals die Sicherung gestartet werden !",
                        vbExclamation, std::string("Ordner gefunden"));
        return;
    }

    // A thinning of the target that was killed is finished first, so that the records this run reads name
    // where each copy lies now. What it leaves, the next thinning names; the run goes on either way.
    if (bestandslaufwerke) {
        try {
            Ausduennung(*bestandslaufwerke).Vollende(Tgetrimmt);
        } catch (const FsFehler&) {
        }
    }

    // What the target holds already: a file of which it holds no version is backed up as well.
    index_.reset();
    if (const auto& tabelle = bestandslaufwerke ? bestandslaufwerke : indexlaufwerke)
        index_ = std::make_unique<Zielindex>(*tabelle, Tgetrimmt, Q);

    fso = fabrik_();
    // The scan changes nothing and only asks whether anything is to be backed up: the looks at a folder's files
    // may be taken a moment ahead of the walk (Dateisystem::VorausSchauen), which answers as a walk that passed a
    // moment earlier. The copy walk below has a file-system object of its own, which looks ahead as well.
    Fso().VorausSchauen();
    try {
        // Each walk goes through the target's record alongside, from its first entry.
        if (index_)
            index_->Neu();
        AttrTest(Q);
    } catch (const Laufabbruch&) {
        Angehalten();
        return;
    }
    tmp = std::monostate{};
    fso.reset();

    // Nothing to back up only where the target holds everything: not where a backup folder that holds versions the
    // record names was passed over. The walk that copies looks at each copy, copies again what lay only there,
    // and the run names the folder.
    if (tmp_sichern == "nein" && index_ && index_->Uebergangen())
        tmp_sichern = "ja";
    if (tmp_sichern == "nein") {
        ausgang = Ausgang::NichtsGefunden;
        fenster_.SetMousePointer(vbDefault);
        tmp = fenster_.MsgBox("Keine Dateien zum Sichern gefunden ! ", vbInformation, std::nullopt);
        return;
    }

    fso = fabrik_();
    // The copy walk's looks at a folder's files are taken a moment ahead as well. What such a look decides is as
    // a fresh look would decide it a moment earlier, and nothing the walk relies on is older than that look:
    // - a file left (its archive bit clear and its state held by the target) is recorded in the state looked at,
    //   with a version of exactly that state; a change since moved its ctime, so the next run backs it up, as it
    //   would after a change made just behind a walk that looked itself;
    // - a file copied is read afresh by its copy, which tells the state it holds and is checked against that state
    //   (a change during the copy is found there), and its entry takes the look's owner and bits only where the
    //   look saw that very state (Bestandsliste::Kopiert), else it is looked at again;
    // - the walk writes on the source only the records of files it copied, each behind the walk: a look ahead of
    //   a name of such a file taken before its mark holds a ctime that the record does not name: that name is
    //   copied, unless the target holds that very state.
    // Each look is taken for its very entry, through the folder the walk lists it in (Vorausblick.h).
    Fso().VorausSchauen();
    // The lookup above does not see a hidden or system entry of that name; the backup never goes into a
    // folder that was there before, so such an entry stops the run as the creation of the folder would.
    if (!Fso().Dir(zielordner, attr::AlleOrdner).empty())
        throw FsFehler("MakeDir", zielordner, std::make_error_code(std::errc::file_exists));
    // Only the backup folder is made, never the target folder the user picked: a target that vanished since
    // (or the mount point of a medium that was unplugged) ends the run here, and nothing is written.
    Fso().MakeDir(zielordner);
    angelegt = zielordner;
    // Whatever path leads there, the walks never enter the folder this run writes.
    Fso().Ausschliessen(zielordner);

    // A drive root as source is mirrored straight into the backup folder, never below a trailing backslash.
    const Pfad spiegel = IstLaufwerkswurzel(Q) ? zielordner : zielordner + Q.substr(2);
    // The mirrors of the source's ancestors are private until they get their source folders' bits.
    ErstellePfad(spiegel, Anlage::Privat);

    bool spiegelGefunden = true;
    if (!IstLaufwerkswurzel(Q)) {
        const std::string F = Fso().Dir(spiegel, attr::Verzeichnis);
        const std::size_t L = Q.size();
        const std::size_t n = F.size();
        std::string rest;
        if (n != 0 && L != 3 && n <= L)
            rest = Q.substr(L - n, L - 3);
        spiegelGefunden = F == rest;
    }
    // The earlier backup folders whose blocks no longer read: passed over, so the run is not complete.
    std::map<std::string, std::string> unlesbar;
    if (spiegelGefunden && tmp_sichern == "ja") {
        if (bestandslaufwerke)
            bestand_ = std::make_unique<Bestandsliste>(*bestandslaufwerke, Q, Tgetrimmt, N, bestandsfenster);
        try {
            KopiereDateien(Q, spiegel);
        } catch (const FsFehler&) {
            // The run ends: the record written so far is dropped with its temporary file.
            bestand_.reset();
            throw;
        } catch (const Laufabbruch&) {
            // Stopped: the folders above the source are closed as below, and the record is written marked as
            // stopped: the entries reached with their versions, the others as the earlier record names them.
            // So the point never passes for complete, and the next run backs up what this one did not reach.
            OberordnerAbschliessen(Q, zielordner);
            if (bestand_) {
                const auto bestand = std::move(bestand_);
                bestand->Schreibe(fortschritt_.Dateien, fortschritt_.Bytes, true);
            }
            Angehalten();
            return;
        }
        tmp = std::monostate{};
        OberordnerAbschliessen(Q, zielordner);
        // The record goes in last, after the final flush: it never names a copy that is not durable.
        if (bestand_) {
            const auto bestand = std::move(bestand_);
            bestand->Schreibe(fortschritt_.Dateien, fortschritt_.Bytes);
            unlesbar = bestand->Unlesbar();
        }
    } else {
        tmp_fehler = "ja";
    }
    if (index_)
        for (const auto& [ordner, grund] : index_->Unlesbar())
            unlesbar.try_emplace(ordner, grund);
    if (!unlesbar.empty()) {
        tmp_fehler = "ja";
        std::string text = "Diese Sicherungsordner im Ziel wurden übergangen:";
        for (const auto& [ordner, grund] : unlesbar)
            text += Zeilenumbruch + Unterpfad(Tgetrimmt, ordner) + ": " + grund;
        fenster_.MsgBox(text, vbExclamation, std::string("Sicherungsordner nicht lesbar"));
    }

    fenster_.SetMousePointer(vbDefault);
    fso.reset();
    fenster_.ZielPfadRefresh();
    ausgang = tmp_fehler == "nein" ? Ausgang::Erfolg : Ausgang::Fehlschlag;
    if (tmp_fehler == "nein")
        tmp = fenster_.MsgBox("Alle Dateien sind in den Ordner: " + zielordner + " gesichert. ", vbInformation,
                              std::nullopt);
    else
        tmp = fenster_.MsgBox("Die Sicherung wurde nicht korrekt durchgeführt ! ", vbCritical, std::nullopt);
    fenster_.ZielPfadRefresh();
}

void Sicherung::ErstellePfad(const Pfad& tmp_ErstellePfad, Anlage anlage) {
    const Pfad& pfad = tmp_ErstellePfad;
    // Hidden and system folders count as present too: a mirrored hidden folder is looked up like any other.
    auto fehlt = [this](const Pfad& stufe) { return Fso().Dir(stufe, attr::AlleOrdner).empty(); };

    std::size_t trenner = pfad.find('\\', 3);
    if (trenner == std::string::npos) {
        if (fehlt(pfad))
            Fso().MakeDir(pfad, anlage);
        return;
    }
    tmp = pfad.substr(0, trenner);
    std::size_t suche = trenner + 1;
    while (pfad.size() != std::get<Pfad>(tmp).size()) {
        trenner = pfad.find('\\', suche);
        if (trenner == std::string::npos) {
            tmp = pfad;
            if (fehlt(pfad))
                Fso().MakeDir(pfad, anlage);
            break;
        }
        tmp = pfad.substr(0, trenner);
        if (fehlt(std::get<Pfad>(tmp)))
            Fso().MakeDir(std::get<Pfad>(tmp), anlage);
        suche = trenner + 1;
    }
}

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

void Sicherung::Pruefpunkt() {
    if (fenster_.AbbruchVerlangt())
        throw Laufabbruch{};
}

void Sicherung::Angehalten() {
    tmp = std::monostate{};
    fso.reset();
    fenster_.SetMousePointer(vbDefault);
    ausgang = Ausgang::Abgebrochen;
}

void Sicherung::PruefungFehlgeschlagen(const Pfad& datei, const std::string& grund) {
    tmp_fehler = "ja";
    // The record never names a copy that failed its check, and names the entry as not backed up.
    if (bestand_) {
        bestand_->Fehlgeschlagen(datei);
        bestand_->Ausgelassen(datei, grund);
    }
    fenster_.PruefungFehlgeschlagen(datei, grund);
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

void MeldePlattformfehler(Fensterschnittstelle& fenster, const FsFehler& fehler) {
    fenster.MsgBox(fehler.Bericht(), vbCritical, std::nullopt);
}

} // namespace tresor
