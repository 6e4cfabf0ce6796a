#include "AppDelegate.h"

#include "AlertPopupController.h"
#include "Analytics.h"
#include "Defaults.h"
#include "DistributedNotificationCenter.h"
#include "GrabbableStatusView.h"
#include "Localization.h"
#include "Log.h"
#include "LoginItems.h"
#include "NewBrandWindowController.h"
#include "PointGestureWindow.h"
#include "Popover.h"
#include "ReviewRequester.h"
#include "SettingsController.h"
#include "SettingsEnvironment.h"
#include "StatusBar.h"
#include "StatusBarButton.h"
#include "Storyboard.h"
#include "TrayStatusItem.h"
#include "UsageAnalytics.h"
#include "UserNotificationCenter.h"
#include "Workspace.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <limits>

namespace {
AppDelegate* sharedDelegate = nullptr;

// The build number as a decimal integer (optional sign, digits only, 64-bit); none otherwise.
std::optional<qint64> buildNumber(const QVariant& value) {
    if (value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    const QString text = value.toString();
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    if (!decimal.match(text).hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const qint64 number = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(number) : std::nullopt;
}
} // namespace

AppDelegate::AppDelegate(Platform platform, QObject* parent)
    : QObject(parent)
    , platform(std::move(platform)) {
    audioController_ = std::make_unique<AudioController>(this->platform.captureSystem,
                                                         this->platform.authorization, recordingSettings_);
    clipSavePanel_ = std::make_unique<ClipSavePanel>(*audioController_);
    // Every clip the user keeps counts towards asking for a review.
    connect(audioController_.get(), &AudioController::exportFinished, this, [] {
        Defaults::setInteger(Defaults::recordingsSavedKey,
                             Defaults::integer(Defaults::recordingsSavedKey) + 1);
    });
    statusItem_ = StatusBar::system().statusItem(StatusBar::variableLength);
    // Where a tray may show Tempolis, the floating item waits until that is known (updateStatusItemMode()).
    if (Defaults::showsInSystemTray()) {
        statusItem_->setVisible(false);
    }
    StatusAnchor::setProvider([this] { return statusAnchor(); });
    audioController_->setAlertPresenter(
        [this](const QString& message, double durationSeconds) { showAlert(message, durationSeconds); });
    SettingsEnvironment::shared() = SettingsEnvironment{audioController_.get(),
                                                        &this->platform.captureSystem,
                                                        [this] { toggleAutoLaunch(); },
                                                        [] { QCoreApplication::quit(); },
                                                        this->platform.bundle.shortVersion(),
                                                        [this] { toggleSystemTray(); }};
    sharedDelegate = this;
}

AppDelegate::~AppDelegate() {
    SettingsEnvironment::shared() = SettingsEnvironment{};
    StatusAnchor::setProvider({});
    // The gesture drives the status view, which goes with the status item.
    pointGesture_.reset();
    trayItem_.reset();
    if (sharedDelegate == this) {
        sharedDelegate = nullptr;
    }
}

AppDelegate* AppDelegate::shared() {
    return sharedDelegate;
}

void AppDelegate::applicationDidFinishLaunching() {
    Defaults::setInteger(Defaults::launchCountKey, Defaults::integer(Defaults::launchCountKey) + 1);

    updateLoginItem();

    if (StatusBarButton* button = statusItem_ ? statusItem_->button() : nullptr) {
        button->setImage(QString::fromLatin1(statusIconImageName));
        statusView_ =
            new GrabbableStatusView(button->bounds(), *audioController_, platform.workspace, button);
        statusView_->show();
        connect(statusView_, &GrabbableStatusView::alertRequested, this, &AppDelegate::showAlert);
        connect(statusView_, &GrabbableStatusView::settingsToggleRequested, this,
                &AppDelegate::toggleSettingsPopover);
        connect(statusView_, &GrabbableStatusView::iconStateChanged, this, [this](StatusIconState state) {
            if (trayItem_) {
                trayItem_->setState(state);
            }
        });
        pointGesture_ = std::make_unique<PointGestureWindow>(*statusView_);
    }
    updateStatusItemMode();

    audioController_->audioBuffer().reset();
    audioController_->startRecording();
    sleepInhibitor_.acquire();

    observeSleepAndWake();
    requestReviewIfDue();
    platform.userNotifications.setDelegate(this);
    Defaults::setBoolean(Defaults::legacyUserKey, true);
    UsageAnalytics::shared().track(QStringLiteral("Legacy Launch"));
    showNewBrandWindowIfDue();
}

// The announcement shows at the first launch of this version, then not for two days, then at every launch.
void AppDelegate::showNewBrandWindowIfDue() {
    const double now = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    if (Defaults::integer(Defaults::finalUpdateLaunchCountKey) == 0) {
        Defaults::setDoubleValue(Defaults::finalUpdateLaunchDateKey, now);
        Defaults::setInteger(Defaults::finalUpdateLaunchCountKey,
                             Defaults::integer(Defaults::finalUpdateLaunchCountKey) + 1);
        NewBrandWindowController::showNewBrandWindow(platform.workspace, platform.userNotifications);
    }
    if (NewBrandWindowController::isAnnouncementDue(
            now, Defaults::doubleValue(Defaults::finalUpdateLaunchDateKey))) {
        NewBrandWindowController::showNewBrandWindow(platform.workspace, platform.userNotifications);
    }
}

void AppDelegate::applicationWillTerminate() {
    audioController_->stopRecording();
}

void AppDelegate::willSleep() {
    applicationWillTerminate();
    // The system waits for our lock: let it go once the buffer's queue has closed the ring behind the stop.
    const QPointer<AppDelegate> alive(this);
    audioController_->audioBuffer().queue().async([alive] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [alive] {
                if (alive) {
                    alive->sleepInhibitor_.release();
                }
            },
            Qt::QueuedConnection);
    });
}

