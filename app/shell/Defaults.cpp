#include "Defaults.h"

QSettings Defaults::store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "Orvane", "Tempolis");
}

qint64 Defaults::integer(const char* key) {
    return store().value(key).toLongLong();
}

void Defaults::setInteger(const char* key, qint64 value) {
    store().setValue(key, value);
}

bool Defaults::boolean(const char* key) {
    return store().value(key).toBool();
}

void Defaults::setBoolean(const char* key, bool value) {
    store().setValue(key, value);
}

double Defaults::doubleValue(const char* key) {
    return store().value(key).toDouble();
}

void Defaults::setDoubleValue(const char* key, double value) {
    store().setValue(key, value);
}

std::optional<QDateTime> Defaults::marketingRequestDate() {
    const double seconds = doubleValue(marketingRequestDateKey);
    if (seconds == 0.0) {
        return std::nullopt;
    }
    return QDateTime::fromMSecsSinceEpoch(
        static_cast<qint64>((seconds + referenceDateOffsetSeconds) * 1000.0), Qt::UTC);
}

void Defaults::setMarketingRequestDate(const std::optional<QDateTime>& date) {
    if (!date) {
        store().remove(marketingRequestDateKey);
        return;
    }
    setDoubleValue(marketingRequestDateKey,
                   static_cast<double>(date->toMSecsSinceEpoch()) / 1000.0 - referenceDateOffsetSeconds);
}

std::optional<QString> Defaults::preferredAudioDevice() {
    const QVariant value = store().value(preferredAudioDeviceKey);
    if (!value.isValid()) {
        return std::nullopt;
    }
    return value.toString();
}

void Defaults::setPreferredAudioDevice(const std::optional<QString>& uniqueID) {
    if (!uniqueID) {
        store().remove(preferredAudioDeviceKey);
        return;
    }
    store().setValue(preferredAudioDeviceKey, *uniqueID);
}

bool Defaults::showsInSystemTray() {
    return store().value(showInSystemTrayKey, true).toBool();
}

void Defaults::setShowsInSystemTray(bool shows) {
    setBoolean(showInSystemTrayKey, shows);
}
