#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

// The file side of a ring kept on disk: the private folder in the user's caches folder, a file only its
// owner may read, reserved in full up front, and reads and writes at positions. The ring's bookkeeping
// (where its oldest and newest bytes are) stays with its owner.
class RingFile {
public:
    using Logger = std::function<void(const std::string&)>;

    // The user's caches folder: $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
    static std::filesystem::path userCachesFolder();
    // Creates <cachesFolder>/Tempolis, private to its owner, where the rings live. On failure answers false
    // and, in `error` when given, one sentence saying why.
    static bool makeFolder(const std::filesystem::path& cachesFolder, std::string* error);
    static std::filesystem::path folder(const std::filesystem::path& cachesFolder) {
        return cachesFolder / "Tempolis";
    }

    // Creates the file at `path` anew, readable and writable by its owner only, and opens it for reading and
    // writing (reserving on a file system without fallocate, such as ramfs, reads each block before writing
    // it: glibc 2.36's posix_fallocate answers EBADF on a write-only descriptor); -1 on failure.
    static int create(const std::filesystem::path& path);
    // Reserves the whole length in one request, so recording never grows the file or runs out of space. A
    // refused reservation gives back what it took. Failures are told to `log`.
    static bool reserve(int descriptor, int64_t sizeBytes, const std::string& fileName, const Logger& log);

    // Turns every byte of the file at `path` into zeros, keeping its length and its reservation: the past
    // it held is gone from the disk, not only from the bookkeeping. Zeroes the range in place where the
    // file system can, else punches the blocks out and reserves them again, else makes the file anew (a
    // descriptor open on it then refers to the old, unlinked file: `recreated` says so). Failures are told
    // to `log`.
    static bool erase(const std::filesystem::path& path, int64_t lengthBytes, const std::string& fileName,
                      const Logger& log, bool* recreated = nullptr);

    struct Space {
        int64_t availableBytes;
        int64_t fileSystemBytes;
    };
    // The free and whole size of the file system holding `folder`.
    static std::optional<Space> space(const std::filesystem::path& folder);

    // Reads `count` bytes at `offset`, across short reads; answers how many were read (fewer at the file's
    // end), or -1 with errno set.
    static int64_t readFully(int descriptor, uint8_t* bytes, int64_t count, int64_t offset);
    // Writes `count` bytes at `offset`, across short writes; false with errno set.
    static bool writeFully(int descriptor, const uint8_t* bytes, int64_t count, int64_t offset);
};
