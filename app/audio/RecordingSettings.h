#pragma once

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <optional>

// What the recording controller keeps of the user's settings: how much of the past to keep and which input
// to record. The length is always one the controller supports, whatever the store holds (a hand-edited
// settings file included): the ring, the length shown and the length reported agree.
class RecordingSettings {
public:
    static constexpr int minimumCaptureMinutes = 15;
    static constexpr int maximumCaptureMinutes = 480;
    static constexpr int defaultCaptureMinutes = 60;

    virtual ~RecordingSettings() = default;

    // Within [minimumCaptureMinutes, maximumCaptureMinutes]; the default when nothing positive is stored.
    int captureMaxMinutes() const { return clampedCaptureMinutes(storedCaptureMaxMinutes().value_or(0)); }
    void setCaptureMaxMinutes(qint64 minutes) { storeCaptureMaxMinutes(clampedCaptureMinutes(minutes)); }

    // The unique identifier of the chosen input; none means the system's default input.
    virtual std::optional<QString> preferredAudioDevice() const = 0;
    virtual void setPreferredAudioDevice(const std::optional<QString>& uniqueID) = 0;

    static int clampedCaptureMinutes(qint64 minutes) {
        if (minutes <= 0) {
            return defaultCaptureMinutes;
        }
        return static_cast<int>(std::clamp<qint64>(minutes, minimumCaptureMinutes, maximumCaptureMinutes));
    }

protected:
    virtual std::optional<qint64> storedCaptureMaxMinutes() const = 0;
    virtual void storeCaptureMaxMinutes(int minutes) = 0;
};
