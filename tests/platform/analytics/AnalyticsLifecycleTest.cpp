#include "AnalyticsTestFixture.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QMetaObject>

class AnalyticsLifecycleTest : public AnalyticsTestFixture {
protected:
    AnalyticsConfiguration lifecycleConfiguration(const QString& version, const QString& build) const {
        auto configured = configuration();
        configured.trackApplicationLifecycleEvents = true;
        configured.applicationVersion = version;
        configured.applicationBuild = build;
        return configured;
    }

    // Starts a client, uploads what it recorded at start and ends it; returns the uploaded batch.
    LoopbackHttpServer::Request runOnce(const AnalyticsConfiguration& configured) {
        auto client = makeClient(configured);
        client->flush();
        auto request = nextRequest();
        EXPECT_EQ(waitForUploadResult(*client), Analytics::UploadResult::Delivered);
        return request;
    }

    static QJsonObject propertiesOf(const LoopbackHttpServer::Request& request, int index) {
        return batchOf(request)[index].toObject().value(QStringLiteral("properties")).toObject();
    }
};

TEST_F(AnalyticsLifecycleTest, TheFirstRunReportsInstalledThenOpened) {
    const auto request = runOnce(lifecycleConfiguration(QStringLiteral("1.2"), QStringLiteral("42")));

    EXPECT_EQ(eventNamesOf(request),
              QStringList({QStringLiteral("Application Installed"), QStringLiteral("Application Opened")}));
    const QJsonObject versionAndBuild{{QStringLiteral("version"), QStringLiteral("1.2")},
                                      {QStringLiteral("build"), QStringLiteral("42")}};
    EXPECT_EQ(propertiesOf(request, 0), versionAndBuild);
    EXPECT_EQ(propertiesOf(request, 1), versionAndBuild);
}

TEST_F(AnalyticsLifecycleTest, ALaterRunOfTheSameVersionReportsOpenedOnly) {
    runOnce(lifecycleConfiguration(QStringLiteral("1.2"), QStringLiteral("42")));
    const auto request = runOnce(lifecycleConfiguration(QStringLiteral("1.2"), QStringLiteral("42")));

    EXPECT_EQ(eventNamesOf(request), QStringList({QStringLiteral("Application Opened")}));
}

TEST_F(AnalyticsLifecycleTest, ANewVersionReportsUpdatedWithThePreviousVersion) {
    runOnce(lifecycleConfiguration(QStringLiteral("1.2"), QStringLiteral("42")));
    const auto request = runOnce(lifecycleConfiguration(QStringLiteral("1.3"), QStringLiteral("50")));

    EXPECT_EQ(eventNamesOf(request),
              QStringList({QStringLiteral("Application Updated"), QStringLiteral("Application Opened")}));
    EXPECT_EQ(propertiesOf(request, 0),
              QJsonObject({{QStringLiteral("previous_version"), QStringLiteral("1.2")},
                           {QStringLiteral("previous_build"), QStringLiteral("42")},
                           {QStringLiteral("version"), QStringLiteral("1.3")},
                           {QStringLiteral("build"), QStringLiteral("50")}}));

    const auto third = runOnce(lifecycleConfiguration(QStringLiteral("1.3"), QStringLiteral("50")));
    EXPECT_EQ(eventNamesOf(third), QStringList({QStringLiteral("Application Opened")}));
}

TEST_F(AnalyticsLifecycleTest, NoLifecycleEventsWhenTurnedOffYetTheVersionIsRemembered) {
    auto configured = configuration();
    configured.trackApplicationLifecycleEvents = false;
    {
        auto client = makeClient(configured);
        client->track(QStringLiteral("A"));
        client->flush();
        EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("A")}));
        ASSERT_EQ(waitForUploadResult(*client), Analytics::UploadResult::Delivered);
    }
    // Turning them on later is not mistaken for a new install.
    const auto request = runOnce(lifecycleConfiguration(QStringLiteral("1.2"), QStringLiteral("42")));
    EXPECT_EQ(eventNamesOf(request), QStringList({QStringLiteral("Application Opened")}));
}

TEST_F(AnalyticsLifecycleTest, QuittingRecordsTerminatedOnDiskWithoutUploading) {
    runOnce(lifecycleConfiguration(QStringLiteral("1.2"), QStringLiteral("42")));
    auto configured = lifecycleConfiguration(QStringLiteral("1.2"), QStringLiteral("42"));
    configured.flushAt = 1;
    // With flushAt 1 every event would go out at once, so an upload at quit would show.
    auto client = makeClient(configured);
    client->track(QStringLiteral("A"));
    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("Application Opened")}));
    ASSERT_EQ(waitForUploadResult(*client), Analytics::UploadResult::Delivered);
    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("A")}));
    ASSERT_EQ(waitForUploadResult(*client), Analytics::UploadResult::Delivered);

    ASSERT_TRUE(QMetaObject::invokeMethod(QCoreApplication::instance(), "aboutToQuit", Qt::DirectConnection));
    // Saved by the time quitting goes on, without the event loop running again.
    const QString afterQuit = storage.path() + QStringLiteral("/after-quit");
    copyDirectory(configured.storageDirectory, afterQuit);
    EXPECT_FALSE(server.waitForRequest(silenceWindow)) << "uploaded while quitting";

    auto next = configuration();
    next.storageDirectory = afterQuit;
    auto nextClient = makeClient(next);
    nextClient->flush();
    EXPECT_EQ(eventNamesOf(nextRequest()), QStringList({QStringLiteral("Application Terminated")}));
}
