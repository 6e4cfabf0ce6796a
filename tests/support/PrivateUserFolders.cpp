#include "PrivateUserFolders.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <sys/stat.h>

PrivateUserFolders::PrivateUserFolders() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tempolis-user-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot create private user folders");
    }
    root_ = pattern;
    for (const char* folder : {"home/.cache", "home/.config", "home/.local/share", "tmp"}) {
        std::filesystem::create_directories(root_ / folder);
    }
    std::filesystem::create_directories(root_ / "runtime");
    chmod((root_ / "runtime").c_str(), 0700);
    setenv("HOME", home().c_str(), 1);
    setenv("XDG_CACHE_HOME", cacheHome().c_str(), 1);
    setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
    setenv("XDG_DATA_HOME", (root_ / "home/.local/share").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);
    setenv("TMPDIR", temporary().c_str(), 1);
}

PrivateUserFolders::~PrivateUserFolders() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}
