#pragma once

#include "AudioStreamFormat.h"

#include <atomic>
#include <cstdint>
#include <string>

// Writes an encoded audio file from PCM handed in by the caller. Every call answers a status:
// 0 for success, anything else is a failure code (suitable for a log line).
class AudioFileWriter {
public:
    virtual ~AudioFileWriter() = default;

    // Creates the file at `path` in `fileFormat`, replacing any file already there.
    virtual int32_t create(const std::string& path, const AudioStreamFormat& fileFormat) = 0;

    // Sets the PCM format of the frames handed to writeFrames.
    virtual int32_t setClientFormat(const AudioStreamFormat& clientFormat) = 0;

    // Encodes and appends `frameCount` frames taken from `bytes` (`byteCount` bytes long).
    virtual int32_t writeFrames(uint32_t frameCount, const void* bytes, uint32_t byteCount) = 0;

    // Once `*cancelled` turns true (from any thread), writeFrames stops encoding as soon as it can and
    // fails. A writer that encodes quickly may ignore it.
    virtual void setCancellation(const std::atomic<bool>* cancelled) { (void)cancelled; }

    // Completes and closes the file. Safe to call once after any outcome of the calls above.
    virtual int32_t dispose() = 0;
};
