#pragma once

#include "fs/system/Deskriptor.h"
#include "fs/system/Namensliste.h"

#include <string>
#include <vector>

namespace tresor::posix {

// One entry of a folder as its listing gives it.
struct Eintrag {
    std::string Name;  // as stored on disk
    unsigned char Typ; // d_type, DT_UNKNOWN where the file system does not tell
};

// The entries of a folder held compactly (Namensliste.h): their names as stored on disk, and beside each its
// d_type.
struct Eintragsliste {
    Namensliste Namen;
    std::vector<unsigned char> Typen;
    [[nodiscard]] std::size_t size() const { return Namen.size(); }
};

// The entries of an open folder as LiesEintraege reads them, held compactly: for a folder that may hold very
// many.
Eintragsliste LiesEintragsliste(int ordner, int& fehler);

// Only the names of the entries, one string each: for folders that a caller goes through by name.
std::vector<std::string> LiesNamen(int ordner, int& fehler);

// The entries of an open folder, "." and ".." left out, in byte order of their names, so that every walk is
// reproducible. Takes the descriptor over and closes it. On a failure `fehler` holds its error number and the
// entries read until then are returned; else it is 0.
std::vector<Eintrag> LiesEintraege(Deskriptor ordner, int& fehler);
// The same through a descriptor that stays the caller's (opened for reading, not O_PATH); it is read from its
// start whatever was read of it before.
std::vector<Eintrag> LiesEintraege(int ordner, int& fehler);

} // namespace tresor::posix
