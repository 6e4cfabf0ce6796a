#include "EventRecorder.h"
#include "Eventually.h"
#include "Popover.h"
#include "StatusBar.h"
#include "StatusBarButton.h"
#include "StatusItem.h"
#include "ViewController.h"
#include "X11Tools.h"

#include <QApplication>
#include <QComboBox>
#include <QMenu>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <sstream>

namespace {
class FixedSizeController : public ViewController {
public:
    EventRecorder* recorder() { return static_cast<EventRecorder*>(view()); }

protected:
    std::unique_ptr<QWidget> loadView() override {
        auto view = std::make_unique<EventRecorder>();
        view->setFixedSize(220, 120);
        return view;
    }
};

// Counts the key presses a window gets.
class KeyCounter : public QObject {
public:
    int presses = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::KeyPress)
            ++presses;
        return false;
    }
};

// Settings-like content: a pop-up list at the top and room below it.
class ChoicesController : public FixedSizeController {
public:
    QComboBox* choices = nullptr;

protected:
    std::unique_ptr<QWidget> loadView() override {
        auto view = FixedSizeController::loadView();
        choices = new QComboBox(view.get());
        choices->addItems({QStringLiteral("One"), QStringLiteral("Two"), QStringLiteral("Three")});
        choices->setGeometry(10, 10, 200, 26);
        return view;
    }
};

class PopoverOnX11 : public testing::Test {
protected:
    Popover popover;
    FixedSizeController controller;
    int willClose = 0;
    int didClose = 0;

    void SetUp() override {
        if (!X11Tools::isX11())
            GTEST_SKIP() << "needs an X server";
        popover.setAnimates(false);
        popover.setContentViewController(&controller);
        QObject::connect(&popover, &Popover::willClose, [this] { ++willClose; });
        QObject::connect(&popover, &Popover::didClose, [this] { ++didClose; });
    }

    static std::unique_ptr<EventRecorder> recorderWindow(const QRect& geometry) {
        auto window = std::make_unique<EventRecorder>();
        window->setGeometry(geometry);
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        window->move(geometry.topLeft());
        return window;
    }
};
} // namespace

TEST_F(PopoverOnX11, HangsUnderTheStatusItemOnTheScreen) {
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    ASSERT_TRUE(becomes([&] { return X11Tools::serverGeometry(item->window()); }, item->frame()));
    EXPECT_TRUE(becomes([&] { return item->button()->mapToGlobal(QPoint(0, 0)); }, item->frame().topLeft()));

    popover.show(item->button()->bounds(), item->button(), RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));
    const QRect frame = X11Tools::serverGeometry(popover.window());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(frame, popover.window()->geometry());
    EXPECT_EQ(frame.top(), item->frame().bottom() + 1);
    EXPECT_TRUE(screen.contains(frame));
    EXPECT_EQ(popover.arrowTip().y(), item->frame().bottom() + 1);
    EXPECT_GE(popover.arrowTip().x(), item->frame().left());
    EXPECT_LE(popover.arrowTip().x(), item->frame().right());
    // The arrow is on the screen, over the window below it.
    EXPECT_EQ(X11Tools::screenPixel(popover.arrowTip() + QPoint(0, 5)),
              popover.window()->palette().color(QPalette::Window));
}

TEST_F(PopoverOnX11, TransientClosesOnAClickInAnotherApplicationAndOnEscape) {
    popover.setBehavior(Popover::Behavior::transient);
    QString foreignId;
    auto foreign = X11Tools::startForeignWindow(QRect(100, 600, 400, 150), &foreignId);
    ASSERT_NE(foreign, nullptr);

    popover.show(QRect(900, 100, 40, 22), nullptr, RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));
    // A click inside keeps it.
    ASSERT_TRUE(X11Tools::click(popover.window()->geometry().center()));
    QTest::qWait(100);
    EXPECT_TRUE(popover.isShown());

    ASSERT_TRUE(X11Tools::click(QPoint(300, 675)));
    EXPECT_TRUE(eventually([&] { return !popover.isShown(); }));
    EXPECT_TRUE(eventually([&] { return !popover.window()->isVisible(); }));
    EXPECT_EQ(willClose, 1);
    EXPECT_EQ(didClose, 1);
    popover.performClose();
    EXPECT_EQ(willClose, 1);

    // A click on the bare desktop closes it as well, and so does Escape.
    popover.show(QRect(900, 100, 40, 22), nullptr, RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));
    ASSERT_TRUE(X11Tools::click(QPoint(1500, 900)));
    EXPECT_TRUE(becomes([&] { return didClose; }, 2));

    popover.show(QRect(900, 100, 40, 22), nullptr, RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));
    ASSERT_TRUE(X11Tools::movePointer(popover.window()->geometry().center()));
    ASSERT_TRUE(X11Tools::pressKey(QStringLiteral("Escape")));
    EXPECT_TRUE(becomes([&] { return didClose; }, 3));
    EXPECT_EQ(willClose, 3);
    foreign->kill();
    foreign->waitForFinished();
}

