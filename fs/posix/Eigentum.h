#pragma once

#include "fs/system/Ort.h"

#include <sys/stat.h>

namespace tresor::posix {

// Owners, set-ID bits and ACLs of copies and mirrored folders.
//
// Run by root, a copy gets the owner and group of its source; run by anyone else it stays the user's, with
// the source's group where the user belongs to it. A
// set-user-ID bit is kept only where the copy has the source's owner, a set-group-ID bit only where it has the
// source's group, so that no copy ever runs with the rights of someone who did not grant them. POSIX ACLs
// (system.posix_acl_access, and a folder's system.posix_acl_default) are copied where the target holds them;
// no other system or security attribute is ever copied (file capabilities in particular never).

// Gives the open copy `zielFd` the owner and group of the source `quelle` where the process may (root), and
// returns the mode it may then carry: the source's permission bits, without a set-ID bit whose owner or group
// the copy does not have. A refused change of owner is no failure: the set-ID bits go instead.
// `jetzt`, where given, gets the copy's state after that change; its st_mode is all ones where the copy could
// not be looked at.
[[nodiscard]] mode_t Eigentumsmodus(int zielFd, const struct stat& quelle, struct stat* jetzt = nullptr);
// The same for the symbolic link `name` in the open folder `ordnerFd` (a link has no mode of its own).
void VerweisEigentum(int ordnerFd, const char* name, const struct stat& quelle);
// Gives the open copy `zielFd` the mode `modus`. A target that refuses the set-ID and sticky bits (an exFAT
// stick through FUSE, which keeps no permission bits of its own) gets the permission bits alone: it cannot
// hold the others, as a target without ACLs cannot hold those. Returns 0 or the error number.
[[nodiscard]] int SetzeModus(int zielFd, mode_t modus, mode_t* gesetzt = nullptr);
// Copies the access ACL (and for a folder the default ACL) of the entry `quelle` to the open entry `zielFd`,
// and removes one of the copy's own that the source does not have. A target that holds no ACLs is no failure.
// Returns 0 or the error number of a write that failed.
// `zielOhneAcl`: the copy is known to hold no ACL of its own (new, in a folder without a default ACL, see
// VorgabeAcl), so that nothing of it needs to be looked at. `geschrieben`, where given, is set when an ACL
// was written or removed (which may change the copy's mode bits). `quelleOhneAcl`: the source is known to hold no
// access ACL (a listing of its attributes named none), so that it is not asked for one.
[[nodiscard]] int KopiereAcls(const Ort& quelle, int zielFd, bool ordner, bool zielOhneAcl = false,
                              bool* geschrieben = nullptr, bool quelleOhneAcl = false);
// Whether the folder `ordner` has a default ACL, which every entry made in it gets as its own; true where that
// cannot be told.
[[nodiscard]] bool VorgabeAcl(const Ort& ordner);

} // namespace tresor::posix
