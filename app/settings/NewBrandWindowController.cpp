#include "NewBrandWindowController.h"

#include "Bundle.h"
#include "Defaults.h"
#include "Log.h"
#include "UserNotificationCenter.h"
#include "Workspace.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QUrl>

namespace {
constexpr int helperEndMilliseconds = 2000;

double nowSeconds() {
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}
} // namespace

NewBrandWindowController*
NewBrandWindowController::showNewBrandWindow(Workspace& workspace,
                                             UserNotificationCenter& userNotifications) {
    return showNewBrandWindow(workspace, userNotifications,
                              Bundle::main().bundlePath() + QLatin1Char('/') +
                                  QString::fromLatin1(helperBundlePath));
}

NewBrandWindowController*
NewBrandWindowController::showNewBrandWindow(Workspace& workspace, UserNotificationCenter& userNotifications,
                                             const QString& helperPath) {
    auto* controller = new NewBrandWindowController(workspace, userNotifications);
    QProcess& helper = controller->helper_;
    // What the helper logs goes where this program's log goes.
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&helper, &QProcess::readyReadStandardOutput, controller,
            &NewBrandWindowController::readHelperOutput);
    connect(&helper, &QProcess::finished, controller, &NewBrandWindowController::helperEnded);
    connect(&helper, &QProcess::errorOccurred, controller, [controller](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            Log::write("Error: NewBrandWindowController: Cannot show the announcement window: " +
                       controller->helper_.errorString().toStdString());
            controller->deleteLater();
        }
    });
    // Quitting with the window open skips the close steps; the window still goes before the application.
    connect(qApp, &QCoreApplication::aboutToQuit, controller, [controller] { delete controller; });
    helper.start(helperPath, {});
    return controller;
}

bool NewBrandWindowController::isAnnouncementDue(double nowSeconds, double firstShownSeconds) {
    return nowSeconds - firstShownSeconds >= repeatIntervalSeconds;
}

NewBrandWindowController::NewBrandWindowController(Workspace& workspace,
                                                   UserNotificationCenter& userNotifications)
    : workspace_(workspace)
    , userNotifications_(userNotifications) {}

NewBrandWindowController::~NewBrandWindowController() {
    if (helper_.state() == QProcess::NotRunning) {
        return;
    }
    // The window goes with the program. The helper leaves the termination signal to its default action, so
    // this waits a few milliseconds at most.
    disconnect(&helper_, nullptr, this, nullptr);
    helper_.terminate();
    if (!helper_.waitForFinished(helperEndMilliseconds)) {
        helper_.kill();
        helper_.waitForFinished(helperEndMilliseconds);
    }
}

void NewBrandWindowController::openProductWebPage() {
    workspace_.openURL(QUrl(QString::fromLatin1(productWebPage)));
}

void NewBrandWindowController::readHelperOutput() {
    while (helper_.canReadLine()) {
        const QByteArray line = helper_.readLine().trimmed();
        if (line == productWebPageRequestedLine) {
            openProductWebPage();
        } else if (line == windowClosedLine) {
            windowWillClose();
        }
    }
}

void NewBrandWindowController::helperEnded() {
    readHelperOutput();
    if (helper_.exitStatus() == QProcess::CrashExit) {
        Log::write("Error: NewBrandWindowController: The announcement window crashed.");
    } else if (helper_.exitCode() != 0) {
        Log::write("Error: NewBrandWindowController: The announcement window ended with status " +
                   std::to_string(helper_.exitCode()) + ".");
    }
    deleteLater();
}

void NewBrandWindowController::windowWillClose() {
    if (isAnnouncementDue(nowSeconds(), Defaults::doubleValue(Defaults::finalUpdateLaunchDateKey))) {
        scheduleLegacyNotification(QString::fromLatin1(betaTitle), QString::fromLatin1(betaSubtitle), true);
    }
    // Start-up sets the count before the first showing, so this only answers a store changed meanwhile.
    if (Defaults::integer(Defaults::finalUpdateLaunchCountKey) == 0) {
        scheduleLegacyNotification(QString::fromLatin1(updateTitle), QString::fromLatin1(updateSubtitle),
                                   false);
    }
}

void NewBrandWindowController::scheduleLegacyNotification(const QString& title, const QString& subtitle,
                                                          bool thirdDayNotif) {
    // A click on the beta notification reaches the application delegate, which opens the product page for
    // thirdDayNotif true.
    userNotifications_.schedule(title, subtitle, {{QString::fromLatin1(thirdDayKey), thirdDayNotif}},
                                QDateTime::currentDateTimeUtc().addSecs(1));
}
