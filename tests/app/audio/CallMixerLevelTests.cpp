// Levels: one side alone comes out as loud as it went in; two loud sides never clip.
#include "CallSimulation.h"
#include "SignalMeasure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <ostream>

namespace {

constexpr double rate = CallMixer::sampleRate;

struct Tone {
    double amplitude;
    double hz;
};

struct LevelCase {
    const char* name;
    Tone microphone;
    Tone systemAudio;
};

void PrintTo(const LevelCase& each, std::ostream* out) {
    *out << each.name;
}

double toneDecibels(const Tone& tone) {
    return 10 * std::log10(tone.amplitude * tone.amplitude / 2);
}

class CallMixerLevel : public testing::TestWithParam<LevelCase> {};

TEST_P(CallMixerLevel, OneSideKeepsItsLevelAndTheSumNeverClips) {
    const LevelCase& levels = GetParam();
    CallSimulation::Settings settings;
    settings.runs[0] = {{0.0}};
    settings.runs[1] = {{0.3}};
    settings.content[0].toneAmplitude = levels.microphone.amplitude;
    settings.content[0].toneHz = levels.microphone.hz;
    settings.content[1].toneAmplitude = levels.systemAudio.amplitude;
    settings.content[1].toneHz = levels.systemAudio.hz;
    CallSimulation simulation(settings);
    simulation.runUntil(10);
    const auto& output = simulation.output();
    ASSERT_GE(output.size(), static_cast<std::size_t>(9 * rate));
    const int16_t* measured = output.data() + static_cast<std::size_t>(2 * rate);
    const auto measuredFrames = static_cast<std::size_t>(6 * rate);

    const bool oneSide = levels.microphone.amplitude == 0 || levels.systemAudio.amplitude == 0;
    const double sumAmplitude = levels.microphone.amplitude + levels.systemAudio.amplitude;
    const double level = SignalMeasure::levelDecibels(measured, measuredFrames);
    if (sumAmplitude <= 1) {
        // Nothing to limit: each side at its own level (different frequencies add up in power).
        const double expected = 10 * std::log10(std::pow(10, toneDecibels(levels.microphone) / 10) +
                                                std::pow(10, toneDecibels(levels.systemAudio) / 10));
        EXPECT_NEAR(level, expected, oneSide ? 0.05 : 0.1);
    } else {
        // Limited: brought down about as far as the sum's peaks need, not much further.
        const double unlimited = 10 * std::log10(std::pow(10, toneDecibels(levels.microphone) / 10) +
                                                 std::pow(10, toneDecibels(levels.systemAudio) / 10));
        const double peaksBroughtToFullScale = unlimited - 20 * std::log10(sumAmplitude);
        EXPECT_GE(level, peaksBroughtToFullScale - 0.5);
        EXPECT_LE(level, peaksBroughtToFullScale + 1.5);
    }

    // No clipping: no sample beyond full scale (the limiter brings peaks to 32,767 at most, also the
    // negative ones), and what is not the tones stays small (cut-off peaks would leave their harmonics).
    EXPECT_EQ(std::count(measured, measured + measuredFrames, int16_t{-32'768}), 0);
    std::vector<double> radiansPerFrame;
    for (const Tone& tone : {levels.microphone, levels.systemAudio}) {
        if (tone.amplitude > 0) {
            radiansPerFrame.push_back(2 * std::numbers::pi * tone.hz / rate);
        }
    }
    double worstResidual = -200;
    for (std::size_t at = 0; at + 4'096 <= measuredFrames; at += 22'050) {
        worstResidual = std::max(worstResidual,
                                 SignalMeasure::toneResidualDecibels(measured + at, 4'096, radiansPerFrame));
    }
    EXPECT_LE(worstResidual, sumAmplitude <= 1 ? -40 : -30);
}

INSTANTIATE_TEST_SUITE_P(Tones, CallMixerLevel,
                         testing::Values(LevelCase{"MicrophoneAlone", {0.5, 1'000}, {0, 0}},
                                         LevelCase{"SystemAudioAlone", {0, 0}, {0.5, 1'000}},
                                         LevelCase{"MicrophoneAloneAtFullScale", {1.0, 1'000}, {0, 0}},
                                         LevelCase{"SystemAudioAloneAtFullScale", {0, 0}, {1.0, 1'000}},
                                         LevelCase{"TwoQuietSidesAddUp", {0.1, 1'000}, {0.1, 1'500}},
                                         LevelCase{"TwoFullScaleSides", {1.0, 1'000}, {1.0, 1'500}},
                                         LevelCase{"TwoLoudSides", {0.7, 440}, {0.6, 1'250}}),
                         [](const testing::TestParamInfo<LevelCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
