#pragma once

#include "AudioFileWriter.h"

#include <cstdint>
#include <memory>
#include <string>

// Writes one mono AAC track into an MPEG-4 audio file (.m4a) from signed 16-bit PCM, with FFmpeg's native
// "aac" encoder (its default bit rate, see AacEncoder) and the "ipod" muxer. The track's duration is exact to
// the sample: the encoder's priming is hidden by an edit list and the movie time scale is the sample rate.
//
// Use: create, setClientFormat, any number of writeFrames of any size, dispose. The destructor disposes a
// file the caller left open. After dispose the same writer can create another file. Not thread-safe: one
// thread at a time (the buffer's queue).
//
// Statuses: 0 is success. A failure inside FFmpeg, or of a system call on the file, answers FFmpeg's negative
// AVERROR value (for a system call, AVERROR(errno), e.g. -2 for ENOENT, -28 for ENOSPC). The writer's own
// refusals answer one of the positive constants below. After a failed writeFrames the file is unusable:
// every later writeFrames answers the same status, and dispose closes the file and answers it too.
class AacFileWriter : public AudioFileWriter {
public:
    // create: the file format is not AAC with one channel, a positive whole sample rate, 1024 frames per
    // packet (or 0, "unspecified") and zero flags, bytes per packet, bytes per frame and bits per channel.
    static constexpr int32_t unsupportedFileFormat = 1;
    // setClientFormat: the client format is not AudioStreamFormat::pcm16Mono at the file's sample rate.
    static constexpr int32_t unsupportedClientFormat = 2;
    // writeFrames: no client format has been set.
    static constexpr int32_t noClientFormat = 3;
    // writeFrames: `bytes` is null, or `byteCount` is smaller than `frameCount` frames.
    static constexpr int32_t invalidBuffer = 4;
    // setClientFormat, writeFrames or dispose: no file is open (never created, creation failed, or disposed).
    static constexpr int32_t notOpen = 5;
    // create: this writer already has a file open; dispose it first.
    static constexpr int32_t alreadyOpen = 6;
    // writeFrames: the cancellation flag turned true.
    static constexpr int32_t cancelled = 7;

    AacFileWriter();
    ~AacFileWriter() override;

    AacFileWriter(const AacFileWriter&) = delete;
    AacFileWriter& operator=(const AacFileWriter&) = delete;

    // Creates (or truncates, keeping its permissions) the file at `path`. Nothing touches the file system
    // before the format is accepted and the encoder is open, and a file this call created is removed again
    // if a later step fails.
    int32_t create(const std::string& path, const AudioStreamFormat& fileFormat) override;
    int32_t setClientFormat(const AudioStreamFormat& clientFormat) override;
    // Uses the first `frameCount` frames of `bytes`; a frame count of 0 does nothing and succeeds.
    int32_t writeFrames(uint32_t frameCount, const void* bytes, uint32_t byteCount) override;
    // Checked before every encoded packet (1024 frames).
    void setCancellation(const std::atomic<bool>* cancelled) override;
    // Encodes what is left, writes the index and closes the file; answers the first failure seen since
    // create. A file with no frames has no track: a valid, empty .m4a.
    int32_t dispose() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
