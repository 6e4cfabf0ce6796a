#include "AudioBuffer.h"

#include "AacFileWriter.h"
#include "AudioBufferError.h"
#include "ClipWriter.h"
#include "Log.h"
#include "RingArithmetic.h"
#include "RingFile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

void logError(const std::string& detail) {
    Log::write("Error: AudioBuffer: " + detail);
}

std::string errorDescription(int errorNumber) {
    return std::strerror(errorNumber);
}

// Whole seconds as the log says them ("120"), else with their fraction.
std::string secondsText(double seconds) {
    if (seconds == std::floor(seconds) && std::abs(seconds) < 1e15) {
        return std::to_string(static_cast<int64_t>(seconds));
    }
    return std::to_string(seconds);
}

// Counts a save from its request until its export is done.
class SaveUnderWay {
public:
    explicit SaveUnderWay(std::atomic<int>& count)
        : count_(count) {}
    ~SaveUnderWay() { --count_; }
    SaveUnderWay(const SaveUnderWay&) = delete;
    SaveUnderWay& operator=(const SaveUnderWay&) = delete;

private:
    std::atomic<int>& count_;
};

} // namespace

std::filesystem::path AudioBuffer::userCachesFolder() {
    return RingFile::userCachesFolder();
}

AudioBuffer::AudioBuffer(double maxDuration, double sampleRate)
    : AudioBuffer(maxDuration, sampleRate, userCachesFolder()) {}

AudioBuffer::AudioBuffer(double maxDuration, double sampleRate, const std::filesystem::path& cachesFolder,
                         WriterFactory customWriterFactory)
    : bufferQueue(queueLabel)
    , sampleRate_(sampleRate)
    , writerFactory(customWriterFactory ? customWriterFactory
                                        : WriterFactory([] { return std::make_unique<AacFileWriter>(); })) {
    // Packets are made by our own encoder: a buffer given another writer encodes only when saving.
    if (!customWriterFactory) {
        encoder_ =
            std::make_unique<BackgroundEncoder>(static_cast<int>(sampleRate), packetFilePath(cachesFolder),
                                                [](const std::string& line) { logError(line); });
    }
    if (!makeRingFolder(cachesFolder, nullptr)) {
        Log::write("AudioBuffer: Error locating the cache folder.");
        std::abort();
    }
    memoryBufferMaxSize_ = RingArithmetic::bytesForDuration(memoryBufferSeconds, sampleRate_);
    memoryBuffer.assign(static_cast<std::size_t>(memoryBufferMaxSize_), 0);
    fileBufferURL_ = ringFilePath(cachesFolder);
    requestedDurationSeconds_ = maxDuration;
    // Reserving can take seconds (file systems without fallocate write every block): never on the caller's
    // thread. Blocks appended meanwhile wait behind it. The encoder's ring is asked for first, for the whole
    // length, so that it is there before the first block reaches the encoder.
    if (encoder_) {
        encoder_->makeRing(maxDuration + memoryBufferSeconds, true);
    }
    bufferQueue.async([this, maxDuration] { makeRing(maxDuration, true, true); });
}

AudioBuffer::~AudioBuffer() {
    bufferQueue.sync([this] {
        closeFileBufferHandle();
        // Without a ring there is no file of ours to erase (a folder of that name is not ours).
        if (!memoryOnly_ && unlink(fileBufferURL_.c_str()) != 0 && errno != ENOENT) {
            logError("Error erasing the buffer file. (" + errorDescription(errno) + ")");
        }
    });
}

bool AudioBuffer::makeRingFolder(const std::filesystem::path& cachesFolder, std::string* error) {
    return RingFile::makeFolder(cachesFolder, error);
}

std::filesystem::path AudioBuffer::ringFilePath(const std::filesystem::path& cachesFolder) {
    return RingFile::folder(cachesFolder) / "Recording.data";
}

std::filesystem::path AudioBuffer::packetFilePath(const std::filesystem::path& cachesFolder) {
    return RingFile::folder(cachesFolder) / "Packets.data";
}

