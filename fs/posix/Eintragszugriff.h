#pragma once

#include "fs/Eintragsstand.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/Pfad.h"
#include "fs/system/Inhaltssumme.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tresor {

// A regular file held open for reading, read in pieces from any place (a record read as a stream).
class Lesedatei {
public:
    Lesedatei(int fd, Pfad pfad, std::uint64_t groesse) : fd_(fd), pfad_(std::move(pfad)), groesse_(groesse) {}
    ~Lesedatei();
    Lesedatei(Lesedatei&& andere) noexcept;
    Lesedatei& operator=(Lesedatei&& andere) noexcept;
    Lesedatei(const Lesedatei&) = delete;
    Lesedatei& operator=(const Lesedatei&) = delete;

    // Its size when it was opened: no byte beyond it is read.
    [[nodiscard]] std::uint64_t Groesse() const { return groesse_; }
    // Up to `n` bytes from the place `ab` into `ziel`; fewer only at the end (the size above, or the file's
    // own end where it shrank since). Throws FsFehler when it cannot read.
    std::size_t Lies(std::uint64_t ab, char* ziel, std::size_t n);

private:
    int fd_ = -1;
    Pfad pfad_;
    std::uint64_t groesse_ = 0;
};

// A file written into a folder a piece at a time under a temporary name (".tresor-ix-bestand-<hex>.tmp", made
// anew, private to the owner, never through a link), which gets its name only once it is whole and on the
// medium (Vollende). Dropped before that (Verwirf, or when it goes), the temporary file is removed; a
// process killed meanwhile leaves only the temporary file, which no reader takes for a record.
// The file is open only while a piece goes in: a run writes its record for as long as it walks, and a file
// held open for writing all that time would keep the medium from being made read-only meanwhile.
class Dauerschrift {
public:
    // Takes over the folder `ordner`, in which the new file `temp` was made.
    Dauerschrift(int ordner, std::string temp, Pfad pfad)
        : ordner_(ordner), temp_(std::move(temp)), pfad_(std::move(pfad)) {}
    ~Dauerschrift();
    Dauerschrift(Dauerschrift&& andere) noexcept;
    Dauerschrift& operator=(Dauerschrift&&) = delete;
    Dauerschrift(const Dauerschrift&) = delete;
    Dauerschrift& operator=(const Dauerschrift&) = delete;

    // Appends the piece; throws FsFehler when it cannot be written.
    void Schreibe(std::string_view stueck);
    // Flushes the file to the medium, renames it to the first of the names `name(0)`, `name(1)`, ... that is
    // free (never replacing anything), flushes the folder and returns the name used.
    std::string Vollende(const std::function<std::string(int)>& name);
    // Removes the temporary file (nothing once Vollende went through).
    void Verwirf() noexcept;
    // The temporary file's name in its folder.
    [[nodiscard]] const std::string& Tempname() const { return temp_; }

private:
    int Oeffne() const;

    int ordner_ = -1; // the folder, held open
    std::string temp_;
    std::uint64_t laenge_ = 0; // written so far
    Pfad pfad_;                // the folder in program form, for errors
    bool fertig_ = false;
};

// A folder held open whose entries are looked at by name, one call each (the copies of one folder of an earlier
// backup, as a run checks them): reached as Eintragszugriff reaches an entry's folder, one name at a time from the
// root, never through a link; the calls then go to that very folder for as long as it is held.
class Ordnergriff {
public:
    Ordnergriff() = default;
    Ordnergriff(int fd, Pfad pfad) : fd_(fd), pfad_(std::move(pfad)) {}
    ~Ordnergriff();
    Ordnergriff(Ordnergriff&& andere) noexcept;
    Ordnergriff& operator=(Ordnergriff&& andere) noexcept;
    Ordnergriff(const Ordnergriff&) = delete;
    Ordnergriff& operator=(const Ordnergriff&) = delete;

    // Whether a folder is held.
    [[nodiscard]] bool Gueltig() const { return fd_ >= 0; }
    // The state of the entry `name` (a name on disk, no slash) in the folder, as Eintragszugriff::Stand gives it:
    // nothing when it is not there. Errors name the entry by the folder's path and that name.
    [[nodiscard]] std::optional<Eintragsstand> Stand(std::string_view name) const;

private:
    int fd_ = -1;
    Pfad pfad_; // the folder in program form, for errors
};

