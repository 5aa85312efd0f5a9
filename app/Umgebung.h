#pragma once

#include <unistd.h>

#include <cstdlib>

namespace tresor {

// The variables of the environment that make a program load code from a folder they name: the toolkit's
// plugin and import paths, the toolkit modules of the desktop theme, and the dynamic loader's preloads and
// library paths.
inline constexpr const char* Ladepfade[] = {
    "QT_PLUGIN_PATH",   "QT_QPA_PLATFORM_PLUGIN_PATH",
    "QML2_IMPORT_PATH", "QML_IMPORT_PATH",
    "QT_QPA_FONTDIR",   "GTK_PATH",
    "GTK_MODULES",      "GTK3_MODULES",
    "GIO_MODULE_DIR",   "LD_PRELOAD",
    "LD_LIBRARY_PATH",  "LD_AUDIT",
};

// When the effective user is root, removes every variable of Ladepfade from the environment, so that the
// window run by root loads plugins and libraries only from the system's own folders, never from a folder
// another user may own. Called before the toolkit starts (and before the window's program is started).
// Returns how many were removed; a user's own process keeps them all.
inline int OhneFremdeLadepfade() {
    if (::geteuid() != 0)
        return 0;
    int entfernt = 0;
    for (const char* name : Ladepfade)
        if (std::getenv(name) != nullptr && ::unsetenv(name) == 0)
            ++entfernt;
    return entfernt;
}

} // namespace tresor
