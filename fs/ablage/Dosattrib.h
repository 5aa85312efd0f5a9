#pragma once

#include "fs/Attribute.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tresor::posix {

// The format of user.DOSATTRIB, the extended attribute in which Samba and Wine keep the DOS attributes of
// a file or folder.
//
// It is read in every form it is found in: the text "0x<hex>" with or without a trailing NUL, and the
// binary forms (versions 1 to 5): a NUL-terminated text, padding to an even offset, a 16-bit version, the
// same version again as a 16-bit switch, padding to a multiple of four, then the version's record, whose
// 32-bit attribute field comes first (version 1) or after a 32-bit field of flags (versions 2 to 5). All
// numbers little-endian. It is written only as the text "0x<hex>" followed by one NUL, the form Samba itself
// writes when it stores the text alone and that Wine reads as well. It is written where hidden or system must
// be stored and the name does not say it already, and wherever it already exists, so that what is changed
// here is also what SMB clients see; it is never removed. Bits of it that this program does not use are
// kept as they are.

inline constexpr const char* DosattribName = "user.DOSATTRIB";

// The DOS attribute bits this program keeps there (read-only, hidden, system, archive); the values match the
// attribute value's.
inline constexpr std::uint32_t DosEigeneBits = attr::Schreibgeschuetzt | attr::Versteckt | attr::System | attr::Archiv;

// The DOS attribute value of a stored user.DOSATTRIB value, or nothing when it is in no known form.
std::optional<std::uint32_t> DosattribWert(std::string_view blob);

// The value to store for `wert`: "0x<hex>" and one NUL.
std::string DosattribText(std::uint32_t wert);

// The DOS value to write so that the entry `name` carries the attribute bits of `wert`, given the value it
// has now (`alt`, nothing when it has none), or nothing when none is to be written: it is written where it
// exists already (and would change), or where hidden or system must be stored and the name does not say it.
// Bits of an existing value that this program does not use are kept; a folder's archive bit is not ours
// and stays as it is.
std::optional<std::uint32_t> NeuerDosWert(const std::optional<std::uint32_t>& alt, int wert, std::string_view name,
                                          bool istOrdner);

} // namespace tresor::posix
