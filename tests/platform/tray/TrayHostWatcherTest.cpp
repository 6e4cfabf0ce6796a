#include "TrayHostWatcher.h"
#include "StatusNotifierItem.h"

#include "DBusTestEnvironment.h"
#include "FakeStatusNotifierWatcher.h"
#include "LogCapture.h"

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {
// The application shows its own status item within 2 s of the tray going; the news must be quicker.
constexpr int promptMilliseconds = 1000;
constexpr int waitMilliseconds = 5000;
// Long enough for a second registration, were one on its way, to arrive.
constexpr int settleMilliseconds = 300;

QString busAddress() {
    return DBusTestEnvironment::instance()->sessionBus().address();
}

QList<bool> changes(const QSignalSpy& spy) {
    QList<bool> values;
    for (const QList<QVariant>& signal : spy)
        values.append(signal.at(0).toBool());
    return values;
}
} // namespace

class TrayHostWatcherTest : public ::testing::Test {
protected:
    std::unique_ptr<StatusNotifierItem> item =
        std::make_unique<StatusNotifierItem>(QStringLiteral("tempolis-test"), QStringLiteral("Tempolis"));

    QString registeredName() const { return item->serviceName() + QStringLiteral("/StatusNotifierItem"); }
};

TEST_F(TrayHostWatcherTest, RegistersOnceWithTheTrayThatIsThere) {
    FakeStatusNotifierWatcher tray(busAddress());
    ASSERT_TRUE(tray.isRunning());
    TrayHostWatcher watcher(item.get());
    QSignalSpy availability(&watcher, &TrayHostWatcher::hostAvailableChanged);

    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.isHostAvailable(); }, waitMilliseconds));
    QTest::qWait(settleMilliseconds);
    EXPECT_EQ(tray.registrationCalls(), QStringList{item->serviceName()});
    EXPECT_EQ(tray.RegisteredStatusNotifierItems(), QStringList{registeredName()});
    EXPECT_EQ(watcher.registeredWith(), tray.uniqueName());
    EXPECT_EQ(changes(availability), QList<bool>{true});
}

TEST_F(TrayHostWatcherTest, AProgramStartedBeforeThePanelMovesIntoTheTrayWhenItComes) {
    TrayHostWatcher watcher(item.get());
    QSignalSpy availability(&watcher, &TrayHostWatcher::hostAvailableChanged);
    QTest::qWait(settleMilliseconds);
    EXPECT_FALSE(watcher.isHostAvailable());

    FakeStatusNotifierWatcher tray(busAddress());
    ASSERT_TRUE(tray.isRunning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.isHostAvailable(); }, waitMilliseconds));
    EXPECT_EQ(tray.registrationCalls(), QStringList{item->serviceName()});
    EXPECT_EQ(changes(availability), QList<bool>{true});
}

TEST_F(TrayHostWatcherTest, FollowsThePanelAwayAndBack) {
    FakeStatusNotifierWatcher tray(busAddress());
    TrayHostWatcher watcher(item.get());
    QSignalSpy availability(&watcher, &TrayHostWatcher::hostAvailableChanged);
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.isHostAvailable(); }, waitMilliseconds));

    for (int restart = 1; restart <= 2; ++restart) {
        SCOPED_TRACE(restart);
        tray.stop();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !watcher.isHostAvailable(); }, promptMilliseconds));
        EXPECT_TRUE(watcher.registeredWith().isEmpty());

        // A new registry knows nothing: the item registers again, once.
        ASSERT_TRUE(tray.start());
        ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.isHostAvailable(); }, waitMilliseconds));
        QTest::qWait(settleMilliseconds);
        EXPECT_EQ(tray.registrationCalls(), QStringList{item->serviceName()});
        EXPECT_EQ(tray.RegisteredStatusNotifierItems(), QStringList{registeredName()});
        EXPECT_EQ(watcher.registeredWith(), tray.uniqueName());
    }
    EXPECT_EQ(changes(availability), (QList<bool>{true, false, true, false, true}));
}

