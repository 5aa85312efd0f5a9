#pragma once

#include "fs/Dateisystem.h"
#include "fs/Laufwerkstabelle.h"

#include <functional>
#include <memory>
#include <string>

namespace tresor {

// Called by Copy after the content of the file `quelle` was copied and before the file is looked at again to
// see whether it changed meanwhile; `versuch` counts the copies of this file from 1. A test changes the file
// here, at a moment of its choosing inside the copy.
using Kopierhaken = std::function<void(const Pfad& quelle, int versuch)>;

// Called on the thread that reads archive records ahead of a walk, after it read the record of the entry
// `name` (on disk) of a folder's files (Vorleser.h). A test waits there, or changes the tree behind it.
using Vorlesehaken = std::function<void(const std::string& name)>;

// Called on the thread that looks at a folder's files ahead of a walk (Dateisystem::VorausSchauen,
// posix/Vorausblick.h), after it looked at the entry `name` (on disk) and before it stores what it saw (as it
// takes the next entry). A test waits there, or changes the tree behind it.
using Blickhaken = std::function<void(const std::string& name)>;

// Flushes the file system of the open descriptor `fd` on the thread of the write-back begun while copies are
// made (posix/Rueckschreiber.h), instead of syncfs: 0 or the error number. A test makes it fail.
// Also the flush of one copy by itself (instead of fsync) where a flush of the whole file system asks nothing of
// the server that holds the copies: a test gives it to make every copy flushed by itself, on any file system.
using Rueckschreibflush = std::function<int(int fd)>;

// The file-system object on Linux. Paths in program form are translated through the drive table; the
// attribute bits that Linux lacks are kept as described in PosixDateisystem.cpp.
std::unique_ptr<Dateisystem> ErzeugePosixDateisystem(Laufwerkstabelle laufwerke, Kopierhaken haken = {},
                                                     Vorlesehaken vorlesehaken = {},
                                                     Rueckschreibflush rueckschreibflush = {},
                                                     Blickhaken blickhaken = {}, Rueckschreibflush einzelflush = {});

// Makes room for `anzahl` descriptors in the process's table now (posix::DeskriptortabelleVorab): for the start of a
// program, while it has one thread.
void Deskriptorplatz(int anzahl);

} // namespace tresor
