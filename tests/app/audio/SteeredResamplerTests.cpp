#include "SignalMeasure.h"
#include "SteeredResampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <ostream>
#include <random>

namespace {

constexpr int rate = 44'100;

struct RatioCase {
    const char* name;
    double ratio;
};

void PrintTo(const RatioCase& each, std::ostream* out) {
    *out << each.name;
}

class SteeredResamplerRatio : public testing::TestWithParam<RatioCase> {};

// An impulse in 20 s of silence, fed in chunks of random length: it comes out where the resampler said the
// next output frames would be taken from, and the output is as long as the ratio makes it.
TEST_P(SteeredResamplerRatio, SaysWhereEachOutputFrameComesFrom) {
    const double ratio = GetParam().ratio;
    const int64_t inputFrames = 20 * rate, impulseFrame = 15 * rate + 17;
    std::vector<float> input(static_cast<std::size_t>(inputFrames), 0.0f);
    input[static_cast<std::size_t>(impulseFrame)] = 0.5f;
    input.back() = 0.5f;

    SteeredResampler resampler(rate);
    EXPECT_EQ(resampler.nextOutputInputPosition(), 0.0);
    std::vector<float> output;
    std::mt19937_64 random(GetParam().ratio * 1e6);
    std::uniform_int_distribution<std::size_t> chunk(100, 5'000);
    double predictedOutputFrame = -1;
    for (std::size_t at = 0; at < input.size();) {
        const std::size_t count = std::min(chunk(random), input.size() - at);
        const double position = resampler.nextOutputInputPosition();
        const auto before = static_cast<double>(resampler.outputFrameCount());
        resampler.process(input.data() + at, count, ratio, output);
        const double after = resampler.nextOutputInputPosition();
        if (position <= static_cast<double>(impulseFrame) && static_cast<double>(impulseFrame) < after) {
            predictedOutputFrame = before + (static_cast<double>(impulseFrame) - position) * ratio;
        }
        at += count;
    }
    ASSERT_GE(predictedOutputFrame, 0);
    std::vector<int16_t> quantised(output.size());
    for (std::size_t i = 0; i < output.size(); ++i) {
        quantised[i] = static_cast<int16_t>(std::lrint(output[i] * 32'767));
    }
    const std::size_t found = SignalMeasure::loudestFrame(quantised.data(), 0, quantised.size() - 1'000);
    EXPECT_NEAR(static_cast<double>(found), predictedOutputFrame, 0.5);
    EXPECT_EQ(resampler.outputFrameCount(), static_cast<int64_t>(output.size()));
    EXPECT_EQ(resampler.inputFrameCount(), inputFrames);

    // Nothing is lost at the end: draining gives the frames the filter held, the last input frame's among
    // them. (libswresample sets a ratio to about a ppm.)
    resampler.drain(output);
    EXPECT_NEAR(static_cast<double>(output.size()), static_cast<double>(inputFrames) * ratio,
                static_cast<double>(inputFrames) * 10e-6);
    float tailPeak = 0;
    std::size_t tailPeakFrame = 0;
    for (std::size_t i = output.size() - 64; i < output.size(); ++i) {
        if (std::abs(output[i]) > tailPeak) {
            tailPeak = std::abs(output[i]);
            tailPeakFrame = i;
        }
    }
    EXPECT_GT(tailPeak, 0.25f); // an impulse between two output frames comes out lower
    EXPECT_GE(tailPeakFrame + 2, output.size());
    EXPECT_EQ(resampler.inputFrameCount(), 0);
    EXPECT_EQ(resampler.nextOutputInputPosition(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Ratios, SteeredResamplerRatio,
                         testing::Values(RatioCase{"Equal", 1.0}, RatioCase{"FiftyPpmMore", 1 + 50e-6},
                                         RatioCase{"FiveHundredPpmLess", 1 - 500e-6},
                                         RatioCase{"TwoPerMilleMore", 1 + 0.002}),
                         [](const testing::TestParamInfo<RatioCase>& info) {
                             return std::string(info.param.name);
                         });

// The ratio swings by a per mille each way and back while a tone goes through, changed every 50 ms: no step,
// no click, just the slow change of pitch the ratio asks for.
TEST(SteeredResampler, ATonesStaysPureWhileTheRatioMoves) {
    constexpr double toneHz = 1'000;
    constexpr std::size_t chunk = rate / 20;
    std::vector<float> tone(chunk);
    SteeredResampler resampler(rate);
    std::vector<float> output;
    double phase = 0;
    for (int step = 0; step < 200; ++step) {
        for (float& sample : tone) {
            sample = static_cast<float>(0.3 * std::sin(phase));
            phase += 2 * std::numbers::pi * toneHz / rate;
        }
        const double ratio = 1 + 0.001 * std::sin(2 * std::numbers::pi * step / 100);
        resampler.process(tone.data(), tone.size(), ratio, output);
    }
    std::vector<int16_t> quantised(output.size());
    for (std::size_t i = 0; i < output.size(); ++i) {
        quantised[i] = static_cast<int16_t>(std::lrint(output[i] * 32'767));
    }
    double worst = -200;
    for (std::size_t at = rate; at + 2'048 < quantised.size(); at += rate / 4) {
        worst = std::max(worst, SignalMeasure::toneResidualDecibels(quantised.data() + at, 2'048,
                                                                    {2 * std::numbers::pi * toneHz / rate}));
    }
    EXPECT_LE(worst, -60);
}

} // namespace
