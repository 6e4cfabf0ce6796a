#include "StreamClock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <random>

namespace {

constexpr double nominalRate = 44'100;

// Readings as an audio server gives them: one per block of 10 to 250 ms, each off by up to `jitterSeconds`.
class Readings {
public:
    Readings(StreamClock& clock, uint64_t seed, double jitterSeconds)
        : clock_(clock)
        , random_(seed)
        , jitter_(-jitterSeconds, jitterSeconds) {}

    // Frames at `framesPerSecond` on the local clock from `fromSeconds` for `forSeconds`, continuing the
    // frame count.
    void add(double framesPerSecond, double fromSeconds, double forSeconds) {
        std::uniform_real_distribution<double> block(0.010, 0.250);
        for (double t = 0; t < forSeconds; t += block(random_)) {
            clock_.addReading(frame_ + t * framesPerSecond, fromSeconds + t + jitter_(random_));
            last_ = {frame_ + t * framesPerSecond, fromSeconds + t};
        }
        frame_ += forSeconds * framesPerSecond;
    }
    double frame() const { return frame_; }
    // The newest reading's frame and its true time.
    std::pair<double, double> last() const { return last_; }

private:
    StreamClock& clock_;
    std::mt19937_64 random_;
    std::uniform_real_distribution<double> jitter_;
    double frame_ = 0;
    std::pair<double, double> last_;
};

double ppm(double secondsPerFrame, double framesPerSecond) {
    return (secondsPerFrame * framesPerSecond - 1) * 1e6;
}

struct RateCase {
    const char* name;
    double offsetPpm;
    uint64_t seed;
};

void PrintTo(const RateCase& each, std::ostream* out) {
    *out << each.name;
}

class StreamClockRate : public testing::TestWithParam<RateCase> {};

TEST_P(StreamClockRate, TwoMinutesOfJitteredReadingsGiveTheRateAndWhereTheStreamIsNow) {
    const RateCase& rate = GetParam();
    const double trueRate = nominalRate * (1 + rate.offsetPpm * 1e-6);
    StreamClock clock;
    Readings readings(clock, rate.seed, 0.003);
    readings.add(trueRate, 1'000, 180);
    EXPECT_NEAR(ppm(clock.secondsPerFrame(), trueRate), 0, 10);
    const auto [frame, seconds] = readings.last();
    EXPECT_NEAR(clock.secondsAt(frame), seconds, 0.001);
    EXPECT_NEAR(clock.frameAt(seconds), frame, 0.001 * nominalRate);
    // The window holds two minutes of readings, not all three.
    EXPECT_NEAR(clock.spanSeconds(), 120, 1.5);
}

INSTANTIATE_TEST_SUITE_P(Offsets, StreamClockRate,
                         testing::Values(RateCase{"Nominal", 0, 1}, RateCase{"FiftyPpmFast", 50, 2},
                                         RateCase{"FiveHundredPpmSlow", -500, 3}),
                         [](const testing::TestParamInfo<RateCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(StreamClock, AFewReadingsLeanOnTheNominalRate) {
    // Five readings within half a second, 3 ms off: their own slope could be off by 1 %.
    const double offsetsSeconds[] = {0.003, -0.003, 0.002, 0.003, -0.003};
    StreamClock clock;
    for (int i = 0; i < 5; ++i) {
        clock.addReading(i * 0.1 * nominalRate, 50 + i * 0.1 + offsetsSeconds[i]);
    }
    EXPECT_NEAR(ppm(clock.secondsPerFrame(), nominalRate), 0, 300);
    EXPECT_NEAR(clock.secondsAt(0.2 * nominalRate), 50.2, 0.003);
}

TEST(StreamClock, ARestartKeepsTheRateAndFollowsTheNewTimeline) {
    const double trueRate = nominalRate * (1 + 400e-6);
    StreamClock clock;
    Readings readings(clock, 4, 0.003);
    readings.add(trueRate, 10, 120);
    const double found = clock.secondsPerFrame();

    clock.restart();
    EXPECT_FALSE(clock.hasReadings());
    clock.addReading(0, 500);
    EXPECT_EQ(clock.readingCount(), 1u);
    EXPECT_DOUBLE_EQ(clock.secondsPerFrame(), found);
    EXPECT_NEAR(clock.secondsAt(trueRate * 10), 510, 0.001);
}

TEST(StreamClock, OldReadingsLeaveTheWindowWhenTheRateChanges) {
    const double laterRate = nominalRate * (1 + 200e-6);
    StreamClock clock;
    Readings readings(clock, 5, 0.003);
    readings.add(nominalRate, 0, 200);
    EXPECT_NEAR(ppm(clock.secondsPerFrame(), nominalRate), 0, 10);
    readings.add(laterRate, 200, 200);
    EXPECT_NEAR(ppm(clock.secondsPerFrame(), laterRate), 0, 10);
}

} // namespace
