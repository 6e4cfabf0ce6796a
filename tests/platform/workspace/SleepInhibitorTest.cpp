#include "SleepInhibitor.h"

#include "DBusTestEnvironment.h"
#include "FakeLogind.h"
#include "LogCapture.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {
constexpr int waitMilliseconds = 10000;

// A synchronous round trip on the system bus connection: every answer to an earlier call on it has arrived
// and has been handled once this returns.
void settleSystemBus() {
    QDBusConnection::systemBus().interface()->serviceOwner(QStringLiteral("org.freedesktop.DBus"));
    QCoreApplication::sendPostedEvents();
}
} // namespace

// Held while recording, released for the sleep, held again at wake, released when Tempolis quits.
TEST(SleepInhibitor, HoldsADelayLockFromLogindUntilReleased) {
    FakeLogind logind(DBusTestEnvironment::instance()->systemBus().address());
    ASSERT_TRUE(logind.isRegistered());
    auto inhibitor = std::make_unique<SleepInhibitor>();
    for (const bool quitting : {false, true}) {
        inhibitor->acquire();
        EXPECT_FALSE(inhibitor->isHeld()) << "the answer is not waited for";
        ASSERT_TRUE(QTest::qWaitFor([&] { return inhibitor->isHeld(); }, waitMilliseconds));
        inhibitor->acquire(); // held already: not asked again
        settleSystemBus();
        const auto locks = logind.activeInhibitors();
        ASSERT_EQ(locks.size(), 1);
        EXPECT_EQ(locks[0].what + " " + locks[0].who + " " + locks[0].mode, "sleep Tempolis delay");
        EXPECT_FALSE(locks[0].why.isEmpty());

        quitting ? inhibitor.reset() : inhibitor->release();
        EXPECT_TRUE(quitting || !inhibitor->isHeld());
        EXPECT_TRUE(QTest::qWaitFor([&] { return logind.activeInhibitors().isEmpty(); }, waitMilliseconds));
    }
    EXPECT_EQ(logind.inhibitCallCount(), 2);
}

TEST(SleepInhibitor, ALockGrantedAfterItsReleaseIsNotKept) {
    FakeLogind logind(DBusTestEnvironment::instance()->systemBus().address());
    ASSERT_TRUE(logind.isRegistered());
    SleepInhibitor inhibitor;
    inhibitor.acquire();
    inhibitor.release();
    // Handed out, and closed by its only holder.
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return logind.inhibitCallCount() == 1 && logind.activeInhibitors().isEmpty(); },
                        waitMilliseconds));
    settleSystemBus();
    EXPECT_FALSE(inhibitor.isHeld());
}

TEST(SleepInhibitor, WithoutLogindLogsOneLineAndAsksNoMore) {
    LogCapture log;
    SleepInhibitor inhibitor;
    inhibitor.acquire();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.lines().empty(); }, waitMilliseconds));
    inhibitor.release();
    inhibitor.acquire();
    settleSystemBus();
    EXPECT_FALSE(inhibitor.isHeld());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("Error: SleepInhibitor: ")) << log.lines()[0];
}
