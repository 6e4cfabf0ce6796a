#include "NewBrandWindowController.h"

#include "DBusNotificationServer.h"
#include "Defaults.h"
#include "LogCapture.h"
#include "TemporaryFolder.h"
#include "UserNotificationCenter.h"
#include "UserNotificationCenterDelegate.h"
#include "Workspace.h"

#include <QDateTime>
#include <QPointer>
#include <QTest>
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <optional>
#include <signal.h>

namespace {
constexpr double firstShown = 1'700'000'000.25;
constexpr double twoDaysSeconds = 172'800;
constexpr int waitMilliseconds = 10'000;
// A notification is delivered a second after the close: this is how long "none came" waits.
constexpr int deliveryMarginMilliseconds = 2'500;

class RecordingDelegate : public UserNotificationCenterDelegate {
public:
    QList<QVariantMap> userInfos;

    void didReceiveResponse(const QVariantMap& userInfo, std::function<void()> completionHandler) override {
        userInfos.append(userInfo);
        completionHandler();
    }
};

double nowSeconds() {
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}
} // namespace

TEST(NewBrandWindowController, AnnouncementIsDueFromTwoDaysAfterTheFirstShowingOn) {
    EXPECT_FALSE(NewBrandWindowController::isAnnouncementDue(firstShown + 172'799.75, firstShown));
    EXPECT_TRUE(NewBrandWindowController::isAnnouncementDue(firstShown + 172'800, firstShown));
    EXPECT_TRUE(NewBrandWindowController::isAnnouncementDue(firstShown + 10 * 172'800, firstShown));
}

TEST(NewBrandWindowController, NeverShownCountsAsLongAgo) {
    // An absent date reads as 0: the close of a window shown before the date was stored is due.
    EXPECT_TRUE(NewBrandWindowController::isAnnouncementDue(firstShown, 0.0));
}

// The program's side of the announcement with a stand-in for the window's helper: a script that says what a
// user did with the window, or fails the way a helper can. The notifications go to a real notification
// server on a private session bus.
class NewBrandWindowControllerHelper : public ::testing::Test {
protected:
    std::unique_ptr<DBusNotificationServer> server;
    TemporaryFolder folder;
    Workspace workspace;
    UserNotificationCenter notifications;
    RecordingDelegate delegate;
    QList<QUrl> opened;
    int helpers = 0;

    void SetUp() override {
        server = std::make_unique<DBusNotificationServer>();
        ASSERT_TRUE(server->isRunning()) << server->errorString().toStdString();
        notifications.setDelegate(&delegate);
        workspace.setURLOpener([this](const QUrl& url) {
            opened.append(url);
            return true;
        });
    }

    // A new script each time: one may still be running when the next is written.
    QString helper(const std::string& body) {
        const auto path = folder.path() / ("helper" + std::to_string(++helpers));
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return QString::fromStdString(path.string());
    }

    // Shows the announcement with `helperPath` and waits until its controller has gone.
    void showAndWaitForTheEnd(const QString& helperPath) {
        const QPointer<NewBrandWindowController> controller =
            NewBrandWindowController::showNewBrandWindow(workspace, notifications, helperPath);
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller.isNull(); }, waitMilliseconds));
    }
};

TEST_F(NewBrandWindowControllerHelper, TheHelpersReportsBecomeTheButtonsPageAndTheCloseNotification) {
    const struct {
        const char* what;
        const char* reports;
        double firstShownAgoSeconds;
        int launchCount;
        int pagesOpened;
        std::optional<bool> thirdDayNotif; // the notification whose click comes back, if any
    } cases[] = {
        {"button, then close within two days", "echo product-web-page; echo closed", 60, 1, 1, std::nullopt},
        {"button twice, window left open", "echo product-web-page; echo product-web-page", 60, 1, 2,
         std::nullopt},
        {"close after two days", "echo closed", twoDaysSeconds + 5, 1, 0, true},
        {"close after the store lost the count", "echo closed", 60, 0, 0, false},
        {"a helper that crashed before the close", "kill -SEGV $$", twoDaysSeconds + 5, 1, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        opened.clear();
        delegate.userInfos.clear();
        Defaults::setDoubleValue(Defaults::finalUpdateLaunchDateKey, nowSeconds() - c.firstShownAgoSeconds);
        Defaults::setInteger(Defaults::finalUpdateLaunchCountKey, c.launchCount);

        showAndWaitForTheEnd(helper(c.reports));
        EXPECT_EQ(opened, QList<QUrl>(c.pagesOpened,
                                      QUrl(QString::fromLatin1(NewBrandWindowController::productWebPage))));
        if (c.thirdDayNotif) {
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return notifications.notificationCount() == 1 && server->displayedCount() == 1; },
                waitMilliseconds));
            ASSERT_TRUE(server->invokeTopDefaultAction());
            ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.userInfos.size() == 1; }, waitMilliseconds));
            EXPECT_EQ(delegate.userInfos[0], (QVariantMap{{"thirdDayNotif", *c.thirdDayNotif}}));
            ASSERT_TRUE(QTest::qWaitFor([&] { return server->displayedCount() == 0; }, waitMilliseconds));
        } else {
            EXPECT_FALSE(
                QTest::qWaitFor([&] { return server->displayedCount() != 0; }, deliveryMarginMilliseconds));
        }
    }
}

TEST_F(NewBrandWindowControllerHelper, AHelperThatFailsIsLoggedAndSchedulesNothing) {
    Defaults::setDoubleValue(Defaults::finalUpdateLaunchDateKey, nowSeconds() - twoDaysSeconds - 5);
    Defaults::setInteger(Defaults::finalUpdateLaunchCountKey, 1);
    const struct {
        const char* what;
        QString helperPath;
        std::string logLinePrefix;
    } cases[] = {
        {"missing", QString::fromStdString((folder.path() / "none").string()),
         "Error: NewBrandWindowController: Cannot show the announcement window: "},
        {"crashed", helper("kill -SEGV $$"),
         "Error: NewBrandWindowController: The announcement window crashed."},
        {"failed", helper("exit 3"),
         "Error: NewBrandWindowController: The announcement window ended with status 3."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        showAndWaitForTheEnd(c.helperPath);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind(c.logLinePrefix, 0), 0u) << lines[0];
    }
    EXPECT_FALSE(QTest::qWaitFor([&] { return server->displayedCount() != 0; }, deliveryMarginMilliseconds));
    EXPECT_TRUE(opened.isEmpty());
}

TEST_F(NewBrandWindowControllerHelper, TheWindowGoesWithTheProgram) {
    // The helper writes its process id and waits; the program quitting deletes the controller.
    const auto pidFile = folder.path() / "pid";
    auto* controller = NewBrandWindowController::showNewBrandWindow(
        workspace, notifications, helper("echo $$ > '" + pidFile.string() + "'; exec sleep 60"));
    pid_t pid = 0;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return (std::ifstream(pidFile) >> pid) && pid > 0; }, waitMilliseconds));
    ASSERT_EQ(kill(pid, 0), 0);
    delete controller;
    EXPECT_EQ(kill(pid, 0), -1) << "the helper still runs";
    EXPECT_EQ(errno, ESRCH);
}
