#include "EventRecorder.h"
#include "Eventually.h"
#include "StandInDesktop.h"
#include "StatusBar.h"
#include "StatusBarButton.h"
#include "StatusItem.h"
#include "X11Tools.h"
#include "XvfbSession.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {
class StatusItemOnX11 : public testing::Test {
protected:
    void SetUp() override {
        if (!X11Tools::isX11())
            GTEST_SKIP() << "needs an X server";
    }

    // A plain red application window, shown and made active as the user would (through the window manager).
    static std::unique_ptr<QWidget> redWindow(const QRect& geometry) {
        auto window = std::make_unique<QWidget>();
        window->setAutoFillBackground(true);
        QPalette palette = window->palette();
        palette.setColor(QPalette::Window, Qt::red);
        window->setPalette(palette);
        window->setGeometry(geometry);
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        EXPECT_TRUE(X11Tools::activate(window.get()));
        return window;
    }

    // A desktop panel along the top of the screen that reserves its height, as another program's would.
    static std::unique_ptr<QWidget> topPanel(int heightPixels) {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        return panel(QRect(screen.left(), screen.top(), screen.width(), heightPixels),
                     QStringLiteral("0, 0, %1, 0, 0, 0, 0, 0, %2, %3, 0, 0")
                         .arg(heightPixels)
                         .arg(screen.left())
                         .arg(screen.right()));
    }

    // A desktop panel along the right edge of the screen, over rows `top` to `bottom`, that reserves its
    // width.
    static std::unique_ptr<QWidget> rightPanel(int widthPixels, int top, int bottom) {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        return panel(
            QRect(QPoint(screen.right() + 1 - widthPixels, top), QPoint(screen.right(), bottom)),
            QStringLiteral("0, %1, 0, 0, 0, 0, %2, %3, 0, 0, 0, 0").arg(widthPixels).arg(top).arg(bottom));
    }

    // A dock window at `geometry` with the partial strut `strut` (as xprop writes it).
    static std::unique_ptr<QWidget> panel(const QRect& geometry, const QString& strut) {
        auto panel =
            std::make_unique<QWidget>(nullptr, Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
        panel->setAttribute(Qt::WA_X11NetWmWindowTypeDock);
        panel->setGeometry(geometry);
        panel->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(panel.get()));
        std::string output;
        EXPECT_EQ(
            XvfbSession::run({"xprop", "-id", std::to_string(panel->winId()), "-f", "_NET_WM_STRUT_PARTIAL",
                              "32c", "-set", "_NET_WM_STRUT_PARTIAL", strut.toStdString()},
                             &output),
            0);
        return panel;
    }

    // Creates the item with a panel of `panelHeightPixels` (none for 0) above it, and checks it sits right
    // under the panel and reserves the band down to its bottom, so a maximized window stays below it.
    static void expectItemReservesItsStripUnderAPanel(int panelHeightPixels) {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const auto panel = panelHeightPixels > 0 ? topPanel(panelHeightPixels) : nullptr;
        if (panel) {
            ASSERT_TRUE(becomes([] { return QGuiApplication::primaryScreen()->availableGeometry().top(); },
                                screen.top() + panelHeightPixels));
        }
        auto item = StatusBar::system().statusItem(StatusBar::squareLength);
        QSignalSpy moved(item.get(), &StatusItem::frameChanged);
        const QRect expected(screen.right() + 1 - StatusBar::thicknessPixels,
                             screen.top() + panelHeightPixels, StatusBar::thicknessPixels,
                             StatusBar::thicknessPixels);
        ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, expected));
        EXPECT_TRUE(X11Tools::property(item->window(), QStringLiteral("_NET_WM_WINDOW_TYPE"))
                        .contains(QStringLiteral("_NET_WM_WINDOW_TYPE_DOCK")));
        const int bottomPixels = expected.bottom() + 1;
        // Left, right, top, bottom, then where each band starts and ends: only the top one, over the item.
        const QStringList partial = QStringLiteral("0 0 %1 0 0 0 0 0 %2 %3 0 0")
                                        .arg(bottomPixels)
                                        .arg(expected.left())
                                        .arg(expected.right())
                                        .split(u' ');
        EXPECT_EQ(X11Tools::property(item->window(), QStringLiteral("_NET_WM_STRUT_PARTIAL")), partial);
        EXPECT_EQ(X11Tools::property(item->window(), QStringLiteral("_NET_WM_STRUT")), partial.mid(0, 4));

        // The work area shrinks by the strip, which must not move the item.
        EXPECT_TRUE(becomes([] { return QGuiApplication::primaryScreen()->availableGeometry().top(); },
                            bottomPixels));
        // An ordinary window maximized through the window manager reaches the screen's bottom edge, but not
        // over the item.
        const auto maximized = std::make_unique<QWidget>();
        maximized->showMaximized();
        EXPECT_TRUE(eventually([&] {
            const QRect frame = maximized->frameGeometry();
            return X11Tools::windowManagerState(maximized.get())
                       .contains(QStringLiteral("_NET_WM_STATE_MAXIMIZED_VERT")) &&
                   frame.bottom() == screen.bottom() && frame.top() >= bottomPixels;
        }));
        QTest::qWait(100); // lets any queued layout run
        EXPECT_EQ(X11Tools::serverGeometry(item->window()), expected);
        EXPECT_EQ(moved.count(), 0);
    }
};
} // namespace

