#pragma once

#include "engine/bestand/Bestandsformat.h"
#include "fs/Eintragsstand.h"

#include <cstdint>
#include <optional>

namespace tresor {

// Which owner and which permission bits a restored entry gets. A record can be written by anyone who can
// write the target, so its word alone gives nothing: a backup made by root keeps owners, and the owner of
// the copy in the backup is evidence that no other user can forge.
//
// Run by root (`verwalter`): the entry gets the record's owner and group, and its set-user-ID, set-group-ID
// and sticky bits, only where the copy (`kopie`: the copy of a file or link, the mirror of a folder) has
// that same owner and group. Otherwise it keeps the copy's owner and group (or the restoring user's where
// there is no copy) and none of those bits, and `Fremd` says so, for the entry to be named.
// Run by anyone else: the restoring user's own, as a plain copy is; a set-user-ID bit only where the record
// names the user, a set-group-ID bit only where it names the user's group.
// Either way group and others get no read or search permission that the copy itself does not grant: a
// record cannot make a private copy readable.
struct Zuteilung {
    Eintragsstand Stand; // the state to set (owner applied only by root)
    bool Fremd = false;  // root gave the copy's owner instead of the record's
};
Zuteilung Zuteile(const Bestandseintrag& e, const std::optional<Eintragsstand>& kopie, bool verwalter,
                  std::uint32_t uid, std::uint32_t gid);

} // namespace tresor
