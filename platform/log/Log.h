#pragma once

#include <functional>
#include <string>
#include <string_view>

// One line per failure, to the system log and to stderr. Tests install a sink to see the lines.
class Log {
public:
    using Sink = std::function<void(const std::string& line)>;

    // The name under which lines reach syslog ("Tempolis", "TempolisLauncher").
    static void setIdentity(const std::string& identity);

    // Writes one line. Safe from any thread.
    static void write(std::string_view line);

    // Replaces the default destinations (syslog and stderr) by a sink; an empty sink restores them.
    static void setSink(Sink sink);
};
