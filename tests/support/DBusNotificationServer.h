#pragma once

#include "XvfbSession.h"

#include <QProcess>
#include <QString>

#include <memory>

// A real notification server (dunst) on this process's session bus, shown on a private X server (XvfbSession;
// an X server named by DISPLAY that answers is used as it is). The constructor returns once
// org.freedesktop.Notifications has an owner. dunstctl drives it like a user would.
class DBusNotificationServer {
public:
    DBusNotificationServer();
    ~DBusNotificationServer();

    DBusNotificationServer(const DBusNotificationServer&) = delete;
    DBusNotificationServer& operator=(const DBusNotificationServer&) = delete;

    bool isRunning() const { return running_; }
    QString errorString() const { return error_; }

    // How many notifications are on screen; -1 when dunstctl cannot tell.
    int displayedCount() const;
    // Clicks the top notification on screen (its "default" action), as `dunstctl action 0` does. That is the
    // OLDEST one shown: dunst stacks new notifications below. Other positions cannot be clicked: dunst 1.9
    // checks them against the waiting queue and answers "Couldn't activate action for notification in
    // position 1".
    bool invokeTopDefaultAction() const;

private:
    static bool runDunstctl(const QStringList& arguments, QByteArray* output);

    std::unique_ptr<XvfbSession> display_;
    QProcess dunst_;
    bool running_ = false;
    QString error_;
};
