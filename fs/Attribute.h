#pragma once

namespace tresor::attr {

// The bits of an attribute value. These are the only bits the file-system layer ever reports.
inline constexpr int Schreibgeschuetzt = 1;
inline constexpr int Versteckt = 2;
inline constexpr int System = 4;
inline constexpr int Verzeichnis = 16;
inline constexpr int Archiv = 32;

// A lookup mask that admits every entry: plain, hidden and system files and folders.
inline constexpr int AlleOrdner = Verzeichnis | Versteckt | System;

} // namespace tresor::attr