// Makes the ring for `requestedSeconds`: a new file, or the existing one given a new length. When the disk
// refuses the whole length, the ring gets the most whole minutes that leave the margin free, and without
// room for one minute there is no ring file at all (the memory buffer keeps the newest audio on its own).
// The ring's part of the buffer starts empty. False only when the existing file cannot be opened.
bool AudioBuffer::makeRing(double requestedSeconds, bool recreateFile, bool encoderRingMade) {
    const int64_t requestedBytes = RingArithmetic::bytesForDuration(requestedSeconds, sampleRate_);
    int descriptor = -1;
    if (recreateFile) {
        descriptor = createBufferFile();
    } else {
        descriptor = open(fileBufferURL_.c_str(), O_RDWR | O_CLOEXEC);
        if (descriptor < 0) {
            logError("Error preallocating buffer file. (" + errorDescription(errno) + ")");
            return false;
        }
    }
    ringRequestedSeconds_ = requestedSeconds;

    int64_t ringBytes = 0;
    if (descriptor >= 0) {
        struct stat status {};
        // The file's own blocks are free for its new length.
        const int64_t reusableBytes = fstat(descriptor, &status) == 0 ? int64_t{status.st_blocks} * 512 : 0;
        if (RingFile::reserve(descriptor, requestedBytes, "buffer file", logError)) {
            ringBytes = requestedBytes;
        } else {
            ringBytes = shortenedRingBytes(requestedBytes, reusableBytes);
            if (ringBytes == 0) {
                logError("Too little free disk space for one minute of the buffer file.");
            } else if (!RingFile::reserve(descriptor, ringBytes, "buffer file", logError)) {
                ringBytes = 0;
            }
        }
        close(descriptor);
        if (ringBytes == 0) {
            unlink(fileBufferURL_.c_str());
        }
    }

    fileBufferCurrentOffset_ = 0;
    fileBufferCurrentSize_ = 0;
    if (ringBytes == 0) {
        logError("Keeping only the newest " + secondsText(memoryBufferSeconds) +
                 " seconds, in memory: there is no buffer file.");
        memoryOnly_ = true;
        fileBufferMaxSize_ = 0;
        keptDurationSeconds_ = memoryBufferSeconds;
    } else {
        memoryOnly_ = false;
        fileBufferMaxSize_ = ringBytes;
        keptDurationSeconds_ = static_cast<double>(ringBytes / sampleSize) / sampleRate_;
        if (ringBytes < requestedBytes) {
            logError("Buffer file shortened to " + secondsText(keptDurationSeconds_) + " of the " +
                     secondsText(requestedSeconds) + " seconds asked: too little free disk space.");
        }
    }
    if (keptDurationSeconds_ < requestedSeconds) {
        unreportedShortfall_ = Shortfall{requestedSeconds, keptDurationSeconds_};
        reportShortfall();
    }
    // Packets for everything held: the ring's audio and the memory buffer's.
    const double heldSeconds = memoryOnly_ ? memoryBufferSeconds : keptDurationSeconds_ + memoryBufferSeconds;
    if (encoder_ && !encoderRingMade) {
        encoder_->makeRing(heldSeconds, !memoryOnly_);
    } else if (encoder_ && keptDurationSeconds_ < requestedSeconds) {
        encoder_->keepOnly(heldSeconds); // blocks may be on their way to it already: it is not remade
    }
    return true;
}

int AudioBuffer::createBufferFile() {
    const int descriptor = RingFile::create(fileBufferURL_);
    if (descriptor < 0) {
        logError("Error creating the buffer file.");
    }
    return descriptor;
}

int64_t AudioBuffer::shortenedRingBytes(int64_t requestedBytes, int64_t reusableBytes) const {
    const std::optional<RingFile::Space> space = RingFile::space(fileBufferURL_.parent_path());
    if (!space) {
        logError("Error measuring the free disk space. (" + errorDescription(errno) + ")");
        return 0;
    }
    return RingArithmetic::shortenedRingBytes(requestedBytes,
                                              RingArithmetic::bytesForDuration(60, sampleRate_),
                                              space->availableBytes + reusableBytes, space->fileSystemBytes);
}

