#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "fs/Eintragsstand.h"
#include "fs/Laufwerkstabelle.h"
#include "fs/Pfad.h"

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tresor {

// What a target holds of a source: the index that makes each target complete on its own. A file is to be
// backed up when its archive bit is set or when this target holds no version of its present state: a new
// empty target, a backup folder deleted since, a second disk used in turn with this one.
//
// It is the newest record of the source in the target (Bestandsformat.h), read once at the start of a run;
// the walk then asks it for each file it looks at, with the state that look saw: no system call more per
// file. A file counts as held when the record names it with the very state it has now (size, modification
// time, inode and the ctime read back after its archive record was written, so that a change made at any
// moment after it, whatever it does to size and times, is another state) and with a version in a backup
// folder that is still there; on a file system whose inode numbers do not last, size and times are the state.
// A record of the first form holds no ctimes: under it no file counts as held,
// and the first run after it backs everything up once. A symbolic link counts as held when the record names
// it as a link with a version still there (its own changes set its archive bit).
class Zielindex {
public:
    // Reads the newest readable record of `quelle` in the target folder `ziel`. A target that cannot be
    // listed, or holds no record of the source, holds nothing.
    Zielindex(const Laufwerkstabelle& laufwerke, const Pfad& ziel, const Pfad& quelle);

    // Whether the target holds a version of the entry `pfad` (a path in the source, in program form) in the
    // state `jetzt`. `jetzt` of kind Anderes stands for a symbolic link whose state the walk did not read.
    [[nodiscard]] bool Haelt(const Pfad& pfad, const Eintragsstand& jetzt) const;
    // True when a record was found.
    [[nodiscard]] bool Gelesen() const { return bestand_ != nullptr; }

private:
    Pfad quelle_;
    std::shared_ptr<const Bestand> bestand_;
    std::set<std::string, std::less<>> sicherungen_; // the backup folders in the target now
    std::unordered_map<std::string_view, const Bestandseintrag*> nachPfad_;
};

// The path of an entry of the source relative to the source, as the record writes it ("." for the source).
std::string RelativZurQuelle(const Pfad& quelle, const Pfad& pfad);

} // namespace tresor