TEST_F(PopoverOnX11, ApplicationDefinedFollowsADragWithoutTakingThePointerOrTheFocus) {
    popover.setBehavior(Popover::Behavior::applicationDefined);
    const auto dragged = recorderWindow(QRect(600, 100, 200, 40));
    const auto other = recorderWindow(QRect(100, 600, 200, 200));
    ASSERT_TRUE(X11Tools::activate(other.get()));

    // The press starts a drag in `dragged`; the popover comes up under the pointer and follows it.
    const QPoint start(700, 120);
    ASSERT_TRUE(X11Tools::movePointer(start));
    ASSERT_TRUE(X11Tools::pressButton());
    ASSERT_TRUE(becomes([&] { return dragged->count(QEvent::MouseButtonPress); }, 1));
    popover.show(QRect(start, QSize(1, 1)), nullptr, RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);

    for (int step = 1; step <= 4; ++step) {
        const QPoint pointer = start + QPoint(0, 40 * step); // right across the popover
        ASSERT_TRUE(X11Tools::movePointer(pointer));
        popover.setPositioningRect(QRect(pointer, QSize(1, 1)));
        EXPECT_TRUE(eventually([&] {
            return !dragged->events(QEvent::MouseMove).isEmpty() &&
                   dragged->events(QEvent::MouseMove).constLast().globalPosition == pointer;
        }));
    }
    ASSERT_TRUE(X11Tools::releaseButton());
    EXPECT_TRUE(becomes([&] { return dragged->count(QEvent::MouseButtonRelease); }, 1));
    EXPECT_EQ(dragged->events(QEvent::MouseButtonRelease).constFirst().globalPosition,
              start + QPoint(0, 160));
    EXPECT_TRUE(popover.isShown());
    EXPECT_EQ(popover.window()->geometry().top(), start.y() + 160 + 1);

    // Clicks elsewhere reach their window and leave the popover alone; the focus never moved.
    ASSERT_TRUE(X11Tools::click(QPoint(200, 700)));
    EXPECT_TRUE(becomes([&] { return other->count(QEvent::MouseButtonPress); }, 1));
    EXPECT_TRUE(popover.isShown());
    EXPECT_EQ(willClose, 0);
    EXPECT_TRUE(other->isActiveWindow());
    EXPECT_FALSE(popover.window()->isActiveWindow());
}