// The system calls of the record of the source and of restores that the file-system object has no
// operation for: reading an entry's state, reading and durably writing a whole small file, and setting a
// restored entry's times, permission bits and owner. Paths are in program form and translated through the
// drive table. Every path is reached one name at a time from the file system's root, never following a
// symbolic link on the way (O_NOFOLLOW at each step), so paths of any length work and a folder swapped
// for a link never leads a read or a change elsewhere. The folder reached last is kept open, so a walk
// that asks for the entries of one folder after another opens each folder once.
// Failures throw FsFehler with the operation, the path and the reason, unless said otherwise.
class Eintragszugriff {
public:
    explicit Eintragszugriff(Laufwerkstabelle laufwerke);
    ~Eintragszugriff();
    Eintragszugriff(const Eintragszugriff&) = delete;
    Eintragszugriff& operator=(const Eintragszugriff&) = delete;

    // The entry's state, or nothing when it does not exist (or a folder on its way does not).
    [[nodiscard]] std::optional<Eintragsstand> Stand(const Pfad& pfad);
    // The names in a folder ("." and ".." left out), in byte order; nothing when the folder does not exist.
    [[nodiscard]] std::optional<std::vector<std::string>> Namen(const Pfad& ordner);
    // The folder held open for looking at its entries by name (Ordnergriff); one that is not held when the folder
    // does not exist (or a folder on its way does not, or is a link). Other failures of the way throw.
    [[nodiscard]] Ordnergriff Halte(const Pfad& ordner);
    // The whole content of a regular file, or nothing when it does not exist.
    [[nodiscard]] std::optional<std::string> LiesDatei(const Pfad& pfad);
    // The regular file held open for reading in pieces, or nothing when it does not exist; opened as
    // LiesDatei opens it (anything but a regular file fails).
    [[nodiscard]] std::optional<Lesedatei> OeffneDatei(const Pfad& pfad);
    // Reads the regular file to its end and returns how many bytes it holds; throws when it cannot. Only a
    // regular file of `groesse` bytes is read at all (opened without following a link and without waiting
    // for a writer, then looked at): anything else (a device, a FIFO, a link, another size) fails with
    // EINVAL before a byte is read, so a device under a file's name never keeps the reader going.
    // With `summe`, every byte read goes into it from its beginning (a hole reads as its zeros), so that it holds
    // the checksum of the content read (Inhaltssumme) once the whole size was read.
    std::uint64_t LiesDurch(const Pfad& pfad, std::uint64_t groesse, Summierer* summe = nullptr);
    // Writes `inhalt` into the folder under the first of the names `name(0)`, `name(1)`, ... that is
    // free: first under a temporary name (".tresor-ix-bestand-<hex>.tmp"), private to the owner (0600),
    // flushed to the medium, then renamed into place without replacing anything, then the folder is
    // flushed. Returns the name used. A failure removes the temporary file.
    std::string SchreibeDauerhaft(const Pfad& ordner, const std::function<std::string(int)>& name,
                                  const std::string& inhalt);
    // The same, the content written a piece at a time: `schreibe` gets the function that takes each piece.
    // What `schreibe` throws removes the temporary file and goes on to the caller.
    using Stueckweise = std::function<void(std::string_view)>;
    std::string SchreibeDauerhaft(const Pfad& ordner, const std::function<std::string(int)>& name,
                                  const std::function<void(const Stueckweise&)>& schreibe);
    // The same begun: the temporary file is made in `ordner`, and the caller writes it and finishes it.
    Dauerschrift BeginneDauerhaft(const Pfad& ordner);
    // Gives the entry (never followed) the owner (when `besitzer`), then the permission bits (not on a
    // link), then the modification time; the access time becomes the modification time too.
    void SetzeStand(const Pfad& pfad, const Eintragsstand& stand, bool besitzer);

    // Whether this process may give files away to other owners (runs as root).
    static bool Verwalter();

    // The two calls on an entry `name` in an open folder `ordner` that the file-system object shares:
    // its state as Stand gives it (nothing when it is not there), and setting it as SetzeStand does. `pfad`
    // names it in errors.
    static std::optional<Eintragsstand> StandIn(int ordner, const char* name, const Pfad& pfad);
    static void SetzeStandIn(int ordner, const char* name, const Pfad& pfad, const Eintragsstand& stand, bool besitzer);

private:
    int OeffneOrdner(const Pfad& ordner, std::string& posix);
    struct Ort;
    Ort Finde(const Pfad& pfad);

    Laufwerkstabelle laufwerke_;
    // The folders kept open, from the root down: POSIX path and descriptor.
    std::vector<std::pair<std::string, int>> kette_;
};

} // namespace tresor
