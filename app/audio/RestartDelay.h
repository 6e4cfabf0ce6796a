#pragma once

#include <chrono>
#include <optional>

// How long a capture that failed waits before it starts again: half a second, or 15 seconds when the attempt
// before it began less than a second earlier (an input or a server that refuses at once is not asked again
// and again).
namespace RestartDelay {

constexpr double usualSeconds = 0.5;
constexpr double afterQuickFailureSeconds = 15.0;
constexpr double quickFailureSeconds = 1.0;

inline double seconds(std::optional<std::chrono::steady_clock::time_point> lastAttempt,
                      std::chrono::steady_clock::time_point now) {
    if (lastAttempt && std::chrono::duration<double>(now - *lastAttempt).count() < quickFailureSeconds) {
        return afterQuickFailureSeconds;
    }
    return usualSeconds;
}

} // namespace RestartDelay