void AudioBuffer::reportShortfall() {
    if (!unreportedShortfall_) {
        return;
    }
    ReservationShortHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = reservationShortHandler_;
    }
    if (!handler) {
        return; // told when a handler is set
    }
    const Shortfall shortfall = *unreportedShortfall_;
    unreportedShortfall_.reset();
    handler(shortfall.requestedSeconds, shortfall.keptSeconds);
}

void AudioBuffer::setReservationShortHandler(ReservationShortHandler handler) {
    {
        std::lock_guard lock(handlerMutex_);
        reservationShortHandler_ = std::move(handler);
    }
    bufferQueue.async([this] { reportShortfall(); });
}

bool AudioBuffer::ringFileHasExpectedLength() const {
    struct stat status {};
    return stat(fileBufferURL_.c_str(), &status) == 0 && status.st_size == fileBufferMaxSize_;
}

void AudioBuffer::closeFileBufferHandle() {
    if (fileBufferHandle < 0) {
        return;
    }
    // Before sleep the ring must reach the disk; when the buffer is closing for good it is erased instead.
    if (!exportsAbandoned_) {
        fdatasync(fileBufferHandle);
    }
    close(fileBufferHandle);
    fileBufferHandle = -1;
}

void AudioBuffer::start() {
    bufferQueue.async([this] {
        if (fileBufferHandle >= 0) {
            logError("Error starting recording. (Buffer file is open.)");
            return;
        }
        if (memoryOnly_ || !ringFileHasExpectedLength()) {
            if (!memoryOnly_) {
                logError(
                    "Buffer file was missing or had the wrong length; recreating it. (Its audio is lost.)");
            }
            // Without a ring the whole length is tried again. What memory holds stays, in order for the ring.
            makeRing(ringRequestedSeconds_, true);
            putMemoryInOrder();
            memoryRollBytesLeft_ = 0;
        }
        if (memoryOnly_) {
            return;
        }
        fileBufferHandle = open(fileBufferURL_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fileBufferHandle < 0) {
            logError("Error opening the buffer file. (" + errorDescription(errno) + ")");
        }
    });
}

void AudioBuffer::stop() {
    std::lock_guard lock(appendMutex_);
    handOverLocked();
    bufferQueue.async([this] { closeFileBufferHandle(); });
    if (encoder_) {
        encoder_->endRun();
    }
}

void AudioBuffer::reset(std::function<void()> completion) {
    std::lock_guard lock(appendMutex_);
    dropWaitingLocked();
    if (encoder_) {
        encoder_->forget();
    }
    bufferQueue.async([this, completion = std::move(completion)] {
        fileBufferCurrentOffset_ = 0;
        fileBufferCurrentSize_ = 0;
        memoryBufferCurrentSize_ = 0;
        memoryBufferStart_ = 0;
        memoryRollBytesLeft_ = 0;
        std::fill(memoryBuffer.begin(), memoryBuffer.end(), uint8_t{0});
        eraseRingFile();
        if (encoder_) {
            encoder_->waitUntilDone(); // its forget, queued above, has erased the packet file
        }
        if (completion) {
            completion();
        }
    });
}

// The past is forgotten on disk too, not only in the bookkeeping.
void AudioBuffer::eraseRingFile() {
    std::error_code ignored;
    if (memoryOnly_ || fileBufferMaxSize_ == 0 || !std::filesystem::exists(fileBufferURL_, ignored)) {
        return; // nothing of ours on disk
    }
    bool recreated = false;
    RingFile::erase(fileBufferURL_, fileBufferMaxSize_, "buffer file", logError, &recreated);
    if (recreated && fileBufferHandle >= 0) {
        close(fileBufferHandle);
        fileBufferHandle = open(fileBufferURL_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fileBufferHandle < 0) {
            logError("Error opening the buffer file. (" + errorDescription(errno) + ")");
        }
    }
}

bool AudioBuffer::resize(double maxDuration) {
    if (fileBufferHandle >= 0) {
        logError("Error resizing capture buffer. (Buffer file is open.)");
        return false;
    }
    if (!makeRing(maxDuration, memoryOnly_)) {
        logError("Error resizing capture buffer file.");
        return false;
    }
    memoryBufferCurrentSize_ = 0;
    memoryBufferStart_ = 0;
    memoryRollBytesLeft_ = 0;
    std::lock_guard lock(requestMutex_);
    if (queuedResizes_ == 0) {
        requestedDurationSeconds_ = maxDuration;
    }
    return true;
}

