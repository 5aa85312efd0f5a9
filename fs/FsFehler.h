#pragma once

#include "fs/Pfad.h"

#include <stdexcept>
#include <string>
#include <system_error>

namespace tresor {

// The one error type of the file-system layer: which operation failed, on which path (program form),
// and why. It travels up as an exception and is caught once, where the program ends with the
// platform's error report.
class FsFehler : public std::runtime_error {
public:
    FsFehler(std::string operation, Pfad pfad, std::error_code ursache);

    const std::string& Operation() const noexcept { return operation_; }
    const Pfad& Path() const noexcept { return pfad_; }
    std::error_code Ursache() const noexcept { return ursache_; }

    // The German report shown to the user: operation, path and reason, one per line (lines joined by "\n").
    std::string Bericht() const;
    // The same report with the path shown as `pfadtext` (for a terminal: the path with its control
    // characters escaped).
    std::string Bericht(const std::string& pfadtext) const;

private:
    std::string operation_;
    Pfad pfad_;
    std::error_code ursache_;
};

// A short German text for the reason: our own words for the common error numbers (not found, access
// denied, disk full, read-only file system, input/output error, name too long, ...), "Fehler N" for the rest.
std::string Fehlertext(std::error_code ursache);

} // namespace tresor