void AppDelegate::didWake() {
    audioController_->startRecording();
    sleepInhibitor_.acquire();
}

void AppDelegate::observeSleepAndWake() {
    connect(&platform.workspace, &Workspace::willSleep, this, &AppDelegate::willSleep, Qt::UniqueConnection);
    connect(&platform.workspace, &Workspace::didWake, this, &AppDelegate::didWake, Qt::UniqueConnection);
}

bool AppDelegate::isReviewRequestDue(int minimumLaunches, int minimumRecordings) const {
    if (Defaults::integer(Defaults::recordingsSavedKey) < minimumRecordings) {
        return false;
    }
    if (Defaults::integer(Defaults::launchCountKey) -
            Defaults::integer(Defaults::marketingRequestLaunchCountKey) <
        minimumLaunches) {
        return false;
    }
    const auto date = Defaults::marketingRequestDate();
    // Positive when the stored date lies ahead of the clock: only a date a week or more ahead blocks.
    return !date || QDateTime::currentDateTime().msecsTo(*date) / 1000.0 < marketingDateLimitSeconds;
}

void AppDelegate::requestReviewIfDue() {
    if (!isReviewRequestDue(minimumLaunchesForReview, minimumRecordingsForReview)) {
        return;
    }
    const auto build = buildNumber(platform.bundle.infoValue(QStringLiteral("CFBundleVersion")));
    if (!build || Defaults::integer(Defaults::marketingRequestVersionKey) >= *build) {
        return;
    }
    QTimer::singleShot(reviewRequestDelayMilliseconds, this, [this, build = *build] {
        ReviewRequester::requestReview();
        Defaults::setInteger(Defaults::marketingRequestVersionKey, build);
        markReviewRequested();
    });
}

void AppDelegate::markReviewRequested() {
    Defaults::setMarketingRequestDate(QDateTime::currentDateTime());
    Defaults::setInteger(Defaults::marketingRequestLaunchCountKey,
                         Defaults::integer(Defaults::launchCountKey));
}

void AppDelegate::updateLoginItem() {
    const bool autoLaunch = Defaults::boolean(Defaults::autoLaunchKey);
    if (!LoginItems::setEnabled(QString::fromLatin1(launcherBundleIdentifier), autoLaunch)) {
        Log::write("Error: AppDelegate: Error setting launcher to run.");
    }
    // Once Tempolis runs, a launcher still running has nothing left to do.
    if (!platform.workspace.runningApplications(QString::fromLatin1(launcherBundleIdentifier)).isEmpty()) {
        platform.distributedNotifications.post(QString::fromLatin1(killLauncherNotification),
                                               platform.bundle.identifier());
    }
}

// The checkmark tells the truth: it changes only when the autostart entry did, and the user hears why not.
void AppDelegate::toggleAutoLaunch() {
    const bool wanted = !Defaults::boolean(Defaults::autoLaunchKey);
    QString error;
    if (!LoginItems::setEnabled(QString::fromLatin1(launcherBundleIdentifier), wanted, &error)) {
        Log::write("Error: AppDelegate: Error setting launcher to run.");
        showAlert(Localization::string("Launch at Login Error").arg(error), loginItemAlertSeconds);
        return;
    }
    Defaults::setBoolean(Defaults::autoLaunchKey, wanted);
}

