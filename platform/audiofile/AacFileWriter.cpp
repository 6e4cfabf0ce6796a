#include "AacFileWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int ioBufferSize = 64 * 1024;

// The file is written through our own descriptor rather than avio_open(path): FFmpeg would read a path such
// as "http:x.m4a" as a URL, and we need to know whether this writer created the file (to remove it after a
// failed create) or truncated one that was already there (whose permissions stay as they were).
struct FileSink {
    int fd = -1;

    static int write(void* opaque, uint8_t* buffer, int size) {
        const int fd = static_cast<FileSink*>(opaque)->fd;
        int written = 0;
        while (written < size) {
            const ssize_t n = ::write(fd, buffer + written, static_cast<size_t>(size - written));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return AVERROR(errno);
            }
            if (n == 0) {
                return AVERROR(EIO);
            }
            written += static_cast<int>(n);
        }
        return written;
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        const int fd = static_cast<FileSink*>(opaque)->fd;
        if (whence == AVSEEK_SIZE) {
            struct stat status {};
            return fstat(fd, &status) == 0 ? static_cast<int64_t>(status.st_size) : AVERROR(errno);
        }
        const off_t position = lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
        return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
    }
};

bool isSupportedFileFormat(const AudioStreamFormat& format) {
    const double rate = format.sampleRate;
    return format.formatID == AudioStreamFormat::mpeg4AAC && format.channelsPerFrame == 1 &&
           std::isfinite(rate) && rate >= 1 && rate <= INT_MAX && rate == std::floor(rate) &&
           (format.framesPerPacket == 1024 || format.framesPerPacket == 0) && format.formatFlags == 0 &&
           format.bytesPerPacket == 0 && format.bytesPerFrame == 0 && format.bitsPerChannel == 0;
}

} // namespace

struct AacFileWriter::Impl {
    std::string path;
    bool createdFile = false;
    FileSink sink;
    int sampleRate = 0;
    AVCodecContext* encoder = nullptr;
    AVFormatContext* muxer = nullptr;
    AVIOContext* io = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;   // the encoder frame being filled
    AVPacket* packet = nullptr; // reused for every packet the encoder hands back
    int frameFill = 0;          // samples already in `frame`
    int64_t samplesSent = 0;    // samples handed to the encoder so far: the next frame's pts
    bool clientFormatSet = false;
    int32_t failure = 0; // first failure of writeFrames, answered again until dispose
    const std::atomic<bool>* cancelled = nullptr;

    bool isOpen() const { return muxer != nullptr; }

    int32_t open(const std::string& filePath, int rate);
    int32_t openFile();
    int32_t encode(AVFrame* input);
    int32_t finish();
    int32_t release();
};

// Order matters: everything that can be checked without the file system is done before the file is opened.
int32_t AacFileWriter::Impl::open(const std::string& filePath, int rate) {
    path = filePath;
    sampleRate = rate;

    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        return AVERROR_ENCODER_NOT_FOUND;
    }
    encoder = avcodec_alloc_context3(codec); // brings the encoder's defaults, among them its bit rate
    if (encoder == nullptr) {
        return AVERROR(ENOMEM);
    }
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    encoder->sample_rate = rate;
    encoder->time_base = AVRational{1, rate};
    // The encoder reports its average quantiser ("Qavg: ...") at info level when it closes, on every file;
    // one level down that stays out of the application's stderr, while its errors still show (as warnings).
    encoder->log_level_offset = AV_LOG_VERBOSE - AV_LOG_INFO;
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    if (int ret = av_channel_layout_copy(&encoder->ch_layout, &mono); ret < 0) {
        return ret;
    }

    if (int ret = avformat_alloc_output_context2(&muxer, nullptr, "ipod", path.c_str()); ret < 0) {
        muxer = nullptr;
        return ret;
    }
    if (muxer->oformat->flags & AVFMT_GLOBALHEADER) {
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (int ret = avcodec_open2(encoder, codec, nullptr); ret < 0) {
        return ret;
    }

    stream = avformat_new_stream(muxer, nullptr);
    if (stream == nullptr) {
        return AVERROR(ENOMEM);
    }
    if (int ret = avcodec_parameters_from_context(stream->codecpar, encoder); ret < 0) {
        return ret;
    }
    stream->time_base = encoder->time_base;

    frame = av_frame_alloc();
    packet = av_packet_alloc();
    if (frame == nullptr || packet == nullptr) {
        return AVERROR(ENOMEM);
    }
    frame->format = encoder->sample_fmt;
    frame->sample_rate = rate;
    frame->nb_samples = encoder->frame_size;
    if (int ret = av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout); ret < 0) {
        return ret;
    }
    if (int ret = av_frame_get_buffer(frame, 0); ret < 0) {
        return ret;
    }

    if (int ret = openFile(); ret < 0) {
        return ret;
    }

    // Without movie_timescale the movie header and edit list count milliseconds, and the duration a reader
    // sees is rounded; in samples it is exact.
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "movie_timescale", rate, 0);
    int ret = avformat_write_header(muxer, &options);
    if (ret >= 0 && av_dict_count(options) != 0) {
        ret = AVERROR_OPTION_NOT_FOUND; // the muxer did not take the time scale: durations would be wrong
    }
    av_dict_free(&options);
    return ret < 0 ? ret : 0;
}

