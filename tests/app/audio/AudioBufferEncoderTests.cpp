// Clips exported through the real AAC encoder, decoded again with FFmpeg.
#include "AacFileWriter.h"
#include "AudioBuffer.h"
#include "AudioBufferTestHarness.h"
#include "AudioDecoder.h"
#include "LogCapture.h"
#include "PacketRing.h"
#include "RingFile.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr double sampleRate = 44'100;

std::vector<int16_t> tone(std::size_t count, double frequency, std::size_t startIndex = 0) {
    std::vector<int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(std::lround(
            9'000 * std::sin(2 * M_PI * frequency * static_cast<double>(i + startIndex) / sampleRate)));
    }
    return samples;
}

double snrDecibels(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded) {
    double signal = 0, noise = 0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        signal += double(reference[i]) * reference[i];
        const double difference = double(reference[i]) - decoded[i];
        noise += difference * difference;
    }
    return 10 * std::log10(signal / std::max(noise, 1.0));
}

struct ExportResult {
    bool success;
    double seconds;
};

ExportResult exportClip(AudioBuffer& buffer, const std::filesystem::path& url, double duration,
                        const std::vector<int16_t>& arrivingMeanwhile = {}) {
    // As while recording live, the background encoder has caught up with what was appended so far.
    if (BackgroundEncoder* encoder = buffer.backgroundEncoder(); encoder && !arrivingMeanwhile.empty()) {
        encoder->queue().sync([] {});
    }
    std::promise<ExportResult> promise;
    buffer.exportAudio(url, duration, [&](bool success, double seconds) {
        promise.set_value({success, seconds});
    });
    // Capture goes on while the save waits for the background encoder to hand out the newest packets.
    if (!arrivingMeanwhile.empty()) {
        buffer.append(std::make_shared<SampleBlock>(arrivingMeanwhile.data(), arrivingMeanwhile.size() * 2));
    }
    return promise.get_future().get();
}

// A tone whose pitch wanders around 2 kHz: a clip even one sample off no longer matches it.
std::vector<int16_t> wanderingTone(std::size_t count, std::size_t startIndex) {
    std::vector<int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i + startIndex) / sampleRate;
        const double phase = 2 * M_PI * (2'000 * t - 1'000 / (2 * M_PI * 0.3) * std::cos(2 * M_PI * 0.3 * t));
        samples[i] = static_cast<int16_t>(std::lround(9'000 * std::sin(phase)));
    }
    return samples;
}

