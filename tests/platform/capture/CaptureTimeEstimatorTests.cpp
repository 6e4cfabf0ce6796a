// A microphone's capture times from when its blocks arrive: bursts, late blocks, a late start, a slow device
// clock and a silent stall, on simulated time.
#include "CaptureTimeEstimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <ostream>

namespace {

using Clock = CaptureTimeEstimator::Clock;
constexpr double rate = 44'100;
constexpr int64_t blockFrames = 8'820; // 200 ms

Clock::time_point at(double seconds) {
    return Clock::time_point{} +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double secondsOf(Clock::time_point time) {
    return std::chrono::duration<double>(time - Clock::time_point{}).count();
}

struct ArrivalCase {
    const char* name;
    double framesPerSecond;                            // the device's true rate
    std::function<double(int block)> delaySeconds;     // how long after its last frame a block arrives
    std::function<double(int block)> trueStartSeconds; // when the block's first frame was captured
    double settledAfterSeconds;                        // once a block came on time
    double toleranceSeconds;                           // for the times once settled
};

void PrintTo(const ArrivalCase& each, std::ostream* out) {
    *out << each.name;
}

class CaptureTimeArrivals : public testing::TestWithParam<ArrivalCase> {};

// Over a minute of blocks, once a block came on time: times within the tolerance of the truth, and two
// blocks' times as far apart as their frames (within the rise that follows a slow device).
TEST_P(CaptureTimeArrivals, TimesFollowTheTruthWithoutJumps) {
    const ArrivalCase& scenario = GetParam();
    CaptureTimeEstimator estimator(rate);
    std::optional<double> previous;
    for (int block = 0; block < 300; ++block) {
        const double start = scenario.trueStartSeconds(block);
        const double end = start + blockFrames / scenario.framesPerSecond;
        const double time = secondsOf(
            estimator.captureTime(block * blockFrames, blockFrames, at(end + scenario.delaySeconds(block))));
        if (start >= scenario.settledAfterSeconds) {
            EXPECT_NEAR(time, start, scenario.toleranceSeconds) << "block " << block;
        }
        if (previous && start > scenario.settledAfterSeconds) {
            EXPECT_NEAR(time - *previous, blockFrames / rate, 0.001) << "block " << block;
        }
        previous = time;
    }
}

double steady(int block) {
    return block * blockFrames / rate;
}

INSTANTIATE_TEST_SUITE_P(
    Arrivals, CaptureTimeArrivals,
    testing::Values(
        ArrivalCase{"Prompt", rate, [](int) { return 0.002; }, steady, 0, 0.003},
        // A source fed from a sink's monitor: three blocks at once, the first two long after they were done.
        ArrivalCase{"InBursts", rate, [](int block) { return 0.4 - 0.2 * (block % 3); }, steady, 0.4, 0.001},
        ArrivalCase{"SomeLate", rate, [](int block) { return block % 7 == 3 ? 0.15 : 0.001; }, steady, 0,
                    0.002},
        // The first blocks came long after they were captured: the times come down to the truth.
        ArrivalCase{"LateStart", rate, [](int block) { return block < 3 ? 0.3 : 0.001; }, steady, 0.6, 0.002},
        ArrivalCase{"SlowDevice", rate*(1 - 500e-6), [](int) { return 0.001; },
                    [](int block) { return block * blockFrames / (rate * (1 - 500e-6)); }, 0, 0.003}),
    [](const testing::TestParamInfo<ArrivalCase>& info) { return std::string(info.param.name); });

TEST(CaptureTime, AStallWithoutAWordStartsTheTimesAnewAndAResetDoesToo) {
    CaptureTimeEstimator estimator(rate);
    for (int block = 0; block < 10; ++block) {
        estimator.captureTime(block * blockFrames, blockFrames, at(steady(block + 1)));
    }
    // Nothing for three seconds, then the stream goes on where it was.
    EXPECT_NEAR(secondsOf(estimator.captureTime(10 * blockFrames, blockFrames, at(steady(11) + 3))),
                steady(10) + 3, 1e-6);
    // Less than the restart's second later: a slow rise, no jump.
    const double risen =
        secondsOf(estimator.captureTime(11 * blockFrames, blockFrames, at(steady(12) + 3.5)));
    EXPECT_NEAR(risen, steady(11) + 3, 0.001);
    estimator.reset();
    EXPECT_NEAR(secondsOf(estimator.captureTime(12 * blockFrames, blockFrames, at(steady(13) + 3.5))),
                steady(12) + 3.5, 1e-6);
}

} // namespace
