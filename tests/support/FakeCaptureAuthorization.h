#pragma once

#include "CaptureAuthorization.h"

#include <functional>
#include <mutex>
#include <thread>

// Stands in for the permission prompt of a desktop that asks before an application may record. The test
// answers the pending request, from another thread as a platform would.
class FakeCaptureAuthorization : public CaptureAuthorization {
public:
    Status status() const override { return currentStatus; }
    void requestAccess(std::function<void(bool granted)> completion) override;

    // Answers the pending request from a separate thread (and updates the status accordingly).
    void answer(bool granted);

    Status currentStatus = Status::notDetermined;
    int requests = 0;

private:
    std::function<void(bool)> pending_;
};
