#include "PeakLimiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace {

constexpr std::size_t lookAheadFrames = 220;
constexpr double releaseFrames = 2'205;
constexpr float ceiling = 32'767.0f / 32'768.0f;

std::vector<int16_t> limit(PeakLimiter& limiter, const std::vector<float>& input) {
    std::vector<int16_t> output;
    std::mt19937_64 random(1);
    std::uniform_int_distribution<std::size_t> chunk(1, 3'000);
    for (std::size_t at = 0; at < input.size();) {
        const std::size_t count = std::min(chunk(random), input.size() - at);
        limiter.process(input.data() + at, count, output);
        at += count;
    }
    limiter.drain(output);
    return output;
}

TEST(PeakLimiter, WithinTheCeilingEverySamplePassesBitForBit) {
    std::vector<float> input(100'000);
    std::mt19937_64 random(2);
    std::uniform_int_distribution<int> sample(-32'767, 32'767);
    for (float& each : input) {
        each = static_cast<float>(sample(random)) / 32'768.0f;
    }
    PeakLimiter limiter(lookAheadFrames, releaseFrames, ceiling);
    const auto output = limit(limiter, input);
    ASSERT_EQ(output.size(), input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        ASSERT_EQ(output[i], std::lrint(input[i] * 32'768.0f)) << "at " << i;
    }
    EXPECT_EQ(limiter.limitedFrameCount(), 0);
}

// A tone at half scale with 20 ms at 1.6 times full scale in the middle.
TEST(PeakLimiter, ALoudStretchIsBroughtDownAheadOfItSmoothlyAndLetGo) {
    constexpr std::size_t burstStart = 44'100, burstFrames = 882;
    std::vector<float> input(4 * 44'100);
    for (std::size_t i = 0; i < input.size(); ++i) {
        const double amplitude = i >= burstStart && i < burstStart + burstFrames ? 1.6 : 0.5;
        input[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * 440 * i / 44'100.0));
    }
    PeakLimiter limiter(lookAheadFrames, releaseFrames, ceiling);
    const auto output = limit(limiter, input);
    ASSERT_EQ(output.size(), input.size());

    double previousGain = 1, largestStep = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        EXPECT_LE(std::abs(output[i]), 32'767) << "at " << i;
        if (std::abs(input[i]) > 0.2f) {
            const double gain = output[i] / (input[i] * 32'768.0);
            largestStep = std::max(largestStep, std::abs(gain - previousGain));
            previousGain = gain;
        }
    }
    // The gain moves by small steps (a 440 Hz tone has about 70 loud samples per period).
    EXPECT_LT(largestStep, 0.05);
    // Untouched until the look-ahead before the burst, and again a second after it.
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (i + lookAheadFrames < burstStart || i > burstStart + burstFrames + 44'100) {
            ASSERT_EQ(output[i], std::lrint(input[i] * 32'768.0f)) << "at " << i;
        }
    }
    EXPECT_GT(limiter.limitedFrameCount(), static_cast<int64_t>(burstFrames));
}

TEST(PeakLimiter, OutputLagsByTheLookAheadUntilDrained) {
    PeakLimiter limiter(lookAheadFrames, releaseFrames, ceiling);
    const std::vector<float> input(1'000, 0.25f);
    std::vector<int16_t> output;
    limiter.process(input.data(), input.size(), output);
    EXPECT_EQ(output.size(), input.size() - (lookAheadFrames - 1))
        << "the newest look-ahead less one frame wait";
    limiter.drain(output);
    EXPECT_EQ(output.size(), input.size());
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](int16_t sample) { return sample == 8'192; }));
}

} // namespace
