#pragma once

#include "fs/Pfad.h"
#include "fs/system/Inhaltssumme.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tresor {

// The record of the source ("Bestandsliste"): the text file that each backup run writes into the top of the
// backup folder it creates. It lists every folder, file and symbolic link of the source tree as that run
// saw it and, for files and links, the backup folder that holds the version the entry had then. A restore
// of that point in time needs nothing else. It is also the target's index of what it holds: the next run
// into the same target backs up every file whose present state no backup folder of it holds.
//
// Form (version 4): UTF-8 text, one item per line, each line ended by "\n", fields separated by one blank.
// What is known when the run begins comes first, what is known only at its end last, so that a run writes
// the record from its first line to its last as its walk goes.
//   tresor-ix-bestand 4                        the format and its version
//   ordner Sicherung-2026-12-08--10-15-02      the backup folder the record belongs in
//   quelle D:\home\anna\Daten                  the source in the program's form
//   posix /home/anna/Daten                     the source as a POSIX path when the run was made
//   zeit 2026-12-08--10-15-02                  when the run was made (the clock's reading of the run)
//   O - 0 1765188000000000000 755 1000 1000 0 0 - - .
//   O - 0 1765188000000000000 755 1000 1000 0 0 - - Briefe
//   D Sicherung-2026-12-08--10-15-02 5 1765188000000000000 644 1000 1000 1835012 1765188001234567890 -
//     9b0c3a6e51d2f8a47c10e2b93d5f6a18 Briefe/a.txt                 (one line)
//   D Sicherung-2026-12-08--10-15-02 5 1765188000000000000 644 1000 1000 1835013 1765188001234567891 1
//     3e7d1f09a2c45b68e0f1a2b3c4d5e6f7 Briefe/b.txt                 (one line)
//   D Sicherung-2026-12-08--10-15-02 5 1765188000000000000 644 1000 1000 1835013 1765188001234567891 1
//     3e7d1f09a2c45b68e0f1a2b3c4d5e6f7 b2.txt                       (one line)
//   D fehlt 9 1765188000000000000 600 1000 1000 1835020 1765187000000000000 - - geheim.txt
//   V Sicherung-2026-12-01--09-00-00 5 1765188000000000000 777 1000 1000 1835014 1765188000000000000 - - zeiger a.txt
//   O - 0 1765188000000000000 755 1000 1000 0 0 - - stick
//   O - 0 1765188000000000000 700 0 0 0 0 - - privat
//   E stick
//   X geheim.txt Zugriff%20verweigert
//   X privat Zugriff%20verweigert
//   kopiert 2 10                               files and bytes that this run copied
//   lauf ganz                                  "ganz": the run walked the whole tree; "abgebrochen": it was
//                                              stopped, and the entries it did not reach are those of the
//                                              newest earlier record (their versions as that one names them)
//   summe 10 2 1 fehlt 1 Sicherung-2026-12-01--09-00-00 1 Sicherung-2026-12-08--10-15-02 3
//                                              the counts: entries, "X" lines, "E" lines, then for each place
//                                              that holds versions (a backup folder, or "fehlt"), in byte
//                                              order of the places, how many files and links name it
//   ende 16 8c1f0e5d2b7a9c31                   number of lines after the head and the checksum
// An entry: its kind (O folder, D file, V symbolic link), where its version lives (the
// name of a backup folder of the same target, "fehlt" when no backup holds it, "-" for a folder, which every
// backup mirrors), its size in bytes, its modification time in nanoseconds since the epoch, its permission
// bits in octal (with set-user-ID, set-group-ID and sticky), owner and group as numbers, for files and links
// the inode number and the status-change time (ctime) in nanoseconds of the state the version holds (for a
// file this run marked as backed up: read back after its archive record was written, so that any later
// change, whatever it does to size and times, shows as another state; 0 0 where unknown), its hard-link
// group ("-", or a number shared by the names of one file that the source holds under several names; a name
// whose others the record does not hold may have a number no other entry shares, read as a file of its own), for a
// file the checksum of its version's content as the run that made the copy read it (Inhaltssumme: 32 hex digits,
// "-" where unknown: for a folder, a link, a file without version, and a version a record of an earlier form
// names), its path relative to the source ("." for the source folder itself, names joined by "/"), and for a link its
// target text. Entries come in the order of the backup's walk (Wegordnung): every folder before anything
// inside it, a folder's files and links before its subfolders, each in byte order of the names.
// After the entries, in any order: one "E" line per folder of the record on which another file system is
// mounted (mirrored as an empty folder and never entered, so what that file system holds is in no backup),
// and one "X" line per entry the run could not back up, with its path and the reason (German, escaped like
// a name; its folder need not be an entry: a folder whose mirror clashed with another is not). An unreadable folder is
// one "X" line: its content is unknown. The entry itself is listed too where the run could look at it, a file with its
// earlier version or "fehlt". A point is complete when its run went through ("lauf ganz"), no file or link is "fehlt",
// and no "X" and no "E" line is there; the listing, the check and the restore name what keeps it from being complete.
// The "summe" line lets a listing tell all that from the record's first and last lines alone; a reader of the
// whole record checks it against the entries.
// The checksum is FNV-1a (64 bits, 16 hex digits) over every byte of the file before the "ende" line; a
// record without its last line, with another count or checksum, is torn and never used. A run writes the
// record under a temporary name and gives it its name only once it is whole and on the medium.
//
// Version 3 is version 4 without the checksums: its entries are read as ones whose content's checksum is unknown.
// Version 2, which earlier runs wrote, has the "kopiert" and "lauf" lines after "zeit" in the head, and no
// "summe" line: the counts are found by reading the entries. Version 1 has no "lauf", "E" or "X" lines
// either, and entries without inode, ctime and group: it is read as it was written, as a run that went
// through, its states without ctime, so that no file counts as held in its exact present state and the next
// run backs each up once.
//
// Names, paths and link targets are written so that any bytes come back exactly: a byte is written as "%"
// and two upper-case hex digits unless it is printable ASCII other than "%" and blank (0x21 to 0x7e), or
// part of a valid UTF-8 sequence of a character from U+00A0 on. So a newline, a blank, a control
// character, a byte that is not UTF-8 and "%" itself are escaped, a backslash and "ä" are not, and the
// file can be read with any text tool.
inline constexpr int Bestandsversion = 4;

