#include "AudioBuffer.h"

#include "AacFileWriter.h"
#include "AudioBufferError.h"
#include "Log.h"
#include "RingArithmetic.h"

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

// Reads `count` bytes at `offset`, across short reads; answers how many were read (fewer at the file's
// end), or -1.
int64_t readFully(int descriptor, uint8_t* bytes, int64_t count, int64_t offset) {
    int64_t done = 0;
    while (done < count) {
        const ssize_t result = pread(descriptor, bytes + done, static_cast<std::size_t>(count - done),
                                     static_cast<off_t>(offset + done));
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (result == 0) {
            break;
        }
        done += result;
    }
    return done;
}

} // namespace

std::filesystem::path AudioBuffer::userCachesFolder() {
    if (const char* cacheHome = std::getenv("XDG_CACHE_HOME"); cacheHome && cacheHome[0] == '/') {
        return cacheHome;
    }
    const char* home = std::getenv("HOME");
    if (!home || home[0] == '\0') {
        const passwd* entry = getpwuid(getuid());
        home = entry ? entry->pw_dir : nullptr;
    }
    if (!home || home[0] == '\0') {
        return {};
    }
    return std::filesystem::path(home) / ".cache";
}

AudioBuffer::AudioBuffer(double maxDuration, double sampleRate)
    : AudioBuffer(maxDuration, sampleRate, userCachesFolder()) {}

AudioBuffer::AudioBuffer(double maxDuration, double sampleRate, const std::filesystem::path& cachesFolder,
                         WriterFactory writerFactory)
    : bufferQueue(queueLabel)
    , sampleRate_(sampleRate)
    , writerFactory(writerFactory ? std::move(writerFactory)
                                  : WriterFactory([] { return std::make_unique<AacFileWriter>(); })) {
    if (!makeRingFolder(cachesFolder, nullptr)) {
        Log::write("AudioBuffer: Error locating the cache folder.");
        std::abort();
    }
    memoryBufferMaxSize_ = RingArithmetic::bytesForDuration(memoryBufferSeconds, sampleRate_);
    memoryBuffer.assign(static_cast<std::size_t>(memoryBufferMaxSize_), 0);
    fileBufferURL_ = ringFilePath(cachesFolder);
    requestedDurationSeconds_ = maxDuration;
    // Nothing else runs yet: the queue's state is ours here.
    makeRing(maxDuration, true);
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
    const auto fail = [error](const std::string& reason) {
        if (error) {
            *error = reason;
        }
        return false;
    };
    if (cachesFolder.empty()) {
        return fail("There is no caches folder: neither XDG_CACHE_HOME nor a home folder is set.");
    }
    std::error_code code;
    std::filesystem::create_directories(cachesFolder, code);
    if (code || !std::filesystem::is_directory(cachesFolder)) {
        return fail("The caches folder " + cachesFolder.string() + " cannot be created (" +
                    (code ? code.message() : errorDescription(ENOTDIR)) + ").");
    }
    // The ring holds everything said near the microphone for the last hour: only its owner may read it.
    const std::filesystem::path folder = cachesFolder / "Tempolis";
    if (mkdir(folder.c_str(), 0700) != 0) {
        const int reason = errno;
        if (reason != EEXIST) {
            return fail("The folder " + folder.string() + " cannot be created (" + errorDescription(reason) +
                        ").");
        }
        if (!std::filesystem::is_directory(folder, code)) {
            return fail("The folder " + folder.string() + " cannot be created (" + errorDescription(ENOTDIR) +
                        ").");
        }
        if (chmod(folder.c_str(), 0700) != 0) {
            return fail("The folder " + folder.string() + " cannot be made private (" +
                        errorDescription(errno) + ").");
        }
    }
    return true;
}

std::filesystem::path AudioBuffer::ringFilePath(const std::filesystem::path& cachesFolder) {
    return cachesFolder / "Tempolis" / "Recording.data";
}

