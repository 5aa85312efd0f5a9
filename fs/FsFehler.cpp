#include "fs/FsFehler.h"

namespace tresor {

FsFehler::FsFehler(std::string operation, Pfad pfad, std::error_code ursache)
    : std::runtime_error(operation + ": " + pfad + ": " + ursache.message()), operation_(std::move(operation)),
      pfad_(std::move(pfad)), ursache_(ursache) {}

std::string FsFehler::Bericht() const { return operation_ + "\n" + pfad_ + "\n" + Fehlertext(ursache_); }

std::string Fehlertext(std::error_code ursache) { return "Fehler " + std::to_string(ursache.value()); }

} // namespace tresor
