#include "AnalyticsTestFixture.h"

#include "LogCapture.h"

#include <QJsonObject>
#include <QSet>

using UploadResult = Analytics::UploadResult;

namespace {
int analyticsErrorLineCount(const LogCapture& log) {
    int count = 0;
    for (const std::string& line : log.lines()) {
        count += line.starts_with("Error: Analytics: ") ? 1 : 0;
    }
    return count;
}
} // namespace

class AnalyticsUploadTest : public AnalyticsTestFixture {};

TEST_F(AnalyticsUploadTest, ReachingFlushAtPostsExactlyTheTrackedEventsInOrderWithBasicAuth) {
    auto client = makeClient(configuration(3));
    client->track(QStringLiteral("Recording Started"), {{QStringLiteral("seconds"), 30}});
    client->track(QStringLiteral("Clip Saved"), {{QStringLiteral("durationSeconds"), 12.5}});
    EXPECT_FALSE(server.waitForRequest(silenceWindow)) << "uploaded before flushAt events waited";

    client->track(QStringLiteral("Settings Opened"));
    const auto request = nextRequest();

    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/batch");
    EXPECT_EQ(request.header("Authorization"), "Basic " + QByteArray("test-write-key:").toBase64());
    EXPECT_TRUE(request.header("Content-Type").startsWith("application/json"));
    EXPECT_EQ(eventNamesOf(request),
              QStringList({QStringLiteral("Recording Started"), QStringLiteral("Clip Saved"),
                           QStringLiteral("Settings Opened")}));
    const QJsonArray batch = batchOf(request);
    ASSERT_EQ(batch.size(), 3);
    EXPECT_EQ(batch[0].toObject().value(QStringLiteral("properties")).toObject(),
              QJsonObject({{QStringLiteral("seconds"), 30}}));
    EXPECT_EQ(batch[1].toObject().value(QStringLiteral("properties")).toObject(),
              QJsonObject({{QStringLiteral("durationSeconds"), 12.5}}));
    EXPECT_EQ(batch[2].toObject().value(QStringLiteral("properties")).toObject(), QJsonObject());
    for (const QJsonValue& event : batch) {
        EXPECT_EQ(event.toObject().value(QStringLiteral("type")).toString(), QStringLiteral("track"));
        EXPECT_EQ(event.toObject().value(QStringLiteral("anonymousId")).toString(), client->anonymousId());
    }
    const QStringList ids = messageIdsOf(request);
    EXPECT_EQ(QSet<QString>(ids.begin(), ids.end()).size(), 3) << "message ids must differ";

    EXPECT_EQ(waitForUploadResult(*client), UploadResult::Delivered);
    EXPECT_EQ(client->queuedEventCount(), 0);
    EXPECT_FALSE(server.waitForRequest(silenceWindow)) << "acknowledged events were sent again";
}

TEST_F(AnalyticsUploadTest, TheIntervalUploadsFewerThanFlushAt) {
    auto client = makeClient(configuration(20, 0.1));
    client->track(QStringLiteral("A"));
    client->track(QStringLiteral("B"));

    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("A"), QStringLiteral("B")}));
}

TEST_F(AnalyticsUploadTest, OnlyOneUploadIsInFlight) {
    server.holdResponses();
    auto client = makeClient(configuration(2));
    client->track(QStringLiteral("A"));
    client->track(QStringLiteral("B"));
    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("A"), QStringLiteral("B")}));

    client->track(QStringLiteral("C"));
    client->track(QStringLiteral("D"));
    EXPECT_FALSE(server.waitForRequest(silenceWindow)) << "a second upload started while one was in flight";

    server.releaseResponses();
    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("C"), QStringLiteral("D")}));
}

TEST_F(AnalyticsUploadTest, ABacklogGoesOutInBatchesWithoutWaitingForTheInterval) {
    // The first upload stays unanswered while many more events arrive.
    server.holdResponses();
    auto client = makeClient(configuration(20));
    QStringList tracked;
    for (int i = 0; i < 250; ++i) {
        tracked.append(QStringLiteral("Event %1").arg(i));
        client->track(tracked.last());
    }
    QStringList received = eventNamesOf(nextRequest());
    server.releaseResponses();

    int requests = 1;
    while (received.size() < tracked.size() && server.waitForRequest(arrivalTimeout)) {
        const auto request = server.takeRequest();
        EXPECT_LE(batchOf(request).size(), 100) << "a batch must stay small";
        received += eventNamesOf(request);
        ++requests;
    }
    EXPECT_EQ(received, tracked);
    EXPECT_GE(requests, 4);
    EXPECT_EQ(waitForUploadResult(*client), UploadResult::Delivered);
    EXPECT_EQ(client->queuedEventCount(), 0);
}

// Uploads that fail for a reason that may pass keep their events for a later interval.
class AnalyticsRetryTest : public AnalyticsTestFixture, public ::testing::WithParamInterface<int> {};

