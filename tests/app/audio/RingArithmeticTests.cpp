#include "RingArithmetic.h"

#include <gtest/gtest.h>

using Write = RingArithmetic::Write;

TEST(RingArithmetic, FlushThatFitsIsOneWriteAndAdvances) {
    const auto flush = RingArithmetic::planFlush(1'000, 1'000, 317'520'000, 2'646'000);
    EXPECT_EQ(flush.writes, (std::vector<Write>{{1'000, 0, 2'646'000}}));
    EXPECT_EQ(flush.newFileOffset, 2'647'000);
    EXPECT_EQ(flush.newFileSize, 2'647'000);
}

TEST(RingArithmetic, FlushAcrossTheEndSplitsAtTheEndOfTheRing) {
    const int64_t size = 317'520'000;
    const auto flush = RingArithmetic::planFlush(size - 1'000, 200'000'000, size, 2'646'000);
    EXPECT_EQ(flush.writes, (std::vector<Write>{{size - 1'000, 0, 1'000}, {0, 1'000, 2'645'000}}));
    EXPECT_EQ(flush.newFileOffset, 2'645'000);
    EXPECT_EQ(flush.newFileSize, 202'646'000);

    // Once full, the fill stays at the ring's size.
    const auto full = RingArithmetic::planFlush(size - 1'000, size, size, 2'646'000);
    EXPECT_EQ(full.newFileSize, size);
}

TEST(RingArithmetic, FlushEndingExactlyAtTheEndLeavesThePositionAtZero) {
    const auto flush = RingArithmetic::planFlush(7'000, 7'000, 10'000, 3'000);
    EXPECT_EQ(flush.writes, (std::vector<Write>{{7'000, 0, 3'000}}));
    EXPECT_EQ(flush.newFileOffset, 0);
    EXPECT_EQ(flush.newFileSize, 10'000);
}

TEST(RingArithmetic, ExportAmountsTakeTheNewestFromMemoryAndTheRestFromTheRing) {
    const int64_t requested = RingArithmetic::bytesForDuration(10, 44'100);
    EXPECT_EQ(requested, 882'000);
    const auto amounts = RingArithmetic::exportAmounts(requested, 300'000, 10'000'000);
    EXPECT_EQ(amounts.fromMemory, 300'000);
    EXPECT_EQ(amounts.fromFile, 582'000);

    const auto shortBuffer = RingArithmetic::exportAmounts(requested, 100'000, 0);
    EXPECT_EQ(shortBuffer.total(), 100'000);

    const auto memoryOnly = RingArithmetic::exportAmounts(50'000, 300'000, 10'000'000);
    EXPECT_EQ(memoryOnly.fromMemory, 50'000);
    EXPECT_EQ(memoryOnly.fromFile, 0);
}

TEST(RingArithmetic, SizesRoundUpToWholeSamples) {
    EXPECT_EQ(RingArithmetic::bytesForDuration(3'600, 44'100), 317'520'000);
    EXPECT_EQ(RingArithmetic::bytesForDuration(900, 44'100), 79'380'000);
    EXPECT_EQ(RingArithmetic::bytesForDuration(30, 44'100), 2'646'000);
    EXPECT_EQ(RingArithmetic::bytesForDuration(0.25, 3), 2);              // 0.75 samples
    EXPECT_EQ(RingArithmetic::bytesForDuration(1.00001, 44'100), 88'202); // 44,100.4 samples
}

TEST(RingArithmetic, AShortenedRingKeepsWholeMinutesFewerThanAskedAndLeavesTheMarginFree) {
    constexpr int64_t minute = 5'292'000, mebibyte = 1 << 20, gibibyte = 1LL << 30;
    const struct {
        int64_t requested, available, fileSystem, expected;
    } cases[] = {
        {60 * minute, 256 * mebibyte + 2 * minute + minute / 2, 10 * gibibyte, 2 * minute}, // margin 256 MiB
        {60 * minute, 256 * mebibyte + minute - 1, 10 * gibibyte, 0},                       // not a minute
        {60 * minute, 2 * gibibyte + 10 * minute, 100 * gibibyte, 10 * minute},             // margin 2 %
        {5 * minute + 2, 100 * gibibyte, 1'000 * gibibyte, 5 * minute}, // fewer minutes than asked
    };
    for (const auto& disk : cases) {
        EXPECT_EQ(RingArithmetic::shortenedRingBytes(disk.requested, minute, disk.available, disk.fileSystem),
                  disk.expected)
            << disk.available << " of " << disk.fileSystem;
    }
}

TEST(RingArithmetic, ReadsWrapOnceAndComeInChunks) {
    const int64_t size = 5'950'000;
    int64_t position = RingArithmetic::readStart(50'000, size, 300'000);
    EXPECT_EQ(position, size - 250'000);
    auto chunk = RingArithmetic::nextChunk(position, 300'000, size, 1'048'576);
    EXPECT_EQ(chunk.length, 250'000);
    position = RingArithmetic::advance(position, chunk.length, size);
    EXPECT_EQ(position, 0);
    chunk = RingArithmetic::nextChunk(position, 50'000, size, 1'048'576);
    EXPECT_EQ(chunk, (RingArithmetic::Chunk{0, 50'000}));

    std::vector<int64_t> lengths;
    position = RingArithmetic::readStart(3'000'000, size, 3'000'000);
    for (int64_t remaining = 3'000'000; remaining > 0;) {
        chunk = RingArithmetic::nextChunk(position, remaining, size, 1'048'576);
        lengths.push_back(chunk.length);
        remaining -= chunk.length;
        position = RingArithmetic::advance(position, chunk.length, size);
    }
    EXPECT_EQ(lengths, (std::vector<int64_t>{1'048'576, 1'048'576, 902'848}));
}
