// Tempolis: keeps the recent past of an audio input and saves it on demand from its status item.
#include "AppDelegate.h"
#include "Bundle.h"
#include "DesktopCaptureAuthorization.h"
#include "DistributedNotificationCenter.h"
#include "Images.h"
#include "Localization.h"
#include "Log.h"
#include "MainStoryboard.h"
#include "PulseCaptureSystem.h"
#include "TerminationSignalWatcher.h"
#include "UserNotificationCenter.h"
#include "Workspace.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
    Log::setIdentity("Tempolis");
    // The status item must be a window we can place and keep on top: X11, or XWayland on a Wayland session.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Orvane"));
    QApplication::setApplicationName(QStringLiteral("Tempolis"));
    QApplication::setDesktopFileName(QStringLiteral("com.Orvane.Tempolis"));
    QApplication::setQuitOnLastWindowClosed(false);
    Localization::install(application);
    QApplication::setWindowIcon(Images::named(QStringLiteral("Tempolis")));

    const Bundle& bundle = Bundle::main();
    const QString identifier =
        bundle.identifier().isEmpty() ? QStringLiteral("com.Orvane.Tempolis") : bundle.identifier();
    Workspace workspace;
    // A second copy would write the same ring file as the first: leave the running one alone.
    if (!workspace.registerRunningApplication(identifier)) {
        Log::write("Error: Tempolis: Another copy is already running for this user; this one exits.");
        return 0;
    }

    PulseCaptureSystem captureSystem;
    DesktopCaptureAuthorization authorization;
    DistributedNotificationCenter distributedNotifications;
    UserNotificationCenter userNotifications;
    MainStoryboard::registerScenes();

    AppDelegate delegate(
        {captureSystem, authorization, workspace, distributedNotifications, userNotifications, bundle});
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    TerminationSignalWatcher termination;
    QObject::connect(&termination, &TerminationSignalWatcher::terminationRequested, &application,
                     [] { QCoreApplication::quit(); });
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
