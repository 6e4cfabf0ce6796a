#include "AacEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cerrno>

AacEncoder::AacEncoder() = default;

AacEncoder::~AacEncoder() {
    close();
}

int32_t AacEncoder::open(int sampleRate, Sink sink) {
    close();
    sink_ = std::move(sink);
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        return AVERROR_ENCODER_NOT_FOUND;
    }
    context_ = avcodec_alloc_context3(codec); // brings the encoder's defaults, among them its bit rate
    if (context_ == nullptr) {
        return AVERROR(ENOMEM);
    }
    context_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context_->sample_rate = sampleRate;
    context_->time_base = AVRational{1, sampleRate};
    context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // The encoder reports its average quantiser ("Qavg: ...") at info level when it closes, on every file;
    // one level down that stays out of the application's stderr, while its errors still show (as warnings).
    context_->log_level_offset = AV_LOG_VERBOSE - AV_LOG_INFO;
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    int ret = av_channel_layout_copy(&context_->ch_layout, &mono);
    if (ret >= 0) {
        // The "fast" coder: the default one costs three times the processor on speech (3 % of a core to
        // encode as audio arrives, here) and its clips are no closer to what was said.
        AVDictionary* options = nullptr;
        av_dict_set(&options, "aac_coder", "fast", 0);
        ret = avcodec_open2(context_, codec, &options);
        if (ret >= 0 && av_dict_count(options) != 0) {
            ret = AVERROR_OPTION_NOT_FOUND;
        }
        av_dict_free(&options);
    }
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (ret >= 0 && (frame_ == nullptr || packet_ == nullptr)) {
        ret = AVERROR(ENOMEM);
    }
    if (ret >= 0) {
        frame_->format = context_->sample_fmt;
        frame_->sample_rate = sampleRate;
        frame_->nb_samples = context_->frame_size;
        ret = av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout);
    }
    if (ret >= 0) {
        ret = av_frame_get_buffer(frame_, 0);
    }
    if (ret < 0) {
        close();
        return ret;
    }
    return 0;
}

void AacEncoder::close() {
    if (context_ != nullptr) {
        // Closing without finish() leaves frames inside on purpose: no warning about them.
        context_->log_level_offset = AV_LOG_DEBUG - AV_LOG_WARNING;
    }
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    frameFill_ = 0;
    samplesSent_ = 0;
}

std::vector<uint8_t> AacEncoder::extradata() const {
    if (context_ == nullptr || context_->extradata == nullptr) {
        return {};
    }
    return {context_->extradata, context_->extradata + context_->extradata_size};
}

int32_t AacEncoder::writeSamples(const uint8_t* input, uint32_t frameCount) {
    uint32_t remaining = frameCount;
    const int frameSize = context_->frame_size;
    while (remaining > 0) {
        if (frameFill_ == 0) {
            // If the encoder still holds the last frame's buffer, the frame gets a new one.
            if (int ret = av_frame_make_writable(frame_); ret < 0) {
                return ret;
            }
        }
        const int count = static_cast<int>(std::min<uint32_t>(remaining, uint32_t(frameSize - frameFill_)));
        float* out = reinterpret_cast<float*>(frame_->data[0]) + frameFill_;
        for (int i = 0; i < count; ++i) {
            // Little-endian s16 read byte-wise (no alignment needed); s / 32768 is what FFmpeg's own
            // conversion does, so the result matches the ffmpeg command line bit for bit.
            const auto sample =
                static_cast<int16_t>(uint16_t(input[2 * i]) | uint16_t(input[2 * i + 1]) << 8);
            out[i] = static_cast<float>(sample) * (1.0f / 32768.0f);
        }
        input += 2 * static_cast<size_t>(count);
        remaining -= static_cast<uint32_t>(count);
        frameFill_ += count;
        if (frameFill_ == frameSize) {
            frameFill_ = 0;
            if (cancelled_ && cancelled_->load(std::memory_order_relaxed)) {
                return cancelled;
            }
            if (int ret = encode(frame_); ret != 0) {
                return ret;
            }
        }
    }
    return 0;
}

int32_t AacEncoder::finish() {
    int32_t status = 0;
    if (frameFill_ > 0) {
        frame_->nb_samples = frameFill_; // the encoder takes a short last frame
        status = encode(frame_);
        frameFill_ = 0;
    }
    return status == 0 ? encode(nullptr) : status;
}

// Hands one frame (or, with nullptr, the end of input) to the encoder and passes on every packet it gives
// back.
int32_t AacEncoder::encode(AVFrame* input) {
    if (input != nullptr) {
        input->pts = samplesSent_;
        samplesSent_ += input->nb_samples;
    }
    int ret = avcodec_send_frame(context_, input);
    if (ret < 0) {
        return ret;
    }
    for (;;) {
        ret = avcodec_receive_packet(context_, packet_);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            return 0;
        }
        if (ret < 0) {
            return ret;
        }
        ret = sink_(Packet{packet_->data, packet_->size, packet_->pts, packet_});
        av_packet_unref(packet_);
        if (ret < 0) {
            return ret;
        }
    }
}
