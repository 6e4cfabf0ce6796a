#include "AppDelegate.h"

#include "Bundle.h"
#include "DistributedNotificationCenter.h"
#include "Log.h"
#include "Workspace.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {
const QString mainApplicationIdentifier = QStringLiteral("com.Orvane.Tempolis");
// Launcher.app, LoginItems, Library, Contents.
constexpr int pathComponentsToMainBundle = 4;

QString deletingLastPathComponent(const QString& path) {
    return QFileInfo(path).path();
}
} // namespace

AppDelegate::AppDelegate(Workspace& workspace, DistributedNotificationCenter& notificationCenter,
                         QObject* parent)
    : QObject(parent)
    , workspace_(workspace)
    , notificationCenter_(notificationCenter) {}

const QString& AppDelegate::killLauncherNotificationName() {
    static const QString name = QStringLiteral("TempolisKillLauncherNotification");
    return name;
}

void AppDelegate::applicationDidFinishLaunching() {
    if (!workspace_.runningApplications(mainApplicationIdentifier).isEmpty()) {
        terminate();
        return;
    }

    // Observe before launching: the freshly started Tempolis posts the notification at once.
    const auto observer =
        notificationCenter_.addObserver(killLauncherNotificationName(), mainApplicationIdentifier, this,
                                        [this](const QString&, const QString&) { terminate(); });

    QString mainBundlePath = Bundle::main().bundlePath();
    for (int step = 0; step < pathComponentsToMainBundle; ++step)
        mainBundlePath = deletingLastPathComponent(mainBundlePath);

    QString error;
    if (!workspace_.launchApplication(mainBundlePath, &error)) {
        Log::write(("TempolisLauncher: Error launching Tempolis. " + error).toStdString());
        terminate();
        return;
    }
    // Without a session bus nothing could ever tell us to quit, so there is nothing to wait for.
    if (observer == 0)
        terminate();
}

void AppDelegate::terminate() {
    QCoreApplication::quit();
}
