#include "EventRecorder.h"
#include "Eventually.h"
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
        auto panel =
            std::make_unique<QWidget>(nullptr, Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
        panel->setAttribute(Qt::WA_X11NetWmWindowTypeDock);
        panel->setGeometry(screen.left(), screen.top(), screen.width(), heightPixels);
        panel->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(panel.get()));
        const QString strut = QStringLiteral("0, 0, %1, 0, 0, 0, 0, 0, %2, %3, 0, 0")
                                  .arg(heightPixels)
                                  .arg(screen.left())
                                  .arg(screen.right());
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
