#pragma once

#include "AudioFileWriter.h"
#include "BackgroundEncoder.h"
#include "SampleBlock.h"
#include "SerialQueue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The rolling buffer of the most recent audio: the newest 30 seconds in memory, the rest of the capture
// window in a preallocated ring file in the user's caches folder. Holds signed 16-bit mono PCM; every size
// and offset is in bytes. All mutable state belongs to `bufferQueue`; the two fill counters and the two
// window lengths are also published as atomics for readers on other threads.
//
// When the disk cannot hold the whole window, the ring gets the most whole minutes that leave a margin
// free; when not even a minute fits, there is no ring file and the memory buffer keeps the newest 30
// seconds on its own. The whole length is tried again each time the ring is made again.
//
// With its own AAC encoder (no writer factory given), the buffer also encodes the audio as it arrives, on a
// background thread, into a packet ring next to the raw one (see BackgroundEncoder); a save then copies
// packets instead of encoding, and falls back to encoding from the raw ring, with a log line, whenever the
// packets cannot serve the whole span. The raw ring stays the source of truth.
class AudioBuffer {
public:
    using WriterFactory = std::function<std::unique_ptr<AudioFileWriter>()>;
    using ExportCompletion = std::function<void(bool success, double seconds)>;
    enum class ExportResult { written, tooShort, failed };
    using ClipCompletion = std::function<void(ExportResult result, double seconds)>;
    using ResizeCompletion = std::function<void(bool ok)>;
    using ReservationShortHandler = std::function<void(double requestedSeconds, double keptSeconds)>;

    static constexpr const char* queueLabel = "com.Orvane.Tempolis.AudioBuffer";
    static constexpr double memoryBufferSeconds = 30.0;
    static constexpr int64_t exportChunkMaxBytes = 1'048'576;
    // How long a save waits for the background encoder to pass the span's end before encoding instead: the
    // encoder hands out the span's last packet once the next block has come, up to a fragment (200 ms) later.
    static constexpr std::chrono::milliseconds packetWait{400};

    // Creates the buffer with a ring in the user's caches folder ($XDG_CACHE_HOME, else ~/.cache).
    AudioBuffer(double maxDuration, double sampleRate);
    // Same, with the caches folder and the encoder chosen by the caller (tests, benchmarks).
    AudioBuffer(double maxDuration, double sampleRate, const std::filesystem::path& cachesFolder,
                WriterFactory writerFactory = {});
    // Finishes queued work, closes the ring and erases it: no audio stays on disk after the buffer is gone.
    // Call abandonExports first to make this quick while a long export runs.
    ~AudioBuffer();

    AudioBuffer(const AudioBuffer&) = delete;
    AudioBuffer& operator=(const AudioBuffer&) = delete;

    // Queued: open the ring file for writing (recreating it first if it went missing or has the wrong
    // length).
    void start();
    // Queued: flush and close the ring file. Its audio and the counters stay, so a later start continues.
    void stop();
    // Queued: empty the buffer, on disk too: the ring's and the packet file's bytes become zeros (their
    // length and reservation stay) and blocks not yet handed over are dropped. `completion`, when given,
    // runs on bufferQueue once all of that is done.
    void reset(std::function<void()> completion = {});
    // Gives the ring a new size (shortened when the disk lacks room, see the class comment), discarding all
    // audio. False when refused: the ring is open, or its file cannot be opened; nothing changes then. Runs
    // on bufferQueue only; see resizeAndWait and resizeLater.
    bool resize(double maxDuration);
    // Runs resize on bufferQueue, behind all queued work, and waits for its result.
    bool resizeAndWait(double maxDuration);
    // Queues resize behind all queued work (a running export finishes on the old ring) and returns at once;
    // the completion runs on bufferQueue. requestedDurationSeconds answers the new length from now on.
    void resizeLater(double maxDurationSeconds, ResizeCompletion completion);
    // Checks a captured block and queues the copy of its bytes. Called on the capture queue. Blocks are
    // handed to the buffer's queue and the encoder in batches of handOverSeconds (0, the default: each at
    // once), so that neither thread wakes for every block; a save, a stop and a start hand over what waits
    // first, a reset and a resize drop it.
    void append(std::shared_ptr<const SampleBlock> sampleBuffer);
    void setHandOverSeconds(double seconds);
    // Hands over the blocks that wait for their batch now.
    void handOver();

    // Queued: writes the last `duration` seconds to an AAC .m4a file at `url`; the completion runs on
    // bufferQueue with the outcome and the clip's length in seconds.
    void exportAudio(const std::filesystem::path& url, double duration, ExportCompletion completion);
    // Queued: like exportAudio, but the clip must hold at least `minimumSeconds`, counted on the span the
    // export really reads (a reset or resize queued before it changes that): tooShort, with nothing
    // written, otherwise.
    void exportClip(const std::filesystem::path& url, double duration, double minimumSeconds,
                    ClipCompletion completion);
    // Runs on bufferQueue: writes the clip and answers the length it wrote in seconds, or throws
    // AudioBufferError (after deleting the partial file; code tooShort when the span holds less than
    // `minimumSeconds`).
    double writeAudioFile(const std::filesystem::path& url, double duration, double minimumSeconds = 0);
    // For shutdown, from any thread, for good: a running export fails at its next chunk, later ones at once.
    void abandonExports();

