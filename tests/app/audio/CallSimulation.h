#pragma once

#include "CallMixer.h"

#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

// Both inputs of a call as a CallMixer meets them, in simulated time: each input runs on its own clock (a
// true rate on the local clock), in runs (a run is a timeline from frame 0), delivered in blocks of random
// length whose capture times are off by a random jitter. Blocks reach the mixer in the order they are
// complete. What the inputs carry is set by true time: a tone, noise, single-sample clicks.
class CallSimulation {
public:
    using Input = CallMixer::Input;

    struct Run {
        double startSeconds = 0;                                // true local time of frame 0
        double endSeconds = std::numeric_limits<double>::max(); // no block begins at or after it
        double framesPerSecond = 44'100;                        // the device's true rate
        bool announcedEnd = true;                               // endInput() after the last block
    };
    struct Content {
        double toneHz = 0;
        double toneAmplitude = 0;
        double noiseAmplitude = 0; // deterministic, from the frame's true time
        std::vector<double> clickSeconds;
        double clickAmplitude = 0.5;
    };
    struct Settings {
        std::array<std::vector<Run>, 2> runs; // by Input
        std::array<Content, 2> content;
        double jitterSeconds = 0.003;
        // How long after its capture an input's audio counts (by Input): an output's sound is placed where it
        // is heard, its latency after the server mixed it.
        std::array<double, 2> heardAfterSeconds{};
        double shortestBlockSeconds = 0.010;
        double longestBlockSeconds = 0.250;
        uint64_t seed = 1;
        bool keepOutput = true;
    };

    explicit CallSimulation(Settings settings);

    // Delivers every block complete by `trueSeconds` (in order), then returns.
    void runUntil(double trueSeconds);
    CallMixer& mixer() { return mixer_; }
    static CallMixer::LocalTime localTime(double trueSeconds);

    // The sample an input delivers as frame `frame` of its run `run`.
    int16_t sample(Input input, std::size_t run, int64_t frame) const;
    // The output so far (when kept), and only the frames inside windows asked for beforehand otherwise.
    const std::vector<int16_t>& output() const { return output_; }
    int64_t outputFrameCount() const { return mixer_.outputFrameCount(); }
    // Keeps output frames [first, first + count) even when the whole output is not kept; window(i) reads it.
    // Windows are asked for in order, none beginning before the one before it ends.
    void keepWindow(int64_t firstFrame, std::size_t frameCount);
    const std::vector<int16_t>& window(std::size_t index) const { return windows_[index].samples; }
    // How far the output's end lagged behind the newest audio delivered (its true time), measured after
    // each block from the second second on, on the clock of the microphone's first run.
    double longestLagSeconds() const { return longestLagSeconds_; }
    double meanLagSeconds() const { return lagCount_ ? lagSum_ / static_cast<double>(lagCount_) : 0; }

private:
    struct Cursor {
        std::size_t run = 0;
        int64_t frame = 0; // next frame of the run
        std::size_t nextFrames = 0;
        bool done = false;
    };
    struct Window {
        int64_t first;
        std::vector<int16_t> samples;
    };

    void chooseNextBlock(std::size_t input);
    double blockEndSeconds(std::size_t input) const;
    void deliver(std::size_t input);
    void collect(const int16_t* samples, std::size_t frameCount);

    Settings settings_;
    std::mt19937_64 random_;
    std::array<Cursor, 2> cursors_;
    std::vector<int16_t> output_;
    std::vector<Window> windows_;
    std::size_t nextWindow_ = 0; // the first window the output has not passed
    int64_t collected_ = 0;
    std::vector<int16_t> block_;
    double newestDeliveredSeconds_ = 0;
    double longestLagSeconds_ = 0;
    double lagSum_ = 0;
    int64_t lagCount_ = 0;
    CallMixer mixer_;
};
