#include "AudioBuffer.h"

#include "AacFileWriter.h"
#include "AudioBufferError.h"
#include "Log.h"
#include "RingArithmetic.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void logError(const std::string& detail) {
    Log::write("Error: AudioBuffer: " + detail);
}

std::string errorDescription(int errorNumber) {
    return std::strerror(errorNumber);
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
    std::error_code error;
    if (cachesFolder.empty() || (std::filesystem::create_directories(cachesFolder, error), error) ||
        !std::filesystem::is_directory(cachesFolder)) {
        Log::write("AudioBuffer: Error locating the cache folder.");
        std::abort();
    }

    // The ring holds everything said near the microphone for the last hour: only its owner may read it.
    const std::filesystem::path folder = cachesFolder / "Tempolis";
    if (mkdir(folder.c_str(), 0700) != 0 && errno == EEXIST) {
        chmod(folder.c_str(), 0700);
    }

    memoryBufferMaxSize_ = RingArithmetic::bytesForDuration(memoryBufferSeconds, sampleRate_);
    memoryBuffer.assign(static_cast<std::size_t>(memoryBufferMaxSize_), 0);
    fileBufferURL_ = folder / "Recording.data";
    fileBufferMaxSize_ = RingArithmetic::bytesForDuration(maxDuration, sampleRate_);
    createBufferFile();
}

AudioBuffer::~AudioBuffer() {
    bufferQueue.sync([this] {
        closeFileBufferHandle();
        if (unlink(fileBufferURL_.c_str()) != 0 && errno != ENOENT) {
            logError("Error erasing the buffer file. (" + errorDescription(errno) + ")");
        }
    });
}

bool AudioBuffer::createBufferFile() {
    unlink(fileBufferURL_.c_str());
    const int descriptor = open(fileBufferURL_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        logError("Error creating the buffer file.");
        return false;
    }
    close(descriptor);
    return preallocateBufferFile(fileBufferMaxSize_);
}

bool AudioBuffer::preallocateBufferFile(int64_t size) {
    const int descriptor = open(fileBufferURL_.c_str(), O_WRONLY | O_CLOEXEC);
    if (descriptor < 0) {
        logError("Error preallocating buffer file. (" + errorDescription(errno) + ")");
        return false;
    }
    struct stat status {};
    const off_t originalLength = fstat(descriptor, &status) == 0 ? status.st_size : 0;

    // Reserve the whole length in one request so recording never grows the file or runs out of space.
    int result = ftruncate(descriptor, size);
    if (result == 0) {
        result = fallocate(descriptor, 0, 0, size);
        if (result != 0 && errno == EOPNOTSUPP) {
            result = posix_fallocate(descriptor, 0, size) == 0 ? 0 : -1;
        }
    }
    if (result < 0) {
        logError("Error changing the physical size of the buffer file. (" + std::to_string(result) + ")");
        // A refused reservation can leave part of it behind: give that space back.
        if (ftruncate(descriptor, originalLength) != 0) {
            logError("Error releasing the partial reservation of the buffer file. (" +
                     errorDescription(errno) + ")");
        }
        close(descriptor);
        return false;
    }
    fsync(descriptor);
    close(descriptor);
    return true;
}

bool AudioBuffer::ringFileHasExpectedLength() const {
    struct stat status {};
    return stat(fileBufferURL_.c_str(), &status) == 0 && status.st_size == fileBufferMaxSize_;
}

void AudioBuffer::closeFileBufferHandle() {
    if (fileBufferHandle < 0) {
        return;
    }
    fdatasync(fileBufferHandle);
    close(fileBufferHandle);
    fileBufferHandle = -1;
}

