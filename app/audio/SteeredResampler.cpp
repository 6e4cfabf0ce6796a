#include "SteeredResampler.h"

#include <algorithm>
#include <cmath>
#include <new>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace {

// How many output frames one compensation lasts; process() sets it again long before it runs out.
constexpr int compensationDistanceFrames = 1 << 24;
// swr_get_delay answers in this fraction of an input frame.
constexpr int64_t positionUnitsPerFrame = int64_t{1} << 20;
// Enough silence to push every frame still inside the filter out (its length is 32 at the default quality).
constexpr std::size_t drainSilenceFrames = 128;

} // namespace

SteeredResampler::SteeredResampler(int sampleRate)
    : sampleRate_(sampleRate) {
    open();
}

SteeredResampler::~SteeredResampler() {
    swr_free(&context_);
}

void SteeredResampler::open() {
    swr_free(&context_);
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    if (swr_alloc_set_opts2(&context_, &mono, AV_SAMPLE_FMT_FLT, sampleRate_, &mono, AV_SAMPLE_FMT_FLT,
                            sampleRate_, 0, nullptr) < 0 ||
        context_ == nullptr) {
        throw std::bad_alloc();
    }
    // At equal rates libswresample would only copy; compensation needs its filter.
    av_opt_set_int(context_, "flags", SWR_FLAG_RESAMPLE, 0);
    // The first compensation rebuilds the filter for fine steps, which it can only do before any frame.
    if (swr_init(context_) < 0 || swr_set_compensation(context_, 1, compensationDistanceFrames) < 0) {
        throw std::bad_alloc();
    }
    compensation_ = 1;
    inputFrames_ = 0;
    outputFrames_ = 0;
}

void SteeredResampler::process(const float* input, std::size_t frameCount, double ratio,
                               std::vector<float>& output) {
    if (frameCount == 0) {
        return;
    }
    ratio = std::clamp(ratio, 1 - maximumRatioOffset, 1 + maximumRatioOffset);
    // Set every time, also when unchanged: a compensation ends after its distance.
    compensation_ = static_cast<int>(std::lround((ratio - 1) * compensationDistanceFrames));
    swr_set_compensation(context_, compensation_, compensationDistanceFrames);

    const int inputCount = static_cast<int>(frameCount);
    const int capacity = swr_get_out_samples(context_, inputCount);
    const std::size_t start = output.size();
    output.resize(start + static_cast<std::size_t>(std::max(capacity, 0)));
    auto* out = reinterpret_cast<uint8_t*>(output.data() + start);
    const auto* in = reinterpret_cast<const uint8_t*>(input);
    const int produced = swr_convert(context_, &out, capacity, &in, inputCount);
    output.resize(start + static_cast<std::size_t>(std::max(produced, 0)));
    inputFrames_ += inputCount;
    outputFrames_ += std::max(produced, 0);
}

void SteeredResampler::drain(std::vector<float>& output) {
    // swr_convert's own flush reflects the input at its end instead; silence is what follows a stream.
    const double end = static_cast<double>(inputFrames_);
    const double ratio = 1 + static_cast<double>(compensation_) / compensationDistanceFrames;
    const double wanted = std::max(0.0, std::ceil((end - nextOutputInputPosition()) * ratio - 1e-9));
    const std::vector<float> silence(drainSilenceFrames, 0.0f);
    std::vector<float> tail;
    process(silence.data(), silence.size(), ratio, tail);
    const std::size_t kept = std::min(tail.size(), static_cast<std::size_t>(wanted));
    output.insert(output.end(), tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(kept));
    open();
}

double SteeredResampler::nextOutputInputPosition() const {
    const int64_t held = swr_get_delay(context_, sampleRate_ * positionUnitsPerFrame);
    return static_cast<double>(inputFrames_) - static_cast<double>(held) / positionUnitsPerFrame;
}