bool AudioBuffer::resizeAndWait(double maxDuration) {
    return bufferQueue.syncResult([&] { return resize(maxDuration); });
}

void AudioBuffer::resizeLater(double maxDurationSeconds, ResizeCompletion completion) {
    {
        std::lock_guard lock(requestMutex_);
        ++queuedResizes_;
        requestedDurationSeconds_ = maxDurationSeconds;
    }
    bufferQueue.async([this, maxDurationSeconds, completion = std::move(completion)] {
        const bool resized = resize(maxDurationSeconds);
        {
            std::lock_guard lock(requestMutex_);
            --queuedResizes_;
            // Refused: the length shown is the ring's again, unless another request is on its way.
            if (!resized && queuedResizes_ == 0) {
                requestedDurationSeconds_ = ringRequestedSeconds_;
            }
        }
        if (completion) {
            completion(resized);
        }
    });
}

void AudioBuffer::append(std::shared_ptr<const SampleBlock> sampleBuffer) {
    if (!sampleBuffer || !sampleBuffer->dataIsReady()) {
        logError("Capture output has non-ready sample buffer.");
        return;
    }
    if (!sampleBuffer->hasDataBlock()) {
        logError("Error getting block buffer from sample buffer.");
        return;
    }
    auto length = static_cast<int64_t>(sampleBuffer->dataLength());
    if (length == 0) {
        logError("Block buffer is empty.");
        return;
    }
    // Half a sample would shift every later sample by one byte: only whole samples are kept.
    if (length % sampleSize != 0) {
        logError("Block buffer ends in a partial sample. (" + std::to_string(length) + " bytes)");
        length -= length % sampleSize;
        if (length == 0) {
            return;
        }
    }
    std::lock_guard lock(appendMutex_);
    const int64_t position = nextAppendPosition_;
    nextAppendPosition_ += length / sampleSize;
    waiting_.push_back(BackgroundEncoder::Block{std::move(sampleBuffer), length, position});
    // The queue's tasks take their blocks off this counter without the mutex: one atomic add, never a load
    // and a store that would undo a subtraction made between them.
    const int64_t waitingBytes = waitingBytes_.fetch_add(length, std::memory_order_relaxed) + length;
    // While a save waits for the encoder to pass the span's end, every block goes to it at once.
    if (waitingBytes >= handOverBytes_ || savesUnderWay_.load() > 0) {
        handOverLocked();
    }
}

void AudioBuffer::setHandOverSeconds(double seconds) {
    std::lock_guard lock(appendMutex_);
    handOverBytes_ = RingArithmetic::bytesForDuration(seconds, sampleRate_);
}

void AudioBuffer::handOver() {
    std::lock_guard lock(appendMutex_);
    handOverLocked();
}

// With appendMutex_ held: one task for the buffer's queue and one for the encoder, whatever the batch holds.
void AudioBuffer::handOverLocked() {
    if (waiting_.empty()) {
        return;
    }
    std::vector<BackgroundEncoder::Block> blocks;
    blocks.swap(waiting_);
    if (encoder_) {
        encoder_->encode(blocks);
    }
    // Counted as waiting until the queue takes each: readers adding the counters up never count one twice.
    bufferQueue.async([this, blocks = std::move(blocks)] {
        for (const BackgroundEncoder::Block& block : blocks) {
            waitingBytes_.fetch_sub(block.length, std::memory_order_relaxed);
            appendBlock(block.length, *block.block, block.position);
        }
    });
}

// With appendMutex_ held: blocks from before a reset or resize are not the buffer's any more.
void AudioBuffer::dropWaitingLocked() {
    int64_t bytes = 0;
    for (const BackgroundEncoder::Block& block : waiting_) {
        bytes += block.length;
    }
    waiting_.clear();
    waitingBytes_.fetch_sub(bytes, std::memory_order_relaxed);
}