TEST_F(StatusItemOnX11, SitsAtTheTopRightOfTheAvailableAreaAboveOtherWindows) {
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    item->button()->setImage(QStringLiteral("TestSquareTemplate"));
    // The session has no desktop panel: the area that other windows leave is the whole screen. (The available
    // area shrinks by the item's own strip, sooner or later.)
    const QRect available = QGuiApplication::primaryScreen()->geometry();
    const QRect expected(available.right() + 1 - StatusBar::thicknessPixels, available.top(),
                         StatusBar::thicknessPixels, StatusBar::thicknessPixels);
    EXPECT_EQ(item->frame(), expected);
    // The window manager has it where we put it, not where it would have placed it.
    EXPECT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, expected));
    EXPECT_TRUE(becomes([&] { return item->window()->geometry(); }, expected));
    EXPECT_TRUE(X11Tools::windowManagerState(item->window()).contains(QStringLiteral("_NET_WM_STATE_ABOVE")));

    // A window shown later over the same corner and activated stays below the item.
    const auto cover = redWindow(QRect(available.right() - 300, available.top(), 300, 200));
    ASSERT_TRUE(QTest::qWaitForWindowActive(cover.get()));
    EXPECT_TRUE(
        becomes([&] { return X11Tools::screenPixel(QPoint(available.right() - 150, available.top() + 100)); },
                QColor(Qt::red)));
    const QPoint itemCentre = expected.center();
    EXPECT_NE(X11Tools::screenPixel(itemCentre), QColor(Qt::red));
    EXPECT_NE(X11Tools::screenPixel(QPoint(expected.left() + 1, expected.top() + 1)), QColor(Qt::red));
}

TEST_F(StatusItemOnX11, NeverTakesTheFocusFromTheActiveWindow) {
    const auto active = redWindow(QRect(100, 100, 300, 200));
    ASSERT_TRUE(QTest::qWaitForWindowActive(active.get()));
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(item->window()));
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, item->frame()));
    ASSERT_TRUE(X11Tools::click(item->frame().center()));
    QTest::qWait(200);
    EXPECT_TRUE(active->isActiveWindow());
    EXPECT_FALSE(item->window()->isActiveWindow());
    QString activeId;
    X11Tools::xdotool({"getactivewindow"}, &activeId);
    EXPECT_EQ(activeId.trimmed(), QString::number(active->winId()));
}

