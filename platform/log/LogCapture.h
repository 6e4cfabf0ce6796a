#pragma once

#include <mutex>
#include <string>
#include <vector>

// While alive, collects every logged line instead of sending it to syslog (still echoed to stderr,
// so a failing test shows what was logged).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();

    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // How many captured lines equal `line` exactly.
    int count(const std::string& line) const;
    bool contains(const std::string& line) const { return count(line) > 0; }
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};