void AudioBuffer::start() {
    bufferQueue.async([this] {
        if (fileBufferHandle >= 0) {
            logError("Error starting recording. (Buffer file is open.)");
            return;
        }
        if (!ringFileHasExpectedLength()) {
            logError("Buffer file was missing or had the wrong length; recreating it. (Its audio is lost.)");
            createBufferFile();
            fileBufferCurrentOffset_ = 0;
            fileBufferCurrentSize_ = 0;
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
    });
}

bool AudioBuffer::resize(double maxDuration) {
    if (fileBufferHandle >= 0) {
        logError("Error resizing capture buffer. (Buffer file is open.)");
        return false;
    }
    const int64_t newSize = RingArithmetic::bytesForDuration(maxDuration, sampleRate_);
    if (!preallocateBufferFile(newSize)) {
        logError("Error resizing capture buffer file.");
        return false;
    }
    fileBufferMaxSize_ = newSize;
    fileBufferCurrentOffset_ = 0;
    fileBufferCurrentSize_ = 0;
    memoryBufferCurrentSize_ = 0;
    return true;
}

bool AudioBuffer::resizeAndWait(double maxDuration) {
    return bufferQueue.syncResult([&] { return resize(maxDuration); });
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
    const auto length = static_cast<int64_t>(sampleBuffer->dataLength());
    if (length == 0) {
        logError("Block buffer is empty.");
        return;
    }
    bufferQueue.async([this, block = std::move(sampleBuffer), length] { appendBlock(length, *block); });
}

void AudioBuffer::appendBlock(int64_t length, const SampleBlock& blockBuffer) {
    const int64_t room = memoryBufferMaxSize_ - memoryBufferCurrentSize_;
    if (room >= length) {
        copyToMemoryBuffer(blockBuffer, 0, length);
        return;
    }
    int64_t restOffset = 0;
    if (room > 0) {
        if (!copyToMemoryBuffer(blockBuffer, 0, room)) {
            return;
        }
        restOffset = room;
    }
    const int64_t restLength = length - restOffset;
    flushMemoryBuffer();
    if (restLength > memoryBufferMaxSize_ - memoryBufferCurrentSize_) {
        logError("Internal error while copying block buffer data.");
        return;
    }
    copyToMemoryBuffer(blockBuffer, restOffset, restLength);
}

bool AudioBuffer::copyToMemoryBuffer(const SampleBlock& blockBuffer, int64_t blockOffset,
                                     int64_t copyLength) {
    const int64_t currentSize = memoryBufferCurrentSize_;
    const int32_t status =
        blockBuffer.copyDataBytes(static_cast<std::size_t>(blockOffset), static_cast<std::size_t>(copyLength),
                                  memoryBuffer.data() + currentSize);
    if (status != 0) {
        logError("Error copying block buffer data. (" + std::to_string(status) + ")");
        logError("blockOffset: " + std::to_string(blockOffset) +
                 " copyLength: " + std::to_string(copyLength) +
                 " blockBufferLength: " + std::to_string(blockBuffer.dataLength()));
        return false;
    }
    memoryBufferCurrentSize_ = currentSize + copyLength;
    return true;
}

void AudioBuffer::flushMemoryBuffer() {
    const int64_t count = memoryBufferCurrentSize_;
    if (count <= 0) {
        logError("Error flushing memory buffer. (Memory buffer is empty.)");
        return;
    }
    const RingArithmetic::Flush flush = RingArithmetic::planFlush(
        fileBufferCurrentOffset_, fileBufferCurrentSize_, fileBufferMaxSize_, count);
    for (const RingArithmetic::Write& write : flush.writes) {
        writeToBufferFile(write.fileOffset, write.memoryOffset, write.length);
    }
    // The positions advance even when a write failed: they always describe a full ring.
    fileBufferCurrentOffset_ = flush.newFileOffset;
    fileBufferCurrentSize_ = flush.newFileSize;
    memoryBufferCurrentSize_ = 0;
}

void AudioBuffer::writeToBufferFile(int64_t fileOffset, int64_t memoryOffset, int64_t length) {
    if (fileBufferHandle < 0) {
        logError("Error writing to buffer file.");
        return;
    }
    if (fileOffset + length > fileBufferMaxSize_) {
        logError("Error writing to buffer file. (Invalid file offset " + std::to_string(fileOffset) +
                 " or copy size " + std::to_string(length) + ".)");
        return;
    }
    if (memoryOffset + length > memoryBufferMaxSize_) {
        logError("Error writing to buffer file. (Invalid memory offset " + std::to_string(memoryOffset) +
                 " or copy size " + std::to_string(length) + ".)");
        return;
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
            return;
        }
        written += result;
    }
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

double AudioBuffer::writeAudioFile(const std::filesystem::path& url, double duration) {
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

    bool failed = false;
    const auto writeFrames = [&](const uint8_t* bytes, int64_t byteCount) {
        const int32_t status = writer->writeFrames(static_cast<uint32_t>(byteCount / sampleSize), bytes,
                                                   static_cast<uint32_t>(byteCount));
        if (status != 0) {
            logError("Error writing to audio capture file. (" + std::to_string(status) + ")");
            failed = true;
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
            int64_t readPosition =
                RingArithmetic::readStart(fileBufferCurrentOffset_, fileBufferMaxSize_, amounts.fromFile);
            int64_t remaining = amounts.fromFile;
            for (;;) {
                const RingArithmetic::Chunk chunk = RingArithmetic::nextChunk(
                    readPosition, remaining, fileBufferMaxSize_, exportChunkMaxBytes);
                if (chunk.length <= dangerousChunkBytes) {
                    logError("Dangerously small chunk size. (" + std::to_string(chunk.length) + ")");
                }
                const ssize_t bytesRead =
                    pread(readHandle, chunkBytes.data(), static_cast<std::size_t>(chunk.length),
                          static_cast<off_t>(chunk.position));
                if (bytesRead < 0) {
                    logError("Error reading buffer file. (" + errorDescription(errno) + ")");
                    failed = true;
                } else {
                    writeFrames(chunkBytes.data(), bytesRead);
                }
                remaining -= chunk.length;
                readPosition = RingArithmetic::advance(readPosition, chunk.length, fileBufferMaxSize_);
                if (failed || remaining <= 0) {
                    break;
                }
            }
            close(readHandle);
        }
    }

    // The newest audio, straight from the memory buffer in one write.
    if (!failed && amounts.fromMemory > 0) {
        writeFrames(memoryBuffer.data() + (memoryBufferCurrentSize_ - amounts.fromMemory),
                    amounts.fromMemory);
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
    return static_cast<double>(amounts.total() / sampleSize) / sampleRate_;
}