TEST_F(StatusItemOnX11, MovesBelowAPanelThatAppearsAtTheTop) {
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, item->frame()));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QSignalSpy moved(item.get(), &StatusItem::frameChanged);

    // A desktop panel along the top reserves 30 pixels (a strut): the item goes under it, and its own strip
    // then reaches down to its bottom.
    constexpr int panelHeightPixels = 30;
    const auto panel = topPanel(panelHeightPixels);
    EXPECT_TRUE(becomes([&] { return item->frame().top(); }, screen.top() + panelHeightPixels));
    EXPECT_EQ(item->frame().right(), screen.right());
    EXPECT_GE(moved.count(), 1);
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, item->frame()));
    EXPECT_TRUE(becomes([&] { return QGuiApplication::primaryScreen()->availableGeometry().top(); },
                        item->frame().bottom() + 1));

    // And back up when the panel goes.
    panel->hide();
    EXPECT_TRUE(becomes([&] { return item->frame().top(); }, screen.top()));
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, item->frame()));
    EXPECT_TRUE(becomes([&] { return QGuiApplication::primaryScreen()->availableGeometry().top(); },
                        item->frame().bottom() + 1));
}

TEST_F(StatusItemOnX11, ReservesItsStripSoAMaximizedWindowLeavesItFree) {
    expectItemReservesItsStripUnderAPanel(0);
}

TEST_F(StatusItemOnX11, UnderAnotherPanelReservesTheBandDownToItsOwnBottom) {
    expectItemReservesItsStripUnderAPanel(30);
}

// Under a desktop that draws its own bar along the top and answers a strip in the corner as mutter does
// (StandInDesktop), the item sits under that bar at the right edge and the answer to its strip moves it no
// more. The answer leaves out the columns beside the strip (the larger free rectangle): placed from it, the
// item would move left, reserve a new strip, be answered with a band across the width, move right again, and
// so on for ever.
TEST_F(StatusItemOnX11, StaysPutWhateverTheDesktopAnswersToItsStrip) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    constexpr int barPixels = 32;
    StandInDesktop desktop(barPixels);
    ASSERT_TRUE(becomes([] { return QGuiApplication::primaryScreen()->availableGeometry().top(); },
                        screen.top() + barPixels));
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    QSignalSpy moved(item.get(), &StatusItem::frameChanged);
    const QRect expected(screen.right() + 1 - StatusBar::thicknessPixels, screen.top() + barPixels,
                         StatusBar::thicknessPixels, StatusBar::thicknessPixels);
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, expected));

    const QRect beside(QPoint(screen.left(), screen.top() + barPixels),
                       QPoint(expected.left() - 1, screen.bottom()));
    EXPECT_TRUE(becomes([&] { return desktop.workArea(); }, beside));
    EXPECT_TRUE(becomes([] { return QGuiApplication::primaryScreen()->availableGeometry(); }, beside));
    EXPECT_FALSE(eventually([&] { return moved.count() > 0; }, 500));
    EXPECT_EQ(X11Tools::serverGeometry(item->window()), expected);
    EXPECT_EQ(item->frame(), expected);
    EXPECT_EQ(desktop.changes(), 1); // the one answer to the one strip
}

// The desktop's own bar is learned from the work area whenever it changes, and the item follows it: up when
// the bar goes, down when it grows (also to where the item's own strip reached before), up when it shrinks.
TEST_F(StatusItemOnX11, FollowsTheBarTheDesktopReservesThroughTheWorkAreaOnly) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    StandInDesktop desktop(32);
    ASSERT_TRUE(becomes([] { return QGuiApplication::primaryScreen()->availableGeometry().top(); },
                        screen.top() + 32));
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    ASSERT_TRUE(becomes([&] { return item->frame().top(); }, screen.top() + 32));
    for (const int barPixels : {0, 54, 40, 32}) {
        SCOPED_TRACE(barPixels);
        desktop.setBandPixels(barPixels);
        const QRect expected(screen.right() + 1 - StatusBar::thicknessPixels, screen.top() + barPixels,
                             StatusBar::thicknessPixels, StatusBar::thicknessPixels);
        EXPECT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, expected));
        // Settled: the desktop has answered the strip where the item is now, and Qt has seen the answer.
        EXPECT_TRUE(becomes([] { return QGuiApplication::primaryScreen()->availableGeometry(); },
                            QRect(QPoint(screen.left(), screen.top() + barPixels),
                                  QPoint(expected.left() - 1, screen.bottom()))));
        QSignalSpy moved(item.get(), &StatusItem::frameChanged);
        EXPECT_FALSE(eventually([&] { return moved.count() > 0; }, 500));
        EXPECT_EQ(item->frame(), expected);
    }
}

