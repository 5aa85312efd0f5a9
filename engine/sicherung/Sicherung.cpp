#include "engine/sicherung/Sicherung.h"
#include "engine/sicherung/SicherungIntern.h"

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

} // namespace

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

void MeldePlattformfehler(Fensterschnittstelle& fenster, const FsFehler& fehler) {
    fenster.MsgBox(fehler.Bericht(), vbCritical, std::nullopt);
}

} // namespace tresor
