#include "CallMixer.h"

#include <algorithm>
#include <cmath>

namespace {

using Seconds = std::chrono::duration<double>;

const double holdBackSeconds = Seconds(CallMixer::holdBack).count();
const double discontinuitySeconds = Seconds(CallMixer::discontinuity).count();
const double systemAudioDiscontinuitySeconds = Seconds(CallMixer::systemAudioDiscontinuity).count();

// The system audio's ratio is set afresh for every chunk of at most this many frames.
constexpr std::size_t steeringChunkFrames = 2'048;
// An offset from where the system audio belongs is pulled back with this time constant, at most this fast
// (a pitch change of 0.2 %, far below what an ear notices), after smoothing the measured offsets (a quarter
// of the time constant keeps the correction from overshooting). The clocks' ratio is smoothed too: while the
// clocks have few readings it moves with each, and every move is a small change of pitch.
constexpr double correctionSeconds = 8;
constexpr double maximumCorrection = 0.002;
constexpr double offsetSmoothingSeconds = 2;
constexpr double ratioSmoothingSeconds = 4;
// Further off than this (the microphone's clock began anew, say), the system audio is placed again instead.
constexpr double replaceOffsetSeconds = 0.05;

// The limiter keeps the sum within 16 bits and comes back to unity gain over 50 ms.
constexpr float ceiling = 32'767.0f / 32'768.0f;
constexpr double releaseSeconds = 0.05;
constexpr std::size_t mixChunkFrames = 8'192;

// An exponential moving average; it starts at the first value.
double smoothed(std::optional<double> average, double value, double weight) {
    return average ? *average + (value - *average) * std::min(1.0, weight) : value;
}

std::size_t framesIn(std::chrono::milliseconds duration) {
    return static_cast<std::size_t>(duration.count() * CallMixer::sampleRate / 1000);
}

} // namespace

CallMixer::CallMixer(OutputHandler output)
    : output_(std::move(output))
    , limiter_(framesIn(lookAhead), releaseSeconds * sampleRate, ceiling) {}

void CallMixer::expectInput(Input input) {
    Source& expected = source(input);
    if (expected.phase == Phase::idle) {
        expected.phase = Phase::expected;
    }
}

void CallMixer::append(Input input, const int16_t* samples, std::size_t frameCount, LocalTime captureTime) {
    if (frameCount == 0) {
        return;
    }
    const double seconds = secondsSinceEpoch(captureTime);
    if (!outputClockSet_) {
        outputClockSet_ = true;
        outputAnchorFrame_ = static_cast<double>(mixed_);
        outputAnchorSeconds_ = seconds;
    }
    converted_.resize(frameCount);
    for (std::size_t i = 0; i < frameCount; ++i) {
        converted_[i] = static_cast<float>(samples[i]) / 32'768.0f;
    }
    Source& appended = source(input);
    bool newTimeline = appended.phase != Phase::running;
    if (!newTimeline) {
        const double expected = appended.clock.secondsAt(static_cast<double>(appended.frames));
        newTimeline = std::abs(seconds - expected) >
                      (input == Input::microphone ? discontinuitySeconds : systemAudioDiscontinuitySeconds);
    }
    if (input == Input::microphone) {
        appendMicrophone(converted_.data(), frameCount, seconds, newTimeline);
    } else {
        appendSystemAudio(converted_.data(), frameCount, seconds, newTimeline);
    }
    appended.phase = Phase::running;
    mixAvailable();
}

void CallMixer::endInput(Input input) {
    Source& ended = source(input);
    if (input == Input::systemAudio && ended.phase == Phase::running) {
        drainResampler();
    }
    ended.phase = Phase::idle;
    mixAvailable();
}

void CallMixer::flush(LocalTime upTo) {
    if (!outputClockSet_) {
        return;
    }
    const auto end = static_cast<int64_t>(std::ceil(outputFrameAt(secondsSinceEpoch(upTo))));
    mixTo(end);
    out_.clear();
    limiter_.drain(out_);
    deliver();
}

