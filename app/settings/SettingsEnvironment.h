#pragma once

#include <QString>

#include <functional>

class AudioController;
class CaptureSystem;

// What the settings popovers work with, handed over once by the application delegate at start-up: the
// recording controller, the input devices, launch at login, quitting, the version shown and showing in the
// system tray.
struct SettingsEnvironment {
    AudioController* audioController = nullptr;
    CaptureSystem* captureSystem = nullptr;
    std::function<void()> toggleAutoLaunch;
    std::function<void()> quit;
    QString shortVersion;
    std::function<void()> toggleSystemTray;

    static SettingsEnvironment& shared();
};