void AudioBuffer::appendBlock(int64_t length, const SampleBlock& blockBuffer, int64_t position) {
    blockPosition_ = position;
    // Without a ring, or for a buffer's worth of bytes after a lost flush, the memory buffer keeps the newest
    // bytes on its own, rolling over its oldest; a block is never split between the two ways.
    if (memoryOnly_ || memoryRollBytesLeft_ > 0) {
        rollIntoMemory(blockBuffer, 0, length);
        memoryRollBytesLeft_ = std::max<int64_t>(0, memoryRollBytesLeft_ - length);
        return;
    }
    putMemoryInOrder();
    const int64_t currentSize = memoryBufferCurrentSize_;
    const int64_t room = memoryBufferMaxSize_ - currentSize;
    if (room >= length) {
        if (copyToMemoryBuffer(blockBuffer, 0, length, currentSize)) {
            memoryBufferCurrentSize_ = currentSize + length;
        }
        return;
    }
    int64_t restOffset = 0;
    if (room > 0) {
        if (!copyToMemoryBuffer(blockBuffer, 0, room, currentSize)) {
            return;
        }
        memoryBufferCurrentSize_ = memoryBufferMaxSize_;
        restOffset = room;
    }
    const int64_t restLength = length - restOffset;
    if (!flushMemoryBuffer()) {
        // The ring lost what memory held: memory keeps it, and the newest bytes roll in over its oldest.
        rollIntoMemory(blockBuffer, restOffset, restLength);
        memoryRollBytesLeft_ = std::max<int64_t>(0, memoryRollBytesLeft_ - restLength);
        return;
    }
    appendRest(blockBuffer, restOffset, restLength);
}

void AudioBuffer::appendRest(const SampleBlock& blockBuffer, int64_t blockOffset, int64_t length) {
    const int64_t currentSize = memoryBufferCurrentSize_;
    if (length > memoryBufferMaxSize_ - currentSize) {
        logError("Internal error while copying block buffer data.");
        return;
    }
    if (copyToMemoryBuffer(blockBuffer, blockOffset, length, currentSize)) {
        memoryBufferCurrentSize_ = currentSize + length;
    }
}

void AudioBuffer::rollIntoMemory(const SampleBlock& blockBuffer, int64_t blockOffset, int64_t length) {
    RingArithmetic::Window window{memoryBufferStart_, memoryBufferCurrentSize_};
    for (int64_t done = 0; done < length;) {
        const RingArithmetic::Chunk target =
            RingArithmetic::rollTarget(window, memoryBufferMaxSize_, length - done);
        if (!copyToMemoryBuffer(blockBuffer, blockOffset + done, target.length, target.position)) {
            return;
        }
        window = RingArithmetic::rolled(window, memoryBufferMaxSize_, target.length);
        memoryBufferStart_ = window.start;
        memoryBufferCurrentSize_ = window.count;
        done += target.length;
    }
}

// Rolling moved the oldest byte away from the start: flushes and the ring want it back there.
void AudioBuffer::putMemoryInOrder() {
    if (memoryBufferStart_ == 0) {
        return;
    }
    std::rotate(memoryBuffer.begin(), memoryBuffer.begin() + memoryBufferStart_, memoryBuffer.end());
    memoryBufferStart_ = 0;
}

bool AudioBuffer::copyToMemoryBuffer(const SampleBlock& blockBuffer, int64_t blockOffset, int64_t copyLength,
                                     int64_t memoryOffset) {
    const int32_t status =
        blockBuffer.copyDataBytes(static_cast<std::size_t>(blockOffset), static_cast<std::size_t>(copyLength),
                                  memoryBuffer.data() + memoryOffset);
    if (status == 0) {
        // The copied bytes are the newest held; after a gap what is held is unbroken only from them on.
        const int64_t first = blockPosition_ + blockOffset / sampleSize;
        if (first != endPosition_) {
            unbrokenFrom_ = first;
        }
        endPosition_ = first + copyLength / sampleSize;
    }
    if (status != 0) {
        logError("Error copying block buffer data. (" + std::to_string(status) + ")");
        logError("blockOffset: " + std::to_string(blockOffset) +
                 " copyLength: " + std::to_string(copyLength) +
                 " blockBufferLength: " + std::to_string(blockBuffer.dataLength()));
        return false;
    }
    return true;
}

