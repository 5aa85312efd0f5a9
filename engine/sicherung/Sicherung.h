#pragma once

#include "engine/bestand/Bestandsliste.h"
#include "engine/bestand/Zielindex.h"
#include "engine/sicherung/Fensterschnittstelle.h"
#include "engine/sicherung/Uhr.h"
#include "fs/Dateisystem.h"
#include "fs/FsFehler.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tresor {

// The scratch value tmp: empty, the answer of a message box, or the working prefix of ErstellePfad.
using Wert = std::variant<std::monostate, int, Pfad>;

// The collection fc: the files of the folder last scanned or copied.
struct Dateisammlung {
    Pfad Ordner;
    Ordnerdateien Elemente;
};

// How a backup run ended.
enum class Ausgang {
    Offen,           // not yet ended (or ended by a platform error)
    Ueberschneidung, // refused: the target lies in the source
    Vorhanden,       // refused: the backup folder exists already
    NichtsGefunden,  // nothing to back up
    Erfolg,          // every copy passed its check
    Fehlschlag,      // the mirror check or a copy check failed
    Abgebrochen,     // stopped on request (Fensterschnittstelle::AbbruchVerlangt), without a message
};

// Creates a fresh file-system object (the run makes one for the scan and one for the copy).
using Dateisystemfabrik = std::function<std::unique_ptr<Dateisystem>()>;

// Whether the target folder lies in the source folder or is it: compared by whole folder names, letter case
// exact ("C:\x\g" holds "C:\x\g\z" but not "C:\x\gz"); a trailing backslash names the same folder. A
// source inside the target does not overlap: the walk never enters the backup folder.
bool Ueberschneiden(const Pfad& quelle, const Pfad& ziel);

// "Sicherung-yyyy-mm-dd--hh-mm-ss".
std::string Sicherungsordnername(const Datum& datum, const Zeit& zeit);

// The engine half of the window Sicherung: the backup state and the procedures of the backup run.
// Every procedure runs on the caller's thread; failures of the file system travel up as FsFehler.
class Sicherung {
public:
    Sicherung(Fensterschnittstelle& fenster, Uhr& uhr, Dateisystemfabrik fabrik);
    ~Sicherung();
    Sicherung(const Sicherung&) = delete;
    Sicherung& operator=(const Sicherung&) = delete;

    // The backup state.
    Wert tmp;
    std::string tmp_sichern = "nein";
    std::string tmp_fehler = "nein";
    std::optional<Dateisammlung> fc;
    std::unique_ptr<Dateisystem> fso;

    // How the last run ended, for callers that report it other than through the message box.
    Ausgang ausgang = Ausgang::Offen;
    // The backup folder the last run made; empty when it made none (refused, nothing found, stopped before).
    Pfad angelegt;

    // When set, each run that creates a backup folder writes the record of the source into it once its
    // copies are durable (Bestandsliste.h); the table translates the record's paths. A dry run leaves it
    // unset.
    std::optional<Laufwerkstabelle> bestandslaufwerke;
    // When set (or bestandslaufwerke is), the run reads the target's newest record of the source as its
    // index (Zielindex.h) and also backs up each file whose present state the target holds no version of.
    // The dry run sets it, so that it names what the run would copy.
    std::optional<Laufwerkstabelle> indexlaufwerke;
    // The most entries of the record held back for the copies of an open batch (Bestandsliste.h); tests make
    // it small.
    std::size_t bestandsfenster = Bestandsliste::Fenstergroesse;

    // The backup run, the handler of the button Sichern. Throws FsFehler where a platform operation fails;
    // everything done until then stays on disk and the busy pointer stays set. Stopped on request, it
    // leaves the copies made so far durable and marked, drops the copy under way, resets the pointer and
    // returns with ausgang Abgebrochen, without a message.
    void Sichern_Click();

    // Change scan: sets tmp_sichern to "ja" at the first file of the tree whose attribute value is 32 or
    // more, depth first, a folder's own files before its subfolders. A file or folder below the top that
    // vanished meanwhile is passed over; one that cannot be looked at counts as found (the copy names it).
    void AttrTest(const Pfad& atmp_Quelle);
    void DateiAttrTest(const Pfad& atmp_Quelle);
    // The same for the folder as GetFolder gave it a moment before (AttrTest, right after its subfolders).
    void DateiAttrTest(const Ordner& ordner);

    // Makes sure every level of the path from the second one down exists, creating the missing ones from
    // the top. The first level below the drive root is taken as existing. Leaves the last prefix in tmp.
    void ErstellePfad(const Pfad& tmp_ErstellePfad, Anlage anlage = Anlage::Standard);

