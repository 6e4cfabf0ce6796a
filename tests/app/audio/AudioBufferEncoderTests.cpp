// Clips exported through the real AAC encoder, decoded again with FFmpeg.
#include "AudioBuffer.h"
#include "AudioDecoder.h"
#include "LogCapture.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <thread>

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

ExportResult exportClip(AudioBuffer& buffer, const std::filesystem::path& url, double duration) {
    std::promise<ExportResult> promise;
    buffer.exportAudio(url, duration, [&](bool success, double seconds) {
        promise.set_value({success, seconds});
    });
    return promise.get_future().get();
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
    const auto result = exportClip(buffer, clip, 37.5);
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
    auto buffer = std::make_unique<AudioBuffer>(900, sampleRate, caches.path());
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
