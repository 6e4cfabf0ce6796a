#pragma once

#include <filesystem>

// Points HOME, the XDG folders, the runtime folder (0700) and TMPDIR of this process at a fresh private tree,
// so a test never reads or writes the real user's settings, caches or files. Call before Qt is set up.
class PrivateUserFolders {
public:
    PrivateUserFolders();
    ~PrivateUserFolders();

    PrivateUserFolders(const PrivateUserFolders&) = delete;
    PrivateUserFolders& operator=(const PrivateUserFolders&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path home() const { return root_ / "home"; }
    std::filesystem::path cacheHome() const { return root_ / "home/.cache"; }
    std::filesystem::path configHome() const { return root_ / "home/.config"; }
    std::filesystem::path temporary() const { return root_ / "tmp"; }

private:
    std::filesystem::path root_;
};
