// What the time popup and the saved popup say, and how long the saved popup stays.
#include "Localization.h"
#include "MainStoryboard.h"
#include "Popover.h"
#include "SavedPopupController.h"
#include "StatusAnchor.h"
#include "StatusBar.h"
#include "StatusBarButton.h"
#include "StatusItem.h"
#include "TimePopupController.h"

#include <QDateTime>
#include <QLocale>
#include <QPointer>
#include <QTest>
#include <QUrlQuery>
#include <gtest/gtest.h>

namespace {
// The clock time `seconds` ago, as the popups print it; the two readings around a call cover a minute or
// second that turned meanwhile.
QStringList startTimesAround(qint64 seconds, const QDateTime& before, const QDateTime& after) {
    const QLocale locale;
    return {locale.toString(before.addSecs(-seconds).time(), QLocale::ShortFormat),
            locale.toString(after.addSecs(-seconds).time(), QLocale::ShortFormat)};
}
} // namespace

TEST(TimePopup, SaysTheDurationInMinutesAndSecondsAndWhenTheClipWouldStart) {
    MainStoryboard::registerScenes();
    const struct {
        qint64 seconds;
        const char* duration;
    } cases[] = {{5, "Keep the last 5 seconds"},
                 {1, "Keep the last 1 second"},
                 {65, "Keep the last 1 minute, 5 seconds"},
                 {3600, "Keep the last 60 minutes"}};
    const auto controller = TimePopupController::makeTimePopupController();
    ASSERT_NE(controller, nullptr);
    for (const auto& example : cases) {
        const QDateTime before = QDateTime::currentDateTime();
        controller->updateTime(example.seconds);
        const QDateTime after = QDateTime::currentDateTime();
        EXPECT_EQ(controller->durationLabel()->text(), example.duration);
        const QStringList times = startTimesAround(example.seconds, before, after);
        EXPECT_TRUE(times.contains(controller->timeLabel()->text().remove("from ")))
            << controller->timeLabel()->text().toStdString();
    }
}

TEST(SavedPopup, RoundsTheDurationClosesAfterFiveSecondsUnlessSharingWasPressed) {
    MainStoryboard::registerScenes();
    auto item = StatusBar::system().statusItem(StatusBar::variableLength);
    item->button()->setImage(QStringLiteral("Status-Icon-Template"));
    std::vector<QUrl> opened;
    const auto opener = [&opened](const QUrl& url) {
        opened.push_back(url);
        return true;
    };

    // Two saves in a row: two popups, each with its own timer. The user presses the second one's button.
    const QDateTime before = QDateTime::currentDateTime();
    const QPointer<Popover> first =
        SavedPopupController::showSavedPopup(StatusAnchor::below(item->frame()), 59.5, opener);
    const QPointer<Popover> second =
        SavedPopupController::showSavedPopup(StatusAnchor::below(item->frame()), 12, opener);
    const QDateTime after = QDateTime::currentDateTime();
    ASSERT_TRUE(first && second);
    auto* firstController = qobject_cast<SavedPopupController*>(first->contentViewController());
    auto* secondController = qobject_cast<SavedPopupController*>(second->contentViewController());
    ASSERT_TRUE(firstController && secondController);
    EXPECT_EQ(firstController->durationLabel()->text(), "Saved 1 minute");
    EXPECT_TRUE(startTimesAround(60, before, after)
                    .contains(firstController->timeLabel()->text().remove("starting at ")))
        << firstController->timeLabel()->text().toStdString();
    EXPECT_EQ(secondController->durationLabel()->text(), "Saved 12 seconds");

    QTest::mousePress(secondController->tweetButton(), Qt::LeftButton);
    EXPECT_TRUE(secondController->cancelTimedDismiss());
    EXPECT_TRUE(opened.empty()) << "the press only keeps the popup open";
    QTest::qWait(SavedPopupController::timedDismissMilliseconds - 500);
    EXPECT_TRUE(first && first->isShown()) << "closed early";
    EXPECT_TRUE(QTest::qWaitFor([&] { return !first; }, 1'500)) << "the untouched popup closes after 5 s";
    ASSERT_TRUE(second && second->isShown()) << "the popup whose button is held stays";

    QTest::mouseRelease(secondController->tweetButton(), Qt::LeftButton);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].scheme(), "https");
    EXPECT_EQ(opened[0].path(), SavedPopupController::sharePath);
    EXPECT_EQ(QUrlQuery(opened[0]).queryItemValue("text", QUrl::FullyDecoded),
              Localization::string("Share Tempolis Tweet Text"));
    second->close();
}
