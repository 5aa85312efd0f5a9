#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "engine/bestand/Quellzuordnung.h"
#include "engine/bestand/Sicherungsfolge.h"
#include "engine/sicherung/Sicherung.h"
#include "engine/wiederherstellung/Rueckholauftrag.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/posix/Eintragszugriff.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tresor {

// How a restore, a check or a listing ended.
enum class Befund {
    Vollstaendig, // everything restored, the point is complete, or the listing was made
    Probleme,     // versions missing, unreadable or different, a record torn or missing; each was named
    Abgelehnt,    // refused before anything was written: no such backup, a folder that is not empty or
                  // lies in the backups
};

// What may be said of a backup folder without a usable record in a target with backups of the other sources
// `andere` mirrored at the same place: "kann ebenso zur Quelle D:\Daten gehören, die im Ziel an derselben Stelle
// gespiegelt wird" (names escaped).
std::string AndereQuellen(const std::set<std::string>& andere);
// The warning a restore or a check of such backup folders gives, a line: "Warnung: Jede dieser Sicherungen kann
// ebenso ...; ihre Dateien können die jener Quelle sein."
std::string AndereQuellenWarnung(const std::set<std::string>& andere);

// "einem anderen Benutzer (Nummer 1001)": the owner of a backup folder that is another user's.
std::string FremderBenutzer(std::uint32_t uid);

// One backup in a target as the listing shows it: its time, the source it holds, what its run copied and
// whether its point in time is complete. The window and the command line show the same data.
struct Listenpunkt {
    enum class Zustand {
        Vollstaendig,   // every version there with its size, nothing left out
        Unvollstaendig, // `Fehlen` entries without their version, not backed up, or mounted and not entered
        Abgebrochen,    // the run was stopped
        OhneBestand,    // no record: what belongs to the point is not known
        Kaputt,         // the record is torn or forged; `Grund` says why
    };
    std::string Ordner;         // the backup folder's name
    std::optional<Pfad> Quelle; // the record's source, or the source asked for; nothing when unknown
    std::uint64_t Dateien = 0;  // files and bytes its run copied (with a record only)
    std::uint64_t Bytes = 0;
    Zustand Art = Zustand::OhneBestand;
    long Fehlen = 0;   // when Unvollstaendig
    std::string Grund; // when Kaputt
    // The bytes only this point holds: what removing it alone would free (Ausduennung::EigeneBytes); the
    // listing of one source fills it in where it is known.
    std::optional<std::uint64_t> NurHier;
    // Where no drive reaches the record's source today (its disk unplugged or dead, its letter perhaps another
    // drive's since): the record's POSIX line. Its restore, check and tree are asked for as its records name it
    // (Angabe), so that the folder its letter names today is never taken for it.
    std::optional<std::string> Verzeichnet;
    // Its letter names another drive today: `Quelle` alone names that drive's folder, so the row says where the
    // source was.
    bool Verdeckt = false;
    // Without a usable record, in the listing of one source: the other sources (their records' `quelle` lines)
    // whose backups in the target are mirrored at the same place, inside or around the source's mirror. The
    // folder that makes it look like a point of the source may be the mirror of one of them; the row says so.
    std::set<std::string> Andere;
    // The owner of the backup folder where it is another user's (Sicherungsbesitz): one who may write into the
    // target may have put it there; the row says so.
    std::optional<std::uint32_t> Besitzer;

    // The source to ask a restore, a check or a tree of this point for.
    [[nodiscard]] Quellangabe Angabe() const;
    // The source as a row shows it: "E:\Fotos", or "E:\Fotos (früher /data/Fotos)" where Verdeckt; control
    // characters escaped; "?" when unknown.
    [[nodiscard]] std::string Quelltext() const;

    // "yyyy-mm-dd--hh-mm-ss", the time part of the folder's name.
    [[nodiscard]] std::string Zeit() const;
    // "vollständig", "unvollständig (abgebrochen)", "unvollständig (3 fehlen)", "Bestandsliste beschädigt",
    // "ohne Bestandsliste"; the last two followed by what AndereQuellen says where Andere is not empty; each
    // followed by "; gehört einem anderen Benutzer (Nummer 1001)" where Besitzer is given.
    [[nodiscard]] std::string Zustandstext() const;
    // The listing's line (without its line break), names shown with control characters escaped.
    [[nodiscard]] std::string Zeile() const;
};

