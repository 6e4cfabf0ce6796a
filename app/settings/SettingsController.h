#pragma once

#include "CaptureDevice.h"
#include "Popover.h"
#include "StatusBarButton.h"
#include "ViewController.h"

#include <QComboBox>
#include <QPointer>
#include <QPushButton>

#include <vector>

class AudioController;

// The settings popover under the status icon: the input device, how much of the past is kept, and the way to
// the more-settings popover. At most one is open; each opening makes a fresh controller. While it is shown
// its device list follows the inputs that come and go.
class SettingsController : public ViewController {
    Q_OBJECT
public:
    static constexpr const char* identifier = "SettingsController";
    // The lengths offered, in minutes.
    static constexpr int lengthMinutes[] = {15, 30, 60, 120, 240, 480};

    explicit SettingsController(QObject* parent = nullptr);
    ~SettingsController() override;

    // The status item's click: closes the open settings popover, or opens one under `button`.
    static void toggle(StatusBarButton* button);
    static void showPopover(StatusBarButton* button);
    // The controller whose popover is open, if any.
    static SettingsController* activeController();

    QComboBox* audioDeviceButton() const { return audioDeviceButton_; }
    QComboBox* timePopup() const { return timePopup_; }
    QPushButton* moreSettingsButton() const { return moreSettingsButton_; }
    Popover* popover() const { return popover_; }
    const std::vector<CaptureDevice>& deviceList() const { return deviceList_; }

    void popoverWillShow();
    void popoverWillClose();
    void audioDeviceChanged(int index);
    void changedTimePopup(int index);
    void openMoreSettings();

protected:
    std::unique_ptr<QWidget> loadView() override;

private:
    void refreshDevices();

    QPointer<QComboBox> audioDeviceButton_;
    QPointer<QPushButton> moreSettingsButton_;
    QPointer<QComboBox> timePopup_;
    AudioController* audioController_ = nullptr;
    std::vector<CaptureDevice> deviceList_;
    QPointer<Popover> popover_;
    QPointer<StatusBarButton> statusItemButton_;
};
