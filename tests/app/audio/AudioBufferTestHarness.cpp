#include "AudioBufferTestHarness.h"

#include <future>

void AudioBufferTestHarness::make(double windowSeconds, double sampleRate,
                                  const std::filesystem::path& cachesFolder) {
    buffer.reset();
    const auto folder = cachesFolder.empty() ? caches.path() : cachesFolder;
    buffer = std::make_unique<AudioBuffer>(windowSeconds, sampleRate, folder, [this] {
        auto record = std::make_shared<MemoryAudioFileWriter::Record>();
        records.push_back(record);
        return std::make_unique<MemoryAudioFileWriter>(record, faults);
    });
    // The ring is made on the buffer's queue: the tests look at it once it is there.
    buffer->queue().sync([] {});
}

std::vector<uint8_t> AudioBufferTestHarness::nextBytes(std::size_t count) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) {
        patternState_ = patternState_ * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(patternState_ >> 24);
    }
    return bytes;
}

void AudioBufferTestHarness::appendBytes(const std::vector<uint8_t>& bytes) {
    buffer->append(std::make_shared<SampleBlock>(bytes));
}

void AudioBufferTestHarness::appendBlock(std::shared_ptr<const SampleBlock> block) {
    buffer->append(std::move(block));
}

void AudioBufferTestHarness::drain() {
    buffer->queue().sync([] {});
}

AudioBufferTestHarness::Outcome AudioBufferTestHarness::exportSeconds(double duration,
                                                                      const std::filesystem::path& url) {
    std::promise<Outcome> promise;
    buffer->exportAudio(url, duration, [&](bool success, double seconds) {
        promise.set_value({success, seconds});
    });
    return promise.get_future().get();
}
