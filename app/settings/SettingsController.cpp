#include "SettingsController.h"

#include "AudioController.h"
#include "CaptureSystem.h"
#include "DurationFormatter.h"
#include "Localization.h"
#include "MoreSettingsController.h"
#include "Popover.h"
#include "SettingsEnvironment.h"
#include "StatusAnchor.h"
#include "StatusBarButton.h"
#include "Storyboard.h"

#include "ui_SettingsController.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

namespace {
QPointer<SettingsController> active;
}

SettingsController::SettingsController(QObject* parent)
    : ViewController(parent)
    , audioController_(SettingsEnvironment::shared().audioController) {}

SettingsController::~SettingsController() = default;

SettingsController* SettingsController::activeController() {
    return active;
}

void SettingsController::toggle(StatusBarButton* button) {
    if (active) {
        if (active->popover_ && active->popover_->isShown()) {
            active->popover_->performClose();
        }
        return;
    }
    showPopover(button);
}

void SettingsController::showPopover(StatusBarButton* button) {
    if (active || !button) {
        return;
    }
    std::unique_ptr<SettingsController> made =
        Storyboard::named(QStringLiteral("Main")).instantiate<SettingsController>();
    if (!made) {
        return;
    }
    SettingsController* controller = made.get();
    // It takes the keyboard, the click on the status item having made this program the one the user is in,
    // but never the pointer: a press anywhere else (also in another program, where it arrives as usual) or
    // the keyboard going to another program closes it, and nothing of it survives the close.
    Popover* popover = Popover::makeTransient(std::move(made), QStringLiteral("Settings"),
                                              Popover::Behavior::activatingTransient);
    connect(popover, &Popover::willShow, controller, &SettingsController::popoverWillShow);
    connect(popover, &Popover::willClose, controller, &SettingsController::popoverWillClose);
    controller->popover_ = popover;
    controller->statusItemButton_ = button;
    active = controller;
    // A press on the status item that closes the popover only closes it: no click, no drag.
    popover->setReplaysClosingPress(false);
    StatusAnchor::current().show(*popover);
}

std::unique_ptr<QWidget> SettingsController::loadView() {
    auto view = std::make_unique<QWidget>();
    Ui::SettingsController scene;
    scene.setupUi(view.get());
    audioDeviceButton_ = scene.audioDeviceButton;
    timePopup_ = scene.timePopup;
    moreSettingsButton_ = scene.moreSettingsButton;

    scene.audioDeviceLabel->setText(Localization::string("Settings Audio Device Label"));
    scene.timeLabel->setText(Localization::string("Settings Length Label"));
    // A pop-up's accessible name is its current choice: what it is for goes in its description.
    audioDeviceButton_->setAccessibleDescription(scene.audioDeviceLabel->text());
    timePopup_->setAccessibleDescription(scene.timeLabel->text());
    moreSettingsButton_->setText(Localization::string("Settings More"));
    for (const int minutes : lengthMinutes) {
        timePopup_->addItem(DurationFormatter::string(minutes * 60), minutes);
    }
    // Only the user's choices count, not the selections made here.
    connect(audioDeviceButton_, &QComboBox::activated, this, &SettingsController::audioDeviceChanged);
    connect(timePopup_, &QComboBox::activated, this, &SettingsController::changedTimePopup);
    connect(moreSettingsButton_, &QPushButton::clicked, this, &SettingsController::openMoreSettings);
    return view;
}

void SettingsController::popoverWillShow() {
    view();
    const int minutes = static_cast<int>(audioController_->captureMaxDuration() / 60);
    timePopup_->setCurrentIndex(timePopup_->findData(minutes));
    refreshDevices();
    // Inputs that come and go while the popover is open show at once.
    if (CaptureSystem* system = SettingsEnvironment::shared().captureSystem) {
        connect(system, &CaptureSystem::devicesChanged, this, &SettingsController::refreshDevices,
                Qt::UniqueConnection);
    }
}

void SettingsController::refreshDevices() {
    CaptureSystem* system = SettingsEnvironment::shared().captureSystem;
    // What the audio server last said: opening the settings never waits for it.
    deviceList_ = system ? system->knownDevices() : std::vector<CaptureDevice>{};
    audioDeviceButton_->clear();
    audioDeviceButton_->addItem(Localization::string("Settings Default Audio Device"));
    if (!deviceList_.empty()) {
        audioDeviceButton_->insertSeparator(1);
    }
    for (const CaptureDevice& device : deviceList_) {
        audioDeviceButton_->addItem(QString::fromStdString(device.localizedName));
    }
    // Then what the computer plays: the default output's, whichever it is, both sides of a call (the default
    // input with it), and each output's.
    const std::vector<CaptureDevice> monitors =
        system ? system->knownOutputMonitors() : std::vector<CaptureDevice>{};
    if (!monitors.empty()) {
        audioDeviceButton_->insertSeparator(audioDeviceButton_->count());
        audioDeviceButton_->addItem(Localization::string("Settings System Audio"),
                                    QString::fromLatin1(CaptureSystem::defaultOutputMonitorID));
        audioDeviceButton_->addItem(Localization::string("Settings Microphone And System Audio"),
                                    QString::fromLatin1(CaptureSystem::microphoneAndSystemAudioID));
        for (const CaptureDevice& monitor : monitors) {
            audioDeviceButton_->addItem(QString::fromStdString(monitor.localizedName),
                                        QString::fromStdString(monitor.uniqueID));
        }
    }
    int selected = 0;
    if (const auto stored = audioController_->settings().preferredAudioDevice()) {
        for (std::size_t i = 0; i < deviceList_.size(); ++i) {
            if (QString::fromStdString(deviceList_[i].uniqueID) == *stored) {
                selected = static_cast<int>(i) + 2;
                break;
            }
        }
        const int monitorIndex = monitors.empty() ? -1 : audioDeviceButton_->findData(*stored);
        if (selected == 0 && monitorIndex > static_cast<int>(deviceList_.size()) + 1) {
            selected = monitorIndex;
        }
    }
    audioDeviceButton_->setCurrentIndex(selected);
}

void SettingsController::popoverWillClose() {
    if (CaptureSystem* system = SettingsEnvironment::shared().captureSystem) {
        disconnect(system, nullptr, this, nullptr);
    }
    if (statusItemButton_) {
        statusItemButton_->setHighlighted(false);
    }
    if (active == this) {
        active = nullptr;
    }
    deviceList_.clear();
}

void SettingsController::audioDeviceChanged(int index) {
    const int k = index - 2;
    std::optional<std::string> choice;
    if (k >= 0 && k < static_cast<int>(deviceList_.size())) {
        choice = deviceList_[static_cast<std::size_t>(k)].uniqueID;
    } else if (const QString monitor = audioDeviceButton_->itemData(index).toString(); !monitor.isEmpty()) {
        choice = monitor.toStdString();
    }
    audioController_->setPreferredDevice(choice);
}

void SettingsController::changedTimePopup(int index) {
    audioController_->setCaptureMaxMinutes(timePopup_->itemData(index).toInt());
}

void SettingsController::openMoreSettings() {
    MoreSettingsController::showPopover(moreSettingsButton_);
}
