// The retention rule (see Ausduennung.h): which points a rule keeps.
#include "engine/ausduennung/Ausduennung.h"

#include <chrono>
#include <cstdlib>
#include <set>

namespace tresor {

namespace {

// The date in a backup folder's name "Sicherung-yyyy-mm-dd--hh-mm-ss".
std::chrono::year_month_day Datum(const std::string& name) {
    const auto zahl = [&name](std::size_t ab, std::size_t laenge) {
        return std::atoi(name.substr(ab, laenge).c_str());
    };
    if (name.size() < 20)
        return {};
    return std::chrono::year{zahl(10, 4)} / std::chrono::month{static_cast<unsigned>(zahl(15, 2))} /
           std::chrono::day{static_cast<unsigned>(zahl(18, 2))};
}

// The ISO week of a date as year * 100 + week: weeks begin on Monday, and the first week of a year is the one
// that holds its first Thursday.
long IsoWoche(const std::chrono::year_month_day& datum) {
    using namespace std::chrono;
    const sys_days tag{datum};
    const unsigned wochentag = weekday{tag}.iso_encoding(); // Monday 1 ... Sunday 7
    const sys_days donnerstag = tag + days{4 - static_cast<int>(wochentag)};
    const year_month_day d{donnerstag};
    const sys_days neujahr{d.year() / January / 1};
    const long woche = (donnerstag - neujahr).count() / 7 + 1;
    return static_cast<long>(static_cast<int>(d.year())) * 100 + woche;
}

} // namespace

std::vector<bool> Behaltene(const std::vector<std::string>& ordner, const Behalteregel& regel) {
    std::vector<bool> behalten(ordner.size(), false);
    if (ordner.empty())
        return behalten;
    behalten.back() = true;
    // Each part walks the points newest first; the first point met in a period is its newest.
    const auto teil = [&](int anzahl, auto schluessel) {
        if (anzahl <= 0)
            return;
        std::set<long> gesehen;
        for (std::size_t i = ordner.size(); i-- > 0;) {
            const long s = schluessel(i);
            if (gesehen.contains(s))
                continue;
            if (gesehen.size() == static_cast<std::size_t>(anzahl))
                return;
            gesehen.insert(s);
            behalten[i] = true;
        }
    };
    const auto datum = [&ordner](std::size_t i) { return Datum(ordner[i]); };
    teil(regel.Letzte, [](std::size_t i) { return static_cast<long>(i); });
    teil(regel.Tage, [&](std::size_t i) {
        const auto d = datum(i);
        return static_cast<long>(static_cast<int>(d.year())) * 10000 + static_cast<unsigned>(d.month()) * 100 +
               static_cast<unsigned>(d.day());
    });
    teil(regel.Wochen, [&](std::size_t i) { return IsoWoche(datum(i)); });
    teil(regel.Monate, [&](std::size_t i) {
        const auto d = datum(i);
        return static_cast<long>(static_cast<int>(d.year())) * 100 + static_cast<unsigned>(d.month());
    });
    teil(regel.Jahre, [&](std::size_t i) { return static_cast<long>(static_cast<int>(datum(i).year())); });
    return behalten;
}

} // namespace tresor
