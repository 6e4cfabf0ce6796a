#include "AppDelegate.h"
#include "Bundle.h"
#include "DistributedNotificationCenter.h"
#include "Log.h"
#include "Workspace.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    Log::setIdentity("TempolisLauncher");

    Workspace workspace;
    DistributedNotificationCenter notificationCenter;
    // Lets Tempolis find running launchers (and count two as two).
    const QString ownIdentifier = Bundle::main().identifier();
    if (!ownIdentifier.isEmpty())
        workspace.registerRunningApplication(ownIdentifier);

    AppDelegate delegate(workspace, notificationCenter);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return application.exec();
}
