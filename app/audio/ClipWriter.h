#pragma once

#include "AudioFileWriter.h"
#include "RingArithmetic.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Feeds an encoding writer the bytes of a clip, oldest first, from rings: the ring file (read in chunks)
// and the memory buffer. Stops at the first failure, or when `abandoned` turns true, and says why through
// `log`.
class ClipWriter {
public:
    using Logger = std::function<void(const std::string&)>;
    static constexpr int64_t sampleSize = 2;

    ClipWriter(AudioFileWriter& writer, const std::atomic<bool>& abandoned, Logger log);

    // The `byteCount` bytes of the ring file `descriptor` (`ringBytes` long) that end at `endPosition`, in
    // chunks of at most `maxChunkBytes`.
    void writeFromFile(int descriptor, int64_t ringBytes, int64_t endPosition, int64_t byteCount,
                       int64_t maxChunkBytes);
    // The `byteCount` bytes of the memory ring `bytes` (`ringBytes` long) that end at `endPosition`.
    void writeFromMemory(const uint8_t* bytes, int64_t ringBytes, int64_t endPosition, int64_t byteCount);

    bool failed() const { return failed_; }
    void fail() { failed_ = true; }
    int64_t framesWritten() const { return framesWritten_; }

    // A chunk of the ring file this short is read and encoded on its own: worth a log line.
    static constexpr int64_t dangerousChunkBytes = 15;

private:
    using BytesOf = std::function<const uint8_t*(const RingArithmetic::Chunk&)>;
    void streamRing(int64_t ringBytes, int64_t endPosition, int64_t byteCount, int64_t maxChunkBytes,
                    bool isFile, const BytesOf& bytesOf);
    void writeFrames(const uint8_t* bytes, int64_t byteCount);

    AudioFileWriter& writer_;
    const std::atomic<bool>& abandoned_;
    Logger log_;
    bool failed_ = false;
    int64_t framesWritten_ = 0; // what the clip really holds, the length reported
};
