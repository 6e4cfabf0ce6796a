#include "AudioBufferTestHarness.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <future>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

const std::string prefix = "Error: AudioBuffer: ";

std::vector<uint8_t> fileBytes(const std::filesystem::path& path, std::size_t count) {
    std::vector<uint8_t> bytes(count);
    std::ifstream(path, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data()), static_cast<long>(count));
    return bytes;
}

mode_t modeOf(const std::filesystem::path& path) {
    struct stat status {};
    stat(path.c_str(), &status);
    return status.st_mode & 07777;
}

std::vector<uint8_t> tail(const std::vector<uint8_t>& bytes, std::size_t count) {
    return {bytes.end() - static_cast<std::ptrdiff_t>(count), bytes.end()};
}

} // namespace

class AudioBufferTest : public ::testing::Test {
protected:
    AudioBufferTestHarness harness;
    LogCapture log;
};

TEST_F(AudioBufferTest, CreationSizesTheMemoryBufferAndReservesThePrivateRingFile) {
    harness.make(3'600, 44'100);
    const auto ring = harness.caches.path() / "Tempolis" / "Recording.data";
    EXPECT_EQ(harness.buffer->fileBufferURL(), ring);
    EXPECT_EQ(AudioBuffer::ringFilePath(harness.caches.path()), ring);
    EXPECT_EQ(harness.buffer->keptDurationSeconds(), 3'600);
    EXPECT_EQ(harness.buffer->memoryBufferMaxSize(), 2'646'000);
    EXPECT_EQ(std::filesystem::file_size(ring), 317'520'000u);
    struct stat status {};
    ASSERT_EQ(stat(ring.c_str(), &status), 0);
    EXPECT_GE(status.st_blocks * 512, 317'520'000) << "disk space must be reserved, not sparse";
    EXPECT_EQ(modeOf(ring), 0600);
    EXPECT_EQ(modeOf(ring.parent_path()), 0700);
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 0);
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 0);

    harness.make(900, 44'100);
    EXPECT_EQ(std::filesystem::file_size(ring), 79'380'000u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(AudioBufferTest, AnExistingWorldReadableFolderIsMadePrivate) {
    std::filesystem::create_directories(harness.caches.path() / "Tempolis");
    chmod((harness.caches.path() / "Tempolis").c_str(), 0755);
    harness.make(60, 44'100);
    EXPECT_EQ(modeOf(harness.caches.path() / "Tempolis"), 0700);
}

TEST_F(AudioBufferTest, BlocksFillMemoryThenTheSplitBlockFlushesToTheStartOfTheRing) {
    harness.make(3'600, 44'100);
    harness.buffer->start();
    std::vector<uint8_t> appended;
    // 1,292 blocks of 2,048 bytes make 2,646,016 bytes: the last one does not fit.
    for (int i = 0; i < 1'291; ++i) {
        const auto bytes = harness.nextBytes(2'048);
        appended.insert(appended.end(), bytes.begin(), bytes.end());
        harness.appendBytes(bytes);
    }
    harness.drain();
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 2'643'968);
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 0);

    const auto last = harness.nextBytes(2'048);
    appended.insert(appended.end(), last.begin(), last.end());
    harness.appendBytes(last);
    harness.drain();
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 2'646'000);
    EXPECT_EQ(harness.fileOffset(), 2'646'000);
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 16);

    harness.buffer->stop();
    harness.drain();
    const auto ring = fileBytes(harness.buffer->fileBufferURL(), 2'646'000);
    EXPECT_TRUE(std::equal(appended.begin(), appended.begin() + 2'646'000, ring.begin()));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(AudioBufferTest, ABlockThatExactlyFillsMemoryWaitsForTheNextBlockToFlush) {
    harness.make(60, 1'000); // 60,000-byte memory buffer
    harness.buffer->start();
    harness.appendBytes(harness.nextBytes(59'000));
    harness.appendBytes(harness.nextBytes(1'000));
    harness.drain();
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 60'000);
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 0);
    harness.appendBytes(harness.nextBytes(2));
    harness.drain();
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 60'000);
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 2);
}

TEST_F(AudioBufferTest, ABlockLongerThanThirtySecondsKeepsWhatFitsAndLosesTheRest) {
    harness.make(120, 1'000);
    harness.buffer->start();
    harness.appendBytes(harness.nextBytes(10'000));
    harness.appendBytes(harness.nextBytes(60'000 - 10'000 + 60'002));
    harness.drain();
    EXPECT_EQ(log.count(prefix + "Internal error while copying block buffer data."), 1);
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 60'000);
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 0);
}

TEST_F(AudioBufferTest, UnusableBlocksAreLoggedAndOnlyWholeSamplesAreKept) {
    harness.make(60, 1'000);
    harness.buffer->start();
    harness.appendBlock(std::make_shared<SampleBlock>(SampleBlock::notReady()));
    harness.appendBlock(std::make_shared<SampleBlock>(SampleBlock::withoutData()));
    harness.appendBlock(std::make_shared<SampleBlock>(std::vector<uint8_t>{}));
    harness.appendBytes(harness.nextBytes(3));
    harness.drain();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{prefix + "Capture output has non-ready sample buffer.",
                                        prefix + "Error getting block buffer from sample buffer.",
                                        prefix + "Block buffer is empty.",
                                        prefix + "Block buffer ends in a partial sample. (3 bytes)"}));
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 2);
}

TEST_F(AudioBufferTest, AFailedCopyDropsTheRestOfTheBlockWithoutFlushing) {
    harness.make(60, 1'000);
    harness.buffer->start();
    harness.appendBytes(harness.nextBytes(59'000));
    // The first 1,000 bytes would fit; their copy fails, so nothing of the block is kept and nothing flushed.
    harness.appendBlock(std::make_shared<FailingSampleBlock>(harness.nextBytes(4'000), 0, -12'700));
    harness.drain();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{prefix + "Error copying block buffer data. (-12700)",
                                        prefix + "blockOffset: 0 copyLength: 1000 blockBufferLength: 4000"}));
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 59'000);
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 0);
}

// A block that comes after a stop closed the ring (or before a start opened it) still reaches the ring,
// which is whole and where it was: no stop empties the ring.
TEST_F(AudioBufferTest, AFlushWithTheRingClosedStillKeepsItsAudioInTheRing) {
    harness.make(60, 1'000);
    std::vector<uint8_t> expected;
    for (const auto& bytes : {harness.nextBytes(60'000), harness.nextBytes(10)}) {
        harness.appendBytes(bytes);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(harness.exportSeconds(45).seconds, 30.005);
    EXPECT_EQ(harness.lastRecord().bytes, expected);
    EXPECT_TRUE(log.lines().empty());
    harness.drain();
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 60'000);

    harness.buffer->start();
    harness.buffer->stop();
    for (const auto& bytes : {harness.nextBytes(59'990), harness.nextBytes(20'000)}) {
        harness.appendBytes(bytes);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(harness.exportSeconds(45).seconds, 45.0);
    EXPECT_EQ(harness.lastRecord().bytes, tail(expected, 90'000));
    EXPECT_TRUE(log.lines().empty());
}

// Recording all day, blocks wait for a second's worth before the buffer's and the encoder's threads get them:
// what waits still counts as held, a save and a stop take it along, a reset forgets it.
TEST_F(AudioBufferTest, BlocksHandedOverInBatchesAreHeldSavedAndForgottenAsAnyOther) {
    harness.make(60, 1'000);
    harness.buffer->setHandOverSeconds(1.0);
    harness.buffer->start();
    std::vector<uint8_t> expected;
    for (int block = 0; block < 3; ++block) {
        const auto bytes = harness.nextBytes(500); // a quarter of a second each
        harness.appendBytes(bytes);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    harness.drain();
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 0) << "less than a second waits";
    EXPECT_EQ(harness.buffer->heldBytes(), 1'500);
    const auto fourth = harness.nextBytes(500);
    harness.appendBytes(fourth);
    expected.insert(expected.end(), fourth.begin(), fourth.end());
    harness.drain();
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 2'000) << "a second's worth is handed over";

    const auto waiting = harness.nextBytes(300);
    harness.appendBytes(waiting);
    expected.insert(expected.end(), waiting.begin(), waiting.end());
    EXPECT_EQ(harness.exportSeconds(30).seconds, 1.15);
    EXPECT_EQ(harness.lastRecord().bytes, expected) << "a save takes what waits along";

    harness.appendBytes(harness.nextBytes(300));
    harness.buffer->stop();
    harness.drain();
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 2'600) << "a stop hands over what waits";
    harness.buffer->start();
    harness.appendBytes(harness.nextBytes(300));
    harness.buffer->reset();
    harness.drain();
    EXPECT_EQ(harness.buffer->heldBytes(), 0) << "a reset forgets what waits too";

    // The queue takes handed-over blocks off the count while more arrive: no block stays counted twice.
    harness.buffer->setHandOverSeconds(0.001);
    const auto sample = harness.nextBytes(2);
    for (int block = 0; block < 25'000; ++block) {
        harness.appendBytes(sample);
    }
    harness.drain();
    EXPECT_EQ(harness.buffer->heldBytes(), 50'000);
}

TEST_F(AudioBufferTest, StartTwiceKeepsTheOpenRing) {
    harness.make(60, 1'000);
    harness.buffer->start();
    harness.buffer->start();
    harness.drain();
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{prefix + "Error starting recording. (Buffer file is open.)"});
    EXPECT_TRUE(harness.buffer->queue().syncResult([&] { return harness.buffer->isFileOpen(); }));
}

TEST_F(AudioBufferTest, TheRingAndItsAudioSurviveStopAndStart) {
    harness.make(120, 1'000);
    harness.buffer->start();
    std::vector<uint8_t> appended;
    for (int i = 0; i < 3; ++i) {
        const auto bytes = harness.nextBytes(40'000);
        appended.insert(appended.end(), bytes.begin(), bytes.end());
        harness.appendBytes(bytes);
    }
    harness.buffer->stop();
    harness.buffer->start();
    const auto more = harness.nextBytes(30'000);
    appended.insert(appended.end(), more.begin(), more.end());
    harness.appendBytes(more);
    harness.drain();
    EXPECT_EQ(std::filesystem::file_size(harness.buffer->fileBufferURL()), 240'000u);

    const auto outcome = harness.exportSeconds(75);
    ASSERT_TRUE(outcome.success);
    EXPECT_DOUBLE_EQ(outcome.seconds, 75.0);
    EXPECT_EQ(harness.lastRecord().bytes, tail(appended, 150'000))
        << "audio from before the stop must not be silence";
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(AudioBufferTest, StartRecreatesAMissingOrWrongSizedRingAndForgetsItsAudio) {
    harness.make(120, 1'000);
    harness.buffer->start();
    harness.appendBytes(harness.nextBytes(100'000));
    harness.buffer->stop();
    harness.drain();
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 60'000);

    std::filesystem::remove(harness.buffer->fileBufferURL());
    harness.buffer->start();
    harness.drain();
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{prefix + "Buffer file was missing or had the wrong length; "
                                                "recreating it. (Its audio is lost.)"});
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 0);
    EXPECT_EQ(harness.fileOffset(), 0);
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 40'000) << "the newest audio in memory stays";
    EXPECT_EQ(std::filesystem::file_size(harness.buffer->fileBufferURL()), 240'000u);
    EXPECT_EQ(modeOf(harness.buffer->fileBufferURL()), 0600);

    harness.buffer->stop();
    harness.drain();
    std::filesystem::resize_file(harness.buffer->fileBufferURL(), 1'000);
    log.clear();
    harness.buffer->start();
    harness.drain();
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(std::filesystem::file_size(harness.buffer->fileBufferURL()), 240'000u);
}

TEST_F(AudioBufferTest, DestroyingTheBufferErasesTheRing) {
    harness.make(60, 1'000);
    harness.buffer->start();
    harness.appendBytes(harness.nextBytes(70'000));
    const auto ring = harness.buffer->fileBufferURL();
    harness.buffer.reset();
    EXPECT_FALSE(std::filesystem::exists(ring));
}

TEST_F(AudioBufferTest, ResizeIsRefusedWhileRecordingAndEmptiesTheBufferWhenStopped) {
    harness.make(120, 1'000);
    harness.buffer->start();
    harness.appendBytes(harness.nextBytes(100'000));
    harness.drain();
    EXPECT_FALSE(harness.buffer->resizeAndWait(300));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{prefix + "Error resizing capture buffer. (Buffer file is open.)"});
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 60'000);

    harness.buffer->stop();
    EXPECT_TRUE(harness.buffer->resizeAndWait(300));
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 0);
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 0);
    EXPECT_EQ(harness.buffer->fileBufferMaxSize(), 600'000);
    EXPECT_EQ(std::filesystem::file_size(harness.buffer->fileBufferURL()), 600'000u);
}

TEST_F(AudioBufferTest, ResetEmptiesBothTiers) {
    harness.make(120, 1'000);
    harness.buffer->start();
    harness.appendBytes(harness.nextBytes(100'000));
    harness.buffer->reset();
    harness.drain();
    EXPECT_EQ(harness.buffer->fileBufferCurrentSize(), 0);
    EXPECT_EQ(harness.buffer->memoryBufferCurrentSize(), 0);
    EXPECT_EQ(harness.fileOffset(), 0);
    const auto outcome = harness.exportSeconds(10);
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(outcome.seconds, 0.0);
}

TEST_F(AudioBufferTest, RingThatCannotBeCreatedIsLoggedAndCreationGoesOn) {
    std::filesystem::create_directories(harness.caches.path() / "Tempolis" / "Recording.data");
    harness.make(60, 1'000);
    harness.buffer->start(); // tries again
    harness.drain();
    EXPECT_EQ(log.count(prefix + "Error creating the buffer file."), 2);
    EXPECT_EQ(log.count(prefix + "Keeping only the newest 30 seconds, in memory: there is no buffer file."),
              2);
    EXPECT_EQ(harness.buffer->keptDurationSeconds(), 30);
}

// --- clip export: amounts, order and chunking, with a memory writer that records every call ---

class AudioBufferExportTest : public AudioBufferTest {
protected:
    // 50,000 samples a second: 100,000 bytes a second, a 3,000,000-byte memory buffer.
    static constexpr double sampleRate = 50'000;

    // Appends `blocks` blocks of 100,000 bytes and answers everything appended.
    std::vector<uint8_t> appendBlocks(int blocks) {
        std::vector<uint8_t> appended;
        for (int i = 0; i < blocks; ++i) {
            const auto bytes = harness.nextBytes(100'000);
            appended.insert(appended.end(), bytes.begin(), bytes.end());
            harness.appendBytes(bytes);
        }
        harness.drain();
        return appended;
    }

    std::vector<uint32_t> writeSizes() const {
        std::vector<uint32_t> sizes;
        for (const auto& call : harness.lastRecord().writes) {
            EXPECT_EQ(call.frameCount, call.byteCount / 2);
            sizes.push_back(call.byteCount);
        }
        return sizes;
    }
};

TEST_F(AudioBufferExportTest, TooShortDurationsAreRefusedBeforeAnyFileExists) {
    harness.make(120, 44'100);
    const auto outcome = harness.exportSeconds(1.0);
    EXPECT_FALSE(outcome.success);
    EXPECT_EQ(outcome.seconds, 0.0);
    EXPECT_TRUE(harness.records.empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{prefix + "Attempting to export audio that's too short."});
    EXPECT_TRUE(harness.exportSeconds(1.5).success);
}

TEST_F(AudioBufferExportTest, FormatsHandedToTheEncoder) {
    harness.make(120, 44'100);
    ASSERT_TRUE(harness.exportSeconds(5).success);
    EXPECT_EQ(harness.lastRecord().fileFormat, AudioStreamFormat::aacMono(44'100));
    EXPECT_EQ(harness.lastRecord().clientFormat, AudioStreamFormat::pcm16Mono(44'100));
    EXPECT_EQ(harness.lastRecord().clientFormat.formatFlags, 12u);
    EXPECT_TRUE(harness.lastRecord().disposed);
}

TEST_F(AudioBufferExportTest, ShortBufferGivesAShorterClip) {
    harness.make(120, 44'100);
    harness.buffer->start();
    const auto bytes = harness.nextBytes(100'000);
    harness.appendBytes(bytes);
    const auto outcome = harness.exportSeconds(10);
    ASSERT_TRUE(outcome.success);
    EXPECT_DOUBLE_EQ(outcome.seconds, 50'000.0 / 44'100.0);
    EXPECT_NEAR(outcome.seconds, 1.134, 0.0005);
    EXPECT_EQ(harness.lastRecord().bytes, bytes);
    EXPECT_EQ(writeSizes(), std::vector<uint32_t>{100'000});
}

TEST_F(AudioBufferExportTest, RingPartThenMemoryPartEndingAtTheNewestByte) {
    harness.make(120, 44'100);
    harness.buffer->start();
    std::vector<uint8_t> appended;
    // Three flushes of 2,646,000 bytes, then 300,000 bytes left in memory.
    for (int i = 0; i < 3 * 1'323 + 150; ++i) {
        const auto bytes = harness.nextBytes(2'000);
        appended.insert(appended.end(), bytes.begin(), bytes.end());
        harness.appendBytes(bytes);
    }
    harness.drain();
    ASSERT_EQ(harness.buffer->memoryBufferCurrentSize(), 300'000);
    ASSERT_EQ(harness.buffer->fileBufferCurrentSize(), 7'938'000);
    const auto outcome = harness.exportSeconds(10);
    ASSERT_TRUE(outcome.success);
    EXPECT_DOUBLE_EQ(outcome.seconds, 10.0);
    EXPECT_EQ(writeSizes(), (std::vector<uint32_t>{582'000, 300'000}));
    EXPECT_EQ(harness.lastRecord().bytes, tail(appended, 882'000));
}

TEST_F(AudioBufferExportTest, ReadAcrossTheEndOfTheRingContinuesAtItsStart) {
    harness.make(59.5, sampleRate); // ring of 5,950,000 bytes
    harness.buffer->start();
    const auto appended = appendBlocks(61); // two flushes: the write position ends at 50,000
    ASSERT_EQ(harness.fileOffset(), 50'000);
    const auto outcome = harness.exportSeconds(4); // 100,000 from memory, 300,000 from the ring
    ASSERT_TRUE(outcome.success);
    EXPECT_EQ(writeSizes(), (std::vector<uint32_t>{250'000, 50'000, 100'000}));
    EXPECT_EQ(harness.lastRecord().bytes, tail(appended, 400'000));
}

TEST_F(AudioBufferExportTest, RingPartIsStreamedInChunksOfOneMebibyte) {
    harness.make(120, sampleRate);
    harness.buffer->start();
    const auto appended = appendBlocks(31);
    const auto outcome = harness.exportSeconds(31);
    ASSERT_TRUE(outcome.success);
    EXPECT_EQ(writeSizes(), (std::vector<uint32_t>{1'048'576, 1'048'576, 902'848, 100'000}));
    EXPECT_EQ(harness.lastRecord().bytes, tail(appended, 3'100'000));
}

TEST_F(AudioBufferExportTest, TinyChunkAtTheEndOfTheRingIsOnlyAWarning) {
    harness.make(59.5, sampleRate);
    harness.buffer->start();
    const auto appended = appendBlocks(61);
    const auto outcome = harness.exportSeconds(1.5001); // 100,000 from memory, 50,010 from the ring
    ASSERT_TRUE(outcome.success);
    EXPECT_EQ(log.lines(), std::vector<std::string>{prefix + "Dangerously small chunk size. (10)"});
    EXPECT_EQ(writeSizes(), (std::vector<uint32_t>{10, 50'000, 100'000}));
    EXPECT_EQ(harness.lastRecord().bytes, tail(appended, 150'010));
}

TEST_F(AudioBufferExportTest, EncoderWriteFailureStopsReadingAndDeletesThePartialFile) {
    harness.make(120, sampleRate);
    harness.buffer->start();
    appendBlocks(31);
    harness.faults.failingWriteIndex = 1;
    const auto clip = harness.caches.path() / "clip.m4a";
    const auto outcome = harness.exportSeconds(31, clip);
    EXPECT_FALSE(outcome.success);
    EXPECT_EQ(outcome.seconds, 0.0);
    EXPECT_FALSE(std::filesystem::exists(clip));
    EXPECT_EQ(harness.lastRecord().writes.size(), 2u) << "reading stops at the failed chunk";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{prefix + "Error writing to audio capture file. (-36)",
                                                     prefix + "Error writing audio file. (Deleted file.)"}));
}

TEST_F(AudioBufferExportTest, MemoryWriteFailureDeletesTheFile) {
    harness.make(120, sampleRate);
    harness.buffer->start();
    appendBlocks(3);
    harness.faults.failingWriteIndex = 0;
    EXPECT_FALSE(harness.exportSeconds(2).success);
    EXPECT_FALSE(std::filesystem::exists(harness.caches.path() / "clip.m4a"));
}

TEST_F(AudioBufferExportTest, RefusedClientFormatDeletesTheFile) {
    harness.make(120, sampleRate);
    harness.faults.clientFormatStatus = 1'718'449'215;
    EXPECT_FALSE(harness.exportSeconds(2).success);
    EXPECT_FALSE(std::filesystem::exists(harness.caches.path() / "clip.m4a"));
    EXPECT_TRUE(harness.lastRecord().writes.empty());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{prefix + "Error setting audio capture data format. (1718449215)",
                                        prefix + "Error writing audio file. (Deleted file.)"}));
}

TEST_F(AudioBufferExportTest, FileThatCannotBeCreatedDeletesNothing) {
    harness.make(120, sampleRate);
    const auto clip = harness.caches.path() / "clip.m4a";
    std::ofstream(clip) << "an earlier clip";
    harness.faults.createStatus = -43;
    EXPECT_FALSE(harness.exportSeconds(2, clip).success);
    EXPECT_TRUE(std::filesystem::exists(clip));
    EXPECT_EQ(log.lines(), std::vector<std::string>{prefix + "Error creating audio capture file. (-43)"});
}

TEST_F(AudioBufferExportTest, UnfinishableFileIsAFailure) {
    harness.make(120, sampleRate);
    harness.faults.disposeStatus = -28;
    EXPECT_FALSE(harness.exportSeconds(2).success);
    EXPECT_FALSE(std::filesystem::exists(harness.caches.path() / "clip.m4a"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{prefix + "Error finishing audio capture file. (-28)",
                                                     prefix + "Error writing audio file. (Deleted file.)"}));
}

TEST_F(AudioBufferExportTest, UnreadableRingDeletesTheFile) {
    harness.make(120, sampleRate);
    harness.buffer->start();
    appendBlocks(31);
    std::filesystem::remove(harness.buffer->fileBufferURL());
    EXPECT_FALSE(harness.exportSeconds(10).success);
    EXPECT_FALSE(std::filesystem::exists(harness.caches.path() / "clip.m4a"));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{prefix + "Error opening buffer file for reading.",
                                                     prefix + "Error writing audio file. (Deleted file.)"}));
}

TEST_F(AudioBufferExportTest, ARingCutShortUnderneathFailsTheExportAndDeletesTheFile) {
    harness.make(120, sampleRate);
    harness.buffer->start();
    appendBlocks(61); // the ring holds 3,000,000 to 6,000,000
    std::filesystem::resize_file(harness.buffer->fileBufferURL(), 4'500'000);
    EXPECT_FALSE(harness.exportSeconds(31).success);
    EXPECT_FALSE(std::filesystem::exists(harness.caches.path() / "clip.m4a"));
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{prefix + "Error reading buffer file. (Read 451424 of 1048576 bytes.)",
                                        prefix + "Error writing audio file. (Deleted file.)"}));
}

TEST_F(AudioBufferExportTest, ResizeLaterShowsTheNewLengthAtOnceAndRunsAfterTheRunningExport) {
    harness.make(120, sampleRate);
    harness.buffer->start();
    const auto appended = appendBlocks(61);
    harness.buffer->stop();
    std::promise<void> gate;
    harness.buffer->queue().async([held = gate.get_future().share()] { held.wait(); });
    std::promise<std::pair<bool, bool>> resized; // and whether on the queue
    harness.buffer->exportAudio(harness.caches.path() / "a.m4a", 61, [](bool, double) {});
    harness.buffer->resizeLater(300, [&](bool ok) {
        resized.set_value({ok, harness.buffer->queue().isCurrent()});
    });
    EXPECT_EQ(harness.buffer->requestedDurationSeconds(), 300);
    EXPECT_EQ(harness.buffer->keptDurationSeconds(), 120);
    gate.set_value();
    EXPECT_EQ(resized.get_future().get(), std::make_pair(true, true));
    EXPECT_EQ(harness.lastRecord().bytes, appended) << "the export read the whole old ring";
    EXPECT_EQ(harness.buffer->fileBufferMaxSize(), 30'000'000);

    harness.buffer->start(); // refused while the ring is open: the length shown goes back
    harness.buffer->resizeLater(600, [](bool) {});
    harness.drain();
    EXPECT_EQ(harness.buffer->requestedDurationSeconds(), 300);
}

TEST_F(AudioBufferExportTest, ExportsRunInOrderBehindQueuedAppends) {
    harness.make(120, sampleRate);
    harness.buffer->start();
    const auto first = harness.nextBytes(200'000);
    harness.appendBytes(first);
    std::vector<std::vector<uint8_t>> seen;
    std::promise<void> done;
    harness.buffer->exportAudio(harness.caches.path() / "a.m4a", 2,
                                [&](bool, double) { seen.push_back(harness.lastRecord().bytes); });
    const auto second = harness.nextBytes(100'000);
    harness.appendBytes(second);
    harness.buffer->exportAudio(harness.caches.path() / "b.m4a", 2, [&](bool, double) {
        seen.push_back(harness.lastRecord().bytes);
        done.set_value();
    });
    done.get_future().wait();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], first);
    std::vector<uint8_t> expected(first.begin() + 100'000, first.end());
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(seen[1], expected);
}

// --- a full file system, made on demand with a small tmpfs (needs root) ---

class AudioBufferDiskFull : public AudioBufferTest {
protected:
    ~AudioBufferDiskFull() override {
        harness.buffer.reset();
        umount2(disk.path().c_str(), MNT_DETACH);
    }
    bool mounted(const std::string& size) {
        return geteuid() == 0 &&
               mount("none", disk.path().c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    // Appends 44.1 kHz audio in tenths of a second, keeping a copy.
    void appendSeconds(int seconds) {
        for (int block = 0; block < seconds * 10; ++block) {
            const auto bytes = harness.nextBytes(8'820);
            appended.insert(appended.end(), bytes.begin(), bytes.end());
            harness.appendBytes(bytes);
        }
    }
    void exportExactly(double seconds) {
        EXPECT_EQ(harness.exportSeconds(seconds + 5).seconds, seconds);
        EXPECT_EQ(harness.lastRecord().bytes, tail(appended, static_cast<std::size_t>(seconds * 88'200)));
    }

    TemporaryFolder disk;
    std::vector<uint8_t> appended;
    std::vector<std::pair<double, double>> shortfalls; // written on the queue, read after waiting for it
};

// Where the file system cannot reserve space at once (ramfs, some network file systems) every block is
// written instead; the ring is reserved all the same, and a reset erases it all the same.
TEST_F(AudioBufferDiskFull, AFileSystemWithoutFallocateStillGetsTheWholeRing) {
    if (geteuid() != 0 || mount("none", disk.path().c_str(), "ramfs", 0, nullptr) != 0) {
        GTEST_SKIP() << "needs root to mount a ramfs";
    }
    harness.make(120, 44'100, disk.path());
    EXPECT_EQ(harness.buffer->keptDurationSeconds(), 120);
    const auto ring = AudioBuffer::ringFilePath(disk.path());
    struct stat status {};
    ASSERT_EQ(stat(ring.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 120 * 88'200);
    EXPECT_GE(status.st_blocks * 512, status.st_size);
    harness.buffer->start();
    appendSeconds(40);
    std::promise<void> erased;
    harness.buffer->reset([&] { erased.set_value(); });
    erased.get_future().get();
    std::ifstream stream(ring, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\0'), static_cast<std::ptrdiff_t>(bytes.size()));
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

TEST_F(AudioBufferDiskFull, WithoutRoomForAMinuteTheNewestThirtySecondsRollInMemoryUntilTheRingFits) {
    if (!mounted("1m")) {
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    struct statvfs before {};
    statvfs(disk.path().c_str(), &before);
    harness.make(60, 44'100, disk.path()); // 5,292,000 bytes do not fit in 1 MiB
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  prefix + "Error changing the physical size of the buffer file. (-1)",
                  prefix + "Too little free disk space for one minute of the buffer file.",
                  prefix + "Keeping only the newest 30 seconds, in memory: there is no buffer file."}));
    EXPECT_FALSE(std::filesystem::exists(harness.buffer->fileBufferURL()));
    struct statvfs after {};
    statvfs(disk.path().c_str(), &after);
    EXPECT_GE(after.f_bfree + 2, before.f_bfree) << "the partial reservation must be given back";
    EXPECT_EQ(harness.buffer->keptDurationSeconds(), 30);

    harness.buffer->setReservationShortHandler(
        [&](double asked, double kept) { shortfalls.emplace_back(asked, kept); });
    harness.buffer->start(); // tries the whole length again
    appendSeconds(41);
    exportExactly(30);
    // Room again: the next start makes the whole ring and keeps what memory holds.
    ASSERT_EQ(mount("none", disk.path().c_str(), "tmpfs", MS_REMOUNT, "size=300m"), 0);
    harness.buffer->stop();
    harness.buffer->start();
    appendSeconds(10);
    exportExactly(40);
    EXPECT_EQ(harness.buffer->keptDurationSeconds(), 60);
    EXPECT_EQ(shortfalls, (std::vector<std::pair<double, double>>{{60, 30}, {60, 30}}));
}

TEST_F(AudioBufferDiskFull, ARingThatDoesNotFitGetsTheMostWholeMinutesThatLeaveTheMarginFree) {
    if (!mounted("269m")) { // 256 MiB of margin and room for 2.5 minutes
        GTEST_SKIP() << "needs root to mount a small tmpfs";
    }
    harness.make(3'600, 44'100, disk.path());
    harness.buffer->setReservationShortHandler(
        [&](double asked, double kept) { shortfalls.emplace_back(asked, kept); });
    EXPECT_EQ(harness.buffer->keptDurationSeconds(), 120);
    EXPECT_EQ(std::filesystem::file_size(harness.buffer->fileBufferURL()), 10'584'000u);
    harness.buffer->start();
    appendSeconds(170); // wraps the shorter ring
    exportExactly(140);
    harness.buffer->stop();
    EXPECT_TRUE(harness.buffer->resizeAndWait(7'200));
    EXPECT_EQ(shortfalls, (std::vector<std::pair<double, double>>{{3'600, 120}, {7'200, 120}}));
    EXPECT_TRUE(log.contains(prefix +
                             "Buffer file shortened to 120 of the 7200 seconds asked: too little free "
                             "disk space."));
}

TEST(AudioBufferRingFolder, IsMadePrivateOrAnswersWhyNot) {
    TemporaryFolder caches;
    std::string error;
    ASSERT_TRUE(AudioBuffer::makeRingFolder(caches.path() / "new", &error));
    EXPECT_EQ(modeOf(caches.path() / "new" / "Tempolis"), 0700);
    std::ofstream(caches.path() / "Tempolis") << "not a folder";
    EXPECT_FALSE(AudioBuffer::makeRingFolder(caches.path(), &error));
    EXPECT_EQ(error, "The folder " + (caches.path() / "Tempolis").string() +
                         " cannot be created (Not a directory).");
}

TEST(AudioBufferCachesFolder, FollowsXdgCacheHomeAndFallsBackToHome) {
    const char* savedCache = std::getenv("XDG_CACHE_HOME");
    const std::string saved = savedCache ? savedCache : "";
    setenv("XDG_CACHE_HOME", "/some/cache", 1);
    EXPECT_EQ(AudioBuffer::userCachesFolder(), "/some/cache");
    setenv("XDG_CACHE_HOME", "relative/ignored", 1);
    EXPECT_EQ(AudioBuffer::userCachesFolder(), std::filesystem::path(std::getenv("HOME")) / ".cache");
    unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(AudioBuffer::userCachesFolder(), std::filesystem::path(std::getenv("HOME")) / ".cache");
    if (savedCache) {
        setenv("XDG_CACHE_HOME", saved.c_str(), 1);
    }
}

TEST(AudioBufferCachesFolderDeathTest, AnUnusableCachesFolderEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(AudioBuffer(60, 44'100, "/proc/no-such-folder"),
                 "AudioBuffer: Error locating the cache folder.");
}
