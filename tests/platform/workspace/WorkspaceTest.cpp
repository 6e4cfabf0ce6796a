#include "Workspace.h"

#include "DBusTestEnvironment.h"
#include "FakeLogind.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {
constexpr int waitMilliseconds = 10000;

void writeFile(const QString& path, const QByteArray& content,
               QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(content);
    file.setPermissions(permissions);
}

constexpr auto executablePermissions =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

// A second process that registers `identifier` and keeps it until stop().
class RegisteringProcess {
public:
    explicit RegisteringProcess(const QString& identifier) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(WORKSPACE_PROBE_PATH, {"register", identifier});
        process_.waitForStarted(waitMilliseconds);
        while (!process_.canReadLine() && process_.waitForReadyRead(waitMilliseconds)) {
        }
        answer_ = QString::fromUtf8(process_.readLine()).trimmed();
    }
    ~RegisteringProcess() { stop(); }

    QString answer() const { return answer_; }
    qint64 pid() const { return pid_ ? pid_ : process_.processId(); }
    void stop() {
        if (process_.state() == QProcess::NotRunning)
            return;
        pid_ = process_.processId();
        process_.closeWriteChannel();
        process_.waitForFinished(waitMilliseconds);
    }

private:
    QProcess process_;
    QString answer_;
    qint64 pid_ = 0;
};

QList<qint64> pidsRunning(const Workspace& workspace, const QString& identifier) {
    QList<qint64> pids;
    for (const RunningApplication& application : workspace.runningApplications(identifier)) {
        EXPECT_EQ(application.bundleIdentifier, identifier);
        EXPECT_TRUE(application.busName.startsWith(':')) << application.busName.toStdString();
        pids.append(application.processIdentifier);
    }
    return pids;
}
} // namespace

TEST(WorkspaceOpenURL, GoesThroughTheInstalledOpener) {
    Workspace workspace;
    QList<QUrl> opened;
    bool answer = false;
    workspace.setURLOpener([&](const QUrl& url) {
        opened.append(url);
        return answer;
    });
    const QUrl page("https://example.org/?ref=LegacyNotif");
    EXPECT_FALSE(workspace.openURL(page));
    answer = true;
    EXPECT_TRUE(workspace.openURL(page));
    EXPECT_EQ(opened, (QList<QUrl>{page, page}));
}

class UrlSink : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

TEST(WorkspaceOpenURL, HandsTheURLToTheDesktopByDefault) {
    // A URL handler registered with QDesktopServices stands in for the user's browser.
    UrlSink sink;
    QDesktopServices::setUrlHandler("tempolis-test", &sink, "open");
    Workspace workspace;
    const QUrl url("tempolis-test://site/?ref=LegacyNotif");
    EXPECT_TRUE(workspace.openURL(url));
    QDesktopServices::unsetUrlHandler("tempolis-test");
    EXPECT_EQ(sink.urls, QList<QUrl>{url});
}

TEST(WorkspaceRunningApplications, CountsEveryProcessThatRegisteredTheIdentifier) {
    Workspace workspace;
    const QString identifier = "com.Orvane.Tempolis.Launcher";
    EXPECT_TRUE(workspace.runningApplications(identifier).isEmpty());

    RegisteringProcess first(identifier);
    RegisteringProcess second(identifier);
    RegisteringProcess other("com.Orvane.Other");
    EXPECT_EQ(first.answer(), "registered");
    EXPECT_EQ(second.answer(), "refused");
    EXPECT_EQ(other.answer(), "registered");

    // The primary owner comes first.
    EXPECT_EQ(pidsRunning(workspace, identifier), (QList<qint64>{first.pid(), second.pid()}));
    // A name is matched exactly, not as a prefix.
    EXPECT_TRUE(workspace.runningApplications("com.Orvane").isEmpty());
    EXPECT_EQ(pidsRunning(workspace, "com.Orvane.Other"), QList<qint64>{other.pid()});

    first.stop();
    EXPECT_TRUE(QTest::qWaitFor([&] { return workspace.runningApplications(identifier).size() == 1; },
                                waitMilliseconds));
    EXPECT_EQ(pidsRunning(workspace, identifier), QList<qint64>{second.pid()});
    second.stop();
    EXPECT_TRUE(QTest::qWaitFor([&] { return workspace.runningApplications(identifier).isEmpty(); },
                                waitMilliseconds));
}

TEST(WorkspaceRunningApplications, RegistrationIsRefusedWhileAnotherProcessHoldsTheIdentifier) {
    Workspace workspace;
    const QString identifier = "com.Orvane.Tempolis";
    RegisteringProcess running(identifier);
    ASSERT_EQ(running.answer(), "registered");

    EXPECT_FALSE(workspace.registerRunningApplication(identifier));
    // The refused process still counts as running, after the first one.
    EXPECT_EQ(pidsRunning(workspace, identifier),
              (QList<qint64>{running.pid(), QCoreApplication::applicationPid()}));

    // Once the holder has gone, this process holds the identifier and refuses the next one.
    running.stop();
    EXPECT_TRUE(QTest::qWaitFor([&] { return workspace.runningApplications(identifier).size() == 1; },
                                waitMilliseconds));
    EXPECT_TRUE(workspace.registerRunningApplication(identifier));
    RegisteringProcess late(identifier);
    EXPECT_EQ(late.answer(), "refused");
}

TEST(WorkspaceRunningApplications, AnInvalidIdentifierIsNeitherRunningNorRegistered) {
    Workspace workspace;
    EXPECT_FALSE(workspace.registerRunningApplication("not a bus name"));
    EXPECT_TRUE(workspace.runningApplications("not a bus name").isEmpty());
    EXPECT_TRUE(workspace.runningApplications("").isEmpty());
}

