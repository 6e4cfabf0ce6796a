#pragma once

#include <QString>

// A program of this user that has registered its bundle identifier on the session bus.
struct RunningApplication {
    QString bundleIdentifier;
    // The process's unique connection name on the session bus (":1.42").
    QString busName;
    // 0 when the bus could not tell.
    qint64 processIdentifier = 0;
};
