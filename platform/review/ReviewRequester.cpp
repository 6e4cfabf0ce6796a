#include "ReviewRequester.h"

#include <cstdio>
#include <mutex>

namespace {
struct Requests {
    std::mutex mutex;
    int count = 0;
    QDateTime lastTime;
};

Requests& requests() {
    static Requests shared;
    return shared;
}
} // namespace

void ReviewRequester::requestReview() {
    {
        std::lock_guard lock(requests().mutex);
        ++requests().count;
        requests().lastTime = QDateTime::currentDateTimeUtc();
    }
    // Informational, not a failure: it does not belong in the error log.
    std::fprintf(stderr,
                 "ReviewRequester: A rating was requested; this platform has no rating prompt to show.\n");
}

int ReviewRequester::requestCount() {
    std::lock_guard lock(requests().mutex);
    return requests().count;
}

QDateTime ReviewRequester::lastRequestTime() {
    std::lock_guard lock(requests().mutex);
    return requests().lastTime;
}
