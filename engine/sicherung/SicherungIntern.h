#pragma once

// What the backup run's procedures in Sicherung.cpp and Kopierweg.cpp share beyond its class.

#include "engine/sicherung/Sicherung.h"

#include <string>

namespace tresor {

inline bool IstLaufwerkswurzel(const Pfad& pfad) {
    return pfad.size() == 3;
}

// Thrown at a check point once the window asked the run to stop; it unwinds the walk (and a copy under way,
// whose temporary file the file system then removes) up to the run, which catches it. Only the run's own
// procedures throw and catch it; it is no FsFehler, so no handler of an entry's trouble takes it.
struct Laufabbruch {};

// A file whose copy is written but not yet known to be durable: its archive bit is cleared, and the copy
// checked, once the target was flushed.
struct Sicherung::OffeneKopie {
    Datei Quelle;     // the file object the copy was made from
    std::string Name; // the name the copy must be found under
    Pfad Ziel;        // where the copy lies
    Quellstand Stand; // the state of the source that the copy holds
};

} // namespace tresor
