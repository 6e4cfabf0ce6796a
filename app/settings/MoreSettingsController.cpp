#include "MoreSettingsController.h"

#include "AudioController.h"
#include "Defaults.h"
#include "Localization.h"
#include "Popover.h"
#include "SettingsEnvironment.h"
#include "Storyboard.h"

#include "ui_MoreSettingsController.h"

#include <QLabel>
#include <QPushButton>

MoreSettingsController::MoreSettingsController(QObject* parent)
    : ViewController(parent)
    , audioController_(SettingsEnvironment::shared().audioController) {}

void MoreSettingsController::showPopover(QWidget* button) {
    if (!button) {
        return;
    }
    std::unique_ptr<MoreSettingsController> controller =
        Storyboard::named(QStringLiteral("Main")).instantiate<MoreSettingsController>();
    if (!controller) {
        return;
    }
    // Lives while it is shown: it deletes itself, and its controller, once closed. It takes the keyboard from
    // the settings it hangs from, which stay open while it is (it counts as their own).
    Popover::makeTransient(std::move(controller), QStringLiteral("More Settings"),
                           Popover::Behavior::activatingTransient)
        ->show(button->rect(), button, RectEdge::maxX);
}

std::unique_ptr<QWidget> MoreSettingsController::loadView() {
    auto view = std::make_unique<QWidget>();
    Ui::MoreSettingsController scene;
    scene.setupUi(view.get());
    launchCheckmark_ = scene.launchCheckmark;
    launchButton_ = scene.launchButton;
    trayCheckmark_ = scene.trayCheckmark;
    trayButton_ = scene.trayButton;
    recordingButton_ = scene.recordingButton;
    quitButton_ = scene.quitButton;
    versionLabel_ = scene.versionLabel;
    launchButton_->setText(Localization::string("Settings Launch at Login"));
    trayButton_->setText(Localization::string("Settings Show in System Tray"));
    quitButton_->setText(Localization::string("Settings Quit"));
    connect(launchButton_, &QPushButton::clicked, this, &MoreSettingsController::toggleLaunchAtLogin);
    connect(trayButton_, &QPushButton::clicked, this, &MoreSettingsController::toggleSystemTray);
    connect(recordingButton_, &QPushButton::clicked, this, &MoreSettingsController::toggleRecording);
    connect(quitButton_, &QPushButton::clicked, this, &MoreSettingsController::quit);
    return view;
}

void MoreSettingsController::viewWillAppear() {
    ViewController::viewWillAppear();
    view();
    const QString version = SettingsEnvironment::shared().shortVersion;
    if (!version.isEmpty()) {
        versionLabel_->setText(Localization::string("Settings Version").arg(version));
    }
    updateRecordingStatus();
    updateCheckmarks();
    connect(audioController_, &AudioController::pausedChanged, this,
            &MoreSettingsController::updateRecordingStatus, Qt::UniqueConnection);
}

void MoreSettingsController::viewWillDisappear() {
    ViewController::viewWillDisappear();
    disconnect(audioController_, nullptr, this, nullptr);
}

QString MoreSettingsController::recordingActionTitle(const AudioController& audioController) {
    return Localization::string(audioController.isPaused() ? "Settings Resume Recording"
                                                           : "Settings Pause Recording");
}

void MoreSettingsController::pauseOrResume(AudioController& audioController) {
    if (audioController.isPaused()) {
        audioController.resumeRecording();
    } else {
        audioController.pauseRecording();
    }
}

void MoreSettingsController::updateRecordingStatus() {
    recordingButton_->setText(recordingActionTitle(*audioController_));
}

void MoreSettingsController::updateCheckmarks() {
    launchCheckmark_->setVisible(Defaults::boolean(Defaults::autoLaunchKey));
    trayCheckmark_->setVisible(Defaults::showsInSystemTray());
}

void MoreSettingsController::toggleLaunchAtLogin() {
    if (const auto& toggle = SettingsEnvironment::shared().toggleAutoLaunch) {
        toggle();
    }
    updateCheckmarks();
}

void MoreSettingsController::toggleSystemTray() {
    if (const auto& toggle = SettingsEnvironment::shared().toggleSystemTray) {
        toggle();
    }
    updateCheckmarks();
}

void MoreSettingsController::toggleRecording() {
    pauseOrResume(*audioController_);
}

void MoreSettingsController::quit() {
    if (const auto& quitProgram = SettingsEnvironment::shared().quit) {
        quitProgram();
    }
}
