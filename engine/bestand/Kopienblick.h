#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "fs/Eintragsstand.h"
#include "fs/Pfad.h"
#include "fs/posix/Eintragszugriff.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tresor {

// What a look at the copy that a record's entry names found (Kopienblick::Da), where it was taken.
enum class Kopiebefund : std::uint8_t {
    Ungesehen, // not looked at (a folder's entry, or the look failed): the one who needs it looks itself
    Da,        // there, of the entry's kind and size (a link also of its target)
    Fehlt,     // not there, or not that
};

// The copies in the backup folders of a target, looked at by their names: the copy of a path of the source in a
// backup folder lies in that folder's mirror of the source (Spiegelpfad), and the folder of the copies in hand is
// held open (Ordnergriff) for the copies beside it, which the walk's order asks for one after another. Every
// folder is reached one name at a time from the root, never through a link. Not shared between threads.
class Kopienblick {
public:
    // `zugriff` (which must outlive this object) reaches the target folder `ziel`; `quelle` is the source whose
    // mirrors are looked in. `eigener` is the backup folder this run writes (none for ""): it grows while the
    // walk goes, so its copies are looked up by their whole path each time.
    Kopienblick(Eintragszugriff& zugriff, Pfad ziel, Pfad quelle, std::string eigener = {});

    // The state of the copy of `relativ` (a path as in the record) in the backup folder `ordner`, if there is one.
    // Throws FsFehler where the way to it fails otherwise than by not being there.
    std::optional<Eintragsstand> Stand(const std::string& ordner, const std::string& relativ);
    // Whether the copy that the entry `v` (a file or link) names in its backup folder is there, of its kind and
    // size (a file's copy a regular file), a link also of its target. The caller makes sure that `v.Ort` names a backup
    // folder.
    bool Da(const Bestandseintrag& v);

private:
    struct Kopienordner {
        std::string Ort;    // the backup folder
        std::string Ordner; // the folder, relative as in the record
        Ordnergriff Griff;
    };
    // Only the mirrors of the folder in hand, the most recently used last; a few at most.
    static constexpr std::size_t Kopienordnerzahl = 8;

    Eintragszugriff& zugriff_;
    Pfad ziel_, quelle_;
    std::string eigener_;
    // The folder that mirrors the source in each backup folder of the target, made once per backup folder.
    std::unordered_map<std::string, Pfad> spiegel_;
    std::vector<Kopienordner> kopienordner_;
};

} // namespace tresor
