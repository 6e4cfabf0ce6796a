#pragma once

#include "CaptureDevice.h"
#include "CaptureSession.h"

#include <QObject>
#include <memory>
#include <optional>
#include <vector>

// The audio inputs of this machine: the device list, the default input, look-up by identifier,
// new sessions, and an event when a device is plugged in.
class CaptureSystem : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~CaptureSystem() override = default;

    virtual std::vector<CaptureDevice> devices() = 0;
    virtual std::optional<CaptureDevice> defaultDevice() = 0;
    virtual std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) = 0;
    virtual std::unique_ptr<CaptureSession> makeSession() = 0;

signals:
    // Emitted on the thread that owns this object (the main thread) when an input device appears.
    void deviceConnected(const CaptureDevice& device);
};
