#include "RingArithmetic.h"

#include <algorithm>
#include <cmath>

RingArithmetic::Flush RingArithmetic::planFlush(int64_t fileOffset, int64_t fileSize, int64_t fileMaxSize,
                                                int64_t countBytes) {
    Flush flush{{}, fileOffset, fileSize};
    const int64_t toEnd = fileMaxSize - fileOffset;
    int64_t remainingBytes = countBytes;
    int64_t memoryOffset = 0;
    if (toEnd >= countBytes) {
        flush.writes.push_back({fileOffset, 0, countBytes});
    } else {
        // The flush crosses the end of the ring: fill it up to the end, then carry on at its start.
        if (toEnd > 0) {
            flush.writes.push_back({fileOffset, 0, toEnd});
            flush.newFileSize = std::min(flush.newFileSize + toEnd, fileMaxSize);
            remainingBytes -= toEnd;
            memoryOffset = toEnd;
        }
        flush.newFileOffset = 0;
        flush.writes.push_back({0, memoryOffset, remainingBytes});
    }
    // A write that ends exactly at the end of the ring leaves the write position at its start.
    const int64_t endOffset = flush.newFileOffset + remainingBytes;
    flush.newFileOffset = endOffset < fileMaxSize ? endOffset : 0;
    flush.newFileSize = std::min(flush.newFileSize + remainingBytes, fileMaxSize);
    return flush;
}

RingArithmetic::Amounts RingArithmetic::exportAmounts(int64_t requestedBytes, int64_t memorySize,
                                                      int64_t fileSize) {
    const int64_t fromMemory = std::min(requestedBytes, memorySize);
    const int64_t fromFile = std::min(fileSize, requestedBytes - fromMemory);
    return {fromMemory, fromFile};
}

int64_t RingArithmetic::bytesForDuration(double seconds, double sampleRate) {
    return 2 * static_cast<int64_t>(std::ceil(seconds * sampleRate));
}

int64_t RingArithmetic::readStart(int64_t fileOffset, int64_t fileMaxSize, int64_t fromFile) {
    const int64_t start = fileOffset - fromFile;
    return start < 0 ? start + fileMaxSize : start;
}

RingArithmetic::Chunk RingArithmetic::nextChunk(int64_t readPosition, int64_t remaining, int64_t fileMaxSize,
                                                int64_t maxChunkBytes) {
    const int64_t toEnd = fileMaxSize - readPosition;
    return {readPosition, std::min({maxChunkBytes, toEnd, remaining})};
}

int64_t RingArithmetic::advance(int64_t readPosition, int64_t chunkLength, int64_t fileMaxSize) {
    const int64_t next = readPosition + chunkLength;
    return next >= fileMaxSize ? 0 : next;
}

RingArithmetic::Chunk RingArithmetic::rollTarget(Window window, int64_t maxBytes, int64_t remaining) {
    const int64_t position = (window.start + window.count) % maxBytes;
    return {position, std::min(remaining, maxBytes - position)};
}

RingArithmetic::Window RingArithmetic::rolled(Window window, int64_t maxBytes, int64_t length) {
    const int64_t count = window.count + length;
    if (count <= maxBytes) {
        return {window.start, count};
    }
    return {(window.start + count - maxBytes) % maxBytes, maxBytes};
}

int64_t RingArithmetic::windowEnd(Window window, int64_t maxBytes) {
    return (window.start + window.count) % maxBytes;
}

int64_t RingArithmetic::freeSpaceMarginBytes(int64_t fileSystemBytes) {
    return std::max(freeSpaceMarginMinimumBytes, fileSystemBytes / 100 * freeSpaceMarginPercent);
}

int64_t RingArithmetic::shortenedRingBytes(int64_t requestedBytes, int64_t bytesPerMinute,
                                           int64_t availableBytes, int64_t fileSystemBytes) {
    const int64_t spareBytes = availableBytes - freeSpaceMarginBytes(fileSystemBytes);
    if (bytesPerMinute <= 0 || spareBytes < bytesPerMinute) {
        return 0;
    }
    // Fewer minutes than asked: the whole length has just been refused.
    const int64_t askedMinutes = (requestedBytes + bytesPerMinute - 1) / bytesPerMinute;
    const int64_t minutes = std::min(spareBytes / bytesPerMinute, askedMinutes - 1);
    return minutes > 0 ? minutes * bytesPerMinute : 0;
}
