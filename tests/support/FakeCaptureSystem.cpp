#include "FakeCaptureSystem.h"

#include <algorithm>
#include <cmath>

std::vector<CaptureDevice> FakeCaptureSystem::devices() {
    std::lock_guard lock(mutex_);
    return connectedDevices;
}

std::optional<CaptureDevice> FakeCaptureSystem::defaultDevice() {
    std::lock_guard lock(mutex_);
    return defaultDeviceID ? deviceNamed(*defaultDeviceID) : std::nullopt;
}

std::optional<CaptureDevice> FakeCaptureSystem::deviceWithUniqueID(const std::string& uniqueID) {
    std::lock_guard lock(mutex_);
    return deviceNamed(uniqueID);
}

std::vector<CaptureDevice> FakeCaptureSystem::outputMonitors() {
    std::lock_guard lock(mutex_);
    return connectedMonitors;
}

std::optional<CaptureDevice> FakeCaptureSystem::deviceNamed(const std::string& uniqueID) const {
    if (uniqueID == defaultOutputMonitorID) {
        return defaultMonitorID ? deviceNamed(*defaultMonitorID) : std::nullopt;
    }
    for (const auto* list : {&connectedDevices, &connectedMonitors}) {
        const auto found = std::find_if(list->begin(), list->end(), [&](const CaptureDevice& device) {
            return device.uniqueID == uniqueID;
        });
        if (found != list->end()) {
            return *found;
        }
    }
    return std::nullopt;
}

std::unique_ptr<CaptureSession> FakeCaptureSystem::makeSession() {
    std::lock_guard lock(mutex_);
    auto state = std::make_shared<FakeCaptureSession::State>();
    state->failSetInput = failSetInput;
    state->failStart = failStart;
    sessions.push_back(state);
    return std::make_unique<FakeCaptureSession>(state);
}

void FakeCaptureSystem::plugIn(const CaptureDevice& device) {
    {
        std::lock_guard lock(mutex_);
        connectedDevices.push_back(device);
    }
    emit deviceConnected(device);
    emit devicesChanged();
}

void FakeCaptureSystem::unplug(const std::string& uniqueID) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(connectedDevices,
                      [&](const CaptureDevice& device) { return device.uniqueID == uniqueID; });
    }
    emit deviceDisconnected(uniqueID);
    emit devicesChanged();
}

void FakeCaptureSystem::deliverTone(double seconds) {
    std::vector<int16_t> samples(static_cast<std::size_t>(seconds * 44'100));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(8'000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 44'100));
    }
    const auto deliver = lastSession()->blockHandler;
    for (std::size_t offset = 0; offset < samples.size(); offset += 4'410) {
        const std::size_t count = std::min<std::size_t>(4'410, samples.size() - offset);
        deliver(samples.data() + offset, count * 2);
    }
}

void FakeCaptureSystem::setDefaultInput(const std::string& uniqueID) {
    {
        std::lock_guard lock(mutex_);
        defaultDeviceID = uniqueID;
    }
    emit defaultInputChanged();
}

void FakeCaptureSystem::setDefaultOutputMonitor(const std::string& uniqueID) {
    {
        std::lock_guard lock(mutex_);
        defaultMonitorID = uniqueID;
    }
    emit defaultOutputChanged();
}

void FakeCaptureSystem::sendEvent(CaptureSession::Event event) {
    sendEvent(lastSession(), event);
}

void FakeCaptureSystem::sendEvent(const std::shared_ptr<FakeCaptureSession::State>& state,
                                  CaptureSession::Event event) {
    if (!state) {
        return;
    }
    switch (event) {
    case CaptureSession::Event::started:
        state->running = true;
        break;
    case CaptureSession::Event::interrupted:
        state->running = false;
        state->interrupted = true;
        break;
    case CaptureSession::Event::interruptionEnded:
        state->running = true;
        state->interrupted = false;
        break;
    case CaptureSession::Event::runtimeError:
    case CaptureSession::Event::stopped:
        state->running = false;
        state->interrupted = false;
        break;
    }
    if (state->eventHandler) {
        state->eventHandler(event, "made up by the test");
    }
}
