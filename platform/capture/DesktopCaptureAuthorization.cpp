#include "DesktopCaptureAuthorization.h"

CaptureAuthorization::Status DesktopCaptureAuthorization::status() const {
    return Status::authorized;
}

void DesktopCaptureAuthorization::requestAccess(std::function<void(bool granted)> completion) {
    if (completion) {
        completion(true);
    }
}
