#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SwrContext;

// A resampler between two clocks of the same nominal rate whose ratio is set afresh for every chunk: what
// keeps one capture stream in step with another that runs a few ppm faster or slower. It is libswresample's
// filter with its compensation (the output runs `ratio` times as many frames as the input), which changes the
// step between output frames without a jump, so a pure tone stays a pure tone while the ratio moves.
//
// It also says exactly where it is: the input position (in input frames, with fractions) that the next output
// frame is taken from, so that a caller can measure how far the output has drifted from where it belongs and
// steer it back.
//
// Mono float samples. Not copyable; one thread at a time.
class SteeredResampler {
public:
    // The largest departure of `ratio` from 1 that process() takes; beyond it the ratio is clamped.
    static constexpr double maximumRatioOffset = 0.005;

    explicit SteeredResampler(int sampleRate);
    ~SteeredResampler();

    SteeredResampler(const SteeredResampler&) = delete;
    SteeredResampler& operator=(const SteeredResampler&) = delete;

    // Resamples `frameCount` frames at `ratio` output frames per input frame and appends what comes out to
    // `output`. A few frames (half the filter) stay inside until more input or drain() pushes them out.
    void process(const float* input, std::size_t frameCount, double ratio, std::vector<float>& output);
    // Appends the frames still inside, as if the input went on in silence; the resampler then starts again
    // (input and output positions back at 0).
    void drain(std::vector<float>& output);

    // The input position from which the next output frame is made.
    double nextOutputInputPosition() const;
    int64_t inputFrameCount() const { return inputFrames_; }
    int64_t outputFrameCount() const { return outputFrames_; }

private:
    void open();

    int sampleRate_;
    SwrContext* context_ = nullptr;
    int64_t inputFrames_ = 0;
    int64_t outputFrames_ = 0;
    int compensation_ = 0;
};
