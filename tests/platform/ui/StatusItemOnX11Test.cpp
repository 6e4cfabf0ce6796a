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
};
} // namespace

TEST_F(StatusItemOnX11, SitsAtTheTopRightOfTheAvailableAreaAboveOtherWindows) {
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    item->button()->setImage(QStringLiteral("TestSquareTemplate"));
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
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

    // A desktop panel along the top reserves 30 pixels (a strut), which shrinks the available area.
    QWidget panel(nullptr, Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus);
    panel.setAttribute(Qt::WA_X11NetWmWindowTypeDock);
    panel.setGeometry(screen.left(), screen.top(), screen.width(), 30);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    const QString strut =
        QStringLiteral("0, 0, 30, 0, 0, 0, 0, 0, %1, %2, 0, 0").arg(screen.left()).arg(screen.right());
    std::string output;
    ASSERT_EQ(XvfbSession::run({"xprop", "-id", std::to_string(panel.winId()), "-f", "_NET_WM_STRUT_PARTIAL",
                                "32c", "-set", "_NET_WM_STRUT_PARTIAL", strut.toStdString()},
                               &output),
              0);

    EXPECT_TRUE(becomes([&] { return QGuiApplication::primaryScreen()->availableGeometry().top(); },
                        screen.top() + 30));
    EXPECT_TRUE(becomes([&] { return item->frame().top(); }, screen.top() + 30));
    EXPECT_EQ(item->frame().right(), screen.right());
    EXPECT_GE(moved.count(), 1);
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, item->frame()));

    // And back up when the panel goes.
    panel.hide();
    EXPECT_TRUE(becomes([&] { return item->frame().top(); }, screen.top()));
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, item->frame()));
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
