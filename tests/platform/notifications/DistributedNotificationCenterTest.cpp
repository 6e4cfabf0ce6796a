#include "DistributedNotificationCenter.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

#include <memory>

namespace {
constexpr int waitMilliseconds = 10000;
const QString killName = "TempolisKillLauncherNotification";
const QString barrierName = "TestBarrier";

using Notification = std::pair<QString, QString>;

// Collects what one observer receives.
struct Received {
    QList<Notification> notifications;
    DistributedNotificationCenter::Callback callback() {
        return [this](const QString& name, const QString& object) { notifications.append({name, object}); };
    }
};

int postFromAnotherProcess(const QStringList& namesAndObjects) {
    return QProcess::execute(NOTIFICATIONS_PROBE_PATH, QStringList{"post"} + namesAndObjects);
}
} // namespace

class DistributedNotificationCenterTest : public ::testing::Test {
protected:
    DistributedNotificationCenter center;
    QObject receiver;
    Received barrier;

    void SetUp() override {
        ASSERT_NE(center.addObserver(barrierName, "end", &receiver, barrier.callback()), 0u);
    }
    // Notifications from one sender arrive in order: once the barrier is here, everything posted before it
    // is.
    void waitForBarrier(int count = 1) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return barrier.notifications.size() >= count; }, waitMilliseconds));
    }
};

TEST_F(DistributedNotificationCenterTest, CrossesProcessesAndHoldsTheObjectFilter) {
    Received tempolis, other, otherName;
    center.addObserver(killName, "com.Orvane.Tempolis", &receiver, tempolis.callback());
    center.addObserver(killName, "com.Orvane.Other", &receiver, other.callback());
    center.addObserver("OtherNotification", "com.Orvane.Tempolis", &receiver, otherName.callback());

    ASSERT_EQ(postFromAnotherProcess({killName, "com.Orvane.Other",               //
                                      "OtherNotification", "com.Orvane.Tempolis", //
                                      killName, "com.Orvane.Tempolis.Launcher",   //
                                      killName, "",                               //
                                      killName.toLower(), "com.Orvane.Tempolis",  //
                                      killName, "com.Orvane.Tempolis",            //
                                      barrierName, "end"}),
              0);
    waitForBarrier();

    EXPECT_EQ(tempolis.notifications, (QList<Notification>{{killName, "com.Orvane.Tempolis"}}));
    EXPECT_EQ(other.notifications, (QList<Notification>{{killName, "com.Orvane.Other"}}));
    EXPECT_EQ(otherName.notifications, (QList<Notification>{{"OtherNotification", "com.Orvane.Tempolis"}}));
}

TEST_F(DistributedNotificationCenterTest, ReceivesTheDocumentedSignalFromAnyProgram) {
    Received tempolis;
    center.addObserver(killName, "com.Orvane.Tempolis", &receiver, tempolis.callback());
    // Right after observing, as the launcher does before it starts Tempolis.
    ASSERT_EQ(
        QProcess::execute("dbus-send", {"--session", "--type=signal", "/com/Orvane/DistributedNotifications",
                                        "com.Orvane.DistributedNotifications.Posted", "string:" + killName,
                                        "string:com.Orvane.Tempolis"}),
        0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return tempolis.notifications.size() == 1; }, waitMilliseconds));
}

TEST_F(DistributedNotificationCenterTest, PostsReachTheProcessItselfOnTheMainThread) {
    Received tempolis;
    QThread* callbackThread = nullptr;
    center.addObserver(killName, "com.Orvane.Tempolis", &receiver,
                       [&](const QString& name, const QString& object) {
                           callbackThread = QThread::currentThread();
                           tempolis.notifications.append({name, object});
                       });
    // A second centre of the same process posts, as Tempolis and its observers would.
    DistributedNotificationCenter poster;
    poster.post(killName, "com.Orvane.Tempolis");
    poster.post(barrierName, "end");
    waitForBarrier();
    EXPECT_EQ(tempolis.notifications, (QList<Notification>{{killName, "com.Orvane.Tempolis"}}));
    EXPECT_EQ(callbackThread, QCoreApplication::instance()->thread());
}

TEST_F(DistributedNotificationCenterTest, RemovedObserversAndDestroyedReceiversGetNothing) {
    Received removed, ofDestroyed, ofRemovedReceiver, kept;
    const auto token = center.addObserver(killName, "com.Orvane.Tempolis", &receiver, removed.callback());
    auto shortLived = std::make_unique<QObject>();
    center.addObserver(killName, "com.Orvane.Tempolis", shortLived.get(), ofDestroyed.callback());
    QObject removedReceiver;
    center.addObserver(killName, "com.Orvane.Tempolis", &removedReceiver, ofRemovedReceiver.callback());
    center.addObserver(killName, "com.Orvane.Tempolis", nullptr, kept.callback());

    center.removeObserver(token);
    shortLived.reset();
    center.removeObservers(&removedReceiver);
    ASSERT_EQ(postFromAnotherProcess({killName, "com.Orvane.Tempolis", barrierName, "end"}), 0);
    waitForBarrier();

    EXPECT_TRUE(removed.notifications.isEmpty());
    EXPECT_TRUE(ofDestroyed.notifications.isEmpty());
    EXPECT_TRUE(ofRemovedReceiver.notifications.isEmpty());
    EXPECT_EQ(kept.notifications.size(), 1);
}

TEST_F(DistributedNotificationCenterTest, ACallbackCanRemoveObserversDuringDelivery) {
    Received second;
    DistributedNotificationCenter::ObserverToken first = 0, secondToken = 0;
    int firstCalls = 0;
    first =
        center.addObserver(killName, "com.Orvane.Tempolis", &receiver, [&](const QString&, const QString&) {
            ++firstCalls;
            center.removeObserver(first);
            center.removeObserver(secondToken);
        });
    secondToken = center.addObserver(killName, "com.Orvane.Tempolis", &receiver, second.callback());

    ASSERT_EQ(postFromAnotherProcess(
                  {killName, "com.Orvane.Tempolis", killName, "com.Orvane.Tempolis", barrierName, "end"}),
              0);
    waitForBarrier();
    EXPECT_EQ(firstCalls, 1);
    EXPECT_TRUE(second.notifications.isEmpty());
}

TEST(DistributedNotificationCenterWithoutBus, LogsOneLineAndGoesOn) {
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session");
    probe.setProcessEnvironment(environment);
    probe.start(NOTIFICATIONS_PROBE_PATH, {"nobus"});
    ASSERT_TRUE(probe.waitForFinished(waitMilliseconds));
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0);
    // No observer can be made, nothing is shown.
    EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(), "observer=0 notifications=0");

    const QStringList errors = QString::fromUtf8(probe.readAllStandardError())
                                   .split('\n', Qt::SkipEmptyParts)
                                   .filter(QRegularExpression("^Error: "));
    ASSERT_EQ(errors.size(), 2) << errors.join('\n').toStdString();
    EXPECT_TRUE(errors[0].startsWith("Error: DistributedNotificationCenter: No session bus"))
        << errors[0].toStdString();
    EXPECT_TRUE(errors[1].startsWith("Error: UserNotificationCenter: No session bus"))
        << errors[1].toStdString();
}