// The starting value of FNV-1a, 64 bits.
inline constexpr std::uint64_t Fnv1aAnfang = 14695981039346656037ull;

// The file name of the record in the backup folder: "tresor-ix-bestand.txt", or, when the backup folder
// holds an entry of that name already (a source that is a drive root has its own files there),
// "tresor-ix-bestand-2.txt" and so on: the run takes the first free one.
std::string Bestandsdateiname(int nummer);
// Whether a name is one of the above.
bool IstBestandsdateiname(std::string_view name);

// "Sicherung-yyyy-mm-dd--hh-mm-ss" with digits where they belong: the names the backup run gives.
bool IstSicherungsordnername(std::string_view name);

// The place of a version: a backup folder's name, or Fehlt.
inline const std::string OrtFehlt = "fehlt";

enum class Eintragsart : char { Ordner = 'O', Datei = 'D', Verweis = 'V' };

struct Bestandseintrag {
    Eintragsart Art = Eintragsart::Datei;
    std::string Ort; // backup folder name, OrtFehlt, or "-" for a folder
    std::int64_t Groesse = 0;
    std::int64_t MtimeNs = 0;
    std::uint32_t Modus = 0;
    std::uint32_t Uid = 0;
    std::uint32_t Gid = 0;
    std::string Pfad; // relative POSIX path, bytes as on disk; "." for the source folder
    std::string Verweisziel;
    std::uint64_t Inode = 0;   // of the state the version holds; 0 where unknown (version 1, folders)
    std::int64_t CtimeNs = 0;  // the same
    std::uint64_t Verbund = 0; // hard-link group, 0 for none
    // The checksum of the version's content, as the copy read it; none where unknown (an earlier form, a file
    // without version, a folder or link).
    std::optional<Inhaltssumme> Inhalt{};
};

// An entry the run could not back up, and why (German).
struct Auslassung {
    std::string Pfad; // relative POSIX path as in the entries
    std::string Grund;
};

// The counts of a record (its "summe" line, or counted while reading one of an earlier form).
struct Bestandszahlen {
    std::uint64_t Eintraege = 0;       // every entry
    std::uint64_t Ausgelassene = 0;    // entries not backed up ("X" lines)
    std::uint64_t Einhaengepunkte = 0; // mount points ("E" lines)
    // For each place that holds versions (a backup folder's name, or OrtFehlt), in byte order of the places:
    // how many files and links name it.
    std::vector<std::pair<std::string, std::uint64_t>> Orte;

    // Files and links whose version no backup holds.
    [[nodiscard]] std::uint64_t Fehlende() const;
    friend bool operator==(const Bestandszahlen&, const Bestandszahlen&) = default;
};

