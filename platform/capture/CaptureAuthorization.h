#pragma once

#include <functional>

// Whether this user may record from audio inputs, and a way to ask.
class CaptureAuthorization {
public:
    enum class Status { authorized, notDetermined, denied, restricted };

    virtual ~CaptureAuthorization() = default;

    virtual Status status() const = 0;
    // Asks the user; the answer arrives later, on a thread of the implementation's choosing.
    virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
};