// Another program's panel along the right edge pushes the item left when it reserves the item's rows, and
// only then.
TEST_F(StatusItemOnX11, StaysLeftOfAPanelAlongTheRightEdgeOverItsRows) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    constexpr int panelWidthPixels = 48;
    struct Case {
        const char* what;
        int firstRow;
        int lastRow;
        int expectedRight;
    };
    const Case cases[] = {
        {"whole height", screen.top(), screen.bottom(), screen.right() - panelWidthPixels},
        {"from the item's last row", screen.top() + StatusBar::thicknessPixels - 1, screen.top() + 400,
         screen.right() - panelWidthPixels},
        {"below the item", screen.top() + StatusBar::thicknessPixels, screen.top() + 400, screen.right()},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        const auto panel = rightPanel(panelWidthPixels, test.firstRow, test.lastRow);
        auto item = StatusBar::system().statusItem(StatusBar::squareLength);
        const QRect expected(test.expectedRight + 1 - StatusBar::thicknessPixels, screen.top(),
                             StatusBar::thicknessPixels, StatusBar::thicknessPixels);
        EXPECT_TRUE(becomes([&] { return item->frame(); }, expected));
        EXPECT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, expected));
    }
}

TEST_F(StatusItemOnX11, AViewOverTheButtonTracksAPressOutsideTheItemAndSeesEscape) {
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    auto* view = new EventRecorder(item->button());
    view->setGeometry(item->button()->bounds());
    view->setGrabsKeyboardDuringPress(true);
    view->show();
    // Pressing before the window manager has finished mapping the item would hit its frame instead.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(item->window()));
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, item->frame()));

    ASSERT_TRUE(X11Tools::movePointer(item->frame().center()));
    ASSERT_TRUE(X11Tools::pressButton());
    ASSERT_TRUE(becomes([&] { return view->count(QEvent::MouseButtonPress); }, 1));
    const QPoint farAway = item->frame().center() + QPoint(-300, 400);
    ASSERT_TRUE(X11Tools::movePointer(farAway));
    EXPECT_TRUE(eventually([&] {
        return !view->events(QEvent::MouseMove).isEmpty() &&
               view->events(QEvent::MouseMove).constLast().globalPosition == farAway;
    }));
    ASSERT_TRUE(X11Tools::pressKey(QStringLiteral("Escape")));
    EXPECT_TRUE(becomes([&] { return view->count(QEvent::KeyPress); }, 1));
    EXPECT_EQ(view->events(QEvent::KeyPress).constFirst().key, Qt::Key_Escape);
    ASSERT_TRUE(X11Tools::releaseButton());
    EXPECT_TRUE(becomes([&] { return view->count(QEvent::MouseButtonRelease); }, 1));
    EXPECT_EQ(view->events(QEvent::MouseButtonRelease).constFirst().globalPosition, farAway);
}

TEST_F(StatusItemOnX11, ParentsATranslucentPanelShownUnderItWithoutFocus) {
    const auto active = redWindow(QRect(100, 100, 300, 200));
    ASSERT_TRUE(QTest::qWaitForWindowActive(active.get()));
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, item->frame()));

    QPointer<QWidget> panel =
        new QWidget(item->window(), Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus |
                                        Qt::WindowStaysOnTopHint);
    panel->setAttribute(Qt::WA_TranslucentBackground);
    panel->setAttribute(Qt::WA_ShowWithoutActivating);
    const QRect under(item->frame().left() - 200, item->frame().bottom() + 1, 200 + item->frame().width(),
                      60);
    panel->setGeometry(under);
    panel->show();
    panel->move(under.topLeft()); // see StatusItem::frame(): openbox may place it first
    EXPECT_TRUE(becomes([&] { return X11Tools::serverGeometry(panel); }, under));
    QTest::qWait(100);
    EXPECT_TRUE(active->isActiveWindow());

    item.reset();
    EXPECT_TRUE(panel.isNull()); // went with its parent
}
