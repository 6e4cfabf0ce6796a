#include "StatusItem.h"
#include "Appearance.h"
#include "EventRecorder.h"
#include "Eventually.h"
#include "Images.h"
#include "StatusBar.h"
#include "StatusBarButton.h"

#include <QApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {
QColor pixelAt(QWidget* widget, const QPoint& point) {
    return widget->grab().toImage().pixelColor(point);
}

// A palette like a dark desktop theme's.
QPalette darkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x30, 0x30, 0x30));
    palette.setColor(QPalette::WindowText, QColor(0xf0, 0xf0, 0xf0));
    palette.setColor(QPalette::Base, QColor(0x20, 0x20, 0x20));
    palette.setColor(QPalette::Text, QColor(0xf0, 0xf0, 0xf0));
    return palette;
}

// Restores the application palette a test changed.
class PaletteGuard {
public:
    PaletteGuard()
        : saved_(QApplication::palette()) {}
    ~PaletteGuard() { QApplication::setPalette(saved_); }

private:
    QPalette saved_;
};
} // namespace

TEST(StatusItem, SitsAtTheTopRightOfTheAvailableAreaAsAnOnTopToolWindowThatTakesNoFocus) {
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    ASSERT_NE(item->button(), nullptr);
    QWidget* window = item->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));

    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect expected(available.x() + available.width() - StatusBar::thicknessPixels, available.y(),
                         StatusBar::thicknessPixels, StatusBar::thicknessPixels);
    EXPECT_EQ(item->frame(), expected);
    EXPECT_EQ(window->geometry(), expected);
    EXPECT_EQ(item->button()->bounds(), QRect(QPoint(0, 0), expected.size()));

    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_EQ(window->windowType(), Qt::Tool);
    EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_TRUE(window->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_EQ(item->button()->window(), window);
}

TEST(StatusItem, VariableLengthItemsFitTheirImageAndLineUpLeftwards) {
    auto first = StatusBar::system().statusItem(StatusBar::variableLength);
    auto second = StatusBar::system().statusItem(StatusBar::squareLength);
    first->button()->setImage(QStringLiteral("TestSquareTemplate"));
    const int padding = 2 * StatusBarButton::horizontalPaddingPixels;
    EXPECT_EQ(first->frame().width(), 16 + padding);
    EXPECT_EQ(second->frame().right() + 1, first->frame().left());

    // A wider image widens the item and pushes its neighbour to the left.
    QSignalSpy moved(second.get(), &StatusItem::frameChanged);
    first->button()->setImage(QStringLiteral("TestWideTemplate"));
    EXPECT_EQ(first->frame().width(), 40 + padding);
    EXPECT_EQ(second->frame().right() + 1, first->frame().left());
    EXPECT_EQ(moved.count(), 1);
    EXPECT_TRUE(becomes([&] { return second->window()->geometry(); }, second->frame()));

    // Removing the first item gives its place to the second.
    const QRect firstFrame = first->frame();
    first.reset();
    EXPECT_EQ(second->frame().right(), firstFrame.right());

    // A hidden item leaves the bar.
    auto third = StatusBar::system().statusItem(StatusBar::squareLength);
    const QRect thirdFrame = third->frame();
    second->setVisible(false);
    EXPECT_FALSE(second->window()->isVisible());
    EXPECT_EQ(third->frame().right(), firstFrame.right());
    EXPECT_NE(third->frame(), thirdFrame);
}

TEST(StatusBarButton, TintsATemplateImageWithTheTextColourOfLightAndDarkPanels) {
    const PaletteGuard guard;
    auto item = StatusBar::system().statusItem(StatusBar::variableLength);
    StatusBarButton* button = item->button();
    button->setImage(QStringLiteral("TestSquareTemplate"));
    ASSERT_TRUE(button->isImageTemplate());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(item->window()));
    const QPoint centre = button->bounds().center();
    const QPoint corner(1, 1);

    const QColor lightText = button->palette().color(QPalette::WindowText);
    ASSERT_FALSE(Appearance::isDark());
    EXPECT_EQ(pixelAt(button, centre).rgb(), lightText.rgb());
    // Outside the image's shape the panel shows through.
    EXPECT_NE(pixelAt(item->window(), corner).rgb(), lightText.rgb());

    QApplication::setPalette(darkPalette());
    EXPECT_TRUE(Appearance::isDark());
    EXPECT_TRUE(becomes([&] { return pixelAt(button, centre).rgb(); }, QColor(0xf0, 0xf0, 0xf0).rgb()));
    EXPECT_EQ(pixelAt(item->window(), corner).rgb(), QColor(0x30, 0x30, 0x30).rgb());

    // An image that is not a template keeps its own colours on a dark panel.
    button->setImage(QStringLiteral("TestRed"));
    EXPECT_FALSE(button->isImageTemplate());
    EXPECT_EQ(pixelAt(button, centre).rgb(), QColor(Qt::red).rgb());
}

TEST(StatusBarButton, HighlightsLikeAPressedMenuBarButton) {
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    StatusBarButton* button = item->button();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(item->window()));
    const QPoint nearEdge(3, button->height() / 2);
    const QColor plain = pixelAt(button, nearEdge);

    button->setHighlighted(true);
    EXPECT_TRUE(button->isHighlighted());
    const QColor highlighted = pixelAt(button, nearEdge);
    EXPECT_NE(highlighted.rgb(), plain.rgb());
    // Darker on a light panel: a veil of the text colour.
    EXPECT_LT(highlighted.lightness(), plain.lightness());

    button->setHighlighted(false);
    EXPECT_EQ(pixelAt(button, nearEdge).rgb(), plain.rgb());
}

TEST(StatusBarButton, LeavesMouseEventsToAViewLaidOverIt) {
    auto item = StatusBar::system().statusItem(StatusBar::squareLength);
    StatusBarButton* button = item->button();
    QSignalSpy clicked(button, &QAbstractButton::clicked);
    auto* cover = new EventRecorder(button);
    cover->setGeometry(button->bounds());
    cover->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(item->window()));

    QTest::mousePress(cover, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseMove(cover, QPoint(8, 8));
    QTest::mouseRelease(cover, Qt::LeftButton, {}, QPoint(8, 8));
    EXPECT_EQ(cover->count(QEvent::MouseButtonPress), 1);
    EXPECT_EQ(cover->count(QEvent::MouseButtonRelease), 1);
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_FALSE(button->isDown());

    // Without the view on top the button itself is clickable.
    delete cover;
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(clicked.count(), 1);
}

TEST(Images, FindsResourceImagesAndAnswersNullForUnknownNames) {
    EXPECT_FALSE(Images::named(QStringLiteral("TestRed")).isNull());
    EXPECT_EQ(Images::naturalSize(QStringLiteral("TestWideTemplate")), QSize(40, 16));
    EXPECT_TRUE(Images::named(QStringLiteral("NoSuchImage")).isNull());
    EXPECT_TRUE(Images::isTemplate(QStringLiteral("StatusTemplate")));
    EXPECT_FALSE(Images::isTemplate(QStringLiteral("TemplateStatus")));

    // Tinting keeps the shape: transparent stays transparent, the rest takes the colour.
    const QPixmap tinted =
        Images::tinted(Images::named(QStringLiteral("TestSquareTemplate")), QSize(16, 16), Qt::blue);
    const QImage image = tinted.toImage();
    EXPECT_EQ(image.pixelColor(8, 8), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);

    StatusBarButton button;
    button.setImage(QStringLiteral("NoSuchImage"));
    EXPECT_TRUE(button.image().isNull());
    EXPECT_TRUE(button.imageName().isEmpty());
}
