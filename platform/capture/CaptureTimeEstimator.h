#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// When the frames of a microphone's record stream were captured, steadily, from when its blocks arrive. A
// block's last frame was captured before the block arrived, and as often as not only just before; a block
// that comes late (a busy machine, a source that hands its audio over in bursts) says nothing new. So the
// capture time of the stream's frame 0 is the earliest that the arrivals allow: down at once when a block
// allows an earlier one, up only by riseSecondsPerSecond (a device clock slower than ours), so that two
// blocks' times differ by their distance in frames and the mixer's clock of the stream keeps its rate.
// Arrivals restartSeconds or more later than it allows are audio that stopped and came back without a word:
// the times start anew there.
//
// The audio server's timing of the stream (pa_stream_get_timing_info) is no better for a microphone that
// records all along, and for one that delivers in bursts (a source fed from a sink's monitor, as virtual
// microphones are) it placed the bursts up to half a second late, one snapshot early and the next late, and
// the first blocks of a stream at the moment it connected (PulseAudio 16.1).
class CaptureTimeEstimator {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double riseSecondsPerSecond = 0.001;
    static constexpr double restartSeconds = 1.0;

    explicit CaptureTimeEstimator(double sampleRate)
        : sampleRate_(sampleRate) {}

    // The capture time of the block of `frameCount` frames that starts at the stream's frame `firstFrame` and
    // arrived at `arrival`.
    Clock::time_point captureTime(int64_t firstFrame, int64_t frameCount, Clock::time_point arrival);
    // Forgets what was seen: the stream was suspended, or begins again.
    void reset() { frameZero_.reset(); }

private:
    Clock::duration lengthOf(int64_t frames) const;

    double sampleRate_;
    std::optional<Clock::time_point> frameZero_;
    Clock::time_point lastArrival_;
};
