#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// FFmpeg's native "aac" encoder with the settings of every clip we write: one channel, its default bit rate,
// its "fast" coder, the codec configuration in extradata (as MPEG-4 files want it). Takes signed 16-bit
// little-endian PCM in runs of any length and hands each packet to a sink as soon as the encoder gives it
// back.
//
// The encoder primes: the first packet's pts is -1024 (`primingFrames`), and a packet with pts p decodes to
// the input samples p to p + 1023. It gives a packet back only after later input has arrived, so the newest
// ~2,048 samples stay inside it until more input or finish(). Statuses: 0, or a negative AVERROR.
class AacEncoder {
public:
    static constexpr int64_t framesPerPacket = 1024;
    static constexpr int64_t primingFrames = 1024;

    struct Packet {
        const uint8_t* data;
        int32_t size;
        int64_t pts;      // in samples of the input, counted from the first sample written
        AVPacket* packet; // the same packet, for a muxer that takes it over
    };
    using Sink = std::function<int32_t(const Packet&)>;
    // writeSamples: the cancellation flag turned true.
    static constexpr int32_t cancelled = 7;

    AacEncoder();
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    int32_t open(int sampleRate, Sink sink);
    bool isOpen() const { return context_ != nullptr; }
    // Encodes the first `frameCount` samples of `bytes`.
    int32_t writeSamples(const uint8_t* bytes, uint32_t frameCount);
    // Encodes what is left (a short last frame) and drains the encoder.
    int32_t finish();
    void close();
    // Checked before every encoded packet.
    void setCancellation(const std::atomic<bool>* cancelled) { cancelled_ = cancelled; }

    const AVCodecContext* context() const { return context_; }
    std::vector<uint8_t> extradata() const;
    // Samples handed in so far.
    int64_t samplesWritten() const { return samplesSent_ + frameFill_; }

private:
    int32_t encode(AVFrame* input);

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;   // the frame being filled
    AVPacket* packet_ = nullptr; // reused for every packet the encoder hands back
    int frameFill_ = 0;          // samples already in frame_
    int64_t samplesSent_ = 0;    // samples handed to the encoder: the next frame's pts
    Sink sink_;
    const std::atomic<bool>* cancelled_ = nullptr;
};
