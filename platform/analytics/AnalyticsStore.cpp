#include "AnalyticsStore.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QUuid>

namespace {
const QString queueFileName = QStringLiteral("queue.json");
const QString anonymousIdFileName = QStringLiteral("anonymous-id");
const QString applicationVersionFileName = QStringLiteral("application-version.json");

bool isEvent(const QJsonValue& value) {
    const QJsonObject event = value.toObject();
    return value.isObject() && event.value(QStringLiteral("messageId")).isString() &&
           event.value(QStringLiteral("event")).isString();
}
} // namespace

AnalyticsStore::AnalyticsStore(QString directory)
    : directory_(std::move(directory)) {}

bool AnalyticsStore::prepare() {
    if (!QDir().mkpath(directory_)) {
        errorString_ = QStringLiteral("cannot create %1").arg(directory_);
        return false;
    }
    // The queue describes what the user did; other local users have no business reading it.
    QFile::setPermissions(directory_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return true;
}

QString AnalyticsStore::filePath(const QString& name) const {
    return directory_ + QLatin1Char('/') + name;
}

bool AnalyticsStore::writeFile(const QString& name, const QByteArray& content) {
    QSaveFile file(filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        errorString_ = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

std::optional<QList<QJsonObject>> AnalyticsStore::loadQueue() {
    QFile file(filePath(queueFileName));
    if (!file.exists()) {
        return QList<QJsonObject>();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        errorString_ = QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        errorString_ = QStringLiteral("%1 is not a queue: %2").arg(file.fileName(), parseError.errorString());
        return std::nullopt;
    }
    QList<QJsonObject> events;
    for (const QJsonValue& value : document.object().value(QStringLiteral("events")).toArray()) {
        if (isEvent(value)) {
            events.append(value.toObject());
        }
    }
    return events;
}

bool AnalyticsStore::saveQueue(const QList<QJsonObject>& events) {
    QJsonArray array;
    for (const QJsonObject& event : events) {
        array.append(event);
    }
    const QJsonObject document{{QStringLiteral("events"), array}};
    return writeFile(queueFileName, QJsonDocument(document).toJson(QJsonDocument::Compact));
}

QString AnalyticsStore::loadOrCreateAnonymousId() {
    QFile file(filePath(anonymousIdFileName));
    if (file.open(QIODevice::ReadOnly)) {
        const QString stored = QString::fromUtf8(file.readAll()).trimmed();
        if (!QUuid::fromString(stored).isNull()) {
            return stored;
        }
    }
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces);
    writeFile(anonymousIdFileName, created.toUtf8());
    return created;
}

std::optional<AnalyticsStore::ApplicationVersion> AnalyticsStore::loadApplicationVersion() {
    QFile file(filePath(applicationVersionFileName));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QJsonObject stored = QJsonDocument::fromJson(file.readAll()).object();
    if (!stored.value(QStringLiteral("version")).isString()) {
        return std::nullopt;
    }
    return ApplicationVersion{stored.value(QStringLiteral("version")).toString(),
                              stored.value(QStringLiteral("build")).toString()};
}

bool AnalyticsStore::saveApplicationVersion(const ApplicationVersion& version) {
    const QJsonObject document{{QStringLiteral("version"), version.version},
                               {QStringLiteral("build"), version.build}};
    return writeFile(applicationVersionFileName, QJsonDocument(document).toJson(QJsonDocument::Compact));
}
