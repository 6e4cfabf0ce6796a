// The application delegate in this process, with a capture system driven by the test, private session and
// system buses, and a fake logind for sleep and wake. The test program itself lives inside a bundle
// (Info.json and a login item), as the application does.
#include "AlertPopupController.h"
#include "AppDelegate.h"
#include "DBusTestEnvironment.h"
#include "Defaults.h"
#include "DistributedNotificationCenter.h"
#include "FakeCaptureAuthorization.h"
#include "FakeCaptureSystem.h"
#include "FakeLogind.h"
#include "LogCapture.h"
#include "MainStoryboard.h"
#include "Popover.h"
#include "ReviewRequester.h"
#include "StatusBarButton.h"
#include "Storyboard.h"
#include "TemporaryFolder.h"
#include "UserNotificationCenter.h"
#include "Workspace.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QTest>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <thread>

namespace {

const CaptureDevice builtIn{"alsa_input.builtin", "Built-in Microphone"};
constexpr const char* launcherIdentifier = "com.Orvane.Tempolis.Launcher";

// A bundle folder with an Info.json saying what the test needs.
std::unique_ptr<TemporaryFolder> makeBundle(const QVariant& buildNumber) {
    auto folder = std::make_unique<TemporaryFolder>();
    const QString contents = QString::fromStdString((folder->path() / "Contents").string());
    QDir().mkpath(contents);
    QJsonObject info{{"CFBundleIdentifier", "com.Orvane.Tempolis"}, {"CFBundleExecutable", "Tempolis"}};
    if (buildNumber.isValid()) {
        info.insert("CFBundleVersion", QJsonValue::fromVariant(buildNumber));
    }
    QFile file(contents + "/Info.json");
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(info).toJson());
    return folder;
}

QString autostartEntry() {
    return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/autostart/" + launcherIdentifier +
           ".desktop";
}

} // namespace

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        Defaults::store().clear();
        // The announcement window was seen just now: it has tests of its own.
        Defaults::setInteger(Defaults::finalUpdateLaunchCountKey, 1);
        Defaults::setDoubleValue(Defaults::finalUpdateLaunchDateKey,
                                 static_cast<double>(QDateTime::currentSecsSinceEpoch()));
        capture.connectedDevices = {builtIn};
        capture.defaultDeviceID = builtIn.uniqueID;
        authorization.currentStatus = CaptureAuthorization::Status::authorized;
        workspace.setURLOpener([this](const QUrl& url) {
            openedURLs.push_back(url);
            return true;
        });
        MainStoryboard::registerScenes();
        QFile::remove(autostartEntry());
    }

    // One launch of the application: a delegate made and started as the program does it.
    AppDelegate& launch(const QVariant& buildNumber = QString("12")) {
        delegate.reset();
        bundleFolder = makeBundle(buildNumber);
        delegate = std::make_unique<AppDelegate>(AppDelegate::Platform{
            capture, authorization, workspace, distributedNotifications, userNotifications,
            Bundle(QString::fromStdString(bundleFolder->path().string()))});
        delegate->applicationDidFinishLaunching();
        return *delegate;
    }

    std::vector<Popover*> shownAlerts() const {
        std::vector<Popover*> shown;
        for (Popover* popover : delegate->findChildren<Popover*>()) {
            if (popover->isShown()) {
                shown.push_back(popover);
            }
        }
        return shown;
    }

    FakeCaptureSystem capture;
    FakeCaptureAuthorization authorization;
    Workspace workspace;
    DistributedNotificationCenter distributedNotifications;
    UserNotificationCenter userNotifications;
    std::unique_ptr<TemporaryFolder> bundleFolder;
    std::unique_ptr<AppDelegate> delegate;
    std::vector<QUrl> openedURLs;
    LogCapture log;
};

