#pragma once

#include "CaptureDevice.h"
#include "CaptureSession.h"

#include <QObject>
#include <memory>
#include <optional>
#include <vector>

// The audio inputs of this machine: the device list, the default input, look-up by identifier,
// new sessions, and events when a device is plugged in or the audio server is back.
//
// Threads: the object lives on the main thread and emits there. devices(), defaultDevice() and
// deviceWithUniqueID() may be called from any thread, also from several at once, and answer within a bound
// however the audio server behaves; makeSession() is called on the thread that will own the session.
class CaptureSystem : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~CaptureSystem() override = default;

    // The identifier of "what the computer plays": the monitor of whatever output is the default one.
    static constexpr const char* defaultOutputMonitorID = "@DEFAULT_MONITOR@";
    // The identifier of both sides of a call: the default input and what the default output plays, recorded
    // together into one track. No device has it; the recording controller makes two captures of it.
    static constexpr const char* microphoneAndSystemAudioID = "@MICROPHONE_AND_SYSTEM_AUDIO@";

    // The inputs (microphones), in the server's order.
    virtual std::vector<CaptureDevice> devices() = 0;
    // What each output plays, as inputs (monitor sources), in the server's order. deviceWithUniqueID finds
    // them too, and defaultOutputMonitorID names the default output's.
    virtual std::vector<CaptureDevice> outputMonitors() { return {}; }
    // The inputs and the outputs' monitors as last heard from the audio server, answered at once without
    // asking it (for the user interface, which must never wait: a frozen server still lists what it had).
    // Kept current by the server's events; devicesChanged() says when they changed.
    virtual std::vector<CaptureDevice> knownDevices() { return devices(); }
    virtual std::vector<CaptureDevice> knownOutputMonitors() { return outputMonitors(); }
    // The default input's and the default output's monitor's identifiers as last heard, answered at once
    // (empty when not known).
    virtual std::string knownDefaultInputID() { return {}; }
    virtual std::string knownDefaultOutputMonitorID() { return {}; }
    // Whether `uniqueID` names what an output plays (a monitor, or defaultOutputMonitorID) rather than a
    // microphone, also once that output is gone.
    static bool isOutputMonitorID(const std::string& uniqueID) {
        return uniqueID == defaultOutputMonitorID || uniqueID.ends_with(".monitor");
    }
    virtual std::optional<CaptureDevice> defaultDevice() = 0;
    virtual std::optional<CaptureDevice> deviceWithUniqueID(const std::string& uniqueID) = 0;
    virtual std::unique_ptr<CaptureSession> makeSession() = 0;

signals:
    // Emitted on the thread that owns this object (the main thread) when an input device appears.
    void deviceConnected(const CaptureDevice& device);
    // Emitted on the thread that owns this object when an input device goes away.
    void deviceDisconnected(const std::string& uniqueID);
    // Emitted on the thread that owns this object when the audio server accepts connections after a time
    // without one (it was lost, or not there yet when this object was made): a capture that failed with it
    // can start again now.
    void serverAvailable();
    // Emitted on the thread that owns this object when another output becomes the default one.
    void defaultOutputChanged();
    // Emitted on the thread that owns this object when another input becomes the default one.
    void defaultInputChanged();
    // Emitted on the thread that owns this object when an output appears (its monitor, what it plays).
    void outputConnected(const CaptureDevice& monitor);
    // Emitted on the thread that owns this object when knownDevices() or knownOutputMonitors() changed.
    void devicesChanged();
};
