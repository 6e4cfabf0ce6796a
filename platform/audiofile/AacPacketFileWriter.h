#pragma once

#include "OutputFile.h"

#include <cstdint>
#include <string>
#include <vector>

class AvFormat;
struct AVFormatContext;
struct AVPacket;
struct AVStream;

// Writes AAC packets that were encoded earlier (by AacEncoder, same settings) into an .m4a file without
// encoding again. Each packet comes with its place on the clip's time line in samples: a clip of N samples
// that starts at decoded sample S gets the packet holding S and one before it (the decoder's pre-roll), each
// at pts = its first decoded sample - S (so the first ones are negative), 1024 samples long except the last,
// which ends exactly at N. The muxer turns the negative start into an edit list, so the file decodes to
// exactly N samples from S.
//
// Statuses: 0, a negative AVERROR, or `notOpen`. A file this writer created is removed when create or
// dispose fails.
class AacPacketFileWriter {
public:
    static constexpr int32_t notOpen = 5;

    AacPacketFileWriter() = default;
    ~AacPacketFileWriter();
    AacPacketFileWriter(const AacPacketFileWriter&) = delete;
    AacPacketFileWriter& operator=(const AacPacketFileWriter&) = delete;

    // `codecConfiguration`: AacEncoder::extradata of the encoder that made the packets.
    int32_t create(const std::string& path, int sampleRate, const std::vector<uint8_t>& codecConfiguration);
    int32_t writePacket(const uint8_t* data, int32_t size, int64_t ptsFrames, int64_t durationFrames);
    // Writes the index and closes the file; answers the first failure since create.
    int32_t dispose();
    // Closes and removes the file, e.g. after a failure of the caller's own.
    void discard();

private:
    int32_t release(bool removeFile);

    OutputFile file_;
    const AvFormat* av_ = nullptr;
    AVFormatContext* muxer_ = nullptr;
    AVStream* stream_ = nullptr;
    AVPacket* packet_ = nullptr;
    int32_t failure_ = 0;
};
