#pragma once

#include <QString>
#include <QUrl>

// What the analytics client needs to know; the application fills it in at start.
struct AnalyticsConfiguration {
    // The service's write key. Empty: events are kept on disk and never uploaded.
    QString writeKey;
    // Records "Application Installed/Updated/Opened/Terminated" without the application asking.
    bool trackApplicationLifecycleEvents = false;
    // Upload as soon as this many events wait.
    int flushAt = 20;
    // Upload waiting events (and retry failed uploads) at least this often. Not positive: no timed uploads.
    double flushIntervalSeconds = 30;
    // The service's batch endpoint.
    QUrl endpoint = QUrl(QStringLiteral("https://api.segment.io/v1/batch"));
    // Where the queue, the anonymous id and the last seen version live. Empty: defaultStorageDirectory(),
    // resolved when the client starts, so the application's names are set by then.
    QString storageDirectory;
    // The oldest events are dropped beyond this many, so an unreachable service cannot fill the disk.
    int maxQueuedEvents = 1000;
    // Sent with every event and used to tell installs from updates.
    QString applicationVersion;
    QString applicationBuild;

    // QStandardPaths::AppDataLocation + "/analytics".
    static QString defaultStorageDirectory();
};
