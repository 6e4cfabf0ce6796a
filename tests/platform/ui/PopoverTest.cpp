#include "Popover.h"
#include "EventRecorder.h"
#include "Eventually.h"
#include "PopoverPlacement.h"
#include "ViewController.h"

#include <QApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace {
// A content controller whose view has a known size and that records its appearance calls.
class RecordingController : public ViewController {
public:
    explicit RecordingController(QStringList* journal, QSize size = QSize(160, 80))
        : journal_(journal)
        , size_(size) {}

    void viewWillAppear() override { journal_->append(QStringLiteral("viewWillAppear")); }
    void viewDidAppear() override { journal_->append(QStringLiteral("viewDidAppear")); }
    void viewWillDisappear() override { journal_->append(QStringLiteral("viewWillDisappear")); }
    void viewDidDisappear() override { journal_->append(QStringLiteral("viewDidDisappear")); }

protected:
    std::unique_ptr<QWidget> loadView() override {
        auto view = std::make_unique<EventRecorder>();
        view->setFixedSize(size_);
        return view;
    }

private:
    QStringList* journal_;
    QSize size_;
};

void journalSignals(Popover& popover, QStringList* journal) {
    QObject::connect(&popover, &Popover::willShow,
                     [journal] { journal->append(QStringLiteral("willShow")); });
    QObject::connect(&popover, &Popover::didShow, [journal] { journal->append(QStringLiteral("didShow")); });
    QObject::connect(&popover, &Popover::willClose,
                     [journal] { journal->append(QStringLiteral("willClose")); });
    QObject::connect(&popover, &Popover::didClose,
                     [journal] { journal->append(QStringLiteral("didClose")); });
}

// A window standing in for the status item the popovers hang from.
std::unique_ptr<EventRecorder> anchorWindow(const QRect& geometry) {
    auto window = std::make_unique<EventRecorder>(nullptr, Qt::Tool | Qt::FramelessWindowHint);
    window->setGeometry(geometry);
    window->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    return window;
}

QRect screenArea() {
    return QGuiApplication::primaryScreen()->availableGeometry();
}

class PopoverTest : public testing::Test {
protected:
    QStringList journal;
    Popover popover;
    RecordingController controller{&journal};

    void SetUp() override {
        popover.setAnimates(false);
        popover.setContentViewController(&controller);
        journalSignals(popover, &journal);
    }
};
} // namespace

TEST_F(PopoverTest, HangsBelowItsAnchorOnMinYWithTheArrowPointingAtIt) {
    const auto anchor = anchorWindow(QRect(300, 200, 40, 22));
    popover.show(anchor->rect(), anchor.get(), RectEdge::minY);
    QWidget* window = popover.window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));

    EXPECT_EQ(popover.edge(), RectEdge::minY);
    const QRect frame = window->geometry();
    EXPECT_EQ(frame.top(), 222); // right under the anchor's bottom row (200 + 22)
    EXPECT_EQ(frame.size(), QSize(160, 80 + PopoverPlacement::arrowLengthPixels));
    EXPECT_EQ(frame.left(), 320 - 80); // centred on the anchor
    EXPECT_EQ(popover.arrowTip(), QPoint(320, 222));
    EXPECT_EQ(controller.view()->geometry(), QRect(0, PopoverPlacement::arrowLengthPixels, 160, 80));

    // The arrow is painted where it points, the corners beside it are see-through.
    const QImage image = window->grab().toImage();
    const QPoint tip = popover.arrowTip() - frame.topLeft();
    EXPECT_EQ(image.pixelColor(tip + QPoint(0, 4)).alpha(), 255);
    EXPECT_EQ(image.pixelColor(tip + QPoint(PopoverPlacement::arrowWidthPixels, 2)).alpha(), 0);
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(image.pixelColor(frame.width() / 2, frame.height() - 3).alpha(), 255);
}

