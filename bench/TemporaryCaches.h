#pragma once

#include <filesystem>

// A private caches folder for one benchmark run, removed at the end.
class TemporaryCaches {
public:
    TemporaryCaches();
    ~TemporaryCaches();

    TemporaryCaches(const TemporaryCaches&) = delete;
    TemporaryCaches& operator=(const TemporaryCaches&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};
