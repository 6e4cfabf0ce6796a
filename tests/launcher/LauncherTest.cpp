#include "DBusTestEnvironment.h"
#include "DistributedNotificationCenter.h"
#include "TestFiles.h"
#include "Workspace.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {
constexpr int waitMilliseconds = 10000;
// How long a launcher that must NOT react is given to (wrongly) do so.
constexpr int reactionMilliseconds = 500;
const QString killName = "TempolisKillLauncherNotification";
const QString launchFailure = "TempolisLauncher: Error launching Tempolis. ";
// Another program on the session bus that runs as Tempolis (owns its identifier).
class RunningTempolis {
public:
    RunningTempolis() {
        QDBusConnection connection = QDBusConnection::connectToBus(
            DBusTestEnvironment::instance()->sessionBus().address(), connectionName);
        registered_ = connection.isConnected() && connection.registerService("com.Orvane.Tempolis");
    }
    ~RunningTempolis() { QDBusConnection::disconnectFromBus(connectionName); }
    bool isRegistered() const { return registered_; }

private:
    static constexpr auto connectionName = "running-tempolis";
    bool registered_ = false;
};
} // namespace

class LauncherTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
    DistributedNotificationCenter center;
    std::vector<std::unique_ptr<QProcess>> launchers;

    QString startsPath() const { return folder.filePath("tempolis-starts"); }

    // <parent>/Tempolis.app with a stand-in Tempolis (a script that records how it was started, and posts the
    // quit notification like the real one when `postsQuit`), and the real Launcher inside it. Returns the
    // launcher's bundle.
    QString makeMainBundle(const QString& parent, bool postsQuit = false) {
        const QString bundle = parent + "/Tempolis.app";
        TestFiles::write(
            bundle + "/Contents/Info.json",
            R"({"CFBundleIdentifier": "com.Orvane.Tempolis", "CFBundleExecutable": "Tempolis"})");
        QByteArray script = "#!/bin/sh\necho \"$0\" >> '" + startsPath().toUtf8() + "'\n";
        if (postsQuit)
            script += "exec dbus-send --session --type=signal /com/Orvane/DistributedNotifications "
                      "com.Orvane.DistributedNotifications.Posted string:" +
                      killName.toUtf8() + " string:com.Orvane.Tempolis\n";
        TestFiles::write(bundle + "/Contents/bin/Tempolis", script, TestFiles::executablePermissions);
        const QString launcherBundle = bundle + "/Contents/Library/LoginItems/Launcher.app";
        installLauncher(launcherBundle);
        return launcherBundle;
    }
    // The launcher as the build makes it: its Info.json and executable.
    void installLauncher(const QString& launcherBundle) {
        QDir().mkpath(launcherBundle + "/Contents/bin");
        ASSERT_TRUE(QFile::copy(LAUNCHER_INFO_PATH, launcherBundle + "/Contents/Info.json"));
        ASSERT_TRUE(QFile::copy(LAUNCHER_EXECUTABLE_PATH, launcherBundle + "/Contents/bin/Launcher"));
    }

    QProcess& startLauncher(const QString& launcherBundle, const QProcessEnvironment& environment = {}) {
        auto& launcher = launchers.emplace_back(std::make_unique<QProcess>());
        if (!environment.isEmpty())
            launcher->setProcessEnvironment(environment);
        launcher->start(launcherBundle + "/Contents/bin/Launcher", {});
        EXPECT_TRUE(launcher->waitForStarted(waitMilliseconds));
        return *launcher;
    }
    QStringList starts() const {
        QFile file(startsPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    bool waitForStarts(int count) {
        return QTest::qWaitFor([&] { return starts().size() >= count; }, waitMilliseconds);
    }
    static bool waitForExit(QProcess& launcher) {
        return QTest::qWaitFor([&] { return launcher.state() == QProcess::NotRunning; }, waitMilliseconds);
    }
    static QStringList errorLines(QProcess& launcher) {
        return QString::fromUtf8(launcher.readAllStandardError())
            .split('\n', Qt::SkipEmptyParts)
            .filter(QRegularExpression("^(Error: |TempolisLauncher: )"));
    }
    void TearDown() override {
        for (auto& launcher : launchers) {
            launcher->kill();
            launcher->waitForFinished(waitMilliseconds);
        }
    }
};

TEST_F(LauncherTest, QuitsWithoutLaunchingWhenTempolisAlreadyRuns) {
    RunningTempolis tempolis;
    ASSERT_TRUE(tempolis.isRegistered());
    QProcess& launcher = startLauncher(makeMainBundle(folder.path()));

    ASSERT_TRUE(waitForExit(launcher));
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);
    EXPECT_TRUE(starts().isEmpty());
    EXPECT_TRUE(errorLines(launcher).isEmpty()) << errorLines(launcher).join('\n').toStdString();
}

