#include "RingFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

std::filesystem::path RingFile::userCachesFolder() {
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

bool RingFile::makeFolder(const std::filesystem::path& cachesFolder, std::string* error) {
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
                    (code ? code.message() : std::strerror(ENOTDIR)) + ").");
    }
    // The rings hold everything said near the microphone for the last hour: only their owner may read them.
    const std::filesystem::path ringFolder = folder(cachesFolder);
    if (mkdir(ringFolder.c_str(), 0700) != 0) {
        const int reason = errno;
        if (reason != EEXIST) {
            return fail("The folder " + ringFolder.string() + " cannot be created (" + std::strerror(reason) +
                        ").");
        }
        if (!std::filesystem::is_directory(ringFolder, code)) {
            return fail("The folder " + ringFolder.string() + " cannot be created (" +
                        std::strerror(ENOTDIR) + ").");
        }
        if (chmod(ringFolder.c_str(), 0700) != 0) {
            return fail("The folder " + ringFolder.string() + " cannot be made private (" +
                        std::strerror(errno) + ").");
        }
    }
    return true;
}

int RingFile::create(const std::filesystem::path& path) {
    unlink(path.c_str());
    return open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

bool RingFile::reserve(int descriptor, int64_t sizeBytes, const std::string& fileName, const Logger& log) {
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
        log("Error changing the physical size of the " + fileName + ". (" + std::to_string(result) + ")");
        if (ftruncate(descriptor, originalLength) != 0) {
            log("Error releasing the partial reservation of the " + fileName + ". (" + std::strerror(errno) +
                ")");
        }
        return false;
    }
    fsync(descriptor);
    return true;
}

bool RingFile::erase(const std::filesystem::path& path, int64_t lengthBytes, const std::string& fileName,
                     const Logger& log, bool* recreated) {
    if (recreated) {
        *recreated = false;
    }
    const int descriptor = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (descriptor < 0) {
        log("Error opening the " + fileName + " to erase it. (" + std::strerror(errno) + ")");
        return false;
    }
    // ext4 and xfs zero a range without writing it; tmpfs only punches holes, which are reserved again.
    bool erased = fallocate(descriptor, FALLOC_FL_ZERO_RANGE, 0, lengthBytes) == 0;
    if (!erased && fallocate(descriptor, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, lengthBytes) == 0) {
        erased = reserve(descriptor, lengthBytes, fileName, log);
    }
    if (erased) {
        fdatasync(descriptor);
    }
    close(descriptor);
    if (erased) {
        return true;
    }
    // Neither (ramfs, some network file systems): the old blocks go with the old file.
    const int fresh = create(path);
    if (fresh < 0) {
        log("Error making the " + fileName + " anew to erase it. (" + std::strerror(errno) + ")");
        return false;
    }
    if (recreated) {
        *recreated = true;
    }
    erased = reserve(fresh, lengthBytes, fileName, log);
    close(fresh);
    return erased;
}

std::optional<RingFile::Space> RingFile::space(const std::filesystem::path& folder) {
    struct statvfs fileSystem {};
    if (statvfs(folder.c_str(), &fileSystem) != 0) {
        return std::nullopt;
    }
    const auto blockBytes = static_cast<int64_t>(fileSystem.f_frsize);
    return Space{static_cast<int64_t>(fileSystem.f_bavail) * blockBytes,
                 static_cast<int64_t>(fileSystem.f_blocks) * blockBytes};
}

int64_t RingFile::readFully(int descriptor, uint8_t* bytes, int64_t count, int64_t offset) {
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

bool RingFile::writeFully(int descriptor, const uint8_t* bytes, int64_t count, int64_t offset) {
    int64_t written = 0;
    while (written < count) {
        const ssize_t result = pwrite(descriptor, bytes + written, static_cast<std::size_t>(count - written),
                                      static_cast<off_t>(offset + written));
        if (result <= 0) {
            if (result < 0 && errno == EINTR) {
                continue;
            }
            if (result == 0) {
                errno = EIO;
            }
            return false;
        }
        written += result;
    }
    return true;
}
