#pragma once

#include "AudioFileWriter.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// An audio file writer that keeps every call in memory, so tests can see exactly what an export handed to
// the encoder, and that can be told to fail at a chosen step.
class MemoryAudioFileWriter : public AudioFileWriter {
public:
    struct WriteCall {
        uint32_t frameCount;
        uint32_t byteCount;
    };
    // What the writer saw; shared so a test keeps it after the export dropped the writer.
    struct Record {
        std::string path;
        AudioStreamFormat fileFormat;
        AudioStreamFormat clientFormat;
        std::vector<WriteCall> writes;
        std::vector<uint8_t> bytes;
        bool disposed = false;
    };
    // Failures on demand: a non-zero status from create, setClientFormat, the n-th write (0-based), or
    // dispose.
    struct Faults {
        int32_t createStatus = 0;
        int32_t clientFormatStatus = 0;
        int failingWriteIndex = -1;
        int32_t writeStatus = -36;
        int32_t disposeStatus = 0;
        bool touchFileOnCreate = true; // create a real (empty) file, so deletion can be checked
    };

    MemoryAudioFileWriter(std::shared_ptr<Record> record, Faults faults);

    int32_t create(const std::string& path, const AudioStreamFormat& fileFormat) override;
    int32_t setClientFormat(const AudioStreamFormat& clientFormat) override;
    int32_t writeFrames(uint32_t frameCount, const void* bytes, uint32_t byteCount) override;
    int32_t dispose() override;

private:
    std::shared_ptr<Record> record_;
    Faults faults_;
};