int32_t AacFileWriter::Impl::openFile() {
    // O_EXCL first to learn whether the file is ours to remove again; if it exists, it is replaced in place.
    do {
        sink.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (sink.fd < 0 && errno == EINTR);
    createdFile = sink.fd >= 0;
    if (sink.fd < 0 && errno == EEXIST) {
        do {
            sink.fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        } while (sink.fd < 0 && errno == EINTR);
    }
    if (sink.fd < 0) {
        return AVERROR(errno);
    }

    auto* buffer = static_cast<unsigned char*>(av_malloc(ioBufferSize));
    if (buffer == nullptr) {
        return AVERROR(ENOMEM);
    }
    io = avio_alloc_context(buffer, ioBufferSize, 1, &sink, nullptr, &FileSink::write, &FileSink::seek);
    if (io == nullptr) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    muxer->pb = io;
    return 0;
}

// Hands one frame (or, with nullptr, the end of input) to the encoder and muxes every packet it gives back.
int32_t AacFileWriter::Impl::encode(AVFrame* input) {
    if (input != nullptr) {
        input->pts = samplesSent;
        samplesSent += input->nb_samples;
    }
    int ret = avcodec_send_frame(encoder, input);
    if (ret < 0) {
        return ret;
    }
    for (;;) {
        ret = avcodec_receive_packet(encoder, packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
            return 0;
        }
        if (ret < 0) {
            return ret;
        }
        av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
        packet->stream_index = stream->index;
        ret = av_interleaved_write_frame(muxer, packet); // takes the packet's data and leaves it blank
        if (ret < 0) {
            return ret;
        }
    }
}

int32_t AacFileWriter::Impl::finish() {
    int32_t status = 0;
    if (frameFill > 0) {
        frame->nb_samples = frameFill; // the encoder takes a short last frame
        status = encode(frame);
        frameFill = 0;
    }
    if (status == 0) {
        status = encode(nullptr);
    }
    if (status == 0) {
        status = av_write_trailer(muxer);
    }
    return status < 0 ? status : 0;
}

// Closes the file and frees everything; answers a failure to flush or close the file.
int32_t AacFileWriter::Impl::release() {
    int32_t status = 0;
    if (io != nullptr) {
        avio_flush(io);
        status = io->error;
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
    if (muxer != nullptr) {
        muxer->pb = nullptr;
        avformat_free_context(muxer);
        muxer = nullptr;
        stream = nullptr;
    }
    avcodec_free_context(&encoder);
    av_frame_free(&frame);
    av_packet_free(&packet);
    if (sink.fd >= 0) {
        if (::close(sink.fd) != 0 && status == 0 && errno != EINTR) {
            status = AVERROR(errno);
        }
        sink.fd = -1;
    }
    frameFill = 0;
    samplesSent = 0;
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
        const bool remove = impl_->createdFile;
        impl_->release();
        if (remove) {
            ::unlink(path.c_str());
        }
        impl_->createdFile = false;
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

    const auto* input = static_cast<const uint8_t*>(bytes);
    uint32_t remaining = frameCount;
    const int frameSize = d.encoder->frame_size;
    while (remaining > 0) {
        if (d.frameFill == 0) {
            // If the encoder still holds the last frame's buffer, the frame gets a new one.
            if (int ret = av_frame_make_writable(d.frame); ret < 0) {
                d.failure = ret;
                return ret;
            }
        }
        const int count = static_cast<int>(std::min<uint32_t>(remaining, uint32_t(frameSize - d.frameFill)));
        float* out = reinterpret_cast<float*>(d.frame->data[0]) + d.frameFill;
        for (int i = 0; i < count; ++i) {
            // Little-endian s16 read byte-wise (no alignment needed); s / 32768 is what FFmpeg's own
            // conversion does, so the result matches the ffmpeg command line bit for bit.
            const auto sample =
                static_cast<int16_t>(uint16_t(input[2 * i]) | uint16_t(input[2 * i + 1]) << 8);
            out[i] = static_cast<float>(sample) * (1.0f / 32768.0f);
        }
        input += 2 * static_cast<size_t>(count);
        remaining -= static_cast<uint32_t>(count);
        d.frameFill += count;
        if (d.frameFill == frameSize) {
            d.frameFill = 0;
            if (d.cancelled && d.cancelled->load(std::memory_order_relaxed)) {
                d.failure = cancelled;
                return cancelled;
            }
            if (int ret = d.encode(d.frame); ret != 0) {
                d.failure = ret;
                return ret;
            }
        }
    }
    return 0;
}

void AacFileWriter::setCancellation(const std::atomic<bool>* cancelledFlag) {
    impl_->cancelled = cancelledFlag;
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
    const int32_t closeStatus = d.release();
    d.createdFile = false;
    return status != 0 ? status : closeStatus;
}
