#pragma once

#include "Analytics.h"
#include "LoopbackHttpServer.h"

#include <QJsonArray>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>

// Readable strings in failure messages.
inline void PrintTo(const QString& text, std::ostream* stream) {
    *stream << '"' << text.toStdString() << '"';
}

// A client's storage directory in a temporary folder and a loopback server standing in for the service.
class AnalyticsTestFixture : public ::testing::Test {
protected:
    static constexpr auto arrivalTimeout = std::chrono::seconds(10);
    // How long "nothing arrives" is watched; several flush intervals of the clients below.
    static constexpr auto silenceWindow = std::chrono::milliseconds(600);
    static inline const QString writeKey = QStringLiteral("test-write-key");

    void SetUp() override;

    // Timed uploads are off (an hour) unless a test asks for them, so a test decides when uploads happen.
    AnalyticsConfiguration configuration(int flushAt = 20, double flushIntervalSeconds = 3600) const;
    std::unique_ptr<Analytics> makeClient(const AnalyticsConfiguration& configuration) const;

    // The next request the server got, failing the test when none arrives in time.
    LoopbackHttpServer::Request nextRequest();
    // Waits for the client's current upload to end and returns how it ended.
    static Analytics::UploadResult waitForUploadResult(Analytics& client);

    static QJsonArray batchOf(const LoopbackHttpServer::Request& request);
    static QStringList eventNamesOf(const LoopbackHttpServer::Request& request);
    static QStringList messageIdsOf(const LoopbackHttpServer::Request& request);

    // Copies the files of `from` into `to`, as they are on disk at this moment.
    static void copyDirectory(const QString& from, const QString& to);

    QTemporaryDir storage;
    LoopbackHttpServer server;
};
