#pragma once

#include "fs/ablage/Attributablage.h"
#include "fs/ablage/Zustandsbank.h"

#include <memory>
#include <string>

namespace tresor::posix {

// The store of a file system that keeps neither user extended attributes nor DOS bits of its own (exFAT
// through FUSE, some network shares): the archive records live in a state file of the user's, one per file
// system, named after its UUID (Ablagen.h says where). A record is keyed by the file's path within its file
// system, so a stick mounted at another place keeps its records. Inode numbers of such file systems do not
// survive a remount (through FUSE not even another lookup), so a record holds none: it holds name, size and
// times, and the entry's present inode number is handed back with it.
//
// The state file is a database (Zustandsbank.h), opened at the first use and read a record at a time; what
// is written gathers in one transaction, committed by Festschreiben. The memory it takes does not grow with
// the records, and a batch costs what it changes. A kill at any moment leaves the records before the batch
// or after it. A damaged file, or one of any other form, holds nothing (every file then reads as archive
// set) and is replaced by a new one at the first write; a link or a folder in its place is never followed.
// The file is the user's alone (0600, its folders made 0700). A state file of the earlier text form
// (Zustandsdatei.h) is taken over at the first use: its records are written into a new database, which
// then takes its place. No DOS bits are kept (hidden follows the name; hidden and system cannot be stored:
// ENOTSUP), and the file systems this store is for have no symbolic links.
class ZustandsAblage final : public Attributablage {
public:
    // `datei`: the state file's absolute path; `einhaengepunkt`: the absolute POSIX folder where the file
    // system is mounted (its root).
    ZustandsAblage(std::string datei, std::string einhaengepunkt);
    ~ZustandsAblage() override;
    ZustandsAblage(const ZustandsAblage&) = delete;
    ZustandsAblage& operator=(const ZustandsAblage&) = delete;

    std::optional<std::uint32_t> LiesDos(const Ort& ort) override;
    bool SchreibeDos(const Ort& ort, std::uint32_t wert) override;
    std::optional<Archivvermerk> LiesVermerk(const Ort& ort) override;
    bool SchreibeVermerk(const Ort& ort, const Archivvermerk& vermerk) override;
    bool LoescheVermerk(const Ort& ort) override;
    std::optional<Verweisvermerk> LiesVerweisvermerk(const Ort& ordner) override;
    bool SchreibeVerweisvermerk(const Ort& ordner, const Verweisvermerk& vermerk) override;
    bool LoescheVerweisvermerk(const Ort& ordner) override;

    // Commits the records written since the last commit. False with errno set when they could not be
    // committed; the file then holds the records of before.
    [[nodiscard]] bool Festschreiben();
    const std::string& Datei() const noexcept { return datei_; }

private:
    // The entry's path within its file system, or nothing when it lies outside the mount point.
    std::optional<std::string> Name(const Ort& ort) const;

    // The database, opened (and with `anlegen` made, or a damaged one replaced) at the first use; nothing
    // when there is none to read (errno tells why where `anlegen` was asked for).
    Zustandsbank* Bank(bool anlegen);
    // Makes a new, empty database in place of whatever is at `datei_`.
    std::unique_ptr<Zustandsbank> Neu();
    // Opens the database `datei_`, taking over a state file of the text form first.
    std::unique_ptr<Zustandsbank> Vorhandene(Zustandsbank::Lage& lage);
    // Forgets the database after it was found damaged: reads say nothing, the next write makes a new one.
    void Verwerfen();

    std::string datei_;
    std::string einhaengepunkt_;
    std::unique_ptr<Zustandsbank> bank_;
    bool gesucht_ = false; // the file was looked for (and is missing, damaged or unusable when bank_ is null)
    bool kaputt_ = false;  // what is at `datei_` is damaged or of another form: replaced at the first write
    int fehler_ = 0;       // errno of a file that could not be used in this run: neither read nor replaced
};

} // namespace tresor::posix
