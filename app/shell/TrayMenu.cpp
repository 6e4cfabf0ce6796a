#include "TrayMenu.h"

#include "AudioController.h"
#include "Localization.h"
#include "MoreSettingsController.h"

#include <algorithm>
#include <cmath>

namespace {
struct SaveEntry {
    const char* key;
    const char* label;
    int seconds; // 0: everything held
};

constexpr SaveEntry saveEntries[] = {
    {TrayMenu::saveLast30SecondsKey, "Tray Save Last 30 Seconds", 30},
    {TrayMenu::saveLast5MinutesKey, "Tray Save Last 5 Minutes", 300},
    {TrayMenu::saveLast30MinutesKey, "Tray Save Last 30 Minutes", 1800},
    {TrayMenu::saveEverythingKey, "Tray Save Everything", 0},
};
} // namespace

TrayMenu::TrayMenu(AudioController& audioController, Actions actions, QObject* parent)
    : QObject(parent)
    , audioController_(audioController)
    , actions_(std::move(actions)) {
    for (const SaveEntry& entry : saveEntries)
        menu_.addItem(QString::fromLatin1(entry.key), Localization::string(entry.label), false);
    menu_.addSeparator();
    menu_.addItem(QString::fromLatin1(settingsKey), Localization::string("Tray Settings"));
    menu_.addItem(QString::fromLatin1(recordingKey),
                  MoreSettingsController::recordingActionTitle(audioController_));
    menu_.addSeparator();
    menu_.addItem(QString::fromLatin1(quitKey), Localization::string("Settings Quit"));
    refresh();
    connect(&menu_, &DBusMenu::aboutToShow, this, &TrayMenu::refresh);
    connect(&menu_, &DBusMenu::triggered, this, &TrayMenu::choose);
    // The label also follows a pause made elsewhere (More Settings, `tempolis pause`), for hosts that keep
    // the menu they read.
    connect(&audioController_, &AudioController::pausedChanged, this, &TrayMenu::refresh);
}

void TrayMenu::refresh() {
    const bool canSave = audioController_.heldSeconds() >= AudioController::minimumClipSeconds;
    for (const SaveEntry& entry : saveEntries)
        menu_.setEnabled(QString::fromLatin1(entry.key), canSave);
    menu_.setLabel(QString::fromLatin1(recordingKey),
                   MoreSettingsController::recordingActionTitle(audioController_));
}

void TrayMenu::choose(const QString& key) {
    emit entryChosen(key);
    for (const SaveEntry& entry : saveEntries) {
        if (key == QLatin1String(entry.key))
            return save(entry.seconds);
    }
    if (key == QLatin1String(settingsKey) && actions_.showSettings)
        actions_.showSettings();
    else if (key == QLatin1String(recordingKey))
        MoreSettingsController::pauseOrResume(audioController_);
    else if (key == QLatin1String(quitKey) && actions_.quit)
        actions_.quit();
}

void TrayMenu::save(int seconds) {
    // What is held now: the menu may have been drawn a while ago.
    const double held = audioController_.heldSeconds();
    if (held < AudioController::minimumClipSeconds)
        return;
    const int heldSeconds = static_cast<int>(std::floor(held));
    audioController_.exportRecording(seconds > 0 ? std::min(seconds, heldSeconds) : heldSeconds);
}
