#pragma once

// The file-system object on Linux, whose operations are defined in PosixDateisystem.cpp (files, records read,
// folders made and closed), PosixOrdner.cpp (folders read and listed, Dir) and PosixMarkierung.cpp (records
// written, archive bits cleared, syncs, folder maps). Only those three include this.

#include "fs/Dateisystem.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/ablage/Ablagen.h"
#include "fs/ablage/Ordnerkarte.h"
#include "fs/ablage/Ordnertafeln.h"
#include "fs/ablage/Vorleser.h"
#include "fs/posix/Attributwert.h"
#include "fs/posix/Kopie.h"
#include "fs/posix/OffeneOrdner.h"
#include "fs/posix/Ordneranlage.h"
#include "fs/posix/PosixDateisystem.h"
#include "fs/posix/Rueckschreiber.h"
#include "fs/posix/Vorausblick.h"
#include "fs/system/Deskriptor.h"
#include "fs/system/Einhaengungen.h"
#include "fs/system/Namensliste.h"
#include "fs/system/Ordnereintraege.h"
#include "fs/system/Systempfad.h"

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tresor::posix {

class PosixDateisystem final : public Dateisystem {
public:
    PosixDateisystem(Laufwerkstabelle laufwerke, Kopierhaken haken, Vorlesehaken vorlesehaken,
                     Rueckschreibflush rueckschreibflush, Blickhaken blickhaken, Rueckschreibflush einzelflush)
        : laufwerke_(std::move(laufwerke)), rueckschreiber_(std::move(rueckschreibflush), std::move(einzelflush)),
          kopierer_(offeneOrdner_, ablagen_, std::move(haken), &rueckschreiber_),
          vorleser_({}, std::move(vorlesehaken)), vorausblick_(std::move(blickhaken)) {}
    // Writes the map rows of records written since the last Festschreiben.
    ~PosixDateisystem() override;
    PosixDateisystem(const PosixDateisystem&) = delete;
    PosixDateisystem& operator=(const PosixDateisystem&) = delete;

    Ordner GetFolder(const Pfad& pfad) override;
    std::vector<Ordner> SubFolders(const Ordner& ordner) override;
    Ordnerdateien Files(const Ordner& ordner) override;
    Datei GetFile(const Pfad& pfad) override;
    int Attributes(const Datei& datei) override;
    bool ArchivGesetzt(const Datei& datei) override;
    std::optional<Datei> DateiZuSichern(const Pfad& pfad, Eintragsstand* gesehen) override;
    Quellstand Copy(const Datei& datei, const Pfad& ziel, const Kopierfortschritt& fortschritt = {}) override;
    std::string Dir(const Pfad& pfad, int maske) override;
    std::vector<std::string> DirJeMaske(const Pfad& pfad, std::span<const int> masken) override;
    void MakeDir(const Pfad& pfad, Anlage anlage) override;
    void OrdnerVoraus(const Pfad& ordner, std::span<const std::string> namen) override;
    bool VorausAngelegt(const Pfad& pfad) override;
    void VorausVerwerfen(const Pfad& pfad) noexcept override { ordneranlage_.Verwirf(pfad); }
    Quellstand SetFileAttr(const Pfad& pfad, int wert, const Quellstand& stand) override;
    Archivloeschung ArchivbitLoeschen(const Datei& datei, const Quellstand& stand) override;
    void Sync(const Pfad& pfad) override;
    void OrdnerAbschliessen(const Pfad& quelle, const Pfad& ziel) override;
    void Ausschliessen(const Pfad& ordner) override;
    bool GrossKleinBlind(const Pfad& ordner) override;
    bool NurWindowsNamen(const Pfad& ordner) override;
    std::optional<bool> NurWindowsNamenBekannt(const Pfad& ordner) override;
    void Festschreiben() override;
    // The rows of the folders' maps wait until the next Festschreiben or the destructor.
    void FestschreibenZuletzt() override;
    void KopienVergessen() override { kopienVergessen_ = true; }
    void QuellordnerHalten() override { kopierer_.QuellordnerHalten(); }
    void VorausSchauen() override { vorausSchauen_ = true; }
    std::optional<Eintragsstand> Stand(const Pfad& pfad) override;
    void SetzeStand(const Pfad& pfad, const Eintragsstand& stand, bool besitzer) override;
    void Entferne(const Pfad& pfad) override;
    void Verknuepfe(const Pfad& vorhanden, const Pfad& neu) override;

private:
    using Kennung = std::pair<dev_t, ino_t>;

    // The POSIX path of a program path. A path not in program form fails with EINVAL, a drive that is not
    // in the table with ENODEV ("not ready").
    // A path whose way fails (a long path through a missing folder) fails with that error.
    Systempfad Posix(const char* operation, const Pfad& pfad) const;
    // Where the record of the entry is and what it is bound to (its path, or its folder's, within its file
    // system).
    Vermerkort VermerkortVon(const Pfad& pfad, const Eintragsort& ort, const struct stat& st);
    // What a collection reads of a folder: its entries, a descriptor of it for looking at them, its stat.
    struct Ordnerinhalt {
        std::shared_ptr<const Eintragsliste> Eintraege;
        Deskriptor Basis;
        struct stat St {};
        std::string Posix; // for comparisons only, never for a system call
        // Where the entries are those of the listing before (LiesOrdner): the names of its files, where SubFolders
        // took them already and began their looks (VorausSchauen), and the clock read before that listing.
        bool Wieder = false;
        std::shared_ptr<const Namensliste> Dateien;
        std::int64_t UhrNs = 0;
    };
    // Nothing for a folder that is never entered (a mount point met through SubFolders).
    // `uhrNs` is CLOCK_REALTIME_COARSE read before the call. With `blickeUebernehmen` (Files), where SubFolders began
    // the looks at the files of the listing before and the folder is still the one listed, that listing is taken
    // over without a descriptor (Basis stays empty): the looks have one.
    std::optional<Ordnerinhalt> LiesOrdner(const char* operation, const Ordner& ordner, std::int64_t uhrNs,
                                           bool blickeUebernehmen = false);
    // The entry that a path without trailing backslash names, for Dir: its name as stored and its hidden, system
    // and directory bits, as far as the masks need them (user.DOSATTRIB is read once, and only where one of the
    // masks can still depend on it). Nothing where there is no such entry.
    std::optional<std::pair<std::string, int>> BenannterEintrag(const Pfad& pfad, std::span<const int> masken);
    // The store of the DOS bits and records of the file system that holds the entry.
    Attributablage& Ablage(const struct stat& st, const Ort& ort) { return ablagen_.Fuer(st.st_dev, ort); }
    // Fails Sync of `pfad` where a flush of the write-back (rueckschreiber_) failed since the last Sync.
    void RueckschreibfehlerWerfen(const Pfad& pfad);

    Laufwerkstabelle laufwerke_;
    OffeneOrdner offeneOrdner_{laufwerke_};
    Ablagen ablagen_;
    // The write-back begun while the copies are made; Sync takes over a failure of it.
    Rueckschreiber rueckschreiber_;
    Kopierer kopierer_;
    Ordnertafeln tafeln_;
    std::optional<Einhaengungen> einhaengungen_; // read at the first record
    std::unordered_map<dev_t, bool> nurWindows_; // NurWindowsNamen of each FUSE block device probed
    std::set<Kennung> grenzen_;                  // mount points met through SubFolders: listed, never entered
    std::set<Kennung> ausgeschlossen_;           // never listed
    bool sicherungGehalten_ = false;             // the first folder made outside every root is held as one
    // The file each copy was taken from, until its archive bit is cleared, its user.DOSATTRIB as the copy read it
    // (Kopierer::QuellDos), and whether the copy found it without an archive record (Kopierer::QuelleOhneVermerk).
    struct Kopiert {
        Kennung Datei;
        std::optional<std::optional<std::uint32_t>> Dos;
        bool OhneVermerk = false;
    };
    std::unordered_map<Pfad, Kopiert> kopiert_;
    bool kopienVergessen_ = false; // KopienVergessen: none is remembered
    // The records written through this object since the last Festschreiben, each in the state its write left
    // the file (Attributwert.h).
    Vermerkte vermerkte_;
    // The files whose record was written since the last Festschreiben, in the state read back after it: rows
    // for their folders' maps (Ordnerkarte.h).
    struct Nachtrag {
        Pfad Datei;
        dev_t Geraet = 0;
        ino_t Inode = 0;
        std::int64_t CtimeNs = 0;
    };
    std::vector<Nachtrag> nachtraege_;
    // Gives each file of nachtraege_ that is still in the state read back its row in its folder's map, once the
    // step of its ctime is over (Zeitraster.h).
    void TrageKartenNach();

    // The files of the folder listed last (Files), whose records are read ahead on a second thread once the
    // archive bit of one of them is asked for (ArchivGesetzt); the walk asks for them in this order.
    struct Auflistung {
        Pfad Ordner;
        std::shared_ptr<const Namensliste> Namen; // on disk, in byte order
        std::size_t Naechster = 0;                // the entry expected next
        int OrdnerFd = -1;                        // the held folder the records are read through, once begun
        Kartenstand Karte;                        // the folder's map of its backed-up files (Ordnerkarte.h)
        bool Vorausgesehen = false;               // its files are looked at ahead (vorausblick_)
    };
    // The lstat of the file `pfad`, reached through `ort`: the look taken ahead on the other thread where it
    // was taken for this very entry, else OffeneOrdner::StatAn.
    struct stat Blick(const char* operation, const Pfad& pfad, Eintragsort& ort);
    // NurWindowsNamen from the mount table, or from the probe this object made of that FUSE block device; nothing
    // where only a probe would tell. `ort` and `st` get the folder.
    std::optional<bool> NurWindowsNamenOhneProbe(const Pfad& ordner, Eintragsort& ort, struct stat& st);
    // The archive bit of the file or link `pfad`, reached through `ort` (found through the held folder
    // `ordnerFd`), whose lstat data is `st`. `bisAufCtime` as for posix::Archivbit.
    bool Archivbit(const Pfad& pfad, const Eintragsort& ort, int ordnerFd, const struct stat& st,
                   bool* bisAufCtime = nullptr);
    // The Namenskennung of the folder's path within its file system (0 where it has none).
    std::uint64_t OrdnerNamenskennung(const Pfad& ordner);
    // The Namenskennung of a POSIX path within its file system (the mount table read at the first call).
    std::uint64_t KennungImDateisystem(const std::string& posix);
    // The index of the file `name` (on disk) of the folder `ordner` in the last listing, or nothing.
    std::optional<std::size_t> InAuflistung(std::string_view ordner, std::string_view name);
    Auflistung auflistung_;
    // The entries of the folder read last (LiesOrdner), for the next listing of the same folder only.
    struct ZuletztGelistet {
        dev_t Geraet = 0;
        ino_t Inode = 0;
        std::int64_t MtimeNs = 0;
        std::shared_ptr<const Eintragsliste> Eintraege;
        bool Gueltig = false;
        std::int64_t UhrNs = 0;                     // read before the entries were
        std::shared_ptr<const Namensliste> Dateien; // the names of its files, once SubFolders began their looks
    };
    ZuletztGelistet zuletztGelistet_;
    Vorleser vorleser_;
    // The looks at the files of the folder listed last, taken ahead for the scan (VorausSchauen).
    Vorausblick vorausblick_;
    bool vorausSchauen_ = false;
    // The mirrors announced by the copy walk, made ahead on a thread of its own (OrdnerVoraus); last, so that its
    // thread ends first.
    Ordneranlage ordneranlage_;
};

} // namespace tresor::posix
