#include "CallSimulation.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

uint64_t mixBits(uint64_t value) {
    value += 0x9e3779b97f4a7c15ull;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ull;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebull;
    return value ^ (value >> 31);
}

// A reproducible value in [-1, 1) for each frame of each run of each input.
double noiseAt(std::size_t input, std::size_t run, int64_t frame) {
    const uint64_t key = (static_cast<uint64_t>(input) << 62) ^ (static_cast<uint64_t>(run) << 48) ^
                         static_cast<uint64_t>(frame);
    return static_cast<double>(mixBits(key) >> 11) / static_cast<double>(uint64_t{1} << 52) - 1.0;
}

int16_t quantise(double value) {
    const double scaled = std::clamp(value * 32'768.0, -32'768.0, 32'767.0);
    return static_cast<int16_t>(scaled >= 0 ? scaled + 0.5 : scaled - 0.5);
}

} // namespace

CallSimulation::CallSimulation(Settings settings)
    : settings_(std::move(settings))
    , random_(settings_.seed)
    , mixer_([this](const int16_t* samples, std::size_t frameCount) { collect(samples, frameCount); }) {
    for (std::size_t input = 0; input < 2; ++input) {
        std::sort(settings_.content[input].clickSeconds.begin(), settings_.content[input].clickSeconds.end());
        cursors_[input].done = settings_.runs[input].empty();
        if (!cursors_[input].done) {
            mixer_.expectInput(static_cast<Input>(input));
            chooseNextBlock(input);
        }
    }
}