enum class Reihenfolge { AeltesteZuerst, NeuesteZuerst };

// Bringing backups back: restores a point in time of a source from the backups in a target folder, checks
// that a point is completely restorable, and lists the backups. The backups are only ever read, and taken as
// input that others may have written (Sicherungspunkt.h): versions only from real backup folders of the
// target, below the source asked for, never through a link, and only where they are the recorded version.
// A source is asked for by its path as today's drives name it, or as its records name it (Quellangabe): the
// backups of a disk that is gone, whatever drive its letter names today. Such a source is not there: it is never
// restored to its original place nor compared with a folder of today.
// Results go to `aus` (one line each), problems to `fehler`, every name with its control characters
// shown escaped (Anzeigetext). Errors of the file system that concern the whole task (the target cannot be
// listed, the restore folder cannot be created) travel up as FsFehler; an error of one entry is named and
// the task goes on.
class Wiederherstellung {
public:
    Wiederherstellung(const Laufwerkstabelle& laufwerke, Dateisystemfabrik fabrik, std::ostream& aus,
                      std::ostream& fehler);
    ~Wiederherstellung();

    // Rebuilds the source `quelle` as it was at the backup `stand` ("yyyy-mm-dd--hh-mm-ss"; the newest
    // backup of the source when empty) in the folder `nach`, which must be an empty folder of the user's own
    // or not exist yet (its parent must); it is held from the start and private until the end. Every folder,
    // file and link of the record, with permission bits, times, hidden and system bits, and owners when run
    // by root as Besitzregel.h allows (an entry given its copy's owner instead is named, and the restore
    // ends with Probleme). Each file is written under a temporary name and renamed; folders get their bits
    // and times after their content, the deepest first. Backups without a record give the newest copy of
    // each path up to that time, and say that deleted files may come back. What it wrote is made durable on its
    // medium before it ends (Sync): a write the medium failed is named, and the restore ends with Probleme.
    // A file whose copy was read whole but not with the content's checksum its record names is restored all
    // the same (its content is usually better than none), named "beschädigt", and given the time of the restore,
    // not the recorded one; the restore ends with Probleme. Such a copy never replaces a file that is there: it
    // goes beside it.
    Befund Wiederherstellen(const Pfad& ziel, const Quellangabe& quelle, const std::optional<std::string>& stand,
                            const Pfad& nach);
    // The same for chosen entries of a point, or the whole point, into a new or empty folder, or back to the
    // original place (Rueckholauftrag.h): there a folder that exists takes what is restored into it, an
    // entry of the same name that is not the point's version is a conflict, and nothing existing is replaced
    // without the answer Ersetzen. What it did beyond its output: Bericht().
    Befund Zurueckholen(const Rueckholauftrag& auftrag);
    // What the last restore did beyond its output; of a check (Pruefen) only whether it was stopped (Angehalten).
    [[nodiscard]] const Rueckholbericht& Bericht() const noexcept { return bericht_; }
    // The tree of the point (the newest when `stand` is empty) as its record names it, without reading a
    // copy; nothing (and said why) when there is no such point or its record is torn.
    std::optional<Punktbaum> Baum(const Pfad& ziel, const Quellangabe& quelle, const std::optional<std::string>& stand);
    // Checks without writing that every version the record of the point names is there, with its size,
    // and readable to its end, and, where the record has the checksum of its content, with that content: a copy
    // whose content changed since its backup is named (Beschädigt) like a missing one. With `mitQuelle` it then
    // compares that point with the live source.
    Befund Pruefen(const Pfad& ziel, const Quellangabe& quelle, const std::optional<std::string>& stand,
                   bool mitQuelle);
    // For a window: the check hears of its progress before each file it reads (and once at its end), and
    // stops before the next file once `stopp` is true (ending with Probleme, and saying so).
    void Begleite(std::function<void(const Rueckholstand&)> fortschritt, const std::atomic<bool>* stopp) {
        fortschritt_ = std::move(fortschritt);
        stopp_ = stopp;
    }
    // The backups in the target, oldest first: time, source, files and bytes copied by that run, and whether
    // its point in time is complete (every version there with its size). Only those of `quelle` when given,
    // then each followed by a line with the bytes only it holds.
    Befund Liste(const Pfad& ziel, const std::optional<Quellangabe>& quelle);
    // The data of that listing. Throws FsFehler when the target cannot be listed; nothing when it does not
    // exist or holds no backup (of `quelle`, when given).
    std::vector<Listenpunkt> Punkte(const Pfad& ziel, const std::optional<Quellangabe>& quelle,
                                    Reihenfolge reihenfolge = Reihenfolge::AeltesteZuerst);

private:
    struct Punkt;
    struct Vorlage;
    struct Sammelweg;
    std::optional<Punkt> WaehlePunkt(const Pfad& ziel, const Quellangabe& quelle,
                                     const std::optional<std::string>& stand);
    // What the point consists of: its record, or the walk over its backups without one, which holds the
    // target folder (GetFolder) in a file-system object of its own, through which every backup is read.
    std::optional<struct Vorlage> Bereite(Punkt& punkt);
    // Folders, files and links of the backups without a record up to the point, newest copy first: walked
    // for each pass (Sammelweg), and once through here, to count them and to fail before anything is written.
    void SammleOhneBestand(const Punkt& punkt, struct Vorlage& vorlage);
    // Compares the point with the live source and names each difference; throws Anhalt before the next entry
    // once `halt` says so.
    long Vergleiche(const Punkt& punkt, struct Vorlage& vorlage, const std::function<bool()>& halt);

