#include "engine/sicherung/Sicherung.h"

#include <gtest/gtest.h>

namespace tresor {
namespace {

TEST(Sicherungsname, FormsThirtyCharactersFromDateAndTime) {
    EXPECT_EQ(Sicherungsordnername({2002, 2, 7}, {13, 42, 27}), "Sicherung-2002-02-07--13-42-27");
    EXPECT_EQ(Sicherungsordnername({1999, 12, 31}, {0, 0, 5}), "Sicherung-1999-12-31--00-00-05");
    EXPECT_EQ(Sicherungsordnername({2002, 2, 7}, {23, 9, 0}).size(), 30u);
}

} // namespace
} // namespace tresor
