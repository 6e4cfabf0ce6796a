#pragma once

#include "AudioFileWriter.h"
#include "SampleBlock.h"
#include "SerialQueue.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The rolling buffer of the most recent audio: the newest 30 seconds in memory, the rest of the capture
// window in a preallocated ring file in the user's caches folder. Holds signed 16-bit mono PCM; every size
// and offset is in bytes. All mutable state belongs to `bufferQueue`; the two fill counters are also
// published as atomics for display-only readers on other threads.
class AudioBuffer {
public:
    using WriterFactory = std::function<std::unique_ptr<AudioFileWriter>()>;
    using ExportCompletion = std::function<void(bool success, double seconds)>;

    static constexpr const char* queueLabel = "com.Orvane.Tempolis.AudioBuffer";
    static constexpr double memoryBufferSeconds = 30.0;
    static constexpr int64_t exportChunkMaxBytes = 1'048'576;
    static constexpr int64_t dangerousChunkBytes = 15;

    // Creates the buffer with a ring in the user's caches folder ($XDG_CACHE_HOME, else ~/.cache).
    AudioBuffer(double maxDuration, double sampleRate);
    // Same, with the caches folder and the encoder chosen by the caller (tests, benchmarks).
    AudioBuffer(double maxDuration, double sampleRate, const std::filesystem::path& cachesFolder,
                WriterFactory writerFactory = {});
    // Finishes queued work, closes the ring and erases it: no audio stays on disk after the buffer is gone.
    ~AudioBuffer();

    AudioBuffer(const AudioBuffer&) = delete;
    AudioBuffer& operator=(const AudioBuffer&) = delete;

    // Queued: open the ring file for writing (recreating it first if it went missing or has the wrong
    // length).
    void start();
    // Queued: flush and close the ring file. Its audio and the counters stay, so a later start continues.
    void stop();
    // Queued: empty the buffer.
    void reset();
    // Gives the ring a new size, discarding all audio. Runs on bufferQueue only; see resizeAndWait.
    bool resize(double maxDuration);
    // Runs resize on bufferQueue, behind all queued work, and waits for its result.
    bool resizeAndWait(double maxDuration);
    // Checks a captured block and queues the copy of its bytes. Called on the capture queue.
    void append(std::shared_ptr<const SampleBlock> sampleBuffer);

    // Queued: writes the last `duration` seconds to an AAC .m4a file at `url`; the completion runs on
    // bufferQueue with the outcome and the clip's length in seconds.
    void exportAudio(const std::filesystem::path& url, double duration, ExportCompletion completion);
    // Runs on bufferQueue: writes the clip and answers its length in seconds, or throws AudioBufferError.
    double writeAudioFile(const std::filesystem::path& url, double duration);

    // Display-only reads, safe from any thread.
    int64_t fileBufferCurrentSize() const { return fileBufferCurrentSize_.load(std::memory_order_relaxed); }
    int64_t memoryBufferCurrentSize() const {
        return memoryBufferCurrentSize_.load(std::memory_order_relaxed);
    }
    double sampleRate() const { return sampleRate_; }
    int64_t memoryBufferMaxSize() const { return memoryBufferMaxSize_; }
    const std::filesystem::path& fileBufferURL() const { return fileBufferURL_; }
    SerialQueue& queue() { return bufferQueue; }

    // Read on bufferQueue (or while nothing else runs).
    int64_t fileBufferCurrentOffset() const { return fileBufferCurrentOffset_; }
    int64_t fileBufferMaxSize() const { return fileBufferMaxSize_; }
    bool isFileOpen() const { return fileBufferHandle >= 0; }

    // The user's caches folder: $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
    static std::filesystem::path userCachesFolder();

private:
    bool createBufferFile();
    bool preallocateBufferFile(int64_t size);
    void appendBlock(int64_t length, const SampleBlock& blockBuffer);
    bool copyToMemoryBuffer(const SampleBlock& blockBuffer, int64_t blockOffset, int64_t copyLength);
    void flushMemoryBuffer();
    void writeToBufferFile(int64_t fileOffset, int64_t memoryOffset, int64_t length);
    bool ringFileHasExpectedLength() const;
    void closeFileBufferHandle();

    SerialQueue bufferQueue;
    int64_t fileBufferCurrentOffset_ = 0;
    std::atomic<int64_t> fileBufferCurrentSize_ = 0;
    int fileBufferHandle = -1; // open file descriptor while recording, -1 while stopped
    int64_t fileBufferMaxSize_ = 0;
    std::filesystem::path fileBufferURL_;
    std::vector<uint8_t> memoryBuffer;
    std::atomic<int64_t> memoryBufferCurrentSize_ = 0;
    int64_t memoryBufferMaxSize_ = 0;
    double sampleRate_;
    const int64_t sampleSize = 2;
    WriterFactory writerFactory;
};