    // The restore's steps (Wiederherstellung.cpp).
    struct Lauf;
    // Whether `nach` (its state `nachStand`) may be restored into: a folder, or a new one whose parent
    // exists, outside every backup of the target (`sicherungen`: device and inode); empty when `leer`.
    bool PruefeNach(const Pfad& nach, const std::optional<Eintragsstand>& nachStand,
                    const std::set<std::pair<std::uint64_t, std::uint64_t>>& sicherungen, bool leer);
    // Makes or takes the folder restored into and holds it in `fso`, private to the user; false (and said
    // why) when it is no empty folder of the user's own or a backup.
    bool HalteNach(Dateisystem& fso, const Pfad& nach, bool neu,
                   const std::set<std::pair<std::uint64_t, std::uint64_t>>& sicherungen);
    // A name of a hard-link group after the first: made another name of the first where both are one
    // version and the first is in place; false where it is to be restored on its own.
    bool Verknuepft(Dateisystem& fso, const Bestandseintrag& e, const Pfad& wohin, Lauf& lauf);
    // A file or link: copied where its copy in the backup is that version, and given its state.
    void StelleHer(Dateisystem& fso, const Punkt& punkt, const Bestandseintrag& e, const Pfad& wohin, bool mitBestand,
                   Lauf& lauf);
    // Whether the copy of the file `e` in the backup, read whole, has not the content's checksum its record names
    // (none: false); read before a copy would replace a file that is there.
    bool KopieBeschaedigt(const Punkt& punkt, const Bestandseintrag& e);
    // A folder once its content is written: the bits of its mirror in the backup, then its record's state.
    void SchliesseOrdner(Dateisystem& fso, const Punkt& punkt, const struct Vorlage& vorlage, const Bestandseintrag& e,
                         const Pfad& wohin, Lauf& lauf);
    // The owner, bits and time that the entry's record and its copy `kopie` allow (Besitzregel.h).
    void Setze(Dateisystem& fso, const Pfad& wohin, const Bestandseintrag& e, const std::optional<Eintragsstand>& kopie,
               Lauf& lauf);

    Laufwerkstabelle laufwerke_;
    Dateisystemfabrik fabrik_;
    std::ostream& aus_;
    std::ostream& fehler_;
    Eintragszugriff zugriff_;
    Rueckholbericht bericht_;
    Kopierfortschritt kopierbegleitung_;
    std::function<void(const Rueckholstand&)> fortschritt_; // of a check
    const std::atomic<bool>* stopp_ = nullptr;              // passed to each copy of a restore: its progress and stop
};

} // namespace tresor
