#pragma once

#include "CaptureAuthorization.h"

// A plain Linux desktop asks no permission to record: every user who can reach the audio server may.
class DesktopCaptureAuthorization : public CaptureAuthorization {
public:
    Status status() const override;
    // Answers "granted" at once, on the calling thread, before it returns.
    void requestAccess(std::function<void(bool granted)> completion) override;
};
