#include "fs/system/Zeitraster.h"

#include <ctime>

namespace tresor::posix {

std::int64_t ZeitrasterNs(std::int64_t stempelNs) {
    if (stempelNs % 2'000'000'000 == 0)
        return 2'000'000'000;
    std::int64_t schritt = 1'000'000'000;
    while (schritt > 1 && stempelNs % schritt != 0)
        schritt /= 10;
    return schritt;
}

bool StempelEindeutig(std::int64_t stempelNs, std::int64_t uhrNs) {
    const std::int64_t schritt = ZeitrasterNs(stempelNs);
    return stempelNs + schritt <= uhrNs || stempelNs > uhrNs + schritt + StempelvorlaufNs;
}

std::int64_t GrobeUhrNs() {
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::int64_t StempelWartezeitNs(std::int64_t stempelNs) {
    return 2 * ZeitrasterNs(stempelNs) + StempelvorlaufNs;
}

} // namespace tresor::posix
