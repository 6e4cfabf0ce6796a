#include "Analytics.h"

#include "Log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUuid>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {
const QString libraryName = QStringLiteral("tempolis-analytics");
const QString libraryVersion = QStringLiteral("1");
// Keeps one request well under the service's size limit for a batch.
constexpr int maxBatchEvents = 100;
// A request that hangs would otherwise hold back every later upload.
constexpr int uploadTimeoutMilliseconds = 60'000;

// The service wants ISO-8601 in UTC with milliseconds ("2024-05-01T09:30:00.123Z").
QString nowIso8601() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

// Without a write key nothing can be uploaded; saying so once per process is enough.
bool& missingWriteKeyLogged() {
    static bool logged = false;
    return logged;
}
} // namespace

Analytics::Analytics(AnalyticsConfiguration configuration, QObject* parent)
    : QObject(parent)
    , configuration_(std::move(configuration))
    , store_(configuration_.storageDirectory.isEmpty() ? AnalyticsConfiguration::defaultStorageDirectory()
                                                       : configuration_.storageDirectory)
    , network_(new QNetworkAccessManager(this)) {
    configuration_.flushAt = std::max(configuration_.flushAt, 1);
    configuration_.maxQueuedEvents = std::max(configuration_.maxQueuedEvents, 1);

    if (!store_.prepare()) {
        logError(store_.errorString());
    }
    anonymousId_ = store_.loadOrCreateAnonymousId();
    context_ = QJsonObject{
        {QStringLiteral("library"),
         QJsonObject{{QStringLiteral("name"), libraryName}, {QStringLiteral("version"), libraryVersion}}},
        {QStringLiteral("app"), QJsonObject{{QStringLiteral("version"), configuration_.applicationVersion},
                                            {QStringLiteral("build"), configuration_.applicationBuild}}},
    };
    if (const auto stored = store_.loadQueue()) {
        events_ = *stored;
    } else {
        logError(store_.errorString());
    }
    // A smaller cap than the previous run's may apply now.
    while (events_.size() > configuration_.maxQueuedEvents) {
        events_.removeFirst();
    }

    saveTimer_.setSingleShot(true);
    saveTimer_.setInterval(0);
    connect(&saveTimer_, &QTimer::timeout, this, &Analytics::saveQueueNow);

    if (configuration_.writeKey.isEmpty()) {
        if (!missingWriteKeyLogged()) {
            missingWriteKeyLogged() = true;
            logError(QStringLiteral("no write key; events are kept on disk and not uploaded"));
        }
    } else if (!hasHttpEndpoint()) {
        logError(QStringLiteral(
                     "the endpoint \"%1\" is not an http(s) URL; events are kept on disk and not uploaded")
                     .arg(configuration_.endpoint.toString()));
    } else if (configuration_.flushIntervalSeconds > 0) {
        const auto intervalMilliseconds = std::llround(configuration_.flushIntervalSeconds * 1000.0);
        flushTimer_.setInterval(static_cast<int>(
            std::clamp<long long>(intervalMilliseconds, 1, std::numeric_limits<int>::max())));
        connect(&flushTimer_, &QTimer::timeout, this, [this] {
            retryWaitsForInterval_ = false;
            flush();
        });
        flushTimer_.start();
    }

    if (auto* application = QCoreApplication::instance()) {
        connect(application, &QCoreApplication::aboutToQuit, this, &Analytics::applicationAboutToQuit);
    }

    recordLifecycleAtStart();
    if (waitingEventCount() >= configuration_.flushAt) {
        flush();
    }
}

Analytics::~Analytics() {
    if (reply_ != nullptr) {
        // The events stay queued; the next run sends them again.
        reply_->disconnect(this);
        reply_->abort();
        delete reply_;
        reply_ = nullptr;
    }
    if (queueUnsaved_) {
        saveQueueNow();
    }
}

void Analytics::recordLifecycleAtStart() {
    const AnalyticsStore::ApplicationVersion current{configuration_.applicationVersion,
                                                     configuration_.applicationBuild};
    const auto stored = store_.loadApplicationVersion();
    if (configuration_.trackApplicationLifecycleEvents) {
        if (!stored) {
            track(QStringLiteral("Application Installed"),
                  {{QStringLiteral("version"), current.version}, {QStringLiteral("build"), current.build}});
        } else if (stored->version != current.version) {
            track(QStringLiteral("Application Updated"),
                  {{QStringLiteral("previous_version"), stored->version},
                   {QStringLiteral("previous_build"), stored->build},
                   {QStringLiteral("version"), current.version},
                   {QStringLiteral("build"), current.build}});
        }
        track(QStringLiteral("Application Opened"),
              {{QStringLiteral("version"), current.version}, {QStringLiteral("build"), current.build}});
    }
    // Stored even while lifecycle events are off, so turning them on later does not report an install.
    if (!stored || stored->version != current.version || stored->build != current.build) {
        if (!store_.saveApplicationVersion(current)) {
            logError(store_.errorString());
        }
    }
}