struct Bestand {
    std::string Ordner;
    tresor::Pfad Quelle;
    std::string QuellePosix;
    std::string Zeit;
    std::uint64_t KopierteDateien = 0;
    std::uint64_t KopierteBytes = 0;
    std::vector<Bestandseintrag> Eintraege;
    bool Abgebrochen = false;                 // the run was stopped before it walked the whole tree
    std::vector<Auslassung> Ausgelassen;      // what it could not back up
    std::vector<std::string> Einhaengepunkte; // folders of the record on which another file system is mounted
    int Version = Bestandsversion;            // the form it was read from
    Bestandszahlen Zahlen;                    // of a record read; the writer counts them itself
};

// Whether the record's point in time holds the whole source: a run that went through, every version there,
// nothing left out, no mounted file system inside. The count of entries that keep it from it (entries without
// version, entries not backed up, mount points; each path once); 0 for a complete point, which a stopped run
// never is.
// Unvollstaendige needs the entries (LiesBestand); Vollstaendig the head and the counts of a record read,
// entries or not (Bestandsleser::LiesKopf).
std::size_t Unvollstaendige(const Bestand& bestand);
bool Vollstaendig(const Bestand& bestand);

// Writes a record from its first line to its last, one piece after another, into `aus`: the head, then each
// entry in the walk's order, then the end. It counts what the "summe" line says and the checksum as it goes,
// and keeps only those, never an entry.
class Bestandsschreiber {
public:
    explicit Bestandsschreiber(std::function<void(std::string_view)> aus) : aus_(std::move(aus)) {}
    Bestandsschreiber(const Bestandsschreiber&) = delete;
    Bestandsschreiber& operator=(const Bestandsschreiber&) = delete;
    // The head: the version, Ordner, Quelle, QuellePosix and Zeit of `kopf`.
    void Kopf(const Bestand& kopf);
    void Eintrag(const Bestandseintrag& e);
    // An entry not backed up ("X" line), after the last entry: for a writer that does not hold them all.
    void Ausgelassen(const Auslassung& a);
    // The mount points, the entries not backed up of `schluss`, the copied files and bytes, whether the run went
    // through, the counts and the last line; then everything has gone to `aus`.
    void Ende(const Bestand& schluss);
    // The number of entries written so far.
    [[nodiscard]] std::uint64_t Eintraege() const { return zahlen_.Eintraege; }

private:
    void Zeile(std::string& zeile);
    void Weg();

    std::function<void(std::string_view)> aus_;
    std::string puffer_;
    std::uint64_t pruefsumme_ = Fnv1aAnfang;
    std::uint64_t zeilen_ = 0; // after the head
    Bestandszahlen zahlen_;
    std::map<std::string, std::uint64_t, std::less<>> orte_; // by the escaped place
    // The place of the last file or link written (as in the entry) and its row in orte_.
    std::string ortRoh_;
    std::map<std::string, std::uint64_t, std::less<>>::iterator ort_ = orte_.end();
    std::string zeile_;
};

// The text of a record.
std::string SchreibeBestand(const Bestand& bestand);

// A record read back, or the reason why the text is none (German, for the user): torn, of another version,
// or malformed. Paths are checked: every name is one level (never empty, ".", ".." or holding "/" or NUL),
// the first entry is the source folder ".", every entry's folder is listed before it as a folder, and no
// path comes twice; so a record can never lead a restore outside the folder it restores into.
std::variant<Bestand, std::string> LiesBestand(std::string_view text);

// Bytes in the record's escaped form, and back (nothing when the text is no valid escaped form).
std::string Maskiere(std::string_view bytes);
// The same, appended to `aus`.
void MaskiereIn(std::string& aus, std::string_view bytes);
std::optional<std::string> Demaskiere(std::string_view text);
// The same into `aus` (whose room is kept for the next call): false when the text is no valid escaped form.
bool Demaskiere(std::string_view text, std::string& aus);

// The order of the backup's walk, in which a record lists its entries: negative when the entry `a` (a folder
// when `aOrdner`, else a file or link; a path as in the record, "." for the source folder) comes before `b`,
// 0 when they are the same entry, positive when it comes after.
int Wegordnung(std::string_view a, bool aOrdner, std::string_view b, bool bOrdner);
// The same for two entries.
int Wegordnung(const Bestandseintrag& a, const Bestandseintrag& b);

// The folder of a path as in the record: "." for a name directly in the source (and for "." itself).
std::string_view Oberordner(std::string_view pfad);

// FNV-1a, 64 bits; `stand` carries it on over pieces.
std::uint64_t Fnv1a(std::string_view bytes, std::uint64_t stand = Fnv1aAnfang);

} // namespace tresor