TEST_F(PopoverOnX11, NonActivatingTransientLeavesTypingAndClicksAloneAndClosesOnAPressOutside) {
    popover.setBehavior(Popover::Behavior::nonActivatingTransient);
    auto foreign = X11Tools::startForeignWindow(QRect(100, 300, 400, 150), nullptr);
    ASSERT_NE(foreign, nullptr);
    const auto other = recorderWindow(QRect(100, 600, 200, 200));
    ASSERT_TRUE(X11Tools::activate(other.get()));

    popover.show(QRect(900, 100, 40, 22), nullptr, RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    // Typing keeps going to the active window.
    ASSERT_TRUE(X11Tools::pressKey(QStringLiteral("a")));
    EXPECT_TRUE(becomes([&] { return other->count(QEvent::KeyPress); }, 1));
    EXPECT_TRUE(other->isActiveWindow());
    EXPECT_FALSE(popover.window()->isActiveWindow());
    // A press inside reaches the content and keeps it.
    ASSERT_TRUE(X11Tools::click(popover.window()->geometry().center()));
    ASSERT_TRUE(becomes([&] { return controller.recorder()->count(QEvent::MouseButtonRelease); }, 1));
    EXPECT_TRUE(popover.isShown());

    // A click on another window reaches it and closes the popover, in this program or another one, also
    // while a menu of ours holds the pointer (the server tells of raw presses during grabs).
    ASSERT_TRUE(X11Tools::click(QPoint(200, 700)));
    EXPECT_TRUE(becomes([&] { return other->count(QEvent::MouseButtonPress); }, 1));
    EXPECT_TRUE(becomes([&] { return didClose; }, 1));
    popover.show(QRect(900, 100, 40, 22), nullptr, RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));
    QMenu menu;
    menu.addAction(QStringLiteral("Item"));
    menu.popup(QPoint(1000, 700));
    ASSERT_TRUE(eventually([&] { return QApplication::activePopupWidget() == &menu; }));
    ASSERT_TRUE(X11Tools::xdotool({"mousemove", "300", "375", "click", "3"}));
    EXPECT_TRUE(becomes([&] { return didClose; }, 2));
    EXPECT_EQ(willClose, 2);
    foreign->kill();
    foreign->waitForFinished();
}

TEST_F(PopoverOnX11, ActivatingTransientTakesTheKeyboardAndClosesWhenTheUserTurnsElsewhere) {
    popover.setBehavior(Popover::Behavior::activatingTransient);
    QString foreignId;
    auto foreign = X11Tools::startForeignWindow(QRect(100, 300, 400, 150), &foreignId);
    ASSERT_NE(foreign, nullptr);
    ASSERT_TRUE(X11Tools::click(QPoint(300, 375)));
    // The view it hangs from, which toggles it: a press there only closes it. Like a status item, it never
    // takes the focus.
    EventRecorder anchor(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus |
                                      Qt::WindowStaysOnTopHint);
    anchor.setAttribute(Qt::WA_ShowWithoutActivating);
    anchor.setGeometry(900, 100, 40, 22);
    anchor.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&anchor));
    anchor.move(900, 100);
    popover.setReplaysClosingPress(false);
    const auto showAndWaitForTheKeyboard = [&] {
        popover.show(anchor.rect(), &anchor, RectEdge::minY);
        return QTest::qWaitForWindowActive(popover.window());
    };

    KeyCounter keys;
    popover.window()->installEventFilter(&keys);
    ASSERT_TRUE(showAndWaitForTheKeyboard());
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    ASSERT_TRUE(X11Tools::pressKey(QStringLiteral("a")));
    EXPECT_TRUE(becomes([&] { return keys.presses; }, 1));
    ASSERT_TRUE(X11Tools::pressKey(QStringLiteral("Escape")));
    EXPECT_TRUE(becomes([&] { return didClose; }, 1));

    // The press on the view it hangs from closes it and goes no further; the next one arrives.
    ASSERT_TRUE(showAndWaitForTheKeyboard());
    ASSERT_TRUE(X11Tools::click(QPoint(910, 110)));
    EXPECT_TRUE(becomes([&] { return didClose; }, 2));
    ASSERT_TRUE(X11Tools::click(QPoint(930, 110)));
    EXPECT_TRUE(becomes([&] { return anchor.count(QEvent::MouseButtonRelease); }, 1));
    ASSERT_EQ(anchor.count(QEvent::MouseButtonPress), 1);
    EXPECT_EQ(anchor.events(QEvent::MouseButtonPress)[0].globalPosition, QPoint(930, 110));

    // A press in another program, on the bare desktop, or the keyboard going to another program.
    ASSERT_TRUE(showAndWaitForTheKeyboard());
    ASSERT_TRUE(X11Tools::click(QPoint(300, 375)));
    EXPECT_TRUE(becomes([&] { return didClose; }, 3));
    ASSERT_TRUE(showAndWaitForTheKeyboard());
    ASSERT_TRUE(X11Tools::click(QPoint(1500, 900)));
    EXPECT_TRUE(becomes([&] { return didClose; }, 4));
    ASSERT_TRUE(showAndWaitForTheKeyboard());
    // As a window manager gives the keyboard to another program; it may still be answering the popover's
    // own request to be the active window, which takes the keyboard back.
    EXPECT_TRUE(eventually([&] {
        return X11Tools::xdotool({"windowfocus", foreignId}) &&
               QTest::qWaitFor([&] { return didClose == 5; }, 500);
    }));
    EXPECT_EQ(willClose, 5);
    foreign->kill();
    foreign->waitForFinished();
}

