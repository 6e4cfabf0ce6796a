#pragma once

#include <QDateTime>
#include <QSettings>
#include <QString>

#include <optional>

// The user-defaults store (organization "Orvane", application "Tempolis") and the keys kept in it. Keys
// never written read as the store's zero value; each reader gives that value its own meaning.
class Defaults {
public:
    Defaults() = delete;

    static constexpr const char* launchCountKey = "Launch Count";
    static constexpr const char* recordingsSavedKey = "Recordings Saved";
    static constexpr const char* marketingRequestLaunchCountKey = "Marketing Request Launch Count";
    static constexpr const char* marketingRequestDateKey = "Marketing Request Date";
    static constexpr const char* marketingRequestVersionKey = "Marketing Request Version";
    static constexpr const char* autoLaunchKey = "Auto-Launch";
    static constexpr const char* captureMaximumMinutesKey = "Capture Maximum Minutes";
    static constexpr const char* preferredAudioDeviceKey = "Preferred Audio Device";
    static constexpr const char* finalUpdateLaunchCountKey = "Final Update Launch Count";
    static constexpr const char* finalUpdateLaunchDateKey = "Final Update Launch Date";
    static constexpr const char* legacyUserKey = "usage.TempolisLegacyUser";
    static constexpr const char* showInSystemTrayKey = "Show In System Tray";

    // Seconds from 1970-01-01 to 2001-01-01, the epoch of "Marketing Request Date".
    static constexpr double referenceDateOffsetSeconds = 978'307'200.0;

    // A store on the user's settings file; each call makes its own (safe from any thread).
    static QSettings store();

    static qint64 integer(const char* key);
    static void setInteger(const char* key, qint64 value);
    static bool boolean(const char* key);
    static void setBoolean(const char* key, bool value);
    static double doubleValue(const char* key);
    static void setDoubleValue(const char* key, double value);

    // Stored as seconds since 2001-01-01 UTC; 0.0 (also what an absent key reads as) is no date.
    static std::optional<QDateTime> marketingRequestDate();
    static void setMarketingRequestDate(const std::optional<QDateTime>& date);

    // The unique identifier of the chosen input device; none means the system's default input.
    static std::optional<QString> preferredAudioDevice();
    static void setPreferredAudioDevice(const std::optional<QString>& uniqueID);

    // Whether Tempolis goes into the desktop's system tray where there is one: on unless the user turned it
    // off.
    static bool showsInSystemTray();
    static void setShowsInSystemTray(bool shows);
};
