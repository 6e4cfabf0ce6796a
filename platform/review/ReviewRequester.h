#pragma once

#include <QDateTime>

// Asks the platform for its rating prompt. This desktop has none, so a request is recorded (and noted on
// stderr) and nothing is shown, as when a platform declines to show its prompt.
class ReviewRequester {
public:
    static void requestReview();

    // How many requests this process made, and when the last one was made (invalid before the first).
    static int requestCount();
    static QDateTime lastRequestTime();
};
