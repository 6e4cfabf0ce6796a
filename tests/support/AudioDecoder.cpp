#include "AudioDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

std::string describe(int ret) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(ret, text, sizeof text);
    return std::string(text) + " (" + std::to_string(ret) + ")";
}

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct DecoderFreer {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFreer {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

int16_t toInt16(double value) {
    return static_cast<int16_t>(std::clamp(std::lrint(value * 32768.0), -32768L, 32767L));
}

// Appends one decoded frame as mono int16 (channels averaged).
bool appendFrame(const AVFrame& frame, std::vector<int16_t>& samples) {
    const int channels = frame.ch_layout.nb_channels;
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const AVSampleFormat packed = av_get_packed_sample_fmt(format);
    if (channels < 1 || (packed != AV_SAMPLE_FMT_FLT && packed != AV_SAMPLE_FMT_S16)) {
        return false;
    }
    for (int i = 0; i < frame.nb_samples; ++i) {
        double sum = 0;
        for (int c = 0; c < channels; ++c) {
            const int plane = planar ? c : 0;
            const int index = planar ? i : i * channels + c;
            if (packed == AV_SAMPLE_FMT_FLT) {
                sum += reinterpret_cast<const float*>(frame.extended_data[plane])[index];
            } else {
                sum += reinterpret_cast<const int16_t*>(frame.extended_data[plane])[index] / 32768.0;
            }
        }
        samples.push_back(toInt16(sum / channels));
    }
    return true;
}

} // namespace

std::optional<DecodedAudio> AudioDecoder::decodeFile(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<DecodedAudio> {
        if (error != nullptr) {
            *error = path + ": " + why;
        }
        return std::nullopt;
    };

    AVFormatContext* rawInput = nullptr;
    if (int ret = avformat_open_input(&rawInput, ("file:" + path).c_str(), nullptr, nullptr); ret < 0) {
        return fail("cannot open: " + describe(ret));
    }
    std::unique_ptr<AVFormatContext, InputCloser> input(rawInput);
    if (int ret = avformat_find_stream_info(input.get(), nullptr); ret < 0) {
        return fail("cannot read the streams: " + describe(ret));
    }

    DecodedAudio result;
    const int streamIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (streamIndex == AVERROR_STREAM_NOT_FOUND) {
        return result;
    }
    if (streamIndex < 0) {
        return fail("no usable audio track: " + describe(streamIndex));
    }
    const AVStream* stream = input->streams[streamIndex];
    const AVCodecParameters* parameters = stream->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (codec == nullptr) {
        return fail("no decoder for the track's codec");
    }
    std::unique_ptr<AVCodecContext, DecoderFreer> decoder(avcodec_alloc_context3(codec));
    if (!decoder) {
        return fail("out of memory");
    }
    if (int ret = avcodec_parameters_to_context(decoder.get(), parameters); ret < 0) {
        return fail("bad codec parameters: " + describe(ret));
    }
    decoder->pkt_timebase = stream->time_base;
    if (int ret = avcodec_open2(decoder.get(), codec, nullptr); ret < 0) {
        return fail("cannot open the decoder: " + describe(ret));
    }

    result.sampleRate = parameters->sample_rate;
    result.channelCount = parameters->ch_layout.nb_channels;
    result.codecName = codec->name;
    if (result.sampleRate <= 0) {
        return fail("the track has no sample rate");
    }
    if (stream->duration == AV_NOPTS_VALUE) {
        return fail("the track has no duration");
    }
    result.durationSamples =
        av_rescale_q(stream->duration, stream->time_base, AVRational{1, result.sampleRate});

    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    if (!packet || !frame) {
        return fail("out of memory");
    }
    // The decoder drops the priming itself: the demuxer marks the samples the edit list skips on the first
    // packet (AV_PKT_DATA_SKIP_SAMPLES).
    auto receiveAll = [&]() -> int {
        for (;;) {
            const int ret = avcodec_receive_frame(decoder.get(), frame.get());
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
                return 0;
            }
            if (ret < 0) {
                return ret;
            }
            const bool ok = appendFrame(*frame, result.samples);
            av_frame_unref(frame.get());
            if (!ok) {
                return AVERROR(ENOSYS);
            }
        }
    };
    for (;;) {
        int ret = av_read_frame(input.get(), packet.get());
        if (ret == AVERROR_EOF) {
            break;
        }
        if (ret < 0) {
            return fail("cannot read a packet: " + describe(ret));
        }
        if (packet->stream_index == streamIndex) {
            ret = avcodec_send_packet(decoder.get(), packet.get());
            if (ret >= 0) {
                ret = receiveAll();
            }
        }
        av_packet_unref(packet.get());
        if (ret < 0) {
            return fail("cannot decode: " + describe(ret));
        }
    }
    if (int ret = avcodec_send_packet(decoder.get(), nullptr); ret < 0 || (ret = receiveAll()) < 0) {
        return fail("cannot drain the decoder: " + describe(ret));
    }

    const auto decoded = static_cast<int64_t>(result.samples.size());
    if (decoded > result.durationSamples) {
        result.trimmedSamples = decoded - result.durationSamples;
        result.samples.resize(static_cast<size_t>(result.durationSamples));
    }
    return result;
}
