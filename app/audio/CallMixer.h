#pragma once

#include "MixLane.h"
#include "PeakLimiter.h"
#include "SteeredResampler.h"
#include "StreamClock.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// Records both sides of a call as one track: the microphone and what the computer plays, captured by two
// streams on two device clocks, mixed sample by sample into mono 44.1 kHz signed 16-bit.
//
// Time: each block comes with the local time (steady clock) at which its first frame was captured, an
// estimate that is off by milliseconds. The output runs on the microphone's clock: its frames go out one for
// one. Each stream's frames are mapped to local time by a StreamClock (a fit over the last two minutes of
// readings), and the system audio goes through a SteeredResampler whose ratio is the two clocks' ratio plus
// a correction that pulls any offset from where its frames belong back to zero over a few seconds. So a sound
// that reaches both inputs at once stays together in the mix however long the call lasts, and the system
// audio's pitch never jumps. While the microphone is missing the output keeps the clock it had.
//
// Missing audio: the output goes on, silent where one input has nothing. A block whose time is more than
// `discontinuity` away from where its stream's clock expects it (audio lost, the input suspended), or the
// first block after endInput(), begins a new timeline of that input, placed by its own time. For the system
// audio `systemAudioDiscontinuity` is enough: the time an output plays what it is given steps by ten or
// twenty milliseconds when another program starts playing there with another latency, and a step the clock
// took as readings would tilt its rate, and so the system audio's pitch, for minutes. Both inputs gone is no
// call: a new start after that leaves the gap out of the output instead of filling it.
//
// Latency: output is made as far as both inputs have delivered, except that the system audio lagging more
// than `holdBack` behind the microphone (or expected and silent) is not waited for: it is taken as silence
// there, and what it delivers for that stretch later is dropped. The microphone is waited for while it runs
// (until its capture gives up on it): the system audio is placed where it is heard, up to the output's
// latency ahead of what the microphone has delivered, and the microphone's audio is never dropped for it. The
// limiter adds `lookAhead`; flush() hands out everything up to a local time at once, for a save.
//
// Levels: single-side audio keeps its exact level (the microphone's samples pass bit for bit); the sum of
// two loud sides is kept from clipping by a PeakLimiter, which only acts where the sum would exceed full
// scale. (A fixed -6 dB on each side would also prevent clipping, but would make every stretch where only one
// side speaks, most of a call, 6 dB quieter than recording that side alone.)
//
// Pure code: no clock is read, no thread is started. Calls from one thread at a time; the output handler
// runs inside append(), endInput() and flush().
class CallMixer {
public:
    enum class Input { microphone, systemAudio };
    using LocalTime = std::chrono::steady_clock::time_point;
    using OutputHandler = std::function<void(const int16_t* samples, std::size_t frameCount)>;

    static constexpr int sampleRate = 44'100;
    static constexpr std::chrono::milliseconds holdBack{300};
    static constexpr std::chrono::milliseconds discontinuity{25};
    static constexpr std::chrono::milliseconds systemAudioDiscontinuity{8};
    static constexpr std::chrono::milliseconds lookAhead{5};
    static constexpr int64_t readingIntervalFrames = sampleRate / 10;

    explicit CallMixer(OutputHandler output);

    // The input is about to start: the output waits for its first block (at most holdBack).
    void expectInput(Input input);
    // A block of signed 16-bit mono samples at 44.1 kHz (by the input's own clock).
    void append(Input input, const int16_t* samples, std::size_t frameCount, LocalTime captureTime);
    // The input stopped (or failed): the output no longer waits for it; its next block begins a new
    // timeline.
    void endInput(Input input);
    // Hands out the output up to `upTo` now: where an input has not delivered that far, it is silence, and
    // what it delivers for that stretch later is dropped. For a save asked at time T, flush(T - holdBack)
    // keeps what is still on its way.
    void flush(LocalTime upTo);
    // Hands out everything delivered so far, the limiter's look-ahead too: for the end of a call, once both
    // inputs have ended.
    void finish();

    // Frames handed to the output handler so far.
    int64_t outputFrameCount() const { return outputFrames_; }
    // System audio frames per output frame, as estimated now (1 before the system audio arrives).
    double systemAudioRateRatio() const;

private:
    enum class Phase { idle, expected, running };
    struct Source {
        Phase phase = Phase::idle;
        StreamClock clock;
        int64_t frames = 0; // frames of the current timeline so far
        int64_t nextReadingFrame = 0;
        MixLane lane;
    };

    Source& source(Input input) { return sources_[static_cast<std::size_t>(input)]; }
    double secondsSinceEpoch(LocalTime time);
    double outputFrameAt(double seconds) const;
    double secondsAtOutputFrame(double frame) const;

    // Notes when the current block's first frame was captured, at most once in readingIntervalFrames.
    void addReading(Source& appended, double seconds);
    void appendMicrophone(const float* samples, std::size_t frameCount, double seconds, bool newTimeline);
    void appendSystemAudio(const float* samples, std::size_t frameCount, double seconds, bool newTimeline);
    void restartResampler(double timelineFrame);
    void resample(const float* samples, std::size_t frameCount, double timelineFrame);
    void drainResampler();
    // Leaves out the time before `start` when nothing else is recording.
    void skipGapBefore(Input input, int64_t start);
    // Mixes as far as the inputs allow (see the class comment).
    void mixAvailable();
    void mixTo(int64_t end);
    void deliver();

    OutputHandler output_;
    std::array<Source, 2> sources_;
    std::optional<LocalTime> epoch_;

    // Output frame <-> local seconds: the microphone's clock while it runs, as it was after.
    bool outputClockSet_ = false;
    double outputAnchorFrame_ = 0;
    double outputAnchorSeconds_ = 0;
    double outputSecondsPerFrame_ = 1.0 / sampleRate;

    // The output frame of the microphone timeline's frame 0.
    int64_t microphoneOffset_ = 0;

    // The system audio: its resampler, the timeline frame of the resampler's input frame 0, the output frame
    // of its output frame 0, its smoothed offset from where it belongs (in seconds, positive when ahead) and
    // the smoothed ratio of the clocks (output frames per system audio frame).
    SteeredResampler resampler_{sampleRate};
    double resamplerInputStart_ = 0;
    int64_t resamplerOutputStart_ = 0;
    std::optional<double> smoothedOffsetSeconds_;
    std::optional<double> smoothedClockRatio_;

    int64_t mixed_ = 0; // the next output frame to mix; the lanes' read position
    int64_t outputFrames_ = 0;
    PeakLimiter limiter_;
    std::vector<float> converted_;
    std::vector<float> resampled_;
    std::vector<float> mix_;
    std::vector<int16_t> out_;
};