// Moves what memory holds into the ring. When a write fails the flush is lost: the ring's part starts
// again from the next flush (it never counts bytes that are not there), and memory keeps what it holds.
bool AudioBuffer::flushMemoryBuffer() {
    const int64_t count = memoryBufferCurrentSize_;
    if (count <= 0) {
        logError("Error flushing memory buffer. (Memory buffer is empty.)");
        return true;
    }
    const RingArithmetic::Flush flush = RingArithmetic::planFlush(
        fileBufferCurrentOffset_, fileBufferCurrentSize_, fileBufferMaxSize_, count);
    // A block that arrived after a stop closed the ring: the ring is still there, whole, and keeps it.
    int handle = fileBufferHandle;
    if (handle < 0 && ringFileHasExpectedLength()) {
        handle = open(fileBufferURL_.c_str(), O_WRONLY | O_CLOEXEC);
    }
    const auto closeTemporary = [this, handle] {
        if (handle >= 0 && handle != fileBufferHandle) {
            close(handle);
        }
    };
    for (const RingArithmetic::Write& write : flush.writes) {
        if (!writeToBufferFile(handle, write.fileOffset, write.memoryOffset, write.length)) {
            closeTemporary();
            logError("Buffer file lost a flush; its audio starts again from the next one.");
            fileBufferCurrentOffset_ = 0;
            fileBufferCurrentSize_ = 0;
            memoryRollBytesLeft_ = memoryBufferMaxSize_;
            return false;
        }
    }
    closeTemporary();
    // Readers add the counters up on other threads: while they change they may count a flush short, never
    // twice.
    memoryBufferCurrentSize_ = 0;
    fileBufferCurrentOffset_ = flush.newFileOffset;
    fileBufferCurrentSize_ = flush.newFileSize;
    return true;
}

bool AudioBuffer::writeToBufferFile(int handle, int64_t fileOffset, int64_t memoryOffset, int64_t length) {
    if (handle < 0) {
        logError("Error writing to buffer file.");
        return false;
    }
    if (fileOffset + length > fileBufferMaxSize_) {
        logError("Error writing to buffer file. (Invalid file offset " + std::to_string(fileOffset) +
                 " or copy size " + std::to_string(length) + ".)");
        return false;
    }
    if (memoryOffset + length > memoryBufferMaxSize_) {
        logError("Error writing to buffer file. (Invalid memory offset " + std::to_string(memoryOffset) +
                 " or copy size " + std::to_string(length) + ".)");
        return false;
    }
    if (!RingFile::writeFully(handle, memoryBuffer.data() + memoryOffset, length, fileOffset)) {
        logError("Error writing to buffer file. (" + errorDescription(errno) + ")");
        return false;
    }
    return true;
}

void AudioBuffer::exportAudio(const std::filesystem::path& url, double duration,
                              ExportCompletion completion) {
    exportClip(url, duration, 0, [completion = std::move(completion)](ExportResult result, double seconds) {
        completion(result == ExportResult::written, seconds);
    });
}

void AudioBuffer::exportClip(const std::filesystem::path& url, double duration, double minimumSeconds,
                             ClipCompletion completion) {
    ++savesUnderWay_;
    handOver(); // a save holds everything received before it was asked for
    bufferQueue.async([this, url, duration, minimumSeconds, completion = std::move(completion)] {
        const SaveUnderWay under(savesUnderWay_);
        double seconds = 0;
        try {
            seconds = writeAudioFile(url, duration, minimumSeconds);
        } catch (const AudioBufferError& error) {
            completion(error.code() == AudioBufferError::Code::tooShort ? ExportResult::tooShort
                                                                        : ExportResult::failed,
                       0);
            return;
        }
        completion(ExportResult::written, seconds);
    });
}

void AudioBuffer::abandonExports() {
    exportsAbandoned_ = true;
}