TEST_F(TrayHostWatcherTest, ARegistryWithoutAHostShowsNothing) {
    // KDE's kded keeps the registry while plasmashell, the host, is gone.
    FakeStatusNotifierWatcher tray(busAddress(), false);
    TrayHostWatcher watcher(item.get());
    QSignalSpy availability(&watcher, &TrayHostWatcher::hostAvailableChanged);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.registeredWith().isEmpty(); }, waitMilliseconds));
    QTest::qWait(settleMilliseconds);
    EXPECT_FALSE(watcher.isHostAvailable());

    tray.setHostRegistered(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.isHostAvailable(); }, waitMilliseconds));
    tray.setHostRegistered(false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !watcher.isHostAvailable(); }, promptMilliseconds));
    tray.setHostRegistered(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.isHostAvailable(); }, waitMilliseconds));
    // The registry kept the item all along.
    EXPECT_EQ(tray.registrationCalls(), QStringList{item->serviceName()});
    EXPECT_EQ(changes(availability), (QList<bool>{true, false, true}));
}

TEST_F(TrayHostWatcherTest, UnderKdeThePanelIsKnownByItsHostName) {
    // kded keeps the registry, and says a host is there, while plasmashell comes and goes.
    FakeStatusNotifierWatcher tray(busAddress(), true, FakeStatusNotifierWatcher::Kind::Kded);
    ASSERT_TRUE(tray.isRunning());
    TrayHostWatcher watcher(item.get());
    QSignalSpy availability(&watcher, &TrayHostWatcher::hostAvailableChanged);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !watcher.registeredWith().isEmpty(); }, waitMilliseconds));
    QTest::qWait(settleMilliseconds);
    EXPECT_FALSE(watcher.isHostAvailable());

    for (int start = 1; start <= 2; ++start) {
        SCOPED_TRACE(start);
        const QString panelConnection = QStringLiteral("panel-%1").arg(start);
        {
            // The connection ends with the last handle on it, as the panel's process ends.
            QDBusConnection panel = QDBusConnection::connectToBus(busAddress(), panelConnection);
            ASSERT_TRUE(
                panel.registerService(QStringLiteral("org.kde.StatusNotifierHost-%1").arg(4000 + start)));
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.isHostAvailable(); }, waitMilliseconds));

        QDBusConnection::disconnectFromBus(panelConnection);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !watcher.isHostAvailable(); }, promptMilliseconds));
    }
    // The registry kept the item all along.
    EXPECT_EQ(tray.registrationCalls(), QStringList{item->serviceName()});
    EXPECT_EQ(changes(availability), (QList<bool>{true, false, true, false}));
}

TEST_F(TrayHostWatcherTest, ARefusedRegistrationIsLoggedAndTheNextRegistryIsTried) {
    LogCapture log;
    FakeStatusNotifierWatcher tray(busAddress());
    tray.setRefusesRegistrations(true);
    TrayHostWatcher watcher(item.get());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.lines().empty(); }, waitMilliseconds));
    EXPECT_EQ(log.lines().front(), "Error: TrayHostWatcher: The tray did not take the icon "
                                   "(org.freedesktop.DBus.Error.Failed: Refused for the test)");
    EXPECT_FALSE(watcher.isHostAvailable());
    EXPECT_TRUE(watcher.registeredWith().isEmpty());

    tray.stop();
    tray.setRefusesRegistrations(false);
    ASSERT_TRUE(tray.start());
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.isHostAvailable(); }, waitMilliseconds));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(TrayHostWatcherTest, TheIconLeavesTheTrayWithTheItem) {
    FakeStatusNotifierWatcher tray(busAddress());
    {
        TrayHostWatcher watcher(item.get());
        ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.isHostAvailable(); }, waitMilliseconds));
    }
    EXPECT_EQ(tray.RegisteredStatusNotifierItems(), QStringList{registeredName()});
    item.reset();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return tray.RegisteredStatusNotifierItems().isEmpty(); }, waitMilliseconds));
}
