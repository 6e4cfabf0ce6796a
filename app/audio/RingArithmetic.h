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

    // Bytes a duration takes at a sample rate, rounded up to whole samples (two bytes a sample): a ring or
    // an export of half a sample would shift every later sample by one byte.
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

    // The memory buffer used as a small ring that keeps the newest bytes (no ring file, or one that is
    // failing): `start` is the position of its oldest byte, `count` how many bytes it holds.
    struct Window {
        int64_t start;
        int64_t count;
        bool operator==(const Window&) const = default;
    };
    // Where the next of `remaining` bytes go: right after the newest byte, up to the end of the buffer.
    static Chunk rollTarget(Window window, int64_t maxBytes, int64_t remaining);
    // The window once `length` bytes were written at rollTarget: beyond `maxBytes`, the oldest drop out.
    static Window rolled(Window window, int64_t maxBytes, int64_t length);
    // The position just past the newest byte: where reads of the newest bytes end (see readStart).
    static int64_t windowEnd(Window window, int64_t maxBytes);

    // Free space a shortened ring leaves on its file system. A ring that took the last free bytes would make
    // every other write fail: the desktop's and the user's programs, and our own clip exports (an hour of
    // AAC is about 31 MB). 256 MiB covers that on a small disk; 2 % keeps the slack in proportion on a
    // large one, where other programs expect more room to stay free.
    static constexpr int64_t freeSpaceMarginMinimumBytes = 256LL * 1024 * 1024;
    static constexpr int64_t freeSpaceMarginPercent = 2;
    static int64_t freeSpaceMarginBytes(int64_t fileSystemBytes);
    // The ring to reserve when `requestedBytes` did not fit: the most whole minutes, fewer than asked, that
    // leave the margin free of `availableBytes`; 0 when not even one minute fits.
    static int64_t shortenedRingBytes(int64_t requestedBytes, int64_t bytesPerMinute, int64_t availableBytes,
                                      int64_t fileSystemBytes);
};