double AudioBuffer::writeAudioFile(const std::filesystem::path& url, double duration, double minimumSeconds) {
    if (exportsAbandoned_) {
        logError("Export abandoned: the buffer is closing.");
        throw AudioBufferError();
    }
    if (!(duration > 1.0)) {
        logError("Attempting to export audio that's too short.");
        throw AudioBufferError();
    }
    const RingArithmetic::Amounts amounts =
        RingArithmetic::exportAmounts(RingArithmetic::bytesForDuration(duration, sampleRate_),
                                      memoryBufferCurrentSize_, fileBufferCurrentSize_);
    const int64_t clipFrames = amounts.total() / sampleSize;
    if (static_cast<double>(clipFrames) < minimumSeconds * sampleRate_) {
        logError("Attempting to export audio that's too short. (" + std::to_string(clipFrames) +
                 " frames held)");
        throw AudioBufferError(AudioBufferError::Code::tooShort);
    }
    if (encoder_ && clipFrames > 0 && writeClipFromPackets(url, clipFrames)) {
        return static_cast<double>(clipFrames) / sampleRate_;
    }
    if (exportsAbandoned_) {
        logError("Export abandoned: the buffer is closing.");
        throw AudioBufferError();
    }

    std::unique_ptr<AudioFileWriter> writer = writerFactory();
    const int32_t createStatus = writer->create(url.string(), AudioStreamFormat::aacMono(sampleRate_));
    if (createStatus != 0) {
        logError("Error creating audio capture file. (" + std::to_string(createStatus) + ")");
        throw AudioBufferError();
    }
    writer->setCancellation(&exportsAbandoned_);
    ClipWriter clip(*writer, exportsAbandoned_, [](const std::string& line) { logError(line); });
    if (const int32_t status = writer->setClientFormat(AudioStreamFormat::pcm16Mono(sampleRate_));
        status != 0) {
        logError("Error setting audio capture data format. (" + std::to_string(status) + ")");
        clip.fail();
    }

    // The older audio: the ring's bytes that end at its write position, streamed in chunks.
    if (!clip.failed() && amounts.fromFile > 0) {
        const int readHandle = open(fileBufferURL_.c_str(), O_RDONLY | O_CLOEXEC);
        if (readHandle < 0) {
            logError("Error opening buffer file for reading.");
            clip.fail();
        } else {
            clip.writeFromFile(readHandle, fileBufferMaxSize_, fileBufferCurrentOffset_, amounts.fromFile,
                               exportChunkMaxBytes);
            close(readHandle);
        }
    }
    // The newest audio, straight from the memory buffer (in one piece unless it has been rolling).
    if (!clip.failed() && amounts.fromMemory > 0) {
        const RingArithmetic::Window window{memoryBufferStart_, memoryBufferCurrentSize_};
        clip.writeFromMemory(memoryBuffer.data(), memoryBufferMaxSize_,
                             RingArithmetic::windowEnd(window, memoryBufferMaxSize_), amounts.fromMemory);
    }

    // Finishing the file writes its index; a clip whose index could not be written is not a clip.
    bool failed = clip.failed();
    if (const int32_t status = writer->dispose(); status != 0 && !failed) {
        logError("Error finishing audio capture file. (" + std::to_string(status) + ")");
        failed = true;
    }
    if (failed) {
        std::error_code ignored;
        std::filesystem::remove(url, ignored);
        logError("Error writing audio file. (Deleted file.)");
        throw AudioBufferError();
    }
    return static_cast<double>(clip.framesWritten()) / sampleRate_;
}

// The newest `clipFrames` samples by copying the background encoder's packets. False, with a log line, when
// they cannot serve the whole span: the caller encodes from the raw ring instead.
bool AudioBuffer::writeClipFromPackets(const std::filesystem::path& url, int64_t clipFrames) {
    const int64_t end = endPosition_;
    const int64_t start = end - clipFrames;
    std::string why;
    if (start < unbrokenFrom_) {
        why = "the held audio has a gap";
    } else if (encoder_->waitForPackets(start, end, packetWait, &why) &&
               encoder_->writeClip(start, end, url, exportsAbandoned_, &why)) {
        return true;
    }
    Log::write("AudioBuffer: Encoding the clip from the raw buffer: " + why + ".");
    return false;
}