// Checks that `clip` holds exactly the `source` samples [end - frames, end), aligned to the sample, and
// (`cleanStart`) as faithful in its first 50 ms as in the whole.
void expectExactClip(const std::filesystem::path& clip, const std::vector<int16_t>& source, std::size_t end,
                     std::size_t frames, bool cleanStart = true) {
    std::string error;
    const auto decoded = AudioDecoder::decodeFile(clip.string(), &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(decoded->durationSamples, static_cast<int64_t>(frames));
    ASSERT_EQ(decoded->samples.size(), frames);
    // The clip against the source shifted by `lag` samples, over its first `count` samples.
    const auto snrAtLag = [&](std::ptrdiff_t lag, std::size_t count) {
        std::vector<int16_t> reference, clipped;
        for (std::size_t i = 1; i + 1 < count; ++i) {
            reference.push_back(
                source[static_cast<std::size_t>(static_cast<std::ptrdiff_t>(end - frames + i) + lag)]);
            clipped.push_back(decoded->samples[i]);
        }
        return snrDecibels(reference, clipped);
    };
    const double aligned = snrAtLag(0, frames);
    EXPECT_GT(aligned, 20.0);
    EXPECT_LT(snrAtLag(1, frames), aligned - 6);
    EXPECT_LT(snrAtLag(-1, frames), aligned - 6);
    if (cleanStart) {
        EXPECT_GT(snrAtLag(0, 2'205), aligned - 3) << "the start differs from the rest";
    }
}

} // namespace

TEST(AudioBufferEncoder, ClipAcrossRingAndMemoryDecodesToTheSameSamplesExactlyAsLong) {
    TemporaryFolder caches;
    LogCapture log;
    AudioBuffer buffer(120, sampleRate, caches.path());
    buffer.start();
    // 50 seconds of a 440 Hz tone: 30 seconds flushed to the ring, the newest 20 in memory.
    const auto samples = tone(50 * 44'100, 440);
    for (std::size_t offset = 0; offset < samples.size(); offset += 4'410) {
        buffer.append(std::make_shared<SampleBlock>(samples.data() + offset, 4'410 * 2));
    }
    const auto clip = caches.path() / "clip.m4a";
    const auto result = exportClip(buffer, clip, 37.5, tone(4'410, 440, samples.size()));
    ASSERT_TRUE(result.success);
    EXPECT_DOUBLE_EQ(result.seconds, 37.5);

    std::string error;
    const auto decoded = AudioDecoder::decodeFile(clip.string(), &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(decoded->codecName, "aac");
    EXPECT_EQ(decoded->sampleRate, 44'100);
    EXPECT_EQ(decoded->channelCount, 1);
    EXPECT_EQ(decoded->durationSamples, 37.5 * 44'100);
    ASSERT_EQ(decoded->samples.size(), 37.5 * 44'100);
    const std::vector<int16_t> expected(samples.end() - 1'653'750, samples.end());
    EXPECT_GT(snrDecibels(expected, decoded->samples), 25.0);
    EXPECT_TRUE(log.lines().empty());
}

TEST(AudioBufferEncoder, EmptyBufferGivesAValidEmptyFile) {
    TemporaryFolder caches;
    AudioBuffer buffer(120, sampleRate, caches.path());
    const auto clip = caches.path() / "empty.m4a";
    const auto result = exportClip(buffer, clip, 5);
    ASSERT_TRUE(result.success);
    EXPECT_EQ(result.seconds, 0.0);
    std::string error;
    const auto decoded = AudioDecoder::decodeFile(clip.string(), &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_TRUE(decoded->samples.empty());
}

TEST(AudioBufferEncoder, UnwritableLocationFailsAndLogsTheStatus) {
    TemporaryFolder caches;
    LogCapture log;
    AudioBuffer buffer(120, sampleRate, caches.path());
    const auto result = exportClip(buffer, caches.path() / "missing-folder" / "clip.m4a", 5);
    EXPECT_FALSE(result.success);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("Error: AudioBuffer: Error creating audio capture file. (", 0), 0u);
}

TEST(AudioBufferEncoder, AbandonedExportsFailAndLetTheBufferCloseAtOnce) {
    TemporaryFolder caches;
    // Encoding on save: the running export is one that takes seconds.
    auto buffer = std::make_unique<AudioBuffer>(900, sampleRate, caches.path(),
                                                [] { return std::make_unique<AacFileWriter>(); });
    buffer->start();
    const auto samples = tone(600 * 44'100, 440); // 10 minutes: about 3 s of encoding here
    for (std::size_t offset = 0; offset < samples.size(); offset += 44'100) {
        buffer->append(std::make_shared<SampleBlock>(samples.data() + offset, 44'100 * 2));
    }
    buffer->stop();
    const auto running = caches.path() / "running.m4a", queued = caches.path() / "queued.m4a";
    std::promise<ExportResult> first, second;
    buffer->exportAudio(running, 600, [&](bool success, double seconds) {
        first.set_value({success, seconds});
    });
    buffer->exportAudio(queued, 600, [&](bool success, double seconds) {
        second.set_value({success, seconds});
    });
    std::error_code error;
    while (std::filesystem::file_size(running, error) == 0 || error) { // encoding has begun
        std::this_thread::yield();
    }
    const auto abandoned = std::chrono::steady_clock::now();
    buffer->abandonExports();
    buffer.reset();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - abandoned).count(), 1.0);
    EXPECT_FALSE(first.get_future().get().success || second.get_future().get().success);
    EXPECT_FALSE(std::filesystem::exists(running) || std::filesystem::exists(queued));
}

TEST(AudioBufferEncoder, SavesCopyPacketsAndAreExactToTheSample) {
    TemporaryFolder caches;
    LogCapture log;
    AudioBuffer buffer(60, sampleRate, caches.path());
    PacketRing& packets = buffer.backgroundEncoder()->ring();
    buffer.start();
    // Enough audio that the packet file has wrapped, stopping where its newest wrap lies between the memory
    // part and 40 s back: the 61 s clip crosses it.
    std::vector<int16_t> source;
    for (;;) {
        const auto block = wanderingTone(4'410, source.size());
        source.insert(source.end(), block.begin(), block.end());
        buffer.append(std::make_shared<SampleBlock>(block.data(), block.size() * 2));
        if (source.size() % 44'100 != 0 || source.size() < 120 * 44'100) {
            continue;
        }
        buffer.backgroundEncoder()->queue().sync([] {});
        const int64_t appended = packets.appendedBytes();
        const int64_t bytesPerSecond = appended / static_cast<int64_t>(source.size() / 44'100);
        const int64_t sinceWrap = appended % packets.fileBytes();
        if (appended > packets.fileBytes() && sinceWrap > PacketRing::memoryBytes + 2 * bytesPerSecond &&
            sinceWrap < 40 * bytesPerSecond) {
            break;
        }
        ASSERT_LT(source.size(), 600u * 44'100) << "the packet file never wrapped";
    }
    for (const double seconds : {5.0, 61.0}) {
        const auto clip = caches.path() / ("clip-" + std::to_string(int(seconds)) + ".m4a");
        const auto more = wanderingTone(4'410, source.size());
        const auto result = exportClip(buffer, clip, seconds, more);
        ASSERT_TRUE(result.success);
        EXPECT_DOUBLE_EQ(result.seconds, seconds);
        expectExactClip(clip, source, source.size(), static_cast<std::size_t>(seconds * 44'100));
        source.insert(source.end(), more.begin(), more.end());
    }
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

// A reset (a pause) forgets the past on disk too: both files hold nothing but zeros once it is done, still
// reserved in full, and recording goes on from there, across the ring's end, exact as ever.
TEST(AudioBufferEncoder, AResetErasesBothFilesAndRecordingGoesOnAcrossTheWrap) {
    TemporaryFolder caches;
    LogCapture log;
    AudioBuffer buffer(60, sampleRate, caches.path());
    buffer.start();
    std::vector<int16_t> source = wanderingTone(70 * 44'100, 0);
    for (std::size_t offset = 0; offset < source.size(); offset += 4'410) {
        buffer.append(std::make_shared<SampleBlock>(source.data() + offset, 4'410 * 2));
    }
    buffer.backgroundEncoder()->waitUntilDone();
    const auto zeros = [](const std::filesystem::path& file) {
        std::ifstream stream(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
        return std::count(bytes.begin(), bytes.end(), '\0') == static_cast<std::ptrdiff_t>(bytes.size());
    };
    const std::filesystem::path files[] = {AudioBuffer::ringFilePath(caches.path()),
                                           AudioBuffer::packetFilePath(caches.path())};
    buffer.queue().sync([] {});
    for (const auto& file : files) {
        ASSERT_FALSE(zeros(file)) << file << " holds the past before the reset";
    }

    std::promise<void> done;
    buffer.reset([&] { done.set_value(); });
    done.get_future().get();
    for (const auto& file : files) {
        EXPECT_TRUE(zeros(file)) << file << " still holds the past";
        struct stat status {};
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_GE(status.st_blocks * 512, status.st_size) << file << " is no longer reserved";
    }
    EXPECT_EQ(buffer.fileBufferCurrentSize() + buffer.memoryBufferCurrentSize(), 0);

    // 100 s more wrap the 60 s ring; the newest 45 s come out exactly.
    source = wanderingTone(100 * 44'100, 0);
    for (std::size_t offset = 0; offset < source.size(); offset += 4'410) {
        buffer.append(std::make_shared<SampleBlock>(source.data() + offset, 4'410 * 2));
    }
    const auto clip = caches.path() / "after-reset.m4a";
    const auto result = exportClip(buffer, clip, 45, wanderingTone(4'410, source.size()));
    ASSERT_TRUE(result.success);
    EXPECT_DOUBLE_EQ(result.seconds, 45.0);
    expectExactClip(clip, source, source.size(), 45 * 44'100);
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

// Whenever the packets cannot serve the whole span, the save encodes from the raw ring: still exact, and the
// log says why.
TEST(AudioBufferEncoder, SpansThePacketsCannotServeAreEncodedAgainAndStillExact) {
    struct Case {
        const char* name;
        // Runs after the first 20 s of the 30 s appended; may add to the source what it appends.
        std::function<void(AudioBuffer&, std::vector<int16_t>& source)> at20Seconds;
        // Runs once everything is appended and encoded.
        std::function<void(AudioBuffer&)> beforeSaving;
        std::vector<std::string> log;
    };
    const std::string fallback = "AudioBuffer: Encoding the clip from the raw buffer: ";
    const Case cases[] = {
        {"capture restart",
         [](AudioBuffer& buffer, std::vector<int16_t>&) {
             buffer.stop();
             buffer.start();
         },
         {},
         {fallback +
          "the span reaches before the packets of the current run (a capture restart or a reset)."}},
        {"a block lost between two",
         [](AudioBuffer& buffer, std::vector<int16_t>& source) {
             const auto lost = wanderingTone(4'410, source.size());
             const std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(lost.data()),
                                              reinterpret_cast<const uint8_t*>(lost.data() + lost.size()));
             buffer.append(std::make_shared<FailingSampleBlock>(bytes, 0, -1));
         },
         {},
         {"Error: AudioBuffer: Error copying block buffer data. (-1)",
          "Error: AudioBuffer: blockOffset: 0 copyLength: 8820 blockBufferLength: 8820",
          fallback + "the held audio has a gap."}},
        {"damaged packet file",
         {},
         [](AudioBuffer& buffer) {
             const int descriptor = open(buffer.backgroundEncoder()->ring().file().c_str(), O_WRONLY);
             const std::vector<uint8_t> zeros(100'000);
             ASSERT_TRUE(RingFile::writeFully(descriptor, zeros.data(), zeros.size(), 50'000));
             close(descriptor);
         },
         {"Error: AudioBuffer: The packet file is damaged at sample ",
          fallback + "a packet of the span is missing or damaged."}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        TemporaryFolder caches;
        LogCapture log;
        AudioBuffer buffer(120, sampleRate, caches.path());
        buffer.start();
        std::vector<int16_t> source;
        for (int second = 0; second < 30; ++second) {
            if (second == 20 && test.at20Seconds) {
                test.at20Seconds(buffer, source);
            }
            const auto block = wanderingTone(44'100, source.size());
            source.insert(source.end(), block.begin(), block.end());
            buffer.append(std::make_shared<SampleBlock>(block.data(), block.size() * 2));
        }
        buffer.backgroundEncoder()->queue().sync([] {});
        if (test.beforeSaving) {
            test.beforeSaving(buffer);
        }
        const auto clip = caches.path() / "clip.m4a";
        const auto result = exportClip(buffer, clip, 25, wanderingTone(4'410, source.size()));
        ASSERT_TRUE(result.success);
        // Encoding from the first sample on has no pre-roll: its first milliseconds are less faithful.
        expectExactClip(clip, source, source.size(), 25 * 44'100, false);
        ASSERT_EQ(log.lines().size(), test.log.size());
        for (std::size_t i = 0; i < test.log.size(); ++i) {
            EXPECT_EQ(log.lines()[i].rfind(test.log[i], 0), 0u) << log.lines()[i];
        }
    }
}