    // The window the buffer really keeps: the ring's length, or the memory buffer's 30 seconds without one.
    double keptDurationSeconds() const { return keptDurationSeconds_.load(); }
    // The window asked for: at creation, or by the newest resize (queued or done).
    double requestedDurationSeconds() const { return requestedDurationSeconds_.load(); }
    // Called on bufferQueue, once for each reservation that keeps less than was asked; a shortfall from
    // before the handler was set is reported when it is set.
    void setReservationShortHandler(ReservationShortHandler handler);

    // Display-only reads, safe from any thread.
    // Everything held: the ring's part, the memory's and the blocks waiting to be handed over.
    int64_t heldBytes() const {
        return fileBufferCurrentSize() + memoryBufferCurrentSize() +
               waitingBytes_.load(std::memory_order_relaxed);
    }
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
    int64_t fileBufferMaxSize() const { return fileBufferMaxSize_; } // 0 while there is no ring file
    bool isFileOpen() const { return fileBufferHandle >= 0; }

    // The user's caches folder: $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
    static std::filesystem::path userCachesFolder();
    // Creates <cachesFolder>/Tempolis, private to its owner, where the ring lives. On failure answers false
    // and, in `error` when given, one sentence saying why. The constructor ends the program instead.
    static bool makeRingFolder(const std::filesystem::path& cachesFolder, std::string* error);
    // Where the ring of a buffer in `cachesFolder` lives, e.g. to erase one left behind.
    static std::filesystem::path ringFilePath(const std::filesystem::path& cachesFolder);
    // Where the packet ring of a buffer in `cachesFolder` lives.
    static std::filesystem::path packetFilePath(const std::filesystem::path& cachesFolder);
    // The background encoder, or null when this buffer encodes only when saving.
    BackgroundEncoder* backgroundEncoder() { return encoder_.get(); }

private:
    struct Shortfall {
        double requestedSeconds;
        double keptSeconds;
    };

    bool makeRing(double requestedSeconds, bool recreateFile, bool encoderRingMade = false);
    int createBufferFile();
    int64_t shortenedRingBytes(int64_t requestedBytes, int64_t reusableBytes) const;
    void makePacketRing();
    bool writeClipFromPackets(const std::filesystem::path& url, int64_t clipFrames);
    void reportShortfall();
    bool ringFileHasExpectedLength() const;
    void closeFileBufferHandle();
    void appendBlock(int64_t length, const SampleBlock& blockBuffer, int64_t position);
    void handOverLocked();
    void dropWaitingLocked();
    void appendRest(const SampleBlock& blockBuffer, int64_t blockOffset, int64_t length);
    void rollIntoMemory(const SampleBlock& blockBuffer, int64_t blockOffset, int64_t length);
    void putMemoryInOrder();
    bool copyToMemoryBuffer(const SampleBlock& blockBuffer, int64_t blockOffset, int64_t copyLength,
                            int64_t memoryOffset);
    bool flushMemoryBuffer();
    bool writeToBufferFile(int handle, int64_t fileOffset, int64_t memoryOffset, int64_t length);
    void eraseRingFile();

    SerialQueue bufferQueue;
    int64_t fileBufferCurrentOffset_ = 0;
    std::atomic<int64_t> fileBufferCurrentSize_ = 0;
    int fileBufferHandle = -1; // open file descriptor while recording, -1 while stopped
    int64_t fileBufferMaxSize_ = 0;
    std::filesystem::path fileBufferURL_;
    bool memoryOnly_ = false; // no ring file: the memory buffer alone keeps the newest audio
    std::vector<uint8_t> memoryBuffer;
    std::atomic<int64_t> memoryBufferCurrentSize_ = 0;
    int64_t memoryBufferMaxSize_ = 0;
    int64_t memoryBufferStart_ = 0;   // the oldest byte's position, not 0 only while memory rolls
    int64_t memoryRollBytesLeft_ = 0; // after a failed flush: bytes to roll in before the next flush
    double sampleRate_;
    const int64_t sampleSize = 2;
    WriterFactory writerFactory;
    std::unique_ptr<BackgroundEncoder> encoder_;

    // Positions count samples: the n-th sample append accepted is at position n. Appends, and the calls that
    // end a run of the encoder, are handed to both queues in one order.
    std::mutex appendMutex_;
    int64_t nextAppendPosition_ = 0;                // guarded by appendMutex_
    std::vector<BackgroundEncoder::Block> waiting_; // guarded by appendMutex_: blocks not yet handed over
    int64_t handOverBytes_ = 0;                     // guarded by appendMutex_
    std::atomic<int64_t> waitingBytes_ = 0;
    std::atomic<int> savesUnderWay_ = 0; // blocks are handed over at once meanwhile
    int64_t blockPosition_ = 0;          // of the block being appended
    int64_t endPosition_ = 0;            // just past the newest sample held
    int64_t unbrokenFrom_ = 0;           // what is held from here to endPosition_ has no gap

    double ringRequestedSeconds_ = 0; // the length the current ring was made for
    std::optional<Shortfall> unreportedShortfall_;
    std::atomic<double> keptDurationSeconds_ = 0;
    std::atomic<double> requestedDurationSeconds_ = 0;
    std::atomic<bool> exportsAbandoned_ = false;
    std::mutex requestMutex_; // orders resizeLater's requests with their queueing
    int queuedResizes_ = 0;   // guarded by requestMutex_
    std::mutex handlerMutex_;
    ReservationShortHandler reservationShortHandler_; // guarded by handlerMutex_
};
