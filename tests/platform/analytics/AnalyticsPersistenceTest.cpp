#include "AnalyticsTestFixture.h"

#include "LogCapture.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTest>

using UploadResult = Analytics::UploadResult;

class AnalyticsPersistenceTest : public AnalyticsTestFixture {};

TEST_F(AnalyticsPersistenceTest, EventsQueuedByOneRunAreSentByTheNextWithTheSameAnonymousId) {
    QString firstAnonymousId;
    {
        auto first = makeClient(configuration());
        first->track(QStringLiteral("A"), {{QStringLiteral("n"), 1}});
        first->track(QStringLiteral("B"));
        firstAnonymousId = first->anonymousId();
    }
    EXPECT_EQ(server.requestCount(), 0);

    auto second = makeClient(configuration());
    EXPECT_EQ(second->anonymousId(), firstAnonymousId);
    second->track(QStringLiteral("C"));
    second->flush();
    const auto request = nextRequest();
    EXPECT_EQ(eventNamesOf(request),
              QStringList({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")}));
    EXPECT_EQ(batchOf(request)[0].toObject().value(QStringLiteral("properties")).toObject(),
              QJsonObject({{QStringLiteral("n"), 1}}));
    for (const QJsonValue& event : batchOf(request)) {
        EXPECT_EQ(event.toObject().value(QStringLiteral("anonymousId")).toString(), firstAnonymousId);
    }
}

TEST_F(AnalyticsPersistenceTest, EventsAreOnDiskBeforeTheClientEnds) {
    auto running = makeClient(configuration());
    running->track(QStringLiteral("A"));
    running->track(QStringLiteral("B"));
    QTest::qWait(50);

    // What a crash right now would leave behind.
    const QString crashedStorage = storage.path() + QStringLiteral("/after-crash");
    copyDirectory(configuration().storageDirectory, crashedStorage);
    auto configured = configuration();
    configured.storageDirectory = crashedStorage;
    auto next = makeClient(configured);
    next->flush();

    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("A"), QStringLiteral("B")}));
}

TEST_F(AnalyticsPersistenceTest, EventsOfAnUnansweredUploadAreSentAgainByTheNextRun) {
    server.holdResponses();
    QStringList sentIds;
    {
        auto first = makeClient(configuration(2));
        first->track(QStringLiteral("A"));
        first->track(QStringLiteral("B"));
        sentIds = messageIdsOf(nextRequest());
    }
    server.releaseResponses();

    auto second = makeClient(configuration());
    second->flush();
    EXPECT_EQ(messageIdsOf(nextRequest()), sentIds);
}

TEST_F(AnalyticsPersistenceTest, AcknowledgedEventsAreNotSentByTheNextRun) {
    {
        auto first = makeClient(configuration(2));
        first->track(QStringLiteral("A"));
        first->track(QStringLiteral("B"));
        ASSERT_EQ(waitForUploadResult(*first), UploadResult::Delivered);
        server.takeRequest();
    }
    auto second = makeClient(configuration(20, 0.05));
    EXPECT_EQ(second->queuedEventCount(), 0);
    EXPECT_FALSE(server.waitForRequest(silenceWindow));
}

TEST_F(AnalyticsPersistenceTest, AnUnreadableQueueIsLoggedAndReplaced) {
    const QString directory = configuration().storageDirectory;
    ASSERT_TRUE(QDir().mkpath(directory));
    QFile broken(directory + QStringLiteral("/queue.json"));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("{\"events\": [ not json");
    broken.close();

    LogCapture log;
    auto client = makeClient(configuration());
    EXPECT_EQ(log.lines().size(), 1u);
    client->track(QStringLiteral("A"));
    client->flush();
    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("A")}));
}

TEST_F(AnalyticsPersistenceTest, TheStorageDirectoryIsPrivateToTheUser) {
    auto client = makeClient(configuration());
    const QFileInfo directory(configuration().storageDirectory);
    ASSERT_TRUE(directory.isDir());
    EXPECT_EQ(directory.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                         QFile::ReadOther | QFile::WriteOther | QFile::ExeOther),
              QFile::Permissions());
}
