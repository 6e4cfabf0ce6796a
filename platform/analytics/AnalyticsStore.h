#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

// The analytics client's files in its storage directory: the queue of events not yet acknowledged, the
// anonymous id and the last seen application version. Every write replaces its file atomically, so a crash
// leaves either the old or the new content.
class AnalyticsStore {
public:
    struct ApplicationVersion {
        QString version;
        QString build;
    };

    explicit AnalyticsStore(QString directory);

    const QString& directory() const { return directory_; }

    // Creates the directory, readable by the owner only. False (see errorString) when it cannot be made.
    bool prepare();

    // The stored events, oldest first. A missing file is an empty queue and entries that are not events are
    // skipped; nothing (errorString says why) when the file cannot be read or parsed.
    std::optional<QList<QJsonObject>> loadQueue();
    bool saveQueue(const QList<QJsonObject>& events);

    // The stored id, or a new random one that is stored (when storing fails, it lasts for this process only).
    QString loadOrCreateAnonymousId();

    // Nothing stored yet means a first run.
    std::optional<ApplicationVersion> loadApplicationVersion();
    bool saveApplicationVersion(const ApplicationVersion& version);

    // Why the last failing call failed.
    const QString& errorString() const { return errorString_; }

private:
    QString filePath(const QString& name) const;
    bool writeFile(const QString& name, const QByteArray& content);

    QString directory_;
    QString errorString_;
};