void CallMixer::finish() {
    mixAvailable();
    out_.clear();
    limiter_.drain(out_);
    deliver();
}

double CallMixer::systemAudioRateRatio() const {
    const StreamClock& clock = sources_[static_cast<std::size_t>(Input::systemAudio)].clock;
    return clock.hasReadings() ? outputSecondsPerFrame_ / clock.secondsPerFrame() : 1.0;
}

double CallMixer::secondsSinceEpoch(LocalTime time) {
    if (!epoch_) {
        epoch_ = time;
    }
    return Seconds(time - *epoch_).count();
}

double CallMixer::outputFrameAt(double seconds) const {
    return outputAnchorFrame_ + (seconds - outputAnchorSeconds_) / outputSecondsPerFrame_;
}

double CallMixer::secondsAtOutputFrame(double frame) const {
    return outputAnchorSeconds_ + (frame - outputAnchorFrame_) * outputSecondsPerFrame_;
}

void CallMixer::appendMicrophone(const float* samples, std::size_t frameCount, double seconds,
                                 bool newTimeline) {
    Source& microphone = source(Input::microphone);
    if (newTimeline) {
        microphone.clock.restart();
        microphone.frames = 0;
        microphoneOffset_ = std::llround(outputFrameAt(seconds));
        skipGapBefore(Input::microphone, microphoneOffset_);
    }
    const auto frame = static_cast<double>(microphone.frames);
    addReading(microphone, seconds);
    // The output runs on the microphone's clock.
    outputAnchorFrame_ = static_cast<double>(microphoneOffset_) + frame;
    outputAnchorSeconds_ = microphone.clock.secondsAt(frame);
    outputSecondsPerFrame_ = microphone.clock.secondsPerFrame();
    microphone.lane.write(microphoneOffset_ + microphone.frames, samples, frameCount);
    microphone.frames += static_cast<int64_t>(frameCount);
}

void CallMixer::appendSystemAudio(const float* samples, std::size_t frameCount, double seconds,
                                  bool newTimeline) {
    Source& systemAudio = source(Input::systemAudio);
    if (newTimeline) {
        drainResampler();
        systemAudio.clock.restart();
        systemAudio.frames = 0;
    }
    addReading(systemAudio, seconds);
    if (newTimeline) {
        restartResampler(0);
        skipGapBefore(Input::systemAudio, resamplerOutputStart_);
    }
    resample(samples, frameCount, static_cast<double>(systemAudio.frames));
    systemAudio.frames += static_cast<int64_t>(frameCount);
}

void CallMixer::addReading(Source& appended, double seconds) {
    // Blocks can come a few milliseconds apart (while another program plays with a small latency), and their
    // times' errors are not independent (a step in the server's timing moves many): more readings would make
    // the clock trust a step more than its prior, not be right sooner.
    if (appended.clock.hasReadings() && appended.frames < appended.nextReadingFrame) {
        return;
    }
    appended.clock.addReading(static_cast<double>(appended.frames), seconds);
    appended.nextReadingFrame = appended.frames + readingIntervalFrames;
}

void CallMixer::restartResampler(double timelineFrame) {
    const StreamClock& clock = source(Input::systemAudio).clock;
    resamplerInputStart_ = timelineFrame;
    resamplerOutputStart_ = std::llround(outputFrameAt(clock.secondsAt(timelineFrame)));
    smoothedOffsetSeconds_.reset();
}

