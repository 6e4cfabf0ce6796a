#include "Log.h"

#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace {
std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}
Log::Sink& currentSink() {
    static Log::Sink sink;
    return sink;
}
std::string& currentIdentity() {
    static std::string identity = "Tempolis";
    return identity;
}
bool& syslogOpen() {
    static bool open = false;
    return open;
}
} // namespace

void Log::setIdentity(const std::string& identity) {
    std::lock_guard lock(logMutex());
    currentIdentity() = identity;
    if (syslogOpen()) {
        closelog();
        syslogOpen() = false;
    }
}

void Log::write(std::string_view line) {
    std::lock_guard lock(logMutex());
    const std::string text(line);
    if (currentSink()) {
        currentSink()(text);
        return;
    }
    if (!syslogOpen()) {
        // openlog keeps the pointer, so the identity string must outlive the connection.
        openlog(currentIdentity().c_str(), LOG_PID, LOG_USER);
        syslogOpen() = true;
    }
    syslog(LOG_ERR, "%s", text.c_str());
    std::fprintf(stderr, "%s\n", text.c_str());
}

void Log::setSink(Sink sink) {
    std::lock_guard lock(logMutex());
    currentSink() = std::move(sink);
}
