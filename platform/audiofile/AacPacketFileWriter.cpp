#include "AacPacketFileWriter.h"

#include "AvFormat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <cstring>

AacPacketFileWriter::~AacPacketFileWriter() {
    if (muxer_ != nullptr) {
        dispose();
    }
}

int32_t AacPacketFileWriter::create(const std::string& path, int sampleRate,
                                    const std::vector<uint8_t>& codecConfiguration) {
    release(false);
    const auto fail = [this](int32_t status) {
        release(true);
        return status;
    };
    av_ = AvFormat::shared();
    if (av_ == nullptr) {
        return fail(AVERROR_MUXER_NOT_FOUND);
    }
    if (int ret = av_->avformat_alloc_output_context2(&muxer_, nullptr, "ipod", path.c_str()); ret < 0) {
        muxer_ = nullptr;
        return fail(ret);
    }
    stream_ = av_->avformat_new_stream(muxer_, nullptr);
    packet_ = av_packet_alloc();
    if (stream_ == nullptr || packet_ == nullptr) {
        return fail(AVERROR(ENOMEM));
    }
    AVCodecParameters* parameters = stream_->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_AUDIO;
    parameters->codec_id = AV_CODEC_ID_AAC;
    parameters->sample_rate = sampleRate;
    parameters->frame_size = 1024;
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    if (int ret = av_channel_layout_copy(&parameters->ch_layout, &mono); ret < 0) {
        return fail(ret);
    }
    const auto size = static_cast<int>(codecConfiguration.size());
    parameters->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (parameters->extradata == nullptr) {
        return fail(AVERROR(ENOMEM));
    }
    std::memcpy(parameters->extradata, codecConfiguration.data(), codecConfiguration.size());
    parameters->extradata_size = size;
    stream_->time_base = AVRational{1, sampleRate};

    if (int ret = file_.open(path); ret < 0) {
        return fail(ret);
    }
    muxer_->pb = file_.io();
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "movie_timescale", sampleRate, 0);
    int ret = av_->avformat_write_header(muxer_, &options);
    if (ret >= 0 && av_dict_count(options) != 0) {
        ret = AVERROR_OPTION_NOT_FOUND; // without the time scale the durations would be rounded
    }
    av_dict_free(&options);
    return ret < 0 ? fail(ret) : 0;
}

int32_t AacPacketFileWriter::writePacket(const uint8_t* data, int32_t size, int64_t ptsFrames,
                                         int64_t durationFrames) {
    if (muxer_ == nullptr) {
        return notOpen;
    }
    if (failure_ != 0) {
        return failure_;
    }
    if (int ret = av_new_packet(packet_, size); ret < 0) {
        return failure_ = ret;
    }
    std::memcpy(packet_->data, data, static_cast<std::size_t>(size));
    packet_->pts = packet_->dts =
        av_rescale_q(ptsFrames, AVRational{1, stream_->codecpar->sample_rate}, stream_->time_base);
    packet_->duration =
        av_rescale_q(durationFrames, AVRational{1, stream_->codecpar->sample_rate}, stream_->time_base);
    packet_->stream_index = stream_->index;
    if (int ret = av_->av_write_frame(muxer_, packet_); ret < 0) {
        failure_ = ret;
    }
    av_packet_unref(packet_);
    return failure_;
}

int32_t AacPacketFileWriter::dispose() {
    if (muxer_ == nullptr) {
        return notOpen;
    }
    int32_t status = failure_;
    if (status == 0) {
        status = av_->av_write_trailer(muxer_);
    }
    const int32_t closeStatus = release(status != 0);
    return status != 0 ? status : closeStatus;
}

void AacPacketFileWriter::discard() {
    release(true);
}

int32_t AacPacketFileWriter::release(bool removeFile) {
    if (muxer_ != nullptr) {
        muxer_->pb = nullptr;
        av_->avformat_free_context(muxer_);
        muxer_ = nullptr;
        stream_ = nullptr;
    }
    av_packet_free(&packet_);
    failure_ = 0;
    return file_.close(removeFile);
}
