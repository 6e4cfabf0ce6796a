#include "UserNotificationCenter.h"
#include "UserNotificationCenterDelegate.h"

#include "DBusNotificationServer.h"
#include "LogCapture.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {
constexpr int waitMilliseconds = 10000;
const std::string repeatedCompletion =
    "Error: UserNotificationCenter: Completion handler called more than once";

class RecordingDelegate : public UserNotificationCenterDelegate {
public:
    QList<QVariantMap> userInfos;
    QList<std::function<void()>> completionHandlers;

    void didReceiveResponse(const QVariantMap& userInfo, std::function<void()> completionHandler) override {
        userInfos.append(userInfo);
        completionHandlers.append(std::move(completionHandler));
    }
};

QDateTime past() {
    return QDateTime::currentDateTimeUtc().addSecs(-1);
}
} // namespace

class UserNotificationCenterTest : public ::testing::Test {
protected:
    std::unique_ptr<DBusNotificationServer> server;
    UserNotificationCenter center;
    RecordingDelegate delegate;

    void SetUp() override {
        server = std::make_unique<DBusNotificationServer>();
        ASSERT_TRUE(server->isRunning()) << server->errorString().toStdString();
        center.setDelegate(&delegate);
    }
    bool waitUntilShown(int count) {
        return QTest::qWaitFor(
            [&] { return center.notificationCount() == count && server->displayedCount() == count; },
            waitMilliseconds);
    }
};

TEST_F(UserNotificationCenterTest, AClickHandsTheNotificationsUserInfoToTheDelegate) {
    const QVariantMap first{{"thirdDayNotif", false}, {"n", 1}};
    const QVariantMap second{{"thirdDayNotif", true}};
    center.schedule("Update successful", "Thank you for sticking with us!", first, past());
    ASSERT_TRUE(waitUntilShown(1));
    center.schedule("Tempolis", "Have a look", second, past());
    ASSERT_TRUE(waitUntilShown(2));

    // The first one is on top.
    ASSERT_TRUE(server->invokeTopDefaultAction());
    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.userInfos.size() == 1; }, waitMilliseconds));
    EXPECT_EQ(delegate.userInfos[0], first);

    // Completing withdraws the answered notification, and only that one.
    delegate.completionHandlers[0]();
    ASSERT_TRUE(waitUntilShown(1));

    ASSERT_TRUE(server->invokeTopDefaultAction());
    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.userInfos.size() == 2; }, waitMilliseconds));
    EXPECT_EQ(delegate.userInfos[1], second);
    delegate.completionHandlers[1]();
    EXPECT_TRUE(waitUntilShown(0));
}

TEST_F(UserNotificationCenterTest, TheCompletionHandlerActsOnce) {
    LogCapture log;
    center.schedule("One", "", {{"id", 1}}, past());
    ASSERT_TRUE(waitUntilShown(1));
    center.schedule("Two", "", {{"id", 2}}, past());
    ASSERT_TRUE(waitUntilShown(2));
    ASSERT_TRUE(server->invokeTopDefaultAction());
    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.completionHandlers.size() == 1; }, waitMilliseconds));
    EXPECT_EQ(delegate.userInfos[0], (QVariantMap{{"id", 1}}));

    delegate.completionHandlers[0]();
    ASSERT_TRUE(waitUntilShown(1));
    // A second call is a fault of the delegate: logged, and it withdraws nothing else.
    delegate.completionHandlers[0]();
    EXPECT_EQ(log.count(repeatedCompletion), 1);
    QTest::qWait(200);
    EXPECT_EQ(center.notificationCount(), 1);
    EXPECT_EQ(server->displayedCount(), 1);
}

// The center was made before the server started (as when the first Notify activates it); clicks are taken
// from the server that showed the notification, and from no one else on the bus.
TEST_F(UserNotificationCenterTest, OnlyTheServerThatShowedANotificationAnswersForIt) {
    center.schedule("Shown", "", {{"n", 1}}, past());
    ASSERT_TRUE(waitUntilShown(1));
    QDBusConnection forger = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "forger");
    ASSERT_TRUE(forger.isConnected());
    // Whatever number the server gave it: the forger tries the first few.
    for (uint id = 1; id <= 5; ++id) {
        for (const char* member : {"ActionInvoked", "NotificationClosed"}) {
            QDBusMessage forged = QDBusMessage::createTargetedSignal(
                QDBusConnection::sessionBus().baseService(), "/org/freedesktop/Notifications",
                "org.freedesktop.Notifications", member);
            forged << id;
            if (member == std::string("ActionInvoked"))
                forged << QStringLiteral("default");
            else
                forged << uint(2); // dismissed
            ASSERT_TRUE(forger.send(forged));
        }
    }
    QTest::qWait(300);
    EXPECT_TRUE(delegate.userInfos.isEmpty());
    EXPECT_EQ(center.notificationCount(), 1);

    ASSERT_TRUE(server->invokeTopDefaultAction());
    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.userInfos.size() == 1; }, waitMilliseconds));
    EXPECT_EQ(delegate.userInfos[0], (QVariantMap{{"n", 1}}));
    QDBusConnection::disconnectFromBus("forger");
}

TEST_F(UserNotificationCenterTest, ANotificationIsShownAtItsDeliveryDate) {
    const QDateTime deliveryDate = QDateTime::currentDateTimeUtc().addMSecs(1500);
    center.schedule("Later", "", {{"thirdDayNotif", true}}, deliveryDate);
    EXPECT_EQ(server->displayedCount(), 0);
    ASSERT_TRUE(waitUntilShown(1));
    EXPECT_GE(QDateTime::currentDateTimeUtc(), deliveryDate);

    ASSERT_TRUE(server->invokeTopDefaultAction());
    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.userInfos.size() == 1; }, waitMilliseconds));
    EXPECT_EQ(delegate.userInfos[0], (QVariantMap{{"thirdDayNotif", true}}));
}

TEST(UserNotificationCenterWithoutServer, LogsOnceAndShowsNothing) {
    // The private bus activates nothing, so nobody owns org.freedesktop.Notifications.
    LogCapture log;
    UserNotificationCenter center;
    center.schedule("One", "", {}, QDateTime());
    center.schedule("Two", "", {}, QDateTime());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.lines().empty(); }, waitMilliseconds));
    QTest::qWait(300);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Error: UserNotificationCenter: Cannot show a notification", 0), 0u) << lines[0];
    EXPECT_EQ(center.notificationCount(), 0);
}
