#pragma once

#include "app/Befehlszeile.h"
#include "fs/posix/PosixDateisystem.h"

#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace tresor {

// Runs the command line in this process as the program would: its output into `aus` and `fehler` (emptied
// first), relative paths counted from `arbeitsordner`, file-system objects from `fabrik` (the real one where it
// is empty), stopped through `signal` where one is given. The exit status; -1 where it would start the window.
inline int RufeBefehlszeile(const std::vector<std::string>& argumente, std::ostringstream& aus,
                            std::ostringstream& fehler, const Laufwerkstabelle& laufwerke, Uhr& uhr,
                            const std::filesystem::path& arbeitsordner, Dateisystemfabrik fabrik = {},
                            const volatile std::sig_atomic_t* signal = nullptr) {
    aus.str({});
    fehler.str({});
    if (!fabrik)
        fabrik = [&laufwerke] { return ErzeugePosixDateisystem(laufwerke); };
    Befehlszeilenumgebung u{aus, fehler, laufwerke, uhr, std::move(fabrik), false, arbeitsordner.string(), signal};
    const auto r = Befehlszeile(argumente, u);
    return r ? *r : -1;
}

} // namespace tresor
