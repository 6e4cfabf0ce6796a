#include "NewBrandWindowController.h"

#include <gtest/gtest.h>

namespace {
constexpr double firstShown = 1'700'000'000.25;
} // namespace

TEST(NewBrandWindowController, AnnouncementIsDueFromTwoDaysAfterTheFirstShowingOn) {
    EXPECT_FALSE(NewBrandWindowController::isAnnouncementDue(firstShown + 172'799.75, firstShown));
    EXPECT_TRUE(NewBrandWindowController::isAnnouncementDue(firstShown + 172'800, firstShown));
    EXPECT_TRUE(NewBrandWindowController::isAnnouncementDue(firstShown + 10 * 172'800, firstShown));
}

TEST(NewBrandWindowController, NeverShownCountsAsLongAgo) {
    // An absent date reads as 0: the close of a window shown before the date was stored is due.
    EXPECT_TRUE(NewBrandWindowController::isAnnouncementDue(firstShown, 0.0));
}
