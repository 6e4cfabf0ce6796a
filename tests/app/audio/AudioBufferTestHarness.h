#pragma once

#include "AudioBuffer.h"
#include "MemoryAudioFileWriter.h"
#include "TemporaryFolder.h"

#include <cstdint>
#include <memory>
#include <vector>

// Builds an AudioBuffer in a private caches folder whose exports go to in-memory writers.
class AudioBufferTestHarness {
public:
    struct Outcome {
        bool success = false;
        double seconds = -1;
    };

    void make(double windowSeconds, double sampleRate, const std::filesystem::path& cachesFolder = {});

    // Bytes that differ from position to position, so a misplaced byte is always seen.
    std::vector<uint8_t> nextBytes(std::size_t count);
    void appendBytes(const std::vector<uint8_t>& bytes);
    void appendBlock(std::shared_ptr<const SampleBlock> block);
    // Waits until everything queued so far has run.
    void drain();
    // Exports through the queue and waits for the completion.
    Outcome exportSeconds(double duration, const std::filesystem::path& url);
    Outcome exportSeconds(double duration) { return exportSeconds(duration, caches.path() / "clip.m4a"); }

    const MemoryAudioFileWriter::Record& lastRecord() const { return *records.back(); }
    int64_t fileOffset() {
        return buffer->queue().syncResult([this] { return buffer->fileBufferCurrentOffset(); });
    }

    TemporaryFolder caches;
    MemoryAudioFileWriter::Faults faults;
    std::vector<std::shared_ptr<MemoryAudioFileWriter::Record>> records;
    std::unique_ptr<AudioBuffer> buffer;

private:
    uint32_t patternState_ = 0x12345678;
};

// A block whose copies fail from a given offset on, as a damaged capture buffer would.
class FailingSampleBlock : public SampleBlock {
public:
    FailingSampleBlock(std::vector<uint8_t> bytes, std::size_t failFromOffset, int32_t status)
        : SampleBlock(std::move(bytes))
        , failFromOffset_(failFromOffset)
        , status_(status) {}

    int32_t copyDataBytes(std::size_t offset, std::size_t length, void* destination) const override {
        return offset + length > failFromOffset_ ? status_
                                                 : SampleBlock::copyDataBytes(offset, length, destination);
    }

private:
    std::size_t failFromOffset_;
    int32_t status_;
};
