#pragma once

#include <QObject>
#include <QString>

class DistributedNotificationCenter;
class Workspace;

// The launcher's whole behaviour: start Tempolis unless it already runs, then wait until Tempolis says to
// quit.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    AppDelegate(Workspace& workspace, DistributedNotificationCenter& notificationCenter,
                QObject* parent = nullptr);

    // The name of the notification Tempolis posts (object: its bundle identifier) when the launcher may quit.
    static const QString& killLauncherNotificationName();

public slots:
    // Runs once the event loop runs, so that quitting from here ends the program.
    void applicationDidFinishLaunching();
    void terminate();

private:
    Workspace& workspace_;
    DistributedNotificationCenter& notificationCenter_;
};
