#include "TemporaryCaches.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

TemporaryCaches::TemporaryCaches() {
    // Beside the user's caches, not in /tmp: /tmp is often a small tmpfs, too small for an hour of audio.
    const char* home = std::getenv("HOME");
    std::filesystem::path parent = std::filesystem::temp_directory_path();
    if (const char* folder = std::getenv("TEMPOLIS_BENCH_DIR")) {
        parent = folder;
    } else if (home) {
        parent = std::filesystem::path(home) / ".cache";
    }
    std::filesystem::create_directories(parent);
    std::string pattern = (parent / "tempolis-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot create a folder for the benchmark");
    }
    path_ = pattern;
}

TemporaryCaches::~TemporaryCaches() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}