void AppDelegate::didReceiveResponse(const QVariantMap& userInfo, std::function<void()> completionHandler) {
    const QVariant thirdDay = userInfo.value(QStringLiteral("thirdDayNotif"));
    if (thirdDay.typeId() == QMetaType::Bool && thirdDay.toBool()) {
        platform.workspace.openURL(QUrl(QString::fromLatin1(reminderWebPage)));
    }
    completionHandler();
}

void AppDelegate::toggleSystemTray() {
    Defaults::setShowsInSystemTray(!Defaults::showsInSystemTray());
    updateStatusItemMode();
}

bool AppDelegate::isInTray() const {
    return trayItem_ && trayItem_->isShown();
}

void AppDelegate::updateStatusItemMode() {
    const bool wanted = Defaults::showsInSystemTray();
    if (wanted && !trayItem_ && statusView_) {
        trayItem_ = std::make_unique<TrayStatusItem>(
            *audioController_,
            TrayMenu::Actions{
                [this] { SettingsController::showPopover(statusItem_ ? statusItem_->button() : nullptr); },
                [] { QCoreApplication::quit(); }});
        trayItem_->setState(statusView_->iconState());
        connect(trayItem_.get(), &TrayStatusItem::presenceChanged, this, &AppDelegate::updateStatusItemMode);
        connect(trayItem_.get(), &TrayStatusItem::activated, this, &AppDelegate::activateAt);
        connect(trayItem_.get(), &TrayStatusItem::secondaryActivated, this, [this](QPoint position) {
            lastActivation_ = position;
            if (pointGesture_) {
                pointGesture_->cancel();
            }
            toggleSettingsPopover();
        });
        connect(&trayItem_->menu(), &TrayMenu::entryChosen, this, [this] {
            lastActivation_.reset();
            if (pointGesture_) {
                pointGesture_->cancel();
            }
        });
    } else if (!wanted && trayItem_) {
        trayItem_.reset();
    }
    const bool inTray = isInTray();
    if (!inTray) {
        lastActivation_.reset();
        if (pointGesture_) {
            pointGesture_->cancel();
        }
    }
    if (statusItem_) {
        statusItem_->setVisible(!inTray && !(trayItem_ && trayItem_->isUndecided()));
    }
}

void AppDelegate::activateAt(const QPoint& globalPosition) {
    // A tray that cannot tell where it was clicked (a keyboard, some panels) says (0, 0): the gesture then
    // starts at the panel's end.
    if (globalPosition.isNull()) {
        lastActivation_.reset();
        if (pointGesture_) {
            pointGesture_->activate(
                StatusAnchor::panelCorner(QGuiApplication::primaryScreen()).rect.center());
        }
        return;
    }
    lastActivation_ = globalPosition;
    if (pointGesture_) {
        pointGesture_->activate(globalPosition);
    }
}

StatusAnchor AppDelegate::statusAnchor() const {
    if (isInTray()) {
        return lastActivation_ ? StatusAnchor::atPoint(*lastActivation_)
                               : StatusAnchor::panelCorner(QGuiApplication::primaryScreen());
    }
    // The floating item, also while it waits to learn whether a tray will show Tempolis instead.
    if (statusItem_ && !statusItem_->frame().isEmpty()) {
        return StatusAnchor::below(statusItem_->frame());
    }
    return StatusAnchor::panelCorner(QGuiApplication::primaryScreen());
}

void AppDelegate::toggleSettingsPopover() {
    SettingsController::toggle(statusItem_ ? statusItem_->button() : nullptr);
}

void AppDelegate::showAlert(const QString& message, double durationSeconds) {
    QMetaObject::invokeMethod(
        this, [this, message, durationSeconds] { presentAlert(message, durationSeconds); },
        Qt::QueuedConnection);
}

void AppDelegate::presentAlert(const QString& message, double durationSeconds) {
    std::unique_ptr<ViewController> made =
        Storyboard::named(QStringLiteral("Main")).instantiateController(AlertPopupController::identifier);
    auto* controller = dynamic_cast<AlertPopupController*>(made.get());
    if (!controller) {
        Log::write("Error: AlertPopupController: Error creating view controller.");
        return;
    }
    made.release();
    controller->setMessage(message);

    auto* popover = new Popover(this);
    // It only informs: typing and clicks keep going where they went (it can come up at login).
    popover->setBehavior(Popover::Behavior::nonActivatingTransient);
    popover->setContentViewController(std::unique_ptr<ViewController>(controller));
    // Each alert lives until it closes, by the user or by its own timer.
    connect(popover, &Popover::didClose, popover, &QObject::deleteLater);
    statusAnchor().show(*popover);
    QTimer::singleShot(static_cast<int>(durationSeconds * 1000), popover, [popover] {
        if (popover->isShown()) {
            popover->performClose();
        }
    });
}
