#include "Eventually.h"
#include "OutsidePressWatcher.h"
#include "X11Tools.h"

#include <QApplication>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace {
bool clickWith(const QPoint& global, const char* button) {
    return X11Tools::movePointer(global) && X11Tools::xdotool({"click", QString::fromLatin1(button)});
}
} // namespace

TEST(OutsidePressWatcherOnX11, SeesPressesOfTheFirstThreeButtonsOutsideWhereverTheyGoOnlyWhileStarted) {
    if (!X11Tools::isX11())
        GTEST_SKIP() << "needs an X server";
    const QRect inside(800, 300, 200, 100);
    OutsidePressWatcher watcher([&inside](const QPoint& position) { return inside.contains(position); });
    std::vector<QPoint> seen;
    QObject::connect(&watcher, &OutsidePressWatcher::pressedOutside,
                     [&seen](const QPoint& position, quint32) { seen.push_back(position); });
    ASSERT_TRUE(watcher.start());
    ASSERT_TRUE(watcher.isWatching());
    auto foreign = X11Tools::startForeignWindow(QRect(100, 600, 400, 150), nullptr);
    ASSERT_NE(foreign, nullptr);
    // A pop-up menu of ours holds the pointer grab while it is open: the press that closes it is seen too.
    QMenu menu;
    menu.addAction(QStringLiteral("Item"));

    // Each press that is not seen is followed by one that is: what arrives in order tells both.
    const struct {
        QPoint at;
        const char* button;
        bool withMenuOpen;
        bool seen;
    } cases[] = {
        {{300, 675}, "1", false, true},   // in another program
        {{900, 350}, "1", false, false},  // inside
        {{1500, 900}, "3", false, true},  // on the bare desktop, another button
        {{1500, 900}, "4", false, false}, // a scroll step
        {{1400, 200}, "2", false, true},  {{1200, 800}, "1", true, true}, // while a grab of ours is active
    };
    std::vector<QPoint> expected;
    for (const auto& example : cases) {
        if (example.withMenuOpen) {
            menu.popup(QPoint(1000, 700));
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu));
            ASSERT_EQ(QApplication::activePopupWidget(), &menu);
        }
        ASSERT_TRUE(clickWith(example.at, example.button));
        if (example.seen) {
            expected.push_back(example.at);
            EXPECT_TRUE(becomes([&] { return seen; }, expected))
                << "pressed at " << testing::PrintToString(example.at);
        }
    }
    EXPECT_TRUE(eventually([&] { return QApplication::activePopupWidget() == nullptr; }));

    // Stopped, it sees nothing; started again, it sees the next press.
    watcher.stop();
    EXPECT_FALSE(watcher.isWatching());
    ASSERT_TRUE(clickWith(QPoint(1500, 900), "1"));
    ASSERT_TRUE(watcher.start());
    ASSERT_TRUE(clickWith(QPoint(1400, 900), "1"));
    expected.push_back(QPoint(1400, 900));
    EXPECT_TRUE(becomes([&] { return seen; }, expected));
    foreign->kill();
    foreign->waitForFinished();
}
