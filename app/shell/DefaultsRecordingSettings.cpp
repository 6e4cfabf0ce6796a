#include "DefaultsRecordingSettings.h"

#include "Defaults.h"

std::optional<QString> DefaultsRecordingSettings::preferredAudioDevice() const {
    return Defaults::preferredAudioDevice();
}

void DefaultsRecordingSettings::setPreferredAudioDevice(const std::optional<QString>& uniqueID) {
    Defaults::setPreferredAudioDevice(uniqueID);
}

std::optional<qint64> DefaultsRecordingSettings::storedCaptureMaxMinutes() const {
    return Defaults::integer(Defaults::captureMaximumMinutesKey);
}

void DefaultsRecordingSettings::storeCaptureMaxMinutes(int minutes) {
    Defaults::setInteger(Defaults::captureMaximumMinutesKey, minutes);
}
