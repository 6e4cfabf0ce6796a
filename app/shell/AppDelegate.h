#pragma once

#include "AudioController.h"
#include "Bundle.h"
#include "ClipSavePanel.h"
#include "DefaultsRecordingSettings.h"
#include "GrabbableStatusView.h"
#include "Popover.h"
#include "SleepInhibitor.h"
#include "StatusAnchor.h"
#include "StatusItem.h"
#include "UserNotificationCenterDelegate.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <optional>

class CaptureAuthorization;
class PointGestureWindow;
class TrayStatusItem;
class CaptureSystem;
class DistributedNotificationCenter;
class UserNotificationCenter;
class Workspace;

// Ties the running application together: owns the recording controller and the status item, runs the
// start-up sequence, stops recording at sleep and termination and starts it again at wake (holding off sleep
// while recording until the buffer has reached the disk), keeps the login
// item in step with the user's choice, shows alerts at the status item and answers notification clicks.
//
// The status item is the floating one, or, where the desktop has a system tray and the user leaves "Show in
// System Tray" on, an icon in the tray: the floating item hides (and reserves no strip) while a tray shows
// the icon and comes back within moments when the tray goes. In the tray a click begins the gesture at the
// click's position and the tray's menu holds the rest. Popovers and popups hang where the user acted: from
// the floating item, from the point of the last click on the tray icon, or, with no such point, at the end of
// the panel. One per process, on the main thread; other objects reach it through shared().
class AppDelegate : public QObject, public UserNotificationCenterDelegate {
    Q_OBJECT
public:
    // The platform services the application works with; they outlive the delegate.
    struct Platform {
        CaptureSystem& captureSystem;
        CaptureAuthorization& authorization;
        Workspace& workspace;
        DistributedNotificationCenter& distributedNotifications;
        UserNotificationCenter& userNotifications;
        Bundle bundle;
    };

    static constexpr int minimumRecordingsForReview = 5;
    static constexpr int minimumLaunchesForReview = 5;
    static constexpr double marketingDateLimitSeconds = 604'800;
    static constexpr int reviewRequestDelayMilliseconds = 2'000;
    static constexpr double loginItemAlertSeconds = 10;
    static constexpr const char* statusIconImageName = "Status-Icon-Template";
    static constexpr const char* launcherBundleIdentifier = "com.Orvane.Tempolis.Launcher";
    static constexpr const char* killLauncherNotification = "TempolisKillLauncherNotification";
    static constexpr const char* reminderWebPage = "https://tempolis.app/?ref=LegacyNotif";

    explicit AppDelegate(Platform platform, QObject* parent = nullptr);
    ~AppDelegate() override;

    // The application's delegate, while one exists.
    static AppDelegate* shared();

    AudioController& audioController() { return *audioController_; }
    StatusItem* statusItem() const { return statusItem_.get(); }
    // The view over the status item's button, once launching has made it.
    GrabbableStatusView* statusView() const { return statusView_; }
    Workspace& workspace() { return platform.workspace; }
    // Whether the tray shows Tempolis instead of the floating item.
    bool isInTray() const;
    // Starts or cancels the gesture at a point, as a click on the tray icon does.
    void activateAt(const QPoint& globalPosition);

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    // Closing the last window never ends the application.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
    void willSleep();
    void didWake();

    // Shows `message` under the status item for `durationSeconds`, or until the user clicks elsewhere.
    // Callable from any thread; returns at once.
    void showAlert(const QString& message, double durationSeconds);

    void updateLoginItem();
    void toggleAutoLaunch();
    void toggleSystemTray();

    // A click on the status item opens the settings popover, or closes it when it is open.
    void toggleSettingsPopover();
    // Where popovers and popups of the status item hang now.
    StatusAnchor statusAnchor() const;
    const SleepInhibitor& sleepInhibitor() const { return sleepInhibitor_; }

    void didReceiveResponse(const QVariantMap& userInfo, std::function<void()> completionHandler) override;

    bool isReviewRequestDue(int minimumLaunches, int minimumRecordings) const;

private:
    void observeSleepAndWake();
    void showNewBrandWindowIfDue();
    void requestReviewIfDue();
    void markReviewRequested();
    void presentAlert(const QString& message, double durationSeconds);
    // Makes or drops the tray icon after the setting, and shows the floating item unless the tray shows
    // Tempolis (or may do so in a moment).
    void updateStatusItemMode();

    Platform platform;
    DefaultsRecordingSettings recordingSettings_;
    std::unique_ptr<AudioController> audioController_;
    std::unique_ptr<ClipSavePanel> clipSavePanel_;
    std::unique_ptr<StatusItem> statusItem_;
    QPointer<GrabbableStatusView> statusView_;
    std::unique_ptr<TrayStatusItem> trayItem_;
    std::unique_ptr<PointGestureWindow> pointGesture_;
    // Where the tray icon was last clicked; none after a menu entry (it carries no position).
    std::optional<QPoint> lastActivation_;
    SleepInhibitor sleepInhibitor_;
};