void Analytics::track(const QString& name, const QVariantMap& properties) {
    append(QJsonObject{
        {QStringLiteral("type"), QStringLiteral("track")},
        {QStringLiteral("event"), name},
        {QStringLiteral("properties"), QJsonObject::fromVariantMap(properties)},
        {QStringLiteral("anonymousId"), anonymousId_},
        {QStringLiteral("messageId"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
        {QStringLiteral("timestamp"), nowIso8601()},
        {QStringLiteral("context"), context_},
    });
    if (!retryWaitsForInterval_ && waitingEventCount() >= configuration_.flushAt) {
        flush();
    }
}

void Analytics::append(const QJsonObject& event) {
    events_.append(event);
    while (events_.size() > configuration_.maxQueuedEvents) {
        inFlightMessageIds_.remove(events_.takeFirst().value(QStringLiteral("messageId")).toString());
        if (!queueFullLogged_) {
            queueFullLogged_ = true;
            logError(QStringLiteral("more than %1 events wait for upload; the oldest are dropped")
                         .arg(configuration_.maxQueuedEvents));
        }
    }
    scheduleSave();
}

bool Analytics::hasHttpEndpoint() const {
    const QString scheme = configuration_.endpoint.scheme();
    return configuration_.endpoint.isValid() &&
           (scheme == QLatin1String("https") || scheme == QLatin1String("http"));
}

bool Analytics::canUpload() const {
    return !configuration_.writeKey.isEmpty() && hasHttpEndpoint();
}

void Analytics::flush() {
    if (!canUpload() || quitting_ || reply_ != nullptr || events_.isEmpty()) {
        return;
    }
    QJsonArray batch;
    const auto batchSize = std::min<qsizetype>(events_.size(), maxBatchEvents);
    for (qsizetype i = 0; i < batchSize; ++i) {
        batch.append(events_[i]);
        inFlightMessageIds_.insert(events_[i].value(QStringLiteral("messageId")).toString());
    }
    const QJsonObject body{{QStringLiteral("batch"), batch}, {QStringLiteral("sentAt"), nowIso8601()}};

    QNetworkRequest request(configuration_.endpoint);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Authorization",
                         "Basic " + (configuration_.writeKey + QLatin1Char(':')).toUtf8().toBase64());
    // Qt would otherwise send a browser-like agent and the system's languages.
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QString(libraryName + QLatin1Char('/') + libraryVersion));
    request.setRawHeader("Accept-Language", "*");
    // No cookies: the anonymous id is the only thing that ties uploads together.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    // The write key must not follow a redirect to another host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setTransferTimeout(uploadTimeoutMilliseconds);

    reply_ = network_->post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
    QNetworkReply* reply = reply_;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { uploadFinishedWith(reply); });
}

void Analytics::uploadFinishedWith(QNetworkReply* reply) {
    reply_ = nullptr;
    reply->deleteLater();
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusAttribute.isValid() ? statusAttribute.toInt() : 0;

    UploadResult result = UploadResult::Failed;
    if (status >= 200 && status < 300) {
        result = UploadResult::Delivered;
    } else if (status >= 400 && status < 500 && status != 429) {
        result = UploadResult::Refused;
        logError(QStringLiteral("the service refused a batch of %1 events (HTTP %2); they are dropped")
                     .arg(inFlightMessageIds_.size())
                     .arg(status));
    }

    if (result == UploadResult::Failed) {
        inFlightMessageIds_.clear();
        retryWaitsForInterval_ = true;
    } else {
        removeInFlightEvents();
    }
    emit uploadFinished(result);
    // A backlog (a full batch, or events that arrived meanwhile) goes out without waiting for the interval.
    if (result != UploadResult::Failed &&
        waitingEventCount() >= std::min(configuration_.flushAt, maxBatchEvents)) {
        flush();
    }
}

void Analytics::removeInFlightEvents() {
    events_.removeIf([this](const QJsonObject& event) {
        return inFlightMessageIds_.contains(event.value(QStringLiteral("messageId")).toString());
    });
    inFlightMessageIds_.clear();
    scheduleSave();
}

void Analytics::applicationAboutToQuit() {
    // No upload from here on: quitting must not wait for the network. The next run sends what is queued.
    quitting_ = true;
    flushTimer_.stop();
    if (configuration_.trackApplicationLifecycleEvents) {
        track(QStringLiteral("Application Terminated"));
    }
    saveQueueNow();
}

void Analytics::scheduleSave() {
    // One write for a burst of events, and track() never waits for the disk.
    queueUnsaved_ = true;
    if (!saveTimer_.isActive()) {
        saveTimer_.start();
    }
}

void Analytics::saveQueueNow() {
    saveTimer_.stop();
    queueUnsaved_ = false;
    if (!store_.saveQueue(events_) && !saveFailureLogged_) {
        saveFailureLogged_ = true;
        logError(store_.errorString());
    }
}

void Analytics::logError(const QString& what) {
    Log::write((QStringLiteral("Error: Analytics: ") + what).toStdString());
}
