#pragma once

#include "app/Befehlszeile.h"
#include "engine/ausduennung/Ausduennung.h"

#include <optional>
#include <string>
#include <string_view>

namespace tresor {

// Thinning old backups from the command line (--aufraeumen) and after a job's backup.

// The part of the rule that a name stands for: "LETZTE", "TAGE", "WOCHEN", "MONATE", "JAHRE" (the option
// --behalte-letzte and the job's line BEHALTE_LETZTE= alike); nullptr for any other name.
int* Behalteteil(Behalteregel& regel, std::string_view name);
// A number of a rule's part: a whole number from 1 to 100000; nothing for anything else.
std::optional<int> Behaltezahl(std::string_view text);

// Thins the backups of `quelle` in `ziel` by `regel` (a plan left in the target is finished first), or with
// `probe` only shows what would happen. Lines to `u.aus`, what is left to `u.fehler`. Returns ExitErfolg when
// it is done, ExitFehler when something could not be moved or removed (named), ExitAbgelehnt when the target
// holds no backup of the source, or 128 + the signal that stopped it.
int Aufraeumen(const Pfad& ziel, const Pfad& quelle, const Behalteregel& regel, bool probe, Befehlszeilenumgebung& u);

} // namespace tresor
