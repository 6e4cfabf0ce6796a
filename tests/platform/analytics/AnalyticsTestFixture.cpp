#include "AnalyticsTestFixture.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QSignalSpy>

void AnalyticsTestFixture::SetUp() {
    ASSERT_TRUE(storage.isValid());
    ASSERT_TRUE(server.isListening()) << server.errorString().toStdString();
}

AnalyticsConfiguration AnalyticsTestFixture::configuration(int flushAt, double flushIntervalSeconds) const {
    AnalyticsConfiguration configuration;
    configuration.writeKey = writeKey;
    configuration.endpoint = server.url(QStringLiteral("/v1/batch"));
    configuration.storageDirectory = storage.path() + QStringLiteral("/analytics");
    configuration.flushAt = flushAt;
    configuration.flushIntervalSeconds = flushIntervalSeconds;
    configuration.applicationVersion = QStringLiteral("1.2");
    configuration.applicationBuild = QStringLiteral("42");
    return configuration;
}

std::unique_ptr<Analytics>
AnalyticsTestFixture::makeClient(const AnalyticsConfiguration& configuration) const {
    return std::make_unique<Analytics>(configuration);
}

LoopbackHttpServer::Request AnalyticsTestFixture::nextRequest() {
    EXPECT_TRUE(server.waitForRequest(arrivalTimeout)) << "no request reached the server";
    return server.takeRequest();
}

Analytics::UploadResult AnalyticsTestFixture::waitForUploadResult(Analytics& client) {
    QSignalSpy spy(&client, &Analytics::uploadFinished);
    EXPECT_TRUE(spy.wait(static_cast<int>(std::chrono::milliseconds(arrivalTimeout).count())))
        << "the upload did not end";
    if (spy.isEmpty()) {
        return Analytics::UploadResult::Failed;
    }
    return spy.takeFirst().at(0).value<Analytics::UploadResult>();
}

QJsonArray AnalyticsTestFixture::batchOf(const LoopbackHttpServer::Request& request) {
    return request.json.object().value(QStringLiteral("batch")).toArray();
}

QStringList AnalyticsTestFixture::eventNamesOf(const LoopbackHttpServer::Request& request) {
    QStringList names;
    for (const QJsonValue& event : batchOf(request)) {
        names.append(event.toObject().value(QStringLiteral("event")).toString());
    }
    return names;
}

QStringList AnalyticsTestFixture::messageIdsOf(const LoopbackHttpServer::Request& request) {
    QStringList ids;
    for (const QJsonValue& event : batchOf(request)) {
        ids.append(event.toObject().value(QStringLiteral("messageId")).toString());
    }
    return ids;
}

void AnalyticsTestFixture::copyDirectory(const QString& from, const QString& to) {
    ASSERT_TRUE(QDir().mkpath(to));
    const QStringList names = QDir(from).entryList(QDir::Files);
    ASSERT_FALSE(names.isEmpty()) << "nothing stored in " << from.toStdString();
    for (const QString& name : names) {
        ASSERT_TRUE(QFile::copy(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name));
    }
}
