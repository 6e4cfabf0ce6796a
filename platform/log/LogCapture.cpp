#include "LogCapture.h"

#include "Log.h"

#include <algorithm>
#include <cstdio>

LogCapture::LogCapture() {
    Log::setSink([this](const std::string& line) {
        std::fprintf(stderr, "[log] %s\n", line.c_str());
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    });
}

LogCapture::~LogCapture() {
    Log::setSink({});
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

int LogCapture::count(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}
