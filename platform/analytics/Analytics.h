#pragma once

#include "AnalyticsConfiguration.h"
#include "AnalyticsStore.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVariantMap>

class QNetworkAccessManager;
class QNetworkReply;

// Records usage events and uploads them in batches to the analytics service's batch endpoint.
//
// Events are kept in memory and in the storage directory until the service acknowledged them, so events of a
// run that ended (or crashed) before they were uploaded go out with a later run. Each event carries only its
// name and properties, a random anonymous id kept in the storage directory, a message id, its time, and the
// library's name and version and the application's version and build: no user id, no device or system
// details.
//
// Threads: create, use and destroy the client on the main thread only; it works on that thread's event loop,
// and nothing it does waits for the network. One client per storage directory at a time.
class Analytics : public QObject {
    Q_OBJECT
public:
    enum class UploadResult {
        Delivered, // the service acknowledged the batch (2xx); its events are gone from the queue
        Refused,   // the service will never take the batch (4xx other than 429); its events are dropped
        Failed,    // network error, 5xx, 429 or anything else; the events stay and are retried at the next
                   // interval
    };
    Q_ENUM(UploadResult)

    explicit Analytics(AnalyticsConfiguration configuration, QObject* parent = nullptr);
    ~Analytics() override;

    Analytics(const Analytics&) = delete;
    Analytics& operator=(const Analytics&) = delete;

    // Queues one event and returns at once. Properties must convert to JSON (QJsonValue::fromVariant).
    void track(const QString& name, const QVariantMap& properties = {});

    // Starts uploading the waiting events now, unless an upload is in flight or there is no write key.
    void flush();

    const QString& anonymousId() const { return anonymousId_; }
    // Events not yet acknowledged, including those of an upload in flight.
    int queuedEventCount() const { return static_cast<int>(events_.size()); }

signals:
    void uploadFinished(Analytics::UploadResult result);

private:
    bool hasHttpEndpoint() const;
    bool canUpload() const;
    int waitingEventCount() const { return static_cast<int>(events_.size() - inFlightMessageIds_.size()); }
    void recordLifecycleAtStart();
    void append(const QJsonObject& event);
    void uploadFinishedWith(QNetworkReply* reply);
    void removeInFlightEvents();
    void applicationAboutToQuit();
    void scheduleSave();
    void saveQueueNow();
    void logError(const QString& what);

    AnalyticsConfiguration configuration_;
    AnalyticsStore store_;
    QString anonymousId_;
    QJsonObject context_;
    QList<QJsonObject> events_; // oldest first; an upload in flight carries a prefix of it
    QSet<QString> inFlightMessageIds_;
    QNetworkAccessManager* network_ = nullptr;
    QNetworkReply* reply_ = nullptr;
    QTimer flushTimer_;
    QTimer saveTimer_;
    // After a failed upload, reaching flushAt does not upload again before the next interval: a struggling
    // service is not hammered with one request per event.
    bool retryWaitsForInterval_ = false;
    bool quitting_ = false;
    bool queueUnsaved_ = false;
    bool saveFailureLogged_ = false;
    bool queueFullLogged_ = false;
};
