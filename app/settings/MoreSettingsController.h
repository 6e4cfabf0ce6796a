#pragma once

#include "ViewController.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>

class AudioController;

// The smaller popover beside the settings: launch at login and showing in the system tray (each a checkmark
// and its toggle), pause or resume recording, quit, and the version. Made afresh on each press of the
// more-settings button.
class MoreSettingsController : public ViewController {
    Q_OBJECT
public:
    static constexpr const char* identifier = "MoreSettingsController";

    explicit MoreSettingsController(QObject* parent = nullptr);

    static void showPopover(QWidget* button);
    // Pauses recording, or resumes it when it is paused: the recording button's action, which the tray's menu
    // shares. "Resume" only undoes the user's pause (shown once the past is erased); at any other time, also
    // while capture restarts or the input is suspended, it pauses.
    static void pauseOrResume(AudioController& audioController);
    // That action's title now.
    static QString recordingActionTitle(const AudioController& audioController);

    QLabel* launchCheckmark() const { return launchCheckmark_; }
    QLabel* trayCheckmark() const { return trayCheckmark_; }
    QPushButton* recordingButton() const { return recordingButton_; }
    QPushButton* versionLabel() const { return versionLabel_; }

    void viewWillAppear() override;
    void viewWillDisappear() override;

    void updateRecordingStatus();
    void toggleLaunchAtLogin();
    void toggleSystemTray();
    void toggleRecording();
    void quit();

protected:
    std::unique_ptr<QWidget> loadView() override;

private:
    void updateCheckmarks();

    QPointer<QLabel> launchCheckmark_;
    QPointer<QPushButton> launchButton_;
    QPointer<QLabel> trayCheckmark_;
    QPointer<QPushButton> trayButton_;
    QPointer<QPushButton> recordingButton_;
    QPointer<QPushButton> quitButton_;
    QPointer<QPushButton> versionLabel_;
    AudioController* audioController_ = nullptr;
};