TEST_P(AnalyticsRetryTest, EventsOfAFailedUploadAreSentLaterOnceWithTheSameIds) {
    server.enqueueStatuses({GetParam()});
    auto client = makeClient(configuration(2, 0.2));
    client->track(QStringLiteral("A"));
    client->track(QStringLiteral("B"));

    const auto failed = nextRequest();
    EXPECT_EQ(waitForUploadResult(*client), UploadResult::Failed);
    EXPECT_EQ(client->queuedEventCount(), 2);

    const auto retried = nextRequest();
    EXPECT_EQ(eventNamesOf(retried), QStringList({QStringLiteral("A"), QStringLiteral("B")}));
    EXPECT_EQ(messageIdsOf(retried), messageIdsOf(failed));
    EXPECT_EQ(waitForUploadResult(*client), UploadResult::Delivered);
    EXPECT_EQ(client->queuedEventCount(), 0);
    EXPECT_FALSE(server.waitForRequest(silenceWindow)) << "delivered events were sent again";
}

TEST_P(AnalyticsRetryTest, AfterAFailureReachingFlushAtWaitsForTheInterval) {
    server.enqueueStatuses({GetParam()});
    auto client = makeClient(configuration(2, 3));
    client->track(QStringLiteral("A"));
    client->track(QStringLiteral("B"));
    nextRequest();
    ASSERT_EQ(waitForUploadResult(*client), UploadResult::Failed);

    // A struggling service is not sent one request per new event.
    client->track(QStringLiteral("C"));
    client->track(QStringLiteral("D"));
    EXPECT_FALSE(server.waitForRequest(silenceWindow)) << "retried before the interval";

    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("A"), QStringLiteral("B"),
                                                        QStringLiteral("C"), QStringLiteral("D")}));
}

INSTANTIATE_TEST_SUITE_P(ServerErrorsAndThrottling, AnalyticsRetryTest, ::testing::Values(500, 503, 429));

TEST_F(AnalyticsUploadTest, EventsWaitWhileTheServiceIsUnreachable) {
    auto configured = configuration(2, 0.1);
    {
        // A port that was just freed: connections are refused.
        LoopbackHttpServer gone;
        configured.endpoint = gone.url(QStringLiteral("/v1/batch"));
    }
    auto client = makeClient(configured);
    client->track(QStringLiteral("A"));
    client->track(QStringLiteral("B"));
    EXPECT_EQ(waitForUploadResult(*client), UploadResult::Failed);
    EXPECT_EQ(waitForUploadResult(*client), UploadResult::Failed) << "no retry at the next interval";
    EXPECT_EQ(client->queuedEventCount(), 2);
    client.reset();

    // The events are still there for a run that reaches the service.
    auto next = makeClient(configuration(20, 0.1));
    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("A"), QStringLiteral("B")}));
}

TEST_F(AnalyticsUploadTest, ARefusedBatchIsDroppedWithOneLogLine) {
    LogCapture log;
    server.enqueueStatuses({400});
    auto client = makeClient(configuration(2, 0.1));
    client->track(QStringLiteral("A"));
    client->track(QStringLiteral("B"));

    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("A"), QStringLiteral("B")}));
    EXPECT_EQ(waitForUploadResult(*client), UploadResult::Refused);
    EXPECT_EQ(client->queuedEventCount(), 0);
    EXPECT_FALSE(server.waitForRequest(silenceWindow)) << "a refused batch was sent again";
    EXPECT_EQ(analyticsErrorLineCount(log), 1);
}

TEST_F(AnalyticsUploadTest, BeyondTheCapTheOldestEventsAreDropped) {
    auto configured = configuration(1000);
    configured.maxQueuedEvents = 5;
    auto client = makeClient(configured);
    for (int i = 0; i < 8; ++i) {
        client->track(QStringLiteral("E%1").arg(i));
    }
    EXPECT_EQ(client->queuedEventCount(), 5);
    client->flush();

    EXPECT_EQ(eventNamesOf(nextRequest()),
              QStringList({QStringLiteral("E3"), QStringLiteral("E4"), QStringLiteral("E5"),
                           QStringLiteral("E6"), QStringLiteral("E7")}));
}

TEST_F(AnalyticsUploadTest, WithoutAWriteKeyNothingIsSentAndOneLineIsLogged) {
    LogCapture log;
    auto configured = configuration(1, 0.05);
    configured.writeKey.clear();
    {
        auto client = makeClient(configured);
        client->track(QStringLiteral("A"));
        client->track(QStringLiteral("B"));
        client->flush();
        EXPECT_FALSE(server.waitForRequest(silenceWindow)) << "uploaded without a write key";
    }
    {
        auto another = makeClient(configured);
        another->track(QStringLiteral("C"));
        EXPECT_FALSE(server.waitForRequest(silenceWindow)) << "uploaded without a write key";
    }
    ASSERT_EQ(analyticsErrorLineCount(log), 1) << "once per process";
    EXPECT_NE(log.lines().front().find("write key"), std::string::npos);

    // The events were kept, so a run with a write key sends them.
    auto withKey = makeClient(configuration(20, 0.1));
    EXPECT_EQ(eventNamesOf(nextRequest()),
              QStringList({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")}));
}
