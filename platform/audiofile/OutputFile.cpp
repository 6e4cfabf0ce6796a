#include "OutputFile.h"

#include "AvFormat.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int ioBufferSize = 64 * 1024;
}

OutputFile::~OutputFile() {
    close();
}

int32_t OutputFile::open(const std::string& path) {
    av_ = AvFormat::shared();
    if (av_ == nullptr) {
        return AVERROR_MUXER_NOT_FOUND;
    }
    path_ = path;
    // O_EXCL first to learn whether the file is ours to remove again; if it exists, it is replaced in place.
    do {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EINTR);
    createdFile_ = fd_ >= 0;
    if (fd_ < 0 && errno == EEXIST) {
        do {
            fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        } while (fd_ < 0 && errno == EINTR);
    }
    if (fd_ < 0) {
        return AVERROR(errno);
    }
    auto* buffer = static_cast<unsigned char*>(av_malloc(ioBufferSize));
    if (buffer == nullptr) {
        return AVERROR(ENOMEM);
    }
    io_ = av_->avio_alloc_context(buffer, ioBufferSize, 1, this, nullptr, &OutputFile::write,
                                  &OutputFile::seek);
    if (io_ == nullptr) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    return 0;
}

int32_t OutputFile::close(bool remove) {
    int32_t status = 0;
    if (io_ != nullptr) {
        av_->avio_flush(io_);
        status = io_->error;
        av_freep(&io_->buffer);
        av_->avio_context_free(&io_);
    }
    if (fd_ >= 0) {
        if (::close(fd_) != 0 && status == 0 && errno != EINTR) {
            status = AVERROR(errno);
        }
        fd_ = -1;
        if (remove && createdFile_) {
            ::unlink(path_.c_str());
        }
    }
    createdFile_ = false;
    return status;
}

int OutputFile::write(void* opaque, uint8_t* buffer, int size) {
    const int fd = static_cast<OutputFile*>(opaque)->fd_;
    int written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, buffer + written, static_cast<size_t>(size - written));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return AVERROR(errno);
        }
        if (n == 0) {
            return AVERROR(EIO);
        }
        written += static_cast<int>(n);
    }
    return written;
}

int64_t OutputFile::seek(void* opaque, int64_t offset, int whence) {
    const int fd = static_cast<OutputFile*>(opaque)->fd_;
    if (whence == AVSEEK_SIZE) {
        struct stat status {};
        return fstat(fd, &status) == 0 ? static_cast<int64_t>(status.st_size) : AVERROR(errno);
    }
    const off_t position = lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
}
