#pragma once

#include "CaptureSystem.h"
#include "FakeCaptureSession.h"

#include <memory>
#include <mutex>
#include <vector>

// Input devices and sessions made up by the test, to make failures, device changes and the audio server's
// return happen on demand. The queries and makeSession() may run on another thread than the test's (they take
// a lock); the test sets the public fields while nothing else uses the fake.
class FakeCaptureSystem : public CaptureSystem {
    Q_OBJECT
public:
    std::vector<CaptureDevice> devices() override;
    std::optional<CaptureDevice> defaultDevice() override;
    std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) override;
    std::unique_ptr<CaptureSession> makeSession() override;
    std::string knownDefaultInputID() override {
        std::lock_guard lock(mutex_);
        return defaultDeviceID.value_or(std::string());
    }
    std::vector<CaptureDevice> outputMonitors() override;
    std::string knownDefaultOutputMonitorID() override {
        std::lock_guard lock(mutex_);
        return defaultMonitorID.value_or(std::string());
    }

    // Plugs a device in or out (and announces it).
    void plugIn(const CaptureDevice& device);
    void unplug(const std::string& uniqueID);
    // Announces that the audio server is back, as the platform would after losing it (on the main thread).
    void bringServerBack() { emit serverAvailable(); }

    // The session made last, and the behaviour of the sessions made from now on.
    std::shared_ptr<FakeCaptureSession::State> lastSession() const {
        std::lock_guard lock(mutex_);
        return sessions.empty() ? nullptr : sessions.back();
    }
    // Delivers `seconds` of a 440 Hz tone through the newest session, in tenths of a second, as a capture
    // queue would.
    void deliverTone(double seconds);
    // Sends an event from the newest session (or from `session`), as the platform would (on the main thread).
    void sendEvent(CaptureSession::Event event);
    void sendEvent(const std::shared_ptr<FakeCaptureSession::State>& session, CaptureSession::Event event);
    // Makes another input or output the default (and announces it).
    void setDefaultInput(const std::string& uniqueID);
    void setDefaultOutputMonitor(const std::string& uniqueID);

    std::vector<CaptureDevice> connectedDevices;
    std::optional<std::string> defaultDeviceID;
    // What the outputs play: defaultOutputMonitorID finds the default one's.
    std::vector<CaptureDevice> connectedMonitors;
    std::optional<std::string> defaultMonitorID;
    bool failSetInput = false;
    bool failStart = false;
    std::vector<std::shared_ptr<FakeCaptureSession::State>> sessions;

private:
    std::optional<CaptureDevice> deviceNamed(const std::string& uniqueID) const;

    mutable std::recursive_mutex mutex_;
};
