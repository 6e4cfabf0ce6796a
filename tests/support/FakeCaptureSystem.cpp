#include "FakeCaptureSystem.h"

#include <algorithm>

std::optional<CaptureDevice> FakeCaptureSystem::defaultDevice() {
    return defaultDeviceID ? deviceWithUniqueID(*defaultDeviceID) : std::nullopt;
}

std::optional<CaptureDevice> FakeCaptureSystem::deviceWithUniqueID(const std::string& uniqueID) {
    const auto found = std::find_if(connectedDevices.begin(), connectedDevices.end(),
                                    [&](const CaptureDevice& device) { return device.uniqueID == uniqueID; });
    return found == connectedDevices.end() ? std::nullopt : std::optional<CaptureDevice>(*found);
}

std::unique_ptr<CaptureSession> FakeCaptureSystem::makeSession() {
    auto state = std::make_shared<FakeCaptureSession::State>();
    state->failSetInput = failSetInput;
    state->failStart = failStart;
    sessions.push_back(state);
    return std::make_unique<FakeCaptureSession>(state);
}

void FakeCaptureSystem::plugIn(const CaptureDevice& device) {
    connectedDevices.push_back(device);
    emit deviceConnected(device);
}

void FakeCaptureSystem::unplug(const std::string& uniqueID) {
    std::erase_if(connectedDevices, [&](const CaptureDevice& device) { return device.uniqueID == uniqueID; });
}

void FakeCaptureSystem::sendEvent(CaptureSession::Event event) {
    auto state = lastSession();
    if (!state) {
        return;
    }
    if (event == CaptureSession::Event::runtimeError || event == CaptureSession::Event::interrupted) {
        state->running = false;
    } else if (event == CaptureSession::Event::interruptionEnded || event == CaptureSession::Event::started) {
        state->running = true;
    }
    if (state->eventHandler) {
        state->eventHandler(event, "made up by the test");
    }
}
