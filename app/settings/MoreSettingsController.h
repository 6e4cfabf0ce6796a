#pragma once

#include "ViewController.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>

class AudioController;

// The smaller popover beside the settings: launch at login (a checkmark and its toggle), pause or resume
// recording, quit, and the version. Made afresh on each press of the more-settings button.
class MoreSettingsController : public ViewController {
    Q_OBJECT
public:
    static constexpr const char* identifier = "MoreSettingsController";

    explicit MoreSettingsController(QObject* parent = nullptr);

    static void showPopover(QWidget* button);

    QLabel* launchCheckmark() const { return launchCheckmark_; }
    QPushButton* recordingButton() const { return recordingButton_; }
    QPushButton* versionLabel() const { return versionLabel_; }

    void viewWillAppear() override;
    void viewWillDisappear() override;

    void updateRecordingStatus();
    void toggleLaunchAtLogin();
    void toggleRecording();
    void quit();

protected:
    std::unique_ptr<QWidget> loadView() override;

private:
    void updateLaunchCheckmark();

    QPointer<QLabel> launchCheckmark_;
    QPointer<QPushButton> launchButton_;
    QPointer<QPushButton> recordingButton_;
    QPointer<QPushButton> quitButton_;
    QPointer<QPushButton> versionLabel_;
    AudioController* audioController_ = nullptr;
};
