#pragma once

#include <functional>

namespace tresor::ui {

// Runs one handler that the user's input started (a drive picked, a folder opened). The window supplies
// one that ends the program after the platform's error report when the handler fails; the default runs
// the handler as it is.
using Ereignisrahmen = std::function<void(const std::function<void()>& handler)>;

// The default frame: runs the handler directly.
inline void OhneRahmen(const std::function<void()>& handler) {
    handler();
}

} // namespace tresor::ui