CallMixer::LocalTime CallSimulation::localTime(double trueSeconds) {
    // Far from the steady clock's epoch, as on a machine that has been up a while.
    return CallMixer::LocalTime(std::chrono::nanoseconds(std::llround((1'000.0 + trueSeconds) * 1e9)));
}

void CallSimulation::chooseNextBlock(std::size_t input) {
    const Run& run = settings_.runs[input][cursors_[input].run];
    std::uniform_real_distribution<double> length(settings_.shortestBlockSeconds,
                                                  settings_.longestBlockSeconds);
    cursors_[input].nextFrames = std::max<std::size_t>(
        1, static_cast<std::size_t>(std::lround(length(random_) * run.framesPerSecond)));
}

// When the next event of the input happens: its next block is complete, or its run ends.
double CallSimulation::blockEndSeconds(std::size_t input) const {
    const Cursor& cursor = cursors_[input];
    const Run& run = settings_.runs[input][cursor.run];
    const double begins = run.startSeconds + static_cast<double>(cursor.frame) / run.framesPerSecond;
    if (begins >= run.endSeconds) {
        return run.endSeconds;
    }
    return run.startSeconds +
           static_cast<double>(cursor.frame + static_cast<int64_t>(cursor.nextFrames)) / run.framesPerSecond;
}

void CallSimulation::runUntil(double trueSeconds) {
    for (;;) {
        std::size_t next = 2;
        double nextSeconds = trueSeconds;
        for (std::size_t input = 0; input < 2; ++input) {
            if (!cursors_[input].done && blockEndSeconds(input) <= nextSeconds) {
                next = input;
                nextSeconds = blockEndSeconds(input);
            }
        }
        if (next == 2) {
            return;
        }
        deliver(next);
    }
}

void CallSimulation::deliver(std::size_t input) {
    Cursor& cursor = cursors_[input];
    const Run& run = settings_.runs[input][cursor.run];
    const double begins = run.startSeconds + static_cast<double>(cursor.frame) / run.framesPerSecond;
    if (begins >= run.endSeconds) {
        if (run.announcedEnd) {
            mixer_.endInput(static_cast<Input>(input));
        }
        cursor.frame = 0;
        cursor.done = ++cursor.run == settings_.runs[input].size();
        if (!cursor.done) {
            chooseNextBlock(input);
        }
        return;
    }

    const Content& content = settings_.content[input];
    const std::size_t frames = cursor.nextFrames;
    const double step = 1.0 / run.framesPerSecond;
    block_.resize(frames);
    // The tone by turning a phasor (sin() per sample would make an hour slow), exact at each block's start.
    const double toneStep = 2 * std::numbers::pi * content.toneHz * step;
    const double startPhase = 2 * std::numbers::pi * std::fmod(content.toneHz * begins, 1.0);
    double re = std::cos(startPhase), im = std::sin(startPhase);
    const double stepRe = std::cos(toneStep), stepIm = std::sin(toneStep);
    const bool noisy = content.noiseAmplitude != 0;
    for (std::size_t i = 0; i < frames; ++i) {
        double value = content.toneAmplitude * im;
        if (noisy) {
            value +=
                content.noiseAmplitude * noiseAt(input, cursor.run, cursor.frame + static_cast<int64_t>(i));
        }
        block_[i] = quantise(value);
        const double turned = re * stepRe - im * stepIm;
        im = re * stepIm + im * stepRe;
        re = turned;
    }
    // A click sits on the frame nearest its time.
    auto click =
        std::lower_bound(content.clickSeconds.begin(), content.clickSeconds.end(), begins - step / 2);
    for (; click != content.clickSeconds.end(); ++click) {
        const int64_t frame = std::llround((*click - run.startSeconds) * run.framesPerSecond) - cursor.frame;
        if (frame >= static_cast<int64_t>(frames)) {
            break;
        }
        if (frame >= 0) {
            block_[static_cast<std::size_t>(frame)] =
                sample(static_cast<Input>(input), cursor.run, cursor.frame + frame);
        }
    }

    std::uniform_real_distribution<double> jitter(-settings_.jitterSeconds, settings_.jitterSeconds);
    mixer_.append(static_cast<Input>(input), block_.data(), frames,
                  localTime(begins + settings_.heardAfterSeconds[input] + jitter(random_)));
    cursor.frame += static_cast<int64_t>(frames);
    chooseNextBlock(input);

    const double ends = begins + static_cast<double>(frames) * step;
    newestDeliveredSeconds_ = std::max(newestDeliveredSeconds_, ends);
    if (settings_.runs[0].empty()) {
        return;
    }
    const Run& microphone = settings_.runs[0].front();
    if (ends > microphone.startSeconds + 1 && ends < microphone.endSeconds) {
        const double outputEnds = microphone.startSeconds +
                                  static_cast<double>(mixer_.outputFrameCount()) / microphone.framesPerSecond;
        const double lag = newestDeliveredSeconds_ - outputEnds;
        longestLagSeconds_ = std::max(longestLagSeconds_, lag);
        lagSum_ += lag;
        ++lagCount_;
    }
}

int16_t CallSimulation::sample(Input input, std::size_t run, int64_t frame) const {
    const auto index = static_cast<std::size_t>(input);
    const Content& content = settings_.content[index];
    const Run& timeline = settings_.runs[index][run];
    const double seconds = timeline.startSeconds + static_cast<double>(frame) / timeline.framesPerSecond;
    double value = content.toneAmplitude * std::sin(2 * std::numbers::pi * content.toneHz * seconds) +
                   content.noiseAmplitude * noiseAt(index, run, frame);
    const double halfFrame = 0.5 / timeline.framesPerSecond;
    auto click =
        std::lower_bound(content.clickSeconds.begin(), content.clickSeconds.end(), seconds - halfFrame);
    if (click != content.clickSeconds.end() &&
        std::llround((*click - timeline.startSeconds) * timeline.framesPerSecond) == frame) {
        value += content.clickAmplitude;
    }
    return quantise(value);
}

void CallSimulation::keepWindow(int64_t firstFrame, std::size_t frameCount) {
    windows_.push_back(Window{firstFrame, std::vector<int16_t>(frameCount, 0)});
}

void CallSimulation::collect(const int16_t* samples, std::size_t frameCount) {
    if (settings_.keepOutput) {
        output_.insert(output_.end(), samples, samples + frameCount);
    }
    const int64_t first = collected_;
    const int64_t last = first + static_cast<int64_t>(frameCount);
    auto windowEnd = [](const Window& window) {
        return window.first + static_cast<int64_t>(window.samples.size());
    };
    while (nextWindow_ < windows_.size() && windowEnd(windows_[nextWindow_]) <= first) {
        ++nextWindow_;
    }
    for (std::size_t i = nextWindow_; i < windows_.size() && windows_[i].first < last; ++i) {
        Window& window = windows_[i];
        const int64_t from = std::max(first, window.first);
        const int64_t to = std::min(last, windowEnd(window));
        for (int64_t frame = from; frame < to; ++frame) {
            window.samples[static_cast<std::size_t>(frame - window.first)] =
                samples[static_cast<std::size_t>(frame - first)];
        }
    }
    collected_ = last;
}