TEST_F(PopoverTest, StaysOnTheScreenAndKeepsPointingAtTheAnchor) {
    const QRect area = screenArea();
    const int margin = PopoverPlacement::screenMarginPixels;

    // At the top-right corner, like a status item: slid left, arrow still on the anchor's centre.
    const QRect corner(area.right() - 21, area.top(), 22, 22);
    popover.show(corner, nullptr, RectEdge::minY);
    QRect frame = popover.window()->geometry();
    EXPECT_EQ(popover.edge(), RectEdge::minY);
    EXPECT_EQ(frame.right(), area.right() - margin);
    EXPECT_EQ(frame.top(), corner.bottom() + 1);
    // The rounded corner keeps the arrow a little off the centre, but it still points into the anchor.
    EXPECT_EQ(popover.arrowTip().y(), corner.bottom() + 1);
    EXPECT_GE(popover.arrowTip().x(), corner.left());
    EXPECT_LE(popover.arrowTip().x(), corner.right());
    EXPECT_TRUE(frame.contains(popover.arrowTip() + QPoint(0, 1)));

    // No room below: it goes above, arrow at the bottom.
    const QRect bottom(area.left() + 300, area.bottom() - 30, 40, 20);
    popover.setPositioningRect(bottom);
    frame = popover.window()->geometry();
    EXPECT_EQ(popover.edge(), RectEdge::maxY);
    EXPECT_EQ(frame.bottom() + 1, bottom.top());
    EXPECT_EQ(popover.arrowTip(), QPoint(320, bottom.top()));

    // Left and right edges too.
    popover.close();
    popover.show(QRect(area.left() + 400, area.top() + 300, 20, 20), nullptr, RectEdge::maxX);
    EXPECT_EQ(popover.window()->geometry().left(), area.left() + 420);
    EXPECT_EQ(popover.arrowTip(), QPoint(area.left() + 420, area.top() + 310));
    popover.close();
    popover.show(QRect(area.left() + 10, area.top() + 300, 20, 20), nullptr, RectEdge::minX);
    EXPECT_EQ(popover.edge(), RectEdge::maxX); // no room on the left
    EXPECT_GE(popover.window()->geometry().left(), area.left() + margin);
}

TEST_F(PopoverTest, TellsItsContentAndListenersInOrderAndClosesOnlyOnce) {
    const auto anchor = anchorWindow(QRect(300, 200, 40, 22));
    popover.show(anchor->rect(), anchor.get(), RectEdge::minY);
    EXPECT_TRUE(popover.isShown());
    EXPECT_EQ(journal, QStringList({"willShow", "viewWillAppear", "viewDidAppear", "didShow"}));

    // Showing again while shown only moves it.
    journal.clear();
    anchor->move(350, 200);
    popover.show(anchor->rect(), anchor.get(), RectEdge::minY);
    EXPECT_EQ(popover.arrowTip(), QPoint(370, 222));
    EXPECT_TRUE(journal.isEmpty());

    popover.performClose();
    EXPECT_FALSE(popover.isShown());
    EXPECT_FALSE(popover.window()->isVisible());
    EXPECT_EQ(journal, QStringList({"willClose", "viewWillDisappear", "viewDidDisappear", "didClose"}));

    journal.clear();
    popover.performClose();
    popover.close();
    EXPECT_TRUE(journal.isEmpty());
}

TEST_F(PopoverTest, TransientClosesOnAClickOutsideAndOnEscape) {
    const auto anchor = anchorWindow(QRect(300, 200, 40, 22));
    const auto elsewhere = anchorWindow(QRect(50, 400, 100, 100));
    popover.setBehavior(Popover::Behavior::transient);

    popover.show(anchor->rect(), anchor.get(), RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));
    EXPECT_EQ(QApplication::activePopupWidget(), popover.window());
    // Clicks go through the window system, where Qt routes them to the open popup. A click inside keeps it
    // open.
    QTest::mouseClick(popover.window()->windowHandle(), Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(popover.isShown());

    journal.clear();
    QTest::mouseClick(elsewhere->windowHandle(), Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_FALSE(popover.isShown());
    EXPECT_FALSE(popover.window()->isVisible());
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(journal, QStringList({"willClose", "viewWillDisappear", "viewDidDisappear", "didClose"}));

    // Closed by the user, a later performClose() has nothing to do.
    journal.clear();
    popover.performClose();
    EXPECT_TRUE(journal.isEmpty());

    popover.show(anchor->rect(), anchor.get(), RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));
    journal.clear();
    QTest::keyClick(popover.window()->windowHandle(), Qt::Key_Escape);
    EXPECT_FALSE(popover.isShown());
    EXPECT_EQ(journal.count("didClose"), 1);
    EXPECT_EQ(journal.count("willClose"), 1);
}

