#pragma once

#include "CaptureSystem.h"
#include "FakeCaptureSession.h"

#include <memory>
#include <vector>

// Input devices and sessions made up by the test, to make failures and device changes happen on demand.
class FakeCaptureSystem : public CaptureSystem {
    Q_OBJECT
public:
    std::vector<CaptureDevice> devices() override { return connectedDevices; }
    std::optional<CaptureDevice> defaultDevice() override;
    std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) override;
    std::unique_ptr<CaptureSession> makeSession() override;

    // Plugs a device in (and announces it).
    void plugIn(const CaptureDevice& device);
    void unplug(const std::string& uniqueID);

    // The session made last, and the behaviour of the sessions made from now on.
    std::shared_ptr<FakeCaptureSession::State> lastSession() const {
        return sessions.empty() ? nullptr : sessions.back();
    }
    // Sends an event from the newest session, as the platform would (on the main thread).
    void sendEvent(CaptureSession::Event event);

    std::vector<CaptureDevice> connectedDevices;
    std::optional<std::string> defaultDeviceID;
    bool failSetInput = false;
    bool failStart = false;
    std::vector<std::shared_ptr<FakeCaptureSession::State>> sessions;
};
