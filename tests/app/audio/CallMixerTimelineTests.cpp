// Inputs that stop, stall, lose audio or come late: the output goes on, silent where an input is missing,
// the other side untouched, and never waits long.
#include "CallSimulation.h"
#include "SignalMeasure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>
#include <ostream>

namespace {

using Input = CallMixer::Input;
using Run = CallSimulation::Run;

constexpr double rate = CallMixer::sampleRate;
constexpr double forever = std::numeric_limits<double>::max();
constexpr double alignmentToleranceSeconds = 0.020;
// The output lags the newest audio by at most the hold-back and the limiter's look-ahead.
const double lagBoundSeconds =
    std::chrono::duration<double>(CallMixer::holdBack + CallMixer::lookAhead).count() + 2 / rate;

int64_t frameAt(double seconds) {
    return std::llround(seconds * rate);
}

// The clicks a run list delivers (none is near a run's start or end).
std::vector<double> deliveredClicks(const std::vector<double>& clicks, const std::vector<Run>& runs) {
    std::vector<double> delivered;
    for (double click : clicks) {
        for (const Run& run : runs) {
            if (click >= run.startSeconds && click < run.endSeconds) {
                delivered.push_back(click);
            }
        }
    }
    return delivered;
}

struct SystemAudioCase {
    const char* name;
    std::vector<Run> runs;
    double flushAtSeconds;        // when a save flushes the mixer, or never (negative)
    double heardAfterSeconds = 0; // how far ahead of its capture the system audio is placed
};

void PrintTo(const SystemAudioCase& each, std::ostream* out) {
    *out << each.name;
}

class CallMixerSystemAudioTimeline : public testing::TestWithParam<SystemAudioCase> {};

// The microphone carries noise and runs throughout (so output frame n is its frame n); the system audio
// carries only clicks. Output minus microphone is then exactly what the system audio added.
TEST_P(CallMixerSystemAudioTimeline, TheMicrophoneIsUntouchedAndTheSystemAudioStaysInPlace) {
    const SystemAudioCase& scenario = GetParam();
    constexpr double durationSeconds = 120;
    CallSimulation::Settings settings;
    settings.runs[0] = {{0.0}};
    settings.runs[1] = scenario.runs;
    settings.heardAfterSeconds[1] = scenario.heardAfterSeconds;
    settings.content[0].noiseAmplitude = 0.05;
    for (double t = 2.6; t < durationSeconds; t += 5) {
        settings.content[1].clickSeconds.push_back(t);
    }
    settings.seed = 7;
    CallSimulation simulation(settings);
    if (scenario.flushAtSeconds >= 0) {
        simulation.runUntil(scenario.flushAtSeconds);
        const auto saveAsked = CallSimulation::localTime(scenario.flushAtSeconds);
        simulation.mixer().flush(saveAsked - CallMixer::holdBack);
        EXPECT_GE(simulation.outputFrameCount(), frameAt(scenario.flushAtSeconds) - frameAt(0.3))
            << "the save's audio ends more than the hold-back before it was asked for";
    }
    simulation.runUntil(durationSeconds);
    const auto& output = simulation.output();
    ASSERT_GE(output.size(), static_cast<std::size_t>(frameAt(durationSeconds - 1)));

    std::vector<int> added(output.size());
    for (std::size_t n = 0; n < output.size(); ++n) {
        added[n] = output[n] - simulation.sample(Input::microphone, 0, static_cast<int64_t>(n));
    }
    // Each click the system audio delivered is in the output, where it belongs.
    std::vector<bool> nearClick(output.size(), false);
    for (double click : deliveredClicks(settings.content[1].clickSeconds, scenario.runs)) {
        const int64_t expected = frameAt(click + scenario.heardAfterSeconds);
        const int64_t searched = frameAt(0.03);
        std::size_t found = static_cast<std::size_t>(expected - searched);
        for (int64_t n = expected - searched; n < expected + searched; ++n) {
            if (std::abs(added[static_cast<std::size_t>(n)]) > std::abs(added[found])) {
                found = static_cast<std::size_t>(n);
            }
        }
        EXPECT_GT(std::abs(added[found]), 8'000) << "no click near " << click << " s";
        EXPECT_LE(std::abs(static_cast<double>(static_cast<int64_t>(found) - expected)) / rate,
                  alignmentToleranceSeconds)
            << "click at " << click << " s";
        for (int64_t n = static_cast<int64_t>(found) - frameAt(0.002);
             n < static_cast<int64_t>(found) + frameAt(0.002); ++n) {
            nearClick[static_cast<std::size_t>(n)] = true;
        }
    }
    // Everywhere else the system audio added nothing: silence while it was missing, and the microphone's
    // samples bit for bit.
    std::size_t touched = 0;
    std::optional<std::size_t> firstTouched;
    for (std::size_t n = 0; n < output.size(); ++n) {
        if (!nearClick[n] && added[n] != 0) {
            ++touched;
            firstTouched = firstTouched.value_or(n);
        }
    }
    EXPECT_EQ(touched, 0u) << "first at " << static_cast<double>(firstTouched.value_or(0)) / rate << " s";
    EXPECT_LE(simulation.longestLagSeconds(), lagBoundSeconds);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, CallMixerSystemAudioTimeline,
    testing::Values(
        SystemAudioCase{"StopsAndStartsAgain", {{0.3, 40, 44'102.2}, {60.3, forever, 44'099.0}}, -1},
        // No word that it stopped: it is waited for the hold-back only; it comes back on a new timeline.
        SystemAudioCase{"StallsAndComesBack", {{0.3, 30, 44'102.2, false}, {45.2, forever, 44'102.2}}, -1},
        SystemAudioCase{"LosesAudio", {{0.3, 30, 44'102.2, false}, {30.4, forever, 44'102.2}}, -1},
        SystemAudioCase{"StartsLate", {{20.3, forever, 44'102.2}}, -1},
        SystemAudioCase{"IsSavedWhileRunning", {{0.3, forever, 44'102.2}}, 20},
        // Heard more than the hold-back after it is captured: it waits for the microphone, which loses
        // nothing.
        SystemAudioCase{"IsHeardLate", {{0.3, forever, 44'102.2}}, 20, 0.6}),
    [](const testing::TestParamInfo<SystemAudioCase>& info) { return std::string(info.param.name); });

// The system audio carries a tone and runs throughout; the microphone, which the output's clock follows,
// goes away for 20 s. The output goes on at the same pace and the tone through it stays pure.
TEST(CallMixerMicrophoneTimeline, TheOutputKeepsItsClockWhileTheMicrophoneIsAway) {
    constexpr double durationSeconds = 120, toneHz = 1'000;
    CallSimulation::Settings settings;
    settings.runs[0] = {{0.0, 50}, {70.2, forever, 44'100.0}};
    settings.runs[1] = {{0.3137, forever, 44'102.2}};
    settings.content[1].toneHz = toneHz;
    settings.content[1].toneAmplitude = 0.1;
    std::vector<double> events;
    for (double t = 5; t < durationSeconds - 1; t += 10) {
        events.push_back(t);
        settings.content[0].clickSeconds.push_back(t);
        settings.content[1].clickSeconds.push_back(t + 0.1);
    }
    settings.seed = 11;
    CallSimulation simulation(settings);
    simulation.runUntil(durationSeconds);
    const auto& output = simulation.output();
    // Nothing left out, nothing added: the output still runs on the microphone's clock.
    EXPECT_NEAR(static_cast<double>(output.size()) / rate, durationSeconds, 0.3);

    const double radiansPerFrame = 2 * std::numbers::pi * toneHz / rate;
    for (double t = 1; t < durationSeconds - 1; t += 0.5) {
        if (std::fmod(t, 10.0) == 5) {
            continue; // the clicks
        }
        const double residual =
            SignalMeasure::toneResidualDecibels(output.data() + frameAt(t), 2'048, {radiansPerFrame});
        EXPECT_LE(residual, -40) << "tone at " << t << " s";
    }
    for (double event : events) {
        if (event > 50 - 0.3 && event < 70.2 + 0.3) {
            continue; // the microphone was away
        }
        // After the microphone came back its clicks are within the jitter of their old place.
        const int64_t searched = frameAt(0.03);
        const std::size_t microphoneClick = SignalMeasure::loudestFrame(
            output.data(), static_cast<std::size_t>(frameAt(event) - searched), 2 * searched);
        const std::size_t systemClick = SignalMeasure::loudestFrame(
            output.data(), static_cast<std::size_t>(frameAt(event + 0.1) - searched), 2 * searched);
        const double offsetSeconds =
            (static_cast<double>(systemClick) - static_cast<double>(microphoneClick)) / rate - 0.1;
        EXPECT_LE(std::abs(offsetSeconds), alignmentToleranceSeconds) << "at " << event << " s";
    }
}

// When both inputs are gone there is no call: a new start leaves the gap out.
TEST(CallMixerMicrophoneTimeline, AGapWithNeitherInputIsLeftOut) {
    CallSimulation::Settings settings;
    settings.runs[0] = {{0.0, 20}, {100.0, 130}};
    settings.runs[1] = {{0.3, 20}, {100.3, 130}};
    for (double t : {5.0, 15.0, 105.0, 125.0}) {
        settings.content[0].clickSeconds.push_back(t);
        settings.content[1].clickSeconds.push_back(t + 0.1);
    }
    settings.seed = 13;
    CallSimulation simulation(settings);
    simulation.runUntil(131);
    const auto& output = simulation.output();
    // Each run's last block may reach a quarter of a second past its end.
    EXPECT_GE(static_cast<double>(output.size()) / rate, 50 - 0.01);
    EXPECT_LE(static_cast<double>(output.size()) / rate, 50.5);

    std::vector<std::size_t> clicks;
    for (std::size_t n = 0; n < output.size(); ++n) {
        if (std::abs(output[n]) > 8'000 &&
            (clicks.empty() || n - clicks.back() > static_cast<std::size_t>(rate / 50))) {
            clicks.push_back(n);
        }
    }
    ASSERT_EQ(clicks.size(), 8u);
    for (std::size_t pair = 0; pair < clicks.size(); pair += 2) {
        const double apart = static_cast<double>(clicks[pair + 1] - clicks[pair]) / rate;
        EXPECT_NEAR(apart, 0.1, alignmentToleranceSeconds) << "pair " << pair / 2;
    }
}

} // namespace