TEST_F(AppDelegateTest, FirstLaunchCountsAndStartsRecordingIntoAnEmptiedBuffer) {
    auto& app = launch();
    EXPECT_EQ(Defaults::integer(Defaults::launchCountKey), 1);
    EXPECT_TRUE(Defaults::boolean(Defaults::legacyUserKey));
    EXPECT_FALSE(Defaults::boolean(Defaults::autoLaunchKey));
    EXPECT_TRUE(QTest::qWaitFor([&] { return app.audioController().isRecording(); }, 5'000));
    ASSERT_NE(app.statusItem(), nullptr);
    EXPECT_EQ(app.statusItem()->button()->imageName(), "Status-Icon-Template");
    EXPECT_FALSE(app.applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_EQ(AppDelegate::shared(), &app);
    EXPECT_EQ(userNotifications.delegate(), &app);

    launch();
    EXPECT_EQ(Defaults::integer(Defaults::launchCountKey), 2);
}

TEST_F(AppDelegateTest, ALaunchEmptiesTheBufferButWakeKeepsItAndSleepWaitsForTheStop) {
    // logind runs before the application starts watching it, as on a real system.
    FakeLogind logind(DBusTestEnvironment::instance()->systemBus().address());
    ASSERT_TRUE(logind.isRegistered());
    auto& app = launch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.sleepInhibitor().isHeld(); }, 5'000));
    ASSERT_EQ(logind.activeInhibitors().size(), 1);
    EXPECT_EQ(logind.activeInhibitors()[0].what, "sleep");
    EXPECT_EQ(logind.activeInhibitors()[0].mode, "delay");
    const std::vector<uint8_t> samples(44'100, 3);
    capture.lastSession()->blockHandler(samples.data(), samples.size());
    ASSERT_EQ(app.audioController().audioBuffer().heldBytes(), 44'100);

    // Sleep and wake through logind's signal on the system bus.
    logind.prepareForSleep(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return logind.activeInhibitors().isEmpty(); }, 5'000))
        << "the lock is let go once stopped";
    EXPECT_FALSE(app.audioController().isRecording());
    EXPECT_TRUE(capture.lastSession()->stopped);
    EXPECT_FALSE(app.audioController().audioBuffer().queue().syncResult([&] {
        return app.audioController().audioBuffer().isFileOpen();
    })) << "the ring was closed before";
    logind.prepareForSleep(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.audioController().isRecording(); }, 5'000));
    EXPECT_EQ(capture.sessions.size(), 2u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return logind.activeInhibitors().size() == 1; }, 5'000))
        << "taken again at wake";
    app.audioController().audioBuffer().queue().sync([] {});
    EXPECT_EQ(app.audioController().audioBuffer().memoryBufferCurrentSize(), 44'100)
        << "wake keeps the buffer";

    app.applicationWillTerminate();
    EXPECT_FALSE(app.audioController().isRecording());
    EXPECT_EQ(app.audioController().audioCapture(), nullptr);

    auto& next = launch();
    next.audioController().audioBuffer().queue().sync([] {});
    EXPECT_EQ(next.audioController().audioBuffer().memoryBufferCurrentSize(), 0) << "a new launch empties it";
}

TEST_F(AppDelegateTest, StartingTwiceIsRefusedAndLogged) {
    auto& app = launch();
    app.didWake();
    EXPECT_TRUE(log.contains("Error: AudioController: Error starting recording. (audioCapture != nil)"));
    EXPECT_EQ(capture.sessions.size(), 1u);
}

TEST_F(AppDelegateTest, EveryClipPutInPlaceCountsTowardsAReview) {
    auto& app = launch();
    for (int saved = 1; saved <= 3; ++saved) {
        emit app.audioController().exportFinished(5.0, QDateTime::currentDateTime());
        EXPECT_EQ(Defaults::integer(Defaults::recordingsSavedKey), saved);
    }
}

TEST_F(AppDelegateTest, AReviewIsRequestedTwoSecondsAfterTheFifthLaunchOncePerBuild) {
    Defaults::setInteger(Defaults::recordingsSavedKey, 5);
    Defaults::setInteger(Defaults::launchCountKey, 4);
    const int before = ReviewRequester::requestCount();
    launch(QString("12"));
    QTest::qWait(1'500);
    EXPECT_EQ(ReviewRequester::requestCount(), before) << "not before two seconds";
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReviewRequester::requestCount() == before + 1; }, 2'000));
    EXPECT_EQ(Defaults::integer(Defaults::marketingRequestVersionKey), 12);
    EXPECT_EQ(Defaults::integer(Defaults::marketingRequestLaunchCountKey), 5);
    ASSERT_TRUE(Defaults::marketingRequestDate());
    EXPECT_LT(std::abs(Defaults::marketingRequestDate()->secsTo(QDateTime::currentDateTime())), 5);

    launch(QString("12"));
    QTest::qWait(2'500);
    EXPECT_EQ(ReviewRequester::requestCount(), before + 1) << "nothing at the next launch";
}

TEST_F(AppDelegateTest, NoReviewForAnUnreadableBuildNumberOrTooFewRecordings) {
    const int before = ReviewRequester::requestCount();
    Defaults::setInteger(Defaults::recordingsSavedKey, 5);
    for (const QVariant& build :
         {QVariant(QString("1.2")), QVariant(QString("")), QVariant(12), QVariant()}) {
        Defaults::setInteger(Defaults::launchCountKey, 20);
        launch(build);
    }
    Defaults::setInteger(Defaults::recordingsSavedKey, 4);
    Defaults::setInteger(Defaults::launchCountKey, 100);
    launch(QString("99"));
    QTest::qWait(2'500);
    EXPECT_EQ(ReviewRequester::requestCount(), before);
    EXPECT_EQ(Defaults::integer(Defaults::marketingRequestVersionKey), 0);
}

TEST_F(AppDelegateTest, ReviewEligibility) {
    auto& app = launch(QVariant());
    Defaults::setInteger(Defaults::recordingsSavedKey, 5);
    Defaults::setInteger(Defaults::launchCountKey, 10);
    Defaults::setInteger(Defaults::marketingRequestLaunchCountKey, 5);
    EXPECT_TRUE(app.isReviewRequestDue(5, 5));
    Defaults::setInteger(Defaults::marketingRequestLaunchCountKey, 6);
    EXPECT_FALSE(app.isReviewRequestDue(5, 5)) << "only four launches since the last request";
    Defaults::setInteger(Defaults::marketingRequestLaunchCountKey, 0);
    Defaults::setMarketingRequestDate(QDateTime::currentDateTime().addDays(-400));
    EXPECT_TRUE(app.isReviewRequestDue(5, 5)) << "a date in the past always passes";
    Defaults::setMarketingRequestDate(QDateTime::currentDateTime().addDays(6));
    EXPECT_TRUE(app.isReviewRequestDue(5, 5));
    Defaults::setMarketingRequestDate(QDateTime::currentDateTime().addDays(8));
    EXPECT_FALSE(app.isReviewRequestDue(5, 5)) << "a date a week or more ahead blocks";
}

TEST_F(AppDelegateTest, NotificationResponsesOpenTheWebPageOnlyForTheThirdDayReminder) {
    auto& app = launch();
    int completions = 0;
    app.didReceiveResponse({{"thirdDayNotif", true}}, [&] { ++completions; });
    ASSERT_EQ(openedURLs.size(), 1u);
    EXPECT_EQ(openedURLs[0].scheme(), "https");
    EXPECT_EQ(openedURLs[0].path(), "/");
    EXPECT_EQ(openedURLs[0].query(), "ref=LegacyNotif");
    EXPECT_EQ(completions, 1);

    for (const QVariantMap& userInfo :
         {QVariantMap{{"thirdDayNotif", false}}, QVariantMap{}, QVariantMap{{"thirdDayNotif", "true"}}}) {
        app.didReceiveResponse(userInfo, [&] { ++completions; });
    }
    EXPECT_EQ(openedURLs.size(), 1u);
    EXPECT_EQ(completions, 4);
}

TEST_F(AppDelegateTest, AlertsHangUnderTheStatusItemAndCloseThemselves) {
    auto& app = launch();
    std::thread([&] { app.showAlert("Something went wrong.", 0.6); }).join();
    EXPECT_TRUE(shownAlerts().empty()) << "the alert is shown from the main thread's event loop";
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownAlerts().size() == 1; }, 2'000));
    Popover* popover = shownAlerts()[0];
    auto* controller = qobject_cast<AlertPopupController*>(popover->contentViewController());
    ASSERT_NE(controller, nullptr);
    EXPECT_EQ(controller->messageLabel()->text(), "Something went wrong.");
    const QWidget* popoverWindow = controller->view()->window();
    const QRect item = app.statusItem()->frame();
    EXPECT_GE(popoverWindow->geometry().top(), item.bottom() - 1) << "it hangs below the status item";
    EXPECT_TRUE(popoverWindow->geometry().intersects(QRect(item.left() - 400, 0, item.width() + 800, 4'000)));
    EXPECT_EQ(popover->behavior(), Popover::Behavior::nonActivatingTransient);

    ASSERT_TRUE(QTest::qWaitFor([&] { return shownAlerts().empty(); }, 3'000)) << "closes after its duration";
}

// The alerts take neither the pointer nor the keyboard (a click elsewhere closing them needs a display
// server: the program's test in the test session has it).
TEST_F(AppDelegateTest, TwoAlertsShowTwoPopoversThatLeaveThePointerAndTheKeyboardAlone) {
    auto& app = launch();
    // The status item shows once it is known that no tray will show Tempolis: before the other window.
    ASSERT_TRUE(QTest::qWaitFor([&] { return app.statusItem()->window()->isVisible(); }, 5'000));
    QWidget elsewhere;
    elsewhere.setGeometry(100, 500, 200, 200);
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    app.showAlert("First", 0.8);
    app.showAlert("Second", 0.8);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownAlerts().size() == 2; }, 2'000));
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    EXPECT_EQ(QWidget::keyboardGrabber(), nullptr);
    EXPECT_EQ(QApplication::activeWindow(), &elsewhere);
    for (const Popover* popover : shownAlerts())
        EXPECT_TRUE(popover->window()->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shownAlerts().empty(); }, 2'000))
        << "each closes after its time";
}

TEST_F(AppDelegateTest, AnAlertWhoseSceneCannotBeMadeIsLogged) {
    auto& app = launch();
    Storyboard::named("Main").registerController(AlertPopupController::identifier, [] { return nullptr; });
    app.showAlert("Lost", 1.0);
    QTest::qWait(100);
    EXPECT_TRUE(log.contains("Error: AlertPopupController: Error creating view controller."));
    EXPECT_TRUE(shownAlerts().empty());
}

TEST_F(AppDelegateTest, TogglingLaunchAtLoginWritesAndRemovesTheAutostartEntry) {
    auto& app = launch();
    EXPECT_FALSE(QFile::exists(autostartEntry()));
    app.toggleAutoLaunch();
    EXPECT_TRUE(Defaults::boolean(Defaults::autoLaunchKey));
    QFile entry(autostartEntry());
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    EXPECT_TRUE(text.contains("Contents/Library/LoginItems/Launcher.app/Contents/bin/Launcher"))
        << text.toStdString();
    app.toggleAutoLaunch();
    EXPECT_FALSE(Defaults::boolean(Defaults::autoLaunchKey));
    EXPECT_FALSE(QFile::exists(autostartEntry()));
    EXPECT_FALSE(log.contains("Error: AppDelegate: Error setting launcher to run."));
}

// The checkmark never says more than the autostart entry does: a refused change leaves the choice as it was
// and tells the user why, under the icon.
TEST_F(AppDelegateTest, AnUnwritableAutostartFolderLeavesTheChoiceAndSaysWhy) {
    const QString folder = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/autostart";
    QDir(folder).removeRecursively();
    QFile blocker(
        folder); // a file where the folder should be: nothing can be written there, not even by root
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    auto& app = launch();
    app.toggleAutoLaunch();
    EXPECT_FALSE(Defaults::boolean(Defaults::autoLaunchKey)) << "the choice stays as it was";
    EXPECT_EQ(log.count("Error: AppDelegate: Error setting launcher to run."), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shownAlerts().size() == 1; }, 2'000));
    auto* alert = qobject_cast<AlertPopupController*>(shownAlerts()[0]->contentViewController());
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->message(), "Could not change launch at login: the folder " + folder + " cannot be made");

    // Turning it off when the entry cannot be removed fails the same way, and the checkmark stays on: a
    // read-only folder (a read-only file system for root, which ignores file modes).
    QFile::remove(folder);
    app.toggleAutoLaunch();
    ASSERT_TRUE(Defaults::boolean(Defaults::autoLaunchKey));
    const bool asRoot = geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(mount("none", folder.toLocal8Bit().constData(), "tmpfs", 0, "size=64k"), 0);
        app.toggleAutoLaunch();
        app.toggleAutoLaunch(); // on again, now in the tmpfs
        ASSERT_EQ(mount("none", folder.toLocal8Bit().constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr),
                  0);
    } else {
        QFile(folder).setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    app.toggleAutoLaunch();
    EXPECT_TRUE(Defaults::boolean(Defaults::autoLaunchKey)) << "the entry is still there";
    EXPECT_EQ(log.count("Error: AppDelegate: Error setting launcher to run."), 2);
    if (asRoot) {
        umount2(folder.toLocal8Bit().constData(), MNT_DETACH);
    } else {
        QFile(folder).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                     QFileDevice::ExeOwner);
    }
}

TEST_F(AppDelegateTest, RunningLaunchersAreToldToQuitWithOneNotification) {
    const QString address = DBusTestEnvironment::instance()->sessionBus().address();
    // Two launchers, each on its own connection to the session bus.
    std::vector<QString> names;
    for (int i = 0; i < 2; ++i) {
        names.push_back(QString("launcher-%1").arg(i));
        QDBusConnection connection = QDBusConnection::connectToBus(address, names.back());
        ASSERT_TRUE(connection.isConnected());
        connection.interface()->registerService(launcherIdentifier, QDBusConnectionInterface::QueueService,
                                                QDBusConnectionInterface::DontAllowReplacement);
    }
    ASSERT_EQ(workspace.runningApplications(launcherIdentifier).size(), 2);
    std::vector<QString> received;
    QObject receiver;
    distributedNotifications.addObserver(
        "TempolisKillLauncherNotification", "com.Orvane.Tempolis", &receiver,
        [&](const QString&, const QString& object) { received.push_back(object); });
    launch();
    QTest::qWait(500);
    EXPECT_EQ(received, std::vector<QString>{"com.Orvane.Tempolis"});

    for (const QString& name : names) {
        QDBusConnection::disconnectFromBus(name);
    }
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return workspace.runningApplications(launcherIdentifier).isEmpty(); }, 2'000));
    launch();
    QTest::qWait(500);
    EXPECT_EQ(received.size(), 1u) << "no launcher runs: nothing is posted";
}
