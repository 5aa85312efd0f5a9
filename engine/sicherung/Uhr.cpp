#include "engine/sicherung/Uhr.h"

#include <ctime>

namespace tresor {

Datum Systemuhr::Date() {
    std::time_t jetzt = std::time(nullptr);
    std::tm t{};
    localtime_r(&jetzt, &t);
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday};
}

Zeit Systemuhr::Time() {
    std::time_t jetzt = std::time(nullptr);
    std::tm t{};
    localtime_r(&jetzt, &t);
    return {t.tm_hour, t.tm_min, t.tm_sec};
}

} // namespace tresor
