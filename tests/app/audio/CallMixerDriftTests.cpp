// The mixer keeps two inputs on drifting clocks together for as long as a call lasts: simulated time, clicks
// that reach both inputs at once, a pure tone through the steered resampler.
#include "CallSimulation.h"
#include "SignalMeasure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <numbers>
#include <ostream>

namespace {

constexpr double rate = CallMixer::sampleRate;
constexpr double toneHz = 1'000;
// A click reaches the microphone at each event, the same kind of click reaches the system audio 100 ms later.
constexpr double clickSpacingSeconds = 10;
constexpr double systemClickDelaySeconds = 0.1;
constexpr double alignmentToleranceSeconds = 0.020;

struct DriftCase {
    const char* name;
    double systemFramesPerSecond; // the microphone runs at exactly 44,100 Hz on the local clock
    double durationSeconds;
    uint64_t seed;
};

void PrintTo(const DriftCase& each, std::ostream* out) {
    *out << each.name;
}

class CallMixerDrift : public testing::TestWithParam<DriftCase> {};

TEST_P(CallMixerDrift, ClicksThatReachBothInputsAtOnceStayTogetherAndTheToneStaysPure) {
    const DriftCase& drift = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    // Pure arithmetic, the same code as the six minutes below: the hour is for the release build, where it
    // takes seconds rather than most of a minute.
    if (drift.durationSeconds > 600) {
        GTEST_SKIP() << "the simulated hour runs in the release build";
    }
#endif
    CallSimulation::Settings settings;
    settings.runs[0] = {{0.0}};
    // The microphone's first block comes first, so output frame n was captured at n / 44,100 s.
    settings.runs[1] = {{0.3137, std::numeric_limits<double>::max(), drift.systemFramesPerSecond}};
    settings.content[1].toneHz = toneHz;
    settings.content[1].toneAmplitude = 0.1;
    std::vector<double> events;
    for (double t = 5; t < drift.durationSeconds - 1; t += clickSpacingSeconds) {
        events.push_back(t);
        settings.content[0].clickSeconds.push_back(t);
        settings.content[1].clickSeconds.push_back(t + systemClickDelaySeconds);
    }
    settings.content[0].clickAmplitude = 0.5;
    settings.content[1].clickAmplitude = 0.6;
    settings.seed = drift.seed;
    settings.keepOutput = false;

    // The output runs on the microphone's clock: frame n was captured at n / 44,100 s. Kept from the output:
    // 200 ms around each pair of clicks, and 2,048 frames in the middle of every second for the tone.
    struct Kept {
        bool clicks;
        double seconds;
        std::size_t window;
    };
    std::vector<Kept> kept;
    const auto clickWindowFrames = static_cast<std::size_t>(0.2 * rate);
    constexpr std::size_t toneFrames = 2'048;
    std::size_t nextEvent = 0;
    std::size_t windows = 0;
    CallSimulation simulation(settings);
    for (int second = 0; second < static_cast<int>(drift.durationSeconds) - 1; ++second) {
        if (nextEvent < events.size() && events[nextEvent] < second + 0.5) {
            simulation.keepWindow(std::llround((events[nextEvent] - 0.05) * rate), clickWindowFrames);
            kept.push_back({true, events[nextEvent++], windows++});
        }
        if (second > 0) {
            simulation.keepWindow(std::llround((second + 0.5) * rate), toneFrames);
            kept.push_back({false, second + 0.5, windows++});
        }
    }

    const auto started = std::chrono::steady_clock::now();
    simulation.runUntil(drift.durationSeconds);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    ASSERT_GE(simulation.outputFrameCount(), std::llround((drift.durationSeconds - 1) * rate));

    double worstSeconds = 0, lastSeconds = 0, worstResidual = -200;
    const double radiansPerFrame = 2 * std::numbers::pi * toneHz / rate;
    for (const Kept& each : kept) {
        const auto& samples = simulation.window(each.window);
        if (!each.clicks) {
            const double residual =
                SignalMeasure::toneResidualDecibels(samples.data(), samples.size(), {radiansPerFrame});
            worstResidual = std::max(worstResidual, residual);
            EXPECT_LE(residual, -40) << "tone at " << each.seconds << " s";
            continue;
        }
        // The microphone's click is where its own clock puts it, to the frame: nothing slipped.
        const std::size_t microphoneClick =
            SignalMeasure::loudestFrame(samples.data(), 0, samples.size() / 2);
        EXPECT_EQ(microphoneClick, static_cast<std::size_t>(std::llround(0.05 * rate)))
            << "microphone click at " << each.seconds << " s";
        const std::size_t systemClick =
            SignalMeasure::loudestFrame(samples.data(), samples.size() / 2, samples.size() / 2);
        const double offsetSeconds =
            (static_cast<double>(systemClick) - static_cast<double>(microphoneClick)) / rate -
            systemClickDelaySeconds;
        EXPECT_LE(std::abs(offsetSeconds), alignmentToleranceSeconds) << "at " << each.seconds << " s";
        worstSeconds = std::max(worstSeconds, std::abs(offsetSeconds));
        lastSeconds = offsetSeconds;
    }
    std::cout << drift.name << ": simulated " << drift.durationSeconds << " s in " << took.count()
              << " s; clicks apart by at most " << worstSeconds * 1e3 << " ms, " << lastSeconds * 1e3
              << " ms at the end; tone residual at most " << worstResidual << " dB; estimated ratio "
              << (simulation.mixer().systemAudioRateRatio() - 1) * 1e6 << " ppm (true "
              << (drift.systemFramesPerSecond / rate - 1) * 1e6 << "); output lag mean "
              << simulation.meanLagSeconds() * 1e3 << " ms, longest " << simulation.longestLagSeconds() * 1e3
              << " ms\n";
}

INSTANTIATE_TEST_SUITE_P(Clocks, CallMixerDrift,
                         testing::Values(DriftCase{"FiftyPpmFastForAnHour", 44'102.205, 3'600, 1},
                                         DriftCase{"FiveHundredPpmFastForSixMinutes", 44'122.05, 360, 2},
                                         DriftCase{"FiveHundredPpmSlowForSixMinutes", 44'077.95, 360, 3}),
                         [](const testing::TestParamInfo<DriftCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