TEST_F(PopoverTest, ApplicationDefinedTakesNoGrabNorFocusAndStaysOpen) {
    const auto anchor = anchorWindow(QRect(300, 200, 40, 22));
    const auto elsewhere = anchorWindow(QRect(50, 400, 100, 100));
    popover.setBehavior(Popover::Behavior::applicationDefined);
    popover.show(anchor->rect(), anchor.get(), RectEdge::minY);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popover.window()));

    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_NE(QApplication::activeWindow(), popover.window());
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    EXPECT_EQ(QWidget::keyboardGrabber(), nullptr);
    EXPECT_TRUE(popover.window()->windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));

    QTest::mouseClick(elsewhere->windowHandle(), Qt::LeftButton, {}, QPoint(50, 50));
    EXPECT_EQ(elsewhere->count(QEvent::MouseButtonPress), 1);
    EXPECT_TRUE(popover.isShown());
    EXPECT_TRUE(popover.window()->isVisible());
}

TEST_F(PopoverTest, FadesToItsAlphaValueAndFadesOutBeforeDidClose) {
    popover.setAnimates(true);
    popover.setAlphaValue(0.6);
    popover.show(QRect(300, 200, 40, 22), nullptr, RectEdge::minY);
    EXPECT_TRUE(popover.isShown());
    EXPECT_EQ(journal.count("didShow"), 0);
    EXPECT_LT(popover.window()->windowOpacity(), 0.6);
    EXPECT_TRUE(becomes([&] { return journal.count("didShow"); }, 1));
    // Window opacity is kept in 8 bits.
    EXPECT_NEAR(popover.window()->windowOpacity(), 0.6, 1.0 / 255);

    popover.setAlphaValue(0.3);
    EXPECT_NEAR(popover.window()->windowOpacity(), 0.3, 1.0 / 255);

    journal.clear();
    popover.performClose();
    EXPECT_FALSE(popover.isShown());
    EXPECT_EQ(journal, QStringList({"willClose", "viewWillDisappear"}));
    EXPECT_TRUE(popover.window()->isVisible()); // still fading
    popover.performClose();
    EXPECT_TRUE(becomes([&] { return journal.count("didClose"); }, 1));
    EXPECT_FALSE(popover.window()->isVisible());
    EXPECT_EQ(journal.count("willClose"), 1);

    // Without animation everything happens at once, at the alpha value.
    popover.setAnimates(false);
    popover.show(QRect(300, 200, 40, 22), nullptr, RectEdge::minY);
    EXPECT_NEAR(popover.window()->windowOpacity(), 0.3, 1.0 / 255);
    EXPECT_EQ(journal.count("didShow"), 1);
}

TEST(Popover, GivesTheViewBackAndDeletesOnlyWhatItOwns) {
    QStringList journal;
    RecordingController watched(&journal);
    QPointer<QWidget> watchedView = watched.view();
    QPointer<ViewController> owned;
    {
        Popover popover;
        popover.setAnimates(false);
        popover.setContentViewController(&watched);
        popover.show(QRect(300, 200, 40, 22), nullptr, RectEdge::minY);
        EXPECT_EQ(watchedView->window(), popover.window());

        // Replacing the content gives the old view back.
        auto controller = std::make_unique<RecordingController>(&journal);
        owned = controller.get();
        popover.setContentViewController(std::move(controller));
        EXPECT_EQ(watchedView->parentWidget(), nullptr);
        EXPECT_EQ(owned->view()->window(), popover.window());

        popover.setContentViewController(&watched);
        EXPECT_TRUE(owned.isNull()); // owned, so deleted once replaced
        EXPECT_EQ(watchedView->window(), popover.window());
    }
    ASSERT_FALSE(watchedView.isNull());
    EXPECT_EQ(watchedView->parentWidget(), nullptr);
}

TEST(Popover, ClosesWhenItsContentControllerGoesAway) {
    QStringList journal;
    Popover popover;
    popover.setAnimates(false);
    journalSignals(popover, &journal);
    auto controller = std::make_unique<RecordingController>(&journal);
    popover.setContentViewController(controller.get());
    popover.show(QRect(300, 200, 40, 22), nullptr, RectEdge::minY);
    journal.clear();
    controller.reset();
    EXPECT_FALSE(popover.isShown());
    EXPECT_EQ(journal, QStringList({"willClose", "didClose"}));
}