class WorkspaceLaunch : public ::testing::Test {
protected:
    QTemporaryDir folder;
    QString bundlePath() const { return folder.filePath("Tempolis.app"); }
    QString markerPath() const { return folder.filePath("started"); }

    void writeInfo(const QByteArray& info) { writeFile(bundlePath() + "/Contents/Info.json", info); }
    // A stand-in application: records its arguments and its parent process.
    void writeApplication(QFileDevice::Permissions permissions = executablePermissions) {
        writeFile(bundlePath() + "/Contents/bin/Tempolis",
                  "#!/bin/sh\necho \"args=$# parent=$PPID\" > '" + markerPath().toUtf8() +
                      ".tmp'\n"
                      "mv '" +
                      markerPath().toUtf8() + ".tmp' '" + markerPath().toUtf8() + "'\n",
                  permissions);
    }
    QString launchError(const QString& path) {
        Workspace workspace;
        QString error = "untouched";
        EXPECT_FALSE(workspace.launchApplication(path, &error));
        EXPECT_FALSE(QFile::exists(markerPath()));
        return error;
    }
};

TEST_F(WorkspaceLaunch, StartsTheBundlesExecutableDetached) {
    writeInfo(R"({"CFBundleIdentifier": "com.Orvane.Tempolis", "CFBundleExecutable": "Tempolis"})");
    writeApplication();
    Workspace workspace;
    QString error;
    ASSERT_TRUE(workspace.launchApplication(bundlePath(), &error)) << error.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(markerPath()); }, waitMilliseconds));

    QFile marker(markerPath());
    ASSERT_TRUE(marker.open(QIODevice::ReadOnly));
    const QString record = QString::fromUtf8(marker.readAll()).trimmed();
    EXPECT_TRUE(record.startsWith("args=0 ")) << record.toStdString();
    // Detached: the application is not a child of the process that launched it.
    EXPECT_NE(record, QString("args=0 parent=%1").arg(QCoreApplication::applicationPid()));
}

TEST_F(WorkspaceLaunch, FailsWithASentenceWhenTheBundleCannotBeLaunched) {
    EXPECT_EQ(launchError(folder.filePath("Nowhere.app")),
              "The application cannot be opened because it cannot be found.");

    writeInfo(R"({"CFBundleIdentifier": "com.Orvane.Tempolis", "CFBundleExecutable": "Tempolis"})");
    EXPECT_EQ(launchError(bundlePath()),
              "The application cannot be opened because its executable is missing.");

    writeApplication(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    EXPECT_EQ(launchError(bundlePath()),
              "The application cannot be opened because its executable cannot be run.");

    writeInfo(R"({"CFBundleIdentifier": "com.Orvane.Tempolis"})");
    writeApplication();
    EXPECT_EQ(launchError(bundlePath()),
              "The application cannot be opened because its executable is missing.");
}

TEST(WorkspaceSleepAndWake, FollowLogindsPrepareForSleep) {
    FakeLogind logind(DBusTestEnvironment::instance()->systemBus().address());
    ASSERT_TRUE(logind.isRegistered());
    Workspace workspace;
    QSignalSpy willSleep(&workspace, &Workspace::willSleep);
    QSignalSpy didWake(&workspace, &Workspace::didWake);

    logind.prepareForSleep(true);
    ASSERT_TRUE(willSleep.wait(waitMilliseconds));
    EXPECT_EQ(didWake.count(), 0);

    logind.prepareForSleep(false);
    ASSERT_TRUE(didWake.wait(waitMilliseconds));
    EXPECT_EQ(willSleep.count(), 1);
}

TEST(WorkspaceSleepAndWake, IgnoreTheSignalFromAnyoneButLogind) {
    FakeLogind logind(DBusTestEnvironment::instance()->systemBus().address());
    ASSERT_TRUE(logind.isRegistered());
    Workspace workspace;
    QSignalSpy willSleep(&workspace, &Workspace::willSleep);
    QSignalSpy didWake(&workspace, &Workspace::didWake);

    // dbus-send uses DBUS_SYSTEM_BUS_ADDRESS, the private bus, but does not own org.freedesktop.login1.
    EXPECT_EQ(
        QProcess::execute("dbus-send", {"--system", "--type=signal", "/org/freedesktop/login1",
                                        "org.freedesktop.login1.Manager.PrepareForSleep", "boolean:true"}),
        0);
    logind.prepareForSleep(false);
    ASSERT_TRUE(didWake.wait(waitMilliseconds));
    EXPECT_EQ(willSleep.count(), 0);
}

TEST(WorkspaceWithoutBuses, LogsOneLinePerMissingBusAndGoesOn) {
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session");
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system");
    probe.setProcessEnvironment(environment);
    probe.start(WORKSPACE_PROBE_PATH, {"nobus"});
    ASSERT_TRUE(probe.waitForFinished(waitMilliseconds));
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(probe.exitCode(), 0);
    // Nothing runs, and a program may start (there is no one to refuse it).
    EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(), "running=0 registered=true");

    const QStringList errors = QString::fromUtf8(probe.readAllStandardError())
                                   .split('\n', Qt::SkipEmptyParts)
                                   .filter(QRegularExpression("^Error: "));
    ASSERT_EQ(errors.size(), 2) << errors.join('\n').toStdString();
    EXPECT_TRUE(errors[0].startsWith("Error: Workspace: No session bus")) << errors[0].toStdString();
    EXPECT_TRUE(errors[1].startsWith("Error: Workspace: No system bus")) << errors[1].toStdString();
}

#include "WorkspaceTest.moc"