TEST_F(LauncherTest, LaunchesTheBundleFourComponentsUpAndQuitsOnlyOnTempolisNotification) {
    const QString applications = folder.filePath("Applications");
    QProcess& launcher = startLauncher(makeMainBundle(applications));

    ASSERT_TRUE(waitForStarts(1));
    EXPECT_EQ(starts(), QStringList{applications + "/Tempolis.app/Contents/bin/Tempolis"});

    // The same name with another object, and another name with Tempolis's object, leave it running.
    center.post(killName, "com.Orvane.Other");
    center.post(killName, "com.Orvane.Tempolis.Launcher");
    center.post("TempolisOtherNotification", "com.Orvane.Tempolis");
    QTest::qWait(reactionMilliseconds);
    EXPECT_EQ(launcher.state(), QProcess::Running);

    center.post(killName, "com.Orvane.Tempolis");
    ASSERT_TRUE(waitForExit(launcher));
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);
    EXPECT_EQ(starts().size(), 1);
    EXPECT_TRUE(errorLines(launcher).isEmpty()) << errorLines(launcher).join('\n').toStdString();
}

TEST_F(LauncherTest, ObservesBeforeLaunchingSoTempolisCanStopItAtOnce) {
    QProcess& launcher = startLauncher(makeMainBundle(folder.path(), /*postsQuit=*/true));
    ASSERT_TRUE(waitForStarts(1));
    ASSERT_TRUE(waitForExit(launcher));
    EXPECT_EQ(launcher.exitCode(), 0);
}

TEST_F(LauncherTest, TwoRunningLaunchersCountAsTwo) {
    const QString launcherBundle = makeMainBundle(folder.path());
    QProcess& first = startLauncher(launcherBundle);
    QProcess& second = startLauncher(launcherBundle);
    ASSERT_TRUE(waitForStarts(2));

    Workspace workspace;
    const auto running = workspace.runningApplications("com.Orvane.Tempolis.Launcher");
    QList<qint64> pids;
    for (const RunningApplication& application : running)
        pids.append(application.processIdentifier);
    std::sort(pids.begin(), pids.end());
    QList<qint64> expected{first.processId(), second.processId()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(pids, expected);

    // One notification ends both.
    center.post(killName, "com.Orvane.Tempolis");
    EXPECT_TRUE(waitForExit(first));
    EXPECT_TRUE(waitForExit(second));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return workspace.runningApplications("com.Orvane.Tempolis.Launcher").isEmpty(); },
        waitMilliseconds));
}

TEST_F(LauncherTest, ALauncherPlacedElsewhereLogsTheFailureAndQuits) {
    // Four components up from here is <folder>/a, which holds no application.
    const QString launcherBundle = folder.filePath("a/b/c/d/Launcher.app");
    installLauncher(launcherBundle);
    QProcess& launcher = startLauncher(launcherBundle);

    ASSERT_TRUE(waitForExit(launcher));
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);
    EXPECT_EQ(
        errorLines(launcher),
        QStringList{launchFailure + "The application cannot be opened because its executable is missing."});
    EXPECT_TRUE(starts().isEmpty());
}

TEST_F(LauncherTest, WithoutASessionBusItLaunchesTempolisAndQuits) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session");
    // The launcher has no use for the system bus: its absence is not worth a line.
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system");
    QProcess& launcher = startLauncher(makeMainBundle(folder.path()), environment);

    ASSERT_TRUE(waitForExit(launcher));
    EXPECT_EQ(launcher.exitCode(), 0);
    EXPECT_EQ(starts().size(), 1);
    // Nothing could tell it to quit later. One line per adapter that needed the bus.
    const QStringList errors = errorLines(launcher);
    ASSERT_EQ(errors.size(), 2) << errors.join('\n').toStdString();
    EXPECT_TRUE(errors[0].startsWith("Error: Workspace: No session bus")) << errors[0].toStdString();
    EXPECT_TRUE(errors[1].startsWith("Error: DistributedNotificationCenter: No session bus"))
        << errors[1].toStdString();
}
