#pragma once

#include "RecordingSettings.h"

// The recording settings kept in the user-defaults store, under "Capture Maximum Minutes" and "Preferred
// Audio Device".
class DefaultsRecordingSettings : public RecordingSettings {
public:
    std::optional<QString> preferredAudioDevice() const override;
    void setPreferredAudioDevice(const std::optional<QString>& uniqueID) override;

protected:
    std::optional<qint64> storedCaptureMaxMinutes() const override;
    void storeCaptureMaxMinutes(int minutes) override;
};
