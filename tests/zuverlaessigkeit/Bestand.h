#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tresor::test {

// A fingerprint of a file's bytes: equal for equal content, however the file stores it (a hole reads as
// zeros, as the kernel returns it), so a sparse file and a copy written out in full compare equal.
struct Inhalt {
    std::uint64_t Groesse = 0;
    std::uint64_t Kennung = 0;
    bool operator==(const Inhalt&) const = default;
};

// Every regular file below a folder, by its path relative to that folder (POSIX, "a/b"), with its
// fingerprint. Walks with descriptors, so paths of any length and any bytes in names are read; symbolic
// links are never followed, other entries are left out. This walk shares no code with the program.
std::map<std::string, Inhalt> Bestand(const std::string& ordner);

// The fingerprint of one file given by its absolute POSIX path of any length; nothing when it is missing.
std::optional<Inhalt> InhaltVon(const std::string& posix);
// The fingerprint of a byte string.
Inhalt InhaltAus(std::string_view bytes);

// Whether the program reads the archive bit of a source file (absolute POSIX path) as set, for a run that
// knows the state each file had right after its record's write: set unless the bits say clear, or the file's
// own record matches it but for the ctime (Archivvermerk.h) and no user.DOSATTRIB carries the bit. (This
// process knows no such state: it did not write the records, and it may hold another seal than the program's,
// which the folders' maps need.)
bool ArchivGesetzt(const std::string& posix);

// What the checks found: each file that a backup does not hold as it must is one lost file.
struct Verluste {
    long Anzahl = 0;
    std::vector<std::string> Meldungen;
    void Melde(const std::string& text);
};

// A backup folder to check: the folder that mirrors the source in it, and for each file of it the content
// it must have (the source's content when that run read it), or nothing when no file of that name may be
// there.
struct Sicherungsstand {
    std::string Spiegel;
    std::function<std::optional<Inhalt>(const std::string& rel)> Erwartet;
};

// Checks a source against its backups:
// - every regular file of the source whose archive bit reads clear has a byte-identical copy at its place in
//   some backup;
// - every file under a real name in a backup has the content its run read from the source; a partial copy
//   carries a temporary name (".tresor-ix-*.tmp"), which is allowed only where `restErlaubt`.
Verluste PruefeSicherungen(const std::string& quelle, const std::vector<Sicherungsstand>& sicherungen,
                           bool restErlaubt);

// The names of temporary copies left below a folder.
std::vector<std::string> Reste(const std::string& ordner);

// Adds `anzahl` to a line of the reliability report, when TRESOR_BERICHT names the report file:
// "fehler" faults tried, "abbruch" kills survived, "abbruchversuch" kills made, "eingabe" bad inputs tried,
// "verlust" files lost.
void Berichte(const std::string& zeile, long anzahl);

} // namespace tresor::test
