#include "AacFileWriter.h"

#include "AacEncoder.h"
#include "AvFormat.h"
#include "OutputFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <climits>
#include <cmath>

namespace {

bool isSupportedFileFormat(const AudioStreamFormat& format) {
    const double rate = format.sampleRate;
    return format.formatID == AudioStreamFormat::mpeg4AAC && format.channelsPerFrame == 1 &&
           std::isfinite(rate) && rate >= 1 && rate <= INT_MAX && rate == std::floor(rate) &&
           (format.framesPerPacket == 1024 || format.framesPerPacket == 0) && format.formatFlags == 0 &&
           format.bytesPerPacket == 0 && format.bytesPerFrame == 0 && format.bitsPerChannel == 0;
}

} // namespace

struct AacFileWriter::Impl {
    OutputFile file;
    AacEncoder encoder;
    const AvFormat* av = nullptr;
    int sampleRate = 0;
    AVFormatContext* muxer = nullptr;
    AVStream* stream = nullptr;
    bool clientFormatSet = false;
    int32_t failure = 0; // first failure of writeFrames, answered again until dispose

    bool isOpen() const { return muxer != nullptr; }

    int32_t open(const std::string& filePath, int rate);
    int32_t mux(const AacEncoder::Packet& packet);
    int32_t finish();
    int32_t release(bool removeFile);
};

// Order matters: everything that can be checked without the file system is done before the file is opened.
int32_t AacFileWriter::Impl::open(const std::string& filePath, int rate) {
    sampleRate = rate;
    av = AvFormat::shared();
    if (av == nullptr) {
        return AVERROR_MUXER_NOT_FOUND;
    }
    if (int ret = encoder.open(rate, [this](const AacEncoder::Packet& packet) { return mux(packet); });
        ret < 0) {
        return ret;
    }
    if (int ret = av->avformat_alloc_output_context2(&muxer, nullptr, "ipod", filePath.c_str()); ret < 0) {
        muxer = nullptr;
        return ret;
    }
    stream = av->avformat_new_stream(muxer, nullptr);
    if (stream == nullptr) {
        return AVERROR(ENOMEM);
    }
    if (int ret = avcodec_parameters_from_context(stream->codecpar, encoder.context()); ret < 0) {
        return ret;
    }
    stream->time_base = encoder.context()->time_base;

    if (int ret = file.open(filePath); ret < 0) {
        return ret;
    }
    muxer->pb = file.io();

    // Without movie_timescale the movie header and edit list count milliseconds, and the duration a reader
    // sees is rounded; in samples it is exact.
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "movie_timescale", rate, 0);
    int ret = av->avformat_write_header(muxer, &options);
    if (ret >= 0 && av_dict_count(options) != 0) {
        ret = AVERROR_OPTION_NOT_FOUND; // the muxer did not take the time scale: durations would be wrong
    }
    av_dict_free(&options);
    return ret < 0 ? ret : 0;
}

int32_t AacFileWriter::Impl::mux(const AacEncoder::Packet& packet) {
    av_packet_rescale_ts(packet.packet, encoder.context()->time_base, stream->time_base);
    packet.packet->stream_index = stream->index;
    return av->av_interleaved_write_frame(muxer,
                                          packet.packet); // takes the packet's data and leaves it blank
}

int32_t AacFileWriter::Impl::finish() {
    int32_t status = encoder.finish();
    if (status == 0) {
        status = av->av_write_trailer(muxer);
    }
    return status < 0 ? status : 0;
}

// Closes the file and frees everything; answers a failure to flush or close the file.
int32_t AacFileWriter::Impl::release(bool removeFile) {
    if (muxer != nullptr) {
        muxer->pb = nullptr;
        av->avformat_free_context(muxer);
        muxer = nullptr;
        stream = nullptr;
    }
    encoder.close();
    const int32_t status = file.close(removeFile);
    clientFormatSet = false;
    failure = 0;
    sampleRate = 0;
    return status;
}

AacFileWriter::AacFileWriter()
    : impl_(std::make_unique<Impl>()) {}

AacFileWriter::~AacFileWriter() {
    if (impl_->isOpen()) {
        dispose();
    }
}

int32_t AacFileWriter::create(const std::string& path, const AudioStreamFormat& fileFormat) {
    if (impl_->isOpen()) {
        return alreadyOpen;
    }
    if (!isSupportedFileFormat(fileFormat)) {
        return unsupportedFileFormat;
    }
    const int32_t status = impl_->open(path, static_cast<int>(fileFormat.sampleRate));
    if (status != 0) {
        impl_->release(true);
    }
    return status;
}

int32_t AacFileWriter::setClientFormat(const AudioStreamFormat& clientFormat) {
    if (!impl_->isOpen()) {
        return notOpen;
    }
    if (!(clientFormat == AudioStreamFormat::pcm16Mono(impl_->sampleRate))) {
        return unsupportedClientFormat;
    }
    impl_->clientFormatSet = true;
    return 0;
}

int32_t AacFileWriter::writeFrames(uint32_t frameCount, const void* bytes, uint32_t byteCount) {
    Impl& d = *impl_;
    if (!d.isOpen()) {
        return notOpen;
    }
    if (d.failure != 0) {
        return d.failure;
    }
    if (!d.clientFormatSet) {
        return noClientFormat;
    }
    if (frameCount == 0) {
        return 0;
    }
    if (bytes == nullptr || uint64_t{byteCount} < uint64_t{frameCount} * 2) {
        return invalidBuffer;
    }
    d.failure = d.encoder.writeSamples(static_cast<const uint8_t*>(bytes), frameCount);
    return d.failure;
}

void AacFileWriter::setCancellation(const std::atomic<bool>* cancelledFlag) {
    impl_->encoder.setCancellation(cancelledFlag);
}

int32_t AacFileWriter::dispose() {
    Impl& d = *impl_;
    if (!d.isOpen()) {
        return notOpen;
    }
    int32_t status = d.failure;
    if (status == 0) {
        status = d.finish();
    }
    const int32_t closeStatus = d.release(false);
    return status != 0 ? status : closeStatus;
}
