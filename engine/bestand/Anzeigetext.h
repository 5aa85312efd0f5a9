#pragma once

#include <string>
#include <string_view>

namespace tresor {

// A text (a name, a path, a report holding one) as it may be printed to a terminal or a log: control
// characters (C0, DEL, and C1 in UTF-8) and bytes that are not part of valid UTF-8 are written as \xNN, so that
// a name can neither forge a line nor send the terminal commands. Everything else, the program form's
// backslashes among it, stays as it is. The window shows names unescaped.
std::string Anzeigetext(std::string_view text);

} // namespace tresor
