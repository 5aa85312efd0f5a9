#pragma once

#include "fs/Dateisystem.h"
#include "fs/Laufwerkstabelle.h"

#include <memory>

namespace tresor {

// The file-system object on Linux. Paths in program form are translated through the drive table; the
// attribute bits that Linux lacks are kept as described in PosixDateisystem.cpp.
std::unique_ptr<Dateisystem> ErzeugePosixDateisystem(Laufwerkstabelle laufwerke);

} // namespace tresor
