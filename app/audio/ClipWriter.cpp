#include "ClipWriter.h"

#include "RingFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

ClipWriter::ClipWriter(AudioFileWriter& writer, const std::atomic<bool>& abandoned, Logger log)
    : writer_(writer)
    , abandoned_(abandoned)
    , log_(std::move(log)) {}

void ClipWriter::writeFrames(const uint8_t* bytes, int64_t byteCount) {
    const int32_t status = writer_.writeFrames(static_cast<uint32_t>(byteCount / sampleSize), bytes,
                                               static_cast<uint32_t>(byteCount));
    if (status != 0) {
        log_(abandoned_ ? std::string("Export abandoned: the buffer is closing.")
                        : "Error writing to audio capture file. (" + std::to_string(status) + ")");
        failed_ = true;
        return;
    }
    framesWritten_ += byteCount / sampleSize;
}

// Hands the encoder the `byteCount` bytes of a ring that end at `endPosition`, oldest first, in chunks of at
// most `maxChunkBytes` split where they cross the ring's end; `bytesOf(chunk)` answers a chunk's bytes, or
// null on failure.
void ClipWriter::streamRing(int64_t ringBytes, int64_t endPosition, int64_t byteCount, int64_t maxChunkBytes,
                            bool isFile, const BytesOf& bytesOf) {
    int64_t position = RingArithmetic::readStart(endPosition, ringBytes, byteCount);
    for (int64_t remaining = byteCount; remaining > 0 && !failed_;) {
        if (abandoned_) {
            log_("Export abandoned: the buffer is closing.");
            failed_ = true;
            return;
        }
        const RingArithmetic::Chunk chunk =
            RingArithmetic::nextChunk(position, remaining, ringBytes, maxChunkBytes);
        if (isFile && chunk.length <= dangerousChunkBytes) {
            log_("Dangerously small chunk size. (" + std::to_string(chunk.length) + ")");
        }
        const uint8_t* bytes = bytesOf(chunk);
        if (!bytes) {
            failed_ = true;
            return;
        }
        writeFrames(bytes, chunk.length);
        remaining -= chunk.length;
        position = RingArithmetic::advance(position, chunk.length, ringBytes);
    }
}

void ClipWriter::writeFromFile(int descriptor, int64_t ringBytes, int64_t endPosition, int64_t byteCount,
                               int64_t maxChunkBytes) {
    std::vector<uint8_t> chunkBytes(static_cast<std::size_t>(std::min(maxChunkBytes, byteCount)));
    streamRing(ringBytes, endPosition, byteCount, maxChunkBytes, true,
               [&](const RingArithmetic::Chunk& chunk) -> const uint8_t* {
                   const int64_t bytesRead =
                       RingFile::readFully(descriptor, chunkBytes.data(), chunk.length, chunk.position);
                   if (bytesRead < 0) {
                       log_("Error reading buffer file. (" + std::string(std::strerror(errno)) + ")");
                       return nullptr;
                   }
                   if (bytesRead < chunk.length) { // cut short underneath
                       log_("Error reading buffer file. (Read " + std::to_string(bytesRead) + " of " +
                            std::to_string(chunk.length) + " bytes.)");
                       return nullptr;
                   }
                   return chunkBytes.data();
               });
}

void ClipWriter::writeFromMemory(const uint8_t* bytes, int64_t ringBytes, int64_t endPosition,
                                 int64_t byteCount) {
    streamRing(ringBytes, endPosition, byteCount, ringBytes, false,
               [&](const RingArithmetic::Chunk& chunk) -> const uint8_t* { return bytes + chunk.position; });
}
