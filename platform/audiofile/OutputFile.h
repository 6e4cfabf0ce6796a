#pragma once

#include <cstdint>
#include <string>

class AvFormat;
struct AVIOContext;

// The file an MPEG-4 muxer writes to, through our own descriptor rather than avio_open(path): FFmpeg would
// read a path such as "http:x.m4a" as a URL, and the writers need to know whether they created the file (to
// remove it after a failed create) or truncated one that was already there (whose permissions stay).
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the file at `path`, or truncates the one there; answers 0 or a negative AVERROR.
    int32_t open(const std::string& path);
    AVIOContext* io() const { return io_; }
    bool isOpen() const { return fd_ >= 0; }
    // Flushes and closes; answers the first failure to write or close. Removes the file when `remove` and
    // this object created it.
    int32_t close(bool remove = false);

private:
    static int write(void* opaque, uint8_t* buffer, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);

    const AvFormat* av_ = nullptr;
    std::string path_;
    int fd_ = -1;
    bool createdFile_ = false;
    AVIOContext* io_ = nullptr;
};
