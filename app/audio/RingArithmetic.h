#pragma once

#include <cstdint>
#include <vector>

// The index bookkeeping of the two-tier buffer, kept apart from any storage so it can be checked on its own.
// All sizes and offsets are bytes.
class RingArithmetic {
public:
    // One write of memory-buffer bytes into the ring file.
    struct Write {
        int64_t fileOffset;
        int64_t memoryOffset;
        int64_t length;
        bool operator==(const Write&) const = default;
    };

    // Flushing the memory buffer's `countBytes` valid bytes into the ring: one write, or two when the
    // flush crosses the end of the ring, and the ring's new write position and fill.
    struct Flush {
        std::vector<Write> writes;
        int64_t newFileOffset;
        int64_t newFileSize;
    };
    static Flush planFlush(int64_t fileOffset, int64_t fileSize, int64_t fileMaxSize, int64_t countBytes);

    // How many bytes an export of `requestedBytes` takes from each tier: the newest from memory, the
    // older rest from the ring, never more than each holds.
    struct Amounts {
        int64_t fromMemory;
        int64_t fromFile;
        int64_t total() const { return fromMemory + fromFile; }
    };
    static Amounts exportAmounts(int64_t requestedBytes, int64_t memorySize, int64_t fileSize);

    // Bytes a duration takes at a sample rate, rounded up to whole bytes (two bytes a sample).
    static int64_t bytesForDuration(double seconds, double sampleRate);

    // The reads of the ring part of an export, oldest first: `fromFile` bytes ending at the write position,
    // in chunks of at most `maxChunkBytes`, split where the read crosses the end of the ring.
    struct Chunk {
        int64_t position;
        int64_t length;
        bool operator==(const Chunk&) const = default;
    };
    static int64_t readStart(int64_t fileOffset, int64_t fileMaxSize, int64_t fromFile);
    static Chunk nextChunk(int64_t readPosition, int64_t remaining, int64_t fileMaxSize,
                           int64_t maxChunkBytes);
    static int64_t advance(int64_t readPosition, int64_t chunkLength, int64_t fileMaxSize);
};
