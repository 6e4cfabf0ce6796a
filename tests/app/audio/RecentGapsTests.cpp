// The watchdog's memory of gaps between blocks: recent ones count, one long gap long ago does not.
#include "RecentGaps.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(RecentGaps, ALongGapCountsForOneToTwoWindowsThenNoMore) {
    const RecentGaps::Clock::time_point start{600s}; // the start of a 60-second stretch
    RecentGaps gaps(60s);
    gaps.note(start + 10s, 20s);
    gaps.note(start + 11s, 100ms);
    const struct {
        std::chrono::seconds at;
        std::chrono::milliseconds longest;
    } cases[] = {{11s, 20'000ms},  {59s, 20'000ms}, {60s, 20'000ms},
                 {119s, 20'000ms}, {120s, 0ms},     {500s, 0ms}};
    for (const auto& example : cases) {
        EXPECT_EQ(gaps.longest(start + example.at), example.longest) << example.at.count() << " s";
    }
}

TEST(RecentGaps, NewGapsKeepCountingAndClearingForgetsAll) {
    const RecentGaps::Clock::time_point start{600s};
    RecentGaps gaps(60s);
    for (int second = 0; second < 300; ++second) {
        gaps.note(start + std::chrono::seconds(second), second == 200 ? 3s : 100ms);
    }
    EXPECT_EQ(gaps.longest(start + 299s), 3s) << "the gap at 200 s is within the last two stretches";
    gaps.clear();
    EXPECT_EQ(gaps.longest(start + 299s), 0s);
    gaps.note(start + 400s, 250ms);
    EXPECT_EQ(gaps.longest(start + 400s), 250ms);
}
