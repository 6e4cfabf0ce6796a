#include "FakeCaptureAuthorization.h"

void FakeCaptureAuthorization::requestAccess(std::function<void(bool granted)> completion) {
    ++requests;
    pending_ = std::move(completion);
}

void FakeCaptureAuthorization::answer(bool granted) {
    currentStatus = granted ? Status::authorized : Status::denied;
    auto completion = std::move(pending_);
    pending_ = {};
    if (completion) {
        std::thread([completion, granted] { completion(granted); }).join();
    }
}