void CallMixer::resample(const float* samples, std::size_t frameCount, double timelineFrame) {
    Source& systemAudio = source(Input::systemAudio);
    for (std::size_t done = 0; done < frameCount;) {
        const std::size_t chunk = std::min(steeringChunkFrames, frameCount - done);
        // Where the next output frame is taken from, against where it belongs.
        const double position = resamplerInputStart_ + resampler_.nextOutputInputPosition();
        const int64_t outputFrame = resamplerOutputStart_ + resampler_.outputFrameCount();
        const double wanted =
            systemAudio.clock.frameAt(secondsAtOutputFrame(static_cast<double>(outputFrame)));
        double offsetSeconds = (position - wanted) * systemAudio.clock.secondsPerFrame();
        if (std::abs(offsetSeconds) > replaceOffsetSeconds) {
            drainResampler();
            restartResampler(timelineFrame + static_cast<double>(done));
            offsetSeconds = 0;
        }
        const double clockRatio = systemAudio.clock.secondsPerFrame() / outputSecondsPerFrame_;
        const double chunkSeconds = static_cast<double>(chunk) / sampleRate;
        smoothedOffsetSeconds_ =
            smoothed(smoothedOffsetSeconds_, offsetSeconds, chunkSeconds / offsetSmoothingSeconds);
        smoothedClockRatio_ = smoothed(smoothedClockRatio_, clockRatio, chunkSeconds / ratioSmoothingSeconds);
        // Ahead of where it belongs, the system audio is stretched a little, behind it is squeezed.
        const double correction =
            std::clamp(*smoothedOffsetSeconds_ / correctionSeconds, -maximumCorrection, maximumCorrection);
        const double ratio = *smoothedClockRatio_ * (1 + correction);

        const int64_t writeFrame = resamplerOutputStart_ + resampler_.outputFrameCount();
        resampled_.clear();
        resampler_.process(samples + done, chunk, ratio, resampled_);
        systemAudio.lane.write(writeFrame, resampled_.data(), resampled_.size());
        done += chunk;
    }
}

void CallMixer::drainResampler() {
    if (resampler_.inputFrameCount() == 0) {
        return;
    }
    const int64_t writeFrame = resamplerOutputStart_ + resampler_.outputFrameCount();
    resampled_.clear();
    resampler_.drain(resampled_);
    source(Input::systemAudio).lane.write(writeFrame, resampled_.data(), resampled_.size());
}

void CallMixer::skipGapBefore(Input input, int64_t start) {
    if (start <= mixed_) {
        return;
    }
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        const Source& other = sources_[i];
        const bool otherRuns = static_cast<Input>(i) != input && other.phase == Phase::running;
        if (otherRuns || other.lane.end() > mixed_) {
            return;
        }
    }
    mixed_ = start;
    for (Source& each : sources_) {
        each.lane.skipTo(start);
    }
}

void CallMixer::mixAvailable() {
    // The microphone, while it runs or is expected, sets the pace: what the system audio delivers ahead of it
    // (an output's sound is placed where it is heard, up to the output's latency after it arrives) waits for
    // it.
    const Source& microphone = source(Input::microphone);
    int64_t newest = mixed_;
    for (const Source& each : sources_) {
        if (microphone.phase == Phase::idle || &each == &microphone) {
            newest = std::max(newest, each.lane.end());
        }
    }
    int64_t end = newest;
    for (const Source& each : sources_) {
        if (each.phase == Phase::expected) {
            end = mixed_;
        } else if (each.phase == Phase::running) {
            end = std::min(end, each.lane.end());
        }
    }
    const auto holdBackFrames = static_cast<int64_t>(std::llround(holdBackSeconds / outputSecondsPerFrame_));
    mixTo(std::max(end, newest - holdBackFrames));
}

void CallMixer::mixTo(int64_t end) {
    while (mixed_ < end) {
        const auto count = static_cast<std::size_t>(std::min<int64_t>(end - mixed_, mixChunkFrames));
        mix_.assign(count, 0.0f);
        for (Source& each : sources_) {
            each.lane.readAdding(mix_.data(), count);
        }
        mixed_ += static_cast<int64_t>(count);
        out_.clear();
        limiter_.process(mix_.data(), count, out_);
        deliver();
    }
}

void CallMixer::deliver() {
    if (out_.empty()) {
        return;
    }
    outputFrames_ += static_cast<int64_t>(out_.size());
    output_(out_.data(), out_.size());
}
