// The retention rule: which points each part of a rule keeps, by the date in the backup folders' names.
#include "engine/ausduennung/Ausduennung.h"

#include <gtest/gtest.h>

#include <set>

namespace tresor::test {
namespace {

std::vector<std::string> Punkte(const std::vector<std::string>& zeiten) {
    std::vector<std::string> namen;
    for (const std::string& z : zeiten)
        namen.push_back("Sicherung-" + z);
    return namen;
}

TEST(Behalteregel, KeepsTheNewestPointOfEachPeriodThatHasOne) {
    struct Fall {
        std::string Was;
        std::vector<std::string> Zeiten; // oldest first
        Behalteregel Regel;
        std::set<std::string> Behalten;
    };
    const std::vector<std::string> tage = {"2026-03-10--09-00-00", "2026-03-14--09-00-00", "2026-03-14--18-00-00",
                                           "2026-03-15--08-00-00", "2026-03-17--10-00-00"};
    const std::vector<std::string> wende = {"2026-12-28--12-00-00", "2026-12-31--12-00-00", "2027-01-01--12-00-00",
                                            "2027-01-04--00-00-00"};
    const std::vector<std::string> monate = {"2026-01-31--23-59-59", "2026-02-01--00-00-00", "2026-02-28--12-00-00",
                                             "2026-03-01--00-00-00"};
    const std::vector<std::string> jahre = {"2024-12-30--10-00-00", "2025-06-01--10-00-00", "2025-12-31--23-59-59",
                                            "2026-01-01--00-00-00"};
    const std::vector<Fall> faelle = {
        {"ein Punkt", {"2026-03-14--09-00-00"}, {.Tage = 3}, {"2026-03-14--09-00-00"}},
        {"ein Punkt, leere Regel", {"2026-03-14--09-00-00"}, {}, {"2026-03-14--09-00-00"}},
        {"keine Punkte", {}, {.Letzte = 3}, {}},
        {"leere Regel: nur der neueste", tage, {}, {"2026-03-17--10-00-00"}},
        {"die letzten zwei", tage, {.Letzte = 2}, {"2026-03-15--08-00-00", "2026-03-17--10-00-00"}},
        {"mehr als es gibt", tage, {.Letzte = 9}, {tage.begin(), tage.end()}},
        {"Tage mit Lücken", tage, {.Tage = 2}, {"2026-03-15--08-00-00", "2026-03-17--10-00-00"}},
        {"mehrere an einem Tag: der neueste",
         tage,
         {.Tage = 3},
         {"2026-03-14--18-00-00", "2026-03-15--08-00-00", "2026-03-17--10-00-00"}},
        // 2026-03-15 is a Sunday, 2026-03-16 a Monday: the ISO week begins on Monday.
        {"Wochen, Montag zuerst", tage, {.Wochen = 2}, {"2026-03-15--08-00-00", "2026-03-17--10-00-00"}},
        {"Wochen über den Jahreswechsel (2027-01-01 liegt in der Woche 53 von 2026)",
         wende,
         {.Wochen = 2},
         {"2027-01-01--12-00-00", "2027-01-04--00-00-00"}},
        {"Wochen, nur eine", wende, {.Wochen = 1}, {"2027-01-04--00-00-00"}},
        {"Monatsenden", monate, {.Monate = 2}, {"2026-02-28--12-00-00", "2026-03-01--00-00-00"}},
        {"Monatsenden, drei",
         monate,
         {.Monate = 3},
         {"2026-01-31--23-59-59", "2026-02-28--12-00-00", "2026-03-01--00-00-00"}},
        {"Jahresenden", jahre, {.Jahre = 2}, {"2025-12-31--23-59-59", "2026-01-01--00-00-00"}},
        // 2024-12-30 belongs to ISO week 1 of 2025, but its year by the calendar is 2024.
        {"Jahre nach dem Kalender",
         jahre,
         {.Jahre = 3},
         {"2024-12-30--10-00-00", "2025-12-31--23-59-59", "2026-01-01--00-00-00"}},
        {"Teile zusammen: was einer behält, bleibt",
         tage,
         {.Letzte = 1, .Tage = 1, .Monate = 1, .Jahre = 1},
         {"2026-03-17--10-00-00"}},
        {"Teile zusammen, verschiedene",
         monate,
         {.Letzte = 1, .Tage = 2, .Monate = 3},
         {"2026-01-31--23-59-59", "2026-02-28--12-00-00", "2026-03-01--00-00-00"}},
    };
    for (const Fall& f : faelle) {
        const auto namen = Punkte(f.Zeiten);
        const std::vector<bool> behalten = Behaltene(namen, f.Regel);
        ASSERT_EQ(behalten.size(), namen.size()) << f.Was;
        std::set<std::string> ist;
        for (std::size_t i = 0; i < namen.size(); ++i)
            if (behalten[i])
                ist.insert(f.Zeiten[i]);
        EXPECT_EQ(ist, f.Behalten) << f.Was;
    }
}

} // namespace
} // namespace tresor::test
