#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>

namespace tresor {

// Handles the program's own command-line arguments before the window starts. Returns the exit status when
// the program has done its work without a window (--version), nothing when the window is to start.
// Arguments it does not know are left to the toolkit.
[[nodiscard]] std::optional<int> BehandleArgumente(std::span<char* const> argumente, std::ostream& aus);

// What --version prints: "tresor-ix 1.0.25" on the first line, then the description, the comments and
// the maker's notice.
[[nodiscard]] std::string Versionstext();

} // namespace tresor