// Makes the ring for `requestedSeconds`: a new file, or the existing one given a new length. When the disk
// refuses the whole length, the ring gets the most whole minutes that leave the margin free, and without
// room for one minute there is no ring file at all (the memory buffer keeps the newest audio on its own).
// The ring's part of the buffer starts empty. False only when the existing file cannot be opened.
bool AudioBuffer::makeRing(double requestedSeconds, bool recreateFile) {
    const int64_t requestedBytes = RingArithmetic::bytesForDuration(requestedSeconds, sampleRate_);
    int descriptor = -1;
    if (recreateFile) {
        descriptor = createBufferFile();
    } else {
        descriptor = open(fileBufferURL_.c_str(), O_WRONLY | O_CLOEXEC);
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
        if (reserveBufferFile(descriptor, requestedBytes)) {
            ringBytes = requestedBytes;
        } else {
            ringBytes = shortenedRingBytes(requestedBytes, reusableBytes);
            if (ringBytes == 0) {
                logError("Too little free disk space for one minute of the buffer file.");
            } else if (!reserveBufferFile(descriptor, ringBytes)) {
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
    return true;
}

int AudioBuffer::createBufferFile() {
    unlink(fileBufferURL_.c_str());
    const int descriptor = open(fileBufferURL_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        logError("Error creating the buffer file.");
    }
    return descriptor;
}

// Reserves the whole length in one request, so recording never grows the file or runs out of space. A
// refused reservation gives back what it took.
bool AudioBuffer::reserveBufferFile(int descriptor, int64_t sizeBytes) {
    struct stat status {};
    const off_t originalLength = fstat(descriptor, &status) == 0 ? status.st_size : 0;
    int result = ftruncate(descriptor, sizeBytes);
    if (result == 0) {
        result = fallocate(descriptor, 0, 0, sizeBytes);
        if (result != 0 && errno == EOPNOTSUPP) {
            result = posix_fallocate(descriptor, 0, sizeBytes) == 0 ? 0 : -1;
        }
    }
    if (result < 0) {
        logError("Error changing the physical size of the buffer file. (" + std::to_string(result) + ")");
        if (ftruncate(descriptor, originalLength) != 0) {
            logError("Error releasing the partial reservation of the buffer file. (" +
                     errorDescription(errno) + ")");
        }
        return false;
    }
    fsync(descriptor);
    return true;
}

int64_t AudioBuffer::shortenedRingBytes(int64_t requestedBytes, int64_t reusableBytes) const {
    struct statvfs fileSystem {};
    if (statvfs(fileBufferURL_.parent_path().c_str(), &fileSystem) != 0) {
        logError("Error measuring the free disk space. (" + errorDescription(errno) + ")");
        return 0;
    }
    const auto blockBytes = static_cast<int64_t>(fileSystem.f_frsize);
    return RingArithmetic::shortenedRingBytes(
        requestedBytes, RingArithmetic::bytesForDuration(60, sampleRate_),
        static_cast<int64_t>(fileSystem.f_bavail) * blockBytes + reusableBytes,
        static_cast<int64_t>(fileSystem.f_blocks) * blockBytes);
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
    bufferQueue.async([this] { closeFileBufferHandle(); });
}

void AudioBuffer::reset() {
    bufferQueue.async([this] {
        fileBufferCurrentOffset_ = 0;
        fileBufferCurrentSize_ = 0;
        memoryBufferCurrentSize_ = 0;
        memoryBufferStart_ = 0;
        memoryRollBytesLeft_ = 0;
    });
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
    bufferQueue.async([this, block = std::move(sampleBuffer), length] { appendBlock(length, *block); });
}

void AudioBuffer::appendBlock(int64_t length, const SampleBlock& blockBuffer) {
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
    for (const RingArithmetic::Write& write : flush.writes) {
        if (!writeToBufferFile(write.fileOffset, write.memoryOffset, write.length)) {
            logError("Buffer file lost a flush; its audio starts again from the next one.");
            fileBufferCurrentOffset_ = 0;
            fileBufferCurrentSize_ = 0;
            memoryRollBytesLeft_ = memoryBufferMaxSize_;
            return false;
        }
    }
    fileBufferCurrentOffset_ = flush.newFileOffset;
    fileBufferCurrentSize_ = flush.newFileSize;
    memoryBufferCurrentSize_ = 0;
    return true;
}

bool AudioBuffer::writeToBufferFile(int64_t fileOffset, int64_t memoryOffset, int64_t length) {
    if (fileBufferHandle < 0) {
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
    const uint8_t* bytes = memoryBuffer.data() + memoryOffset;
    int64_t written = 0;
    while (written < length) {
        const ssize_t result =
            pwrite(fileBufferHandle, bytes + written, static_cast<std::size_t>(length - written),
                   static_cast<off_t>(fileOffset + written));
        if (result <= 0) {
            if (result < 0 && errno == EINTR) {
                continue;
            }
            logError("Error writing to buffer file. (" + errorDescription(errno) + ")");
            return false;
        }
        written += result;
    }
    return true;
}

void AudioBuffer::exportAudio(const std::filesystem::path& url, double duration,
                              ExportCompletion completion) {
    bufferQueue.async([this, url, duration, completion = std::move(completion)] {
        double seconds = 0;
        try {
            seconds = writeAudioFile(url, duration);
        } catch (const AudioBufferError&) {
            completion(false, 0);
            return;
        }
        completion(true, seconds);
    });
}

void AudioBuffer::abandonExports() {
    exportsAbandoned_ = true;
}

double AudioBuffer::writeAudioFile(const std::filesystem::path& url, double duration) {
    if (exportsAbandoned_) {
        logError("Export abandoned: the buffer is closing.");
        throw AudioBufferError();
    }
    if (!(duration > 1.0)) {
        logError("Attempting to export audio that's too short.");
        throw AudioBufferError();
    }
    std::unique_ptr<AudioFileWriter> writer = writerFactory();
    const int32_t createStatus = writer->create(url.string(), AudioStreamFormat::aacMono(sampleRate_));
    if (createStatus != 0) {
        logError("Error creating audio capture file. (" + std::to_string(createStatus) + ")");
        throw AudioBufferError();
    }
    writer->setCancellation(&exportsAbandoned_);

    bool failed = false;
    int64_t framesWritten = 0; // what the clip really holds, the length reported
    const auto writeFrames = [&](const uint8_t* bytes, int64_t byteCount) {
        const int32_t status = writer->writeFrames(static_cast<uint32_t>(byteCount / sampleSize), bytes,
                                                   static_cast<uint32_t>(byteCount));
        if (status != 0) {
            logError(exportsAbandoned_
                         ? std::string("Export abandoned: the buffer is closing.")
                         : "Error writing to audio capture file. (" + std::to_string(status) + ")");
            failed = true;
            return;
        }
        framesWritten += byteCount / sampleSize;
    };
    // Hands the encoder the `byteCount` bytes of a ring that end at `endPosition`, oldest first, in chunks of
    // at most `maxChunkBytes` split where they cross the ring's end; `bytesOf(chunk)` answers a chunk's
    // bytes, or null on failure.
    const auto streamRing = [&](int64_t ringBytes, int64_t endPosition, int64_t byteCount,
                                int64_t maxChunkBytes, bool isFile, const auto& bytesOf) {
        int64_t position = RingArithmetic::readStart(endPosition, ringBytes, byteCount);
        for (int64_t remaining = byteCount; remaining > 0 && !failed;) {
            if (exportsAbandoned_) {
                logError("Export abandoned: the buffer is closing.");
                failed = true;
                return;
            }
            const RingArithmetic::Chunk chunk =
                RingArithmetic::nextChunk(position, remaining, ringBytes, maxChunkBytes);
            if (isFile && chunk.length <= dangerousChunkBytes) {
                logError("Dangerously small chunk size. (" + std::to_string(chunk.length) + ")");
            }
            const uint8_t* bytes = bytesOf(chunk);
            if (!bytes) {
                failed = true;
                return;
            }
            writeFrames(bytes, chunk.length);
            remaining -= chunk.length;
            position = RingArithmetic::advance(position, chunk.length, ringBytes);
        }
    };

    RingArithmetic::Amounts amounts{0, 0};
    if (const int32_t status = writer->setClientFormat(AudioStreamFormat::pcm16Mono(sampleRate_));
        status != 0) {
        logError("Error setting audio capture data format. (" + std::to_string(status) + ")");
        failed = true;
    } else {
        amounts = RingArithmetic::exportAmounts(RingArithmetic::bytesForDuration(duration, sampleRate_),
                                                memoryBufferCurrentSize_, fileBufferCurrentSize_);
    }

    // The older audio: the ring's bytes that end at its write position, streamed in chunks.
    if (!failed && amounts.fromFile > 0) {
        const int readHandle = open(fileBufferURL_.c_str(), O_RDONLY | O_CLOEXEC);
        if (readHandle < 0) {
            logError("Error opening buffer file for reading.");
            failed = true;
        } else {
            std::vector<uint8_t> chunkBytes(
                static_cast<std::size_t>(std::min(exportChunkMaxBytes, amounts.fromFile)));
            streamRing(fileBufferMaxSize_, fileBufferCurrentOffset_, amounts.fromFile, exportChunkMaxBytes,
                       true, [&](const RingArithmetic::Chunk& chunk) -> const uint8_t* {
                           const int64_t bytesRead =
                               readFully(readHandle, chunkBytes.data(), chunk.length, chunk.position);
                           if (bytesRead < 0) {
                               logError("Error reading buffer file. (" + errorDescription(errno) + ")");
                               return nullptr;
                           }
                           if (bytesRead < chunk.length) { // cut short underneath
                               logError("Error reading buffer file. (Read " + std::to_string(bytesRead) +
                                        " of " + std::to_string(chunk.length) + " bytes.)");
                               return nullptr;
                           }
                           return chunkBytes.data();
                       });
            close(readHandle);
        }
    }

    // The newest audio, straight from the memory buffer (in one piece unless it has been rolling).
    if (!failed && amounts.fromMemory > 0) {
        const RingArithmetic::Window window{memoryBufferStart_, memoryBufferCurrentSize_};
        streamRing(memoryBufferMaxSize_, RingArithmetic::windowEnd(window, memoryBufferMaxSize_),
                   amounts.fromMemory, memoryBufferMaxSize_, false,
                   [&](const RingArithmetic::Chunk& chunk) -> const uint8_t* {
                       return memoryBuffer.data() + chunk.position;
                   });
    }

    // Finishing the file writes its index; a clip whose index could not be written is not a clip.
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
    return static_cast<double>(framesWritten) / sampleRate_;
}
