#pragma once

class Analytics;

// The application's one analytics client, configured from build-time settings (write key and endpoint; a
// build without a write key keeps events on disk and uploads nothing). Made on first use, thread-safely,
// and kept until the application object goes away. Call from the main thread after the application exists.
class UsageAnalytics {
public:
    UsageAnalytics() = delete;

    static Analytics& shared();
};