    // Mirrors the source tree into the destination: every folder gets its counterpart, every file with
    // an attribute value of 32 or more is copied, its archive bit cleared once the copy is durable, and
    // the copy checked; a failed check sets tmp_fehler to "ja" and the copy goes on. An error of one source
    // entry (Eintragsfehler) fails that entry's check; any other error travels up as FsFehler.
    void KopiereDateien(const Pfad& atmp_Quelle, const Pfad& atmp_ziel);
    void KopiereDateienRoot(const Pfad& atmp_Quelle, const Pfad& atmp_ziel);

    // The file-system object in use; throws when there is none.
    Dateisystem& Fso();

    // A file's copy failed its check: tmp_fehler becomes "ja" and the window learns which file and why.
    void PruefungFehlgeschlagen(const Pfad& datei, const std::string& grund);

    // The one place that tells errors of a source entry from errors of the run: the reason to name when the
    // failed operation concerns `eintrag` (a file or folder of the source) or an entry below it, nothing when
    // it concerns anything else (the target, the backup folder, a source drive that went away), which ends
    // the run. Reasons: "nicht mehr vorhanden" (vanished), "keine gewöhnliche Datei mehr" (swapped for a
    // FIFO, socket or device), "kein Platz für den Archivvermerk" (its record has no room), else the reason
    // of the error.
    static std::optional<std::string> Eintragsfehler(const FsFehler& fehler, const Pfad& eintrag);
    // True when the error says that the entry is not there (any more).
    static bool Verschwunden(const FsFehler& fehler);

private:
    struct OffeneKopie;
    // Runs `schritt` on the source entry `eintrag`: true when it went through; false when an error of that
    // entry made it fail its check (named with the reason). Any other error ends the run as before.
    template <typename Schritt> bool AlsEintrag(const Pfad& eintrag, Schritt&& schritt) {
        try {
            schritt();
            return true;
        } catch (const FsFehler& f) {
            const auto grund = Eintragsfehler(f, eintrag);
            if (!grund)
                throw;
            PruefungFehlgeschlagen(eintrag, *grund);
            return false;
        }
    }
    // What the target's file system does with names, asked once per walk (every mirror is made in its parent's
    // mirror, on that one's file system): whether it ignores letter case, and whether it stores only the names
    // Windows allows (Dateisystem::NurWindowsNamen).
    struct Zielnamen {
        bool GrossKleinBlind = false;
        bool NurWindows = false;
    };
    // What the walk knows of a folder it enters from its parent's loop, a moment before: the folder as
    // GetFolder took it, its name as Dir gave it ("" where Dir found none), and the target's names in its
    // mirror.
    struct Eintritt {
        const Ordner& Quelle;
        const std::string& Quellname;
        Zielnamen Namen;
    };
    void KopiereDateienBaum(const Pfad& atmp_Quelle, const Pfad& atmp_ziel, const Eintritt* eintritt = nullptr);
    Zielnamen ZielnamenIn(const Pfad& atmp_ziel);
    // KopiereDateienRoot, `namen` telling what the target does with names in the mirror; the folder as it took
    // it, where it did (nothing where the names did not match).
    std::optional<Ordner> KopiereDateienRoot(const Pfad& atmp_Quelle, const Pfad& atmp_ziel, const Eintritt* eintritt,
                                             Zielnamen namen);
    // The entry (a file, or a folder with all it holds) is passed over, named: the target cannot store its name.
    void NameUnspeicherbar(const Pfad& eintrag);
    // Every file of the tree that is to be backed up fails its check: its folder's mirror is taken by another
    // folder of this run (a target that ignores letter case).
    void MeldeNamensgleichheit(const Pfad& atmp_Quelle);
    // `letzter`: the batch is the run's last; the folders' maps may get their rows when the file-system object
    // goes (Dateisystem::FestschreibenZuletzt).
    void Abschliessen(bool letzter = false);
    // Abschliessen before the batch is full where the record holds too many entries back for it.
    void FensterPruefen();
    // The mirrors of the folders above `quelle` in the backup folder `zielordner` get their final bits.
    void OberordnerAbschliessen(const Pfad& quelle, const Pfad& zielordner);
    // Whether the file (looked at by the caller) is to be backed up: its archive bit set, or the target
    // holding no version of its present state. `gesehen` receives what the look saw of it.
    std::optional<Datei> ZuSichern(const Datei& datei, Eintragsstand& gesehen);
    void Pruefpunkt();
    void Angehalten();

    Fensterschnittstelle& fenster_;
    Uhr& uhr_;
    Dateisystemfabrik fabrik_;
    std::vector<OffeneKopie> offen_;
    std::uint64_t offeneBytes_ = 0;
    std::unique_ptr<Bestandsliste> bestand_; // the record of the run under way, when one is written
    std::unique_ptr<Zielindex> index_;       // what the target holds, when the run reads it
    tresor::Fortschritt fortschritt_;
};

// The platform's error report: a critical message box naming the operation, the path and the reason.
// The caller ends the program after it with a non-zero exit status.
void MeldePlattformfehler(Fensterschnittstelle& fenster, const FsFehler& fehler);

} // namespace tresor