TEST_F(PopoverOnX11, ActivatingTransientKeepsItsPopUpListsAndThePopoversHangingFromIt) {
    ChoicesController choicesController;
    popover.setContentViewController(&choicesController);
    popover.setBehavior(Popover::Behavior::activatingTransient);
    auto foreign = X11Tools::startForeignWindow(QRect(100, 300, 400, 150), nullptr);
    ASSERT_NE(foreign, nullptr);
    popover.show(QRect(900, 100, 40, 22), nullptr, RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowActive(popover.window()));
    EventRecorder* parentView = choicesController.recorder();

    // A popover hanging from a control of this one takes the keyboard; this one stays open.
    Popover child;
    FixedSizeController childController;
    child.setAnimates(false);
    child.setBehavior(Popover::Behavior::activatingTransient);
    child.setContentViewController(&childController);
    child.show(QRect(0, 0, 200, 26), choicesController.choices, RectEdge::maxY);
    ASSERT_TRUE(QTest::qWaitForWindowActive(child.window()));
    ASSERT_TRUE(X11Tools::click(child.window()->geometry().center()));
    ASSERT_TRUE(becomes([&] { return childController.recorder()->count(QEvent::MouseButtonRelease); }, 1));
    EXPECT_TRUE(popover.isShown());
    // A press on this one closes the child and reaches this one: on a spot of this one the child does not
    // cover (the child hangs above the list, or below it where the screen has no room above).
    QPoint parentSpot;
    for (const QPoint local : {QPoint(110, 100), QPoint(110, 50), QPoint(15, 100), QPoint(205, 100)}) {
        parentSpot = parentView->mapToGlobal(local);
        if (!child.window()->frameGeometry().contains(parentSpot))
            break;
    }
    const auto where = [&] {
        std::ostringstream text;
        const QRect parentFrame = popover.window()->frameGeometry();
        const QRect childFrame = child.window()->frameGeometry();
        text << "this one at " << parentFrame.x() << "," << parentFrame.y() << " " << parentFrame.width()
             << "x" << parentFrame.height() << ", the child at " << childFrame.x() << "," << childFrame.y()
             << " " << childFrame.width() << "x" << childFrame.height() << ", pressed at " << parentSpot.x()
             << "," << parentSpot.y();
        return text.str();
    };
    ASSERT_FALSE(child.window()->frameGeometry().contains(parentSpot)) << where();
    ASSERT_TRUE(X11Tools::click(parentSpot));
    EXPECT_TRUE(eventually([&] { return !child.isShown(); })) << where();
    EXPECT_TRUE(becomes([&] { return parentView->count(QEvent::MouseButtonRelease); }, 1));
    EXPECT_TRUE(popover.isShown());

    // The press that closes an open list only closes the list, also in another program.
    choicesController.choices->showPopup();
    ASSERT_TRUE(eventually([] { return QApplication::activePopupWidget() != nullptr; }));
    ASSERT_TRUE(X11Tools::click(QPoint(300, 375)));
    EXPECT_TRUE(eventually([] { return QApplication::activePopupWidget() == nullptr; }));
    ASSERT_TRUE(X11Tools::click(parentSpot)); // by then the other press was heard of twice
    EXPECT_TRUE(becomes([&] { return parentView->count(QEvent::MouseButtonRelease); }, 2));
    EXPECT_TRUE(popover.isShown());
    EXPECT_EQ(willClose, 0);
    ASSERT_TRUE(X11Tools::click(QPoint(300, 375)));
    EXPECT_TRUE(becomes([&] { return didClose; }, 1));
    foreign->kill();
    foreign->waitForFinished();
}
