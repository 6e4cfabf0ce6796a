// The status item's gesture in process: a real recording controller and buffer fed through a capture driven
// by the test, the status view over a real status item, pointer events sent to the view.
#include "AudioController.h"
#include "ClipSavePanel.h"
#include "Defaults.h"
#include "DefaultsRecordingSettings.h"
#include "FakeCaptureAuthorization.h"
#include "FakeCaptureSystem.h"
#include "GrabbableStatusView.h"
#include "MainStoryboard.h"
#include "PointGestureWindow.h"
#include "SavePanel.h"
#include "StatusAnchor.h"
#include "StatusBar.h"
#include "StatusBarButton.h"
#include "StatusItem.h"
#include "TemporaryFolder.h"
#include "Workspace.h"

#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <future>

namespace {
const CaptureDevice builtIn{"alsa_input.builtin", "Built-in Microphone"};
}

class StatusViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        Defaults::store().clear();
        MainStoryboard::registerScenes();
        capture.connectedDevices = {builtIn};
        capture.defaultDeviceID = builtIn.uniqueID;
        authorization.currentStatus = CaptureAuthorization::Status::authorized;
        controller = std::make_unique<AudioController>(capture, authorization, recordingSettings);
        controller->startRecording();
        item = StatusBar::system().statusItem(StatusBar::variableLength);
        item->button()->setImage(QStringLiteral("Status-Icon-Template"));
        view = new GrabbableStatusView(item->button()->bounds(), *controller, workspace, item->button());
    }

    // Empties the buffer and records `seconds` of silence through the capture path.
    void holdExactly(double seconds) {
        controller->audioBuffer().reset();
        const std::vector<int16_t> silence(44'100);
        auto samples = static_cast<std::size_t>(seconds * 44'100);
        for (; samples > 0; samples -= std::min(samples, silence.size()))
            capture.lastSession()->blockHandler(silence.data(), std::min(samples, silence.size()) * 2);
        controller->audioBuffer().queue().sync([] {});
    }

    QPointF anchorOnScreen() const {
        return QPointF(view->rubberBandWindow()->geometry().topLeft()) + view->rubberBandAnchor();
    }

    void send(QEvent::Type type, const QPointF& global) {
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, view->mapFromGlobal(global), global, Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(view, &event);
    }

    FakeCaptureSystem capture;
    FakeCaptureAuthorization authorization;
    Workspace workspace;
    DefaultsRecordingSettings recordingSettings;
    std::unique_ptr<AudioController> controller;
    std::unique_ptr<StatusItem> item;
    GrabbableStatusView* view = nullptr;
};

TEST_F(StatusViewTest, TheStretchChoosesWholeSecondsThenMinutesUpToWhatIsHeld) {
    // Seconds saved for a stretch of d pixels straight down, with `held` seconds of audio in the buffer.
    const struct {
        double held;
        std::vector<std::pair<double, qint64>> stretches;
    } rows[] = {
        {600,
         {{30, 0},
          {30.1, 5},
          {100, 23},
          {200, 48},
          {250, 60},
          {300, 240},
          {390, 600},
          {399, 600},
          {400, 600}}},
        {90,
         {{30, 0}, {30.1, 5}, {100, 16}, {200, 32}, {250, 39}, {300, 47}, {390, 60}, {399, 90}, {400, 90}}},
        {59.5,
         {{30, 0}, {30.1, 5}, {100, 15}, {200, 30}, {250, 37}, {300, 44}, {390, 58}, {399, 59}, {400, 60}}},
        {30,
         {{30, 0}, {30.1, 5}, {100, 10}, {200, 16}, {250, 20}, {300, 23}, {390, 29}, {399, 30}, {400, 30}}},
        // Beyond the band's reach: everything held.
        {90, {{1'000, 90}}},
        // Less than the minimum held: nothing, however far.
        {4, {{30.1, 0}, {200, 0}, {400, 0}}},
    };
    for (const auto& row : rows) {
        holdExactly(row.held);
        view->beginDrag(view->mapToGlobal(view->rect().center()));
        ASSERT_NE(view->rubberBandWindow(), nullptr);
        const QPointF anchor = anchorOnScreen();
        for (const auto& [distance, seconds] : row.stretches) {
            view->updateDrag(anchor + QPointF(0, distance));
            EXPECT_EQ(view->secondsToSave(), seconds) << row.held << " s held, stretched " << distance;
            EXPECT_DOUBLE_EQ(view->rubberBandDistance(), std::min(distance, 400.0));
            EXPECT_EQ(view->rubberBandPosition().y() - view->rubberBandAnchor().y(),
                      std::min(distance, 400.0));
            ASSERT_NE(view->timePopover(), nullptr);
            EXPECT_EQ(view->timePopover()->alphaValue(), seconds > 0 ? 1.0 : 0.0)
                << "popup shown only with a choice";
        }
        view->endDrag(true);
    }
}

TEST_F(StatusViewTest, AReleaseSavesAfterTheBandRetractsAndPressesWaitUntilTheClipIsEncoded) {
    holdExactly(12);
    SavePanel* panel = nullptr;
    ClipSavePanel savePanel(*controller);
    QObject::connect(&savePanel, &ClipSavePanel::panelOpened, [&](SavePanel* opened) { panel = opened; });
    QSignalSpy clicks(view, &GrabbableStatusView::settingsToggleRequested);
    // Earlier work keeps the buffer's queue busy: the export waits behind it.
    std::promise<void> busy;
    controller->audioBuffer().queue().async([done = busy.get_future().share()] { done.wait(); });

    const QPointF icon = view->mapToGlobal(QRectF(view->rect()).center());
    send(QEvent::MouseButtonPress, icon);
    EXPECT_TRUE(item->button()->isHighlighted());
    send(QEvent::MouseMove, icon + QPointF(0, 12)); // more than 11 pixels down: a drag
    ASSERT_NE(view->rubberBandWindow(), nullptr);
    EXPECT_FALSE(item->button()->isHighlighted());
    EXPECT_TRUE(view->recordingIndicator().isHidden());
    const QPointF release = anchorOnScreen() + QPointF(-60, 300);
    send(QEvent::MouseMove, release);
    send(QEvent::MouseButtonRelease, release);
    const qint64 chosen = view->secondsToSave();
    EXPECT_GE(chosen, 5);
    EXPECT_EQ(view->timePopover(), nullptr);
    EXPECT_FALSE(view->appIsProcessing()) << "processing begins once the band is back";
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->appIsProcessing(); }, 2'000));
    EXPECT_TRUE(view->statusIconLayer().hasAnimations()) << "the icon pulses while the clip is encoded";
    EXPECT_TRUE(view->recordingIndicator().isHidden());

    // A press while processing does nothing at all.
    send(QEvent::MouseButtonPress, icon);
    send(QEvent::MouseMove, icon + QPointF(0, 100));
    send(QEvent::MouseButtonRelease, icon + QPointF(0, 100));
    EXPECT_FALSE(item->button()->isHighlighted());
    EXPECT_EQ(view->rubberBandWindow(), nullptr);
    EXPECT_EQ(clicks.count(), 0);

    // Once encoded: the save dialog opens on a steady icon with its recording indicator back.
    busy.set_value();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel && panel->isVisible(); }, 10'000));
    EXPECT_FALSE(view->appIsProcessing());
    EXPECT_FALSE(view->statusIconLayer().hasAnimations());
    EXPECT_TRUE(view->statusIconLayer().isHidden());
    EXPECT_FALSE(view->recordingIndicator().isHidden());
    EXPECT_EQ(view->recordingIndicator().opacity(), 1.0);

    QSignalSpy finished(controller.get(), &AudioController::exportFinished);
    static_cast<QDialog*>(panel->dialog())->reject();
    EXPECT_FALSE(view->statusIconLayer().hasAnimations()) << "a cancelled dialog leaves a steady icon";
    EXPECT_FALSE(view->recordingIndicator().isHidden());
    EXPECT_EQ(finished.count(), 0);

    // The icon takes presses again: a quick click asks for the settings and keeps the button highlighted.
    send(QEvent::MouseButtonPress, icon);
    send(QEvent::MouseButtonRelease, icon);
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_TRUE(item->button()->isHighlighted());
}

// A second save while one is processing (a script's during the gesture's, a key pressed twice) keeps the one
// pulse going until the last is done; it never starts a pulse that replaces the running one.
TEST_F(StatusViewTest, OverlappingSavesKeepOnePulseUntilTheLastIsDone) {
    holdExactly(12);
    // The saved popups (they close by themselves after 5 s) are not what this is about.
    QObject::disconnect(controller.get(), &AudioController::exportFinished, view, nullptr);
    // The buffer's queue is held before the first save and again between it and the other two.
    std::promise<void> beforeFirst;
    std::promise<void> beforeOthers;
    const auto hold = [&](std::promise<void>& until) {
        controller->audioBuffer().queue().async([done = until.get_future().share()] { done.wait(); });
    };
    int answered = 0;
    const TemporaryFolder folder;
    const QString into = QString::fromStdString(folder.path().string());
    const auto save = [&] {
        controller->saveClip(5, into, [&](const AudioController::SaveOutcome&) { ++answered; });
    };
    hold(beforeFirst);
    save();
    hold(beforeOthers);
    save();
    save();
    EXPECT_TRUE(view->appIsProcessing());
    EXPECT_TRUE(view->statusIconLayer().hasAnimations());
    EXPECT_TRUE(view->recordingIndicator().isHidden());

    beforeFirst.set_value();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered == 1; }, 10'000));
    EXPECT_TRUE(view->appIsProcessing()) << "saves still under way";
    EXPECT_TRUE(view->statusIconLayer().hasAnimations());
    EXPECT_TRUE(view->recordingIndicator().isHidden());
    beforeOthers.set_value();
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered == 3; }, 10'000));
    EXPECT_FALSE(view->appIsProcessing());
    EXPECT_FALSE(view->statusIconLayer().hasAnimations());
    EXPECT_FALSE(view->recordingIndicator().isHidden()) << "the icon is steady again";
    EXPECT_EQ(QDir(into).entryList(QDir::Files).size(), 3);
}

// The gesture begun at a point (a tray icon's click): the band starts exactly there and grows towards the
// inside of the screen; the stretch counts from the point by the same rules; a click saves, Escape or a
// second activation cancel.
TEST_F(StatusViewTest, AGestureBegunAtAPointStretchesFromThatPointTowardsTheInside) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const struct {
        QPoint point;
        RectEdge growth;
        QPoint inward; // a unit step towards the inside
    } rows[] = {
        {{screen.right() - 30, screen.bottom() - 5}, RectEdge::maxY, {0, -1}},
        {{screen.right() - 30, screen.top() + 5}, RectEdge::minY, {0, 1}},
        {{screen.left() + 5, screen.center().y()}, RectEdge::maxX, {1, 0}},
        {{screen.right() - 5, screen.center().y()}, RectEdge::minX, {-1, 0}},
    };
    holdExactly(600);
    PointGestureWindow gesture(*view);
    for (const auto& row : rows) {
        EXPECT_EQ(StatusAnchor::inwardEdge(row.point), row.growth) << row.point.x() << "," << row.point.y();
        gesture.activate(row.point);
        ASSERT_TRUE(gesture.isActive());
        ASSERT_NE(view->rubberBandWindow(), nullptr);
        EXPECT_EQ(anchorOnScreen(), QPointF(row.point)) << "the band starts at the click";
        EXPECT_EQ(view->rubberBandPosition(), view->rubberBandAnchor()) << "and so does its free end";
        const QRect panel = view->rubberBandWindow()->geometry();
        const QPointF far = QPointF(row.point) + QPointF(row.inward) * 400;
        EXPECT_TRUE(panel.contains(far.toPoint())) << "the panel reaches 400 pixels inwards";
        for (const auto& [distance, seconds] : {std::pair{30.0, 0}, {100.0, 23}, {250.0, 60}, {400.0, 600}}) {
            QMouseEvent move(QEvent::MouseMove, QPointF(),
                             QPointF(row.point) + QPointF(row.inward) * distance, Qt::NoButton, Qt::NoButton,
                             Qt::NoModifier);
            QApplication::sendEvent(&gesture, &move);
            EXPECT_EQ(view->secondsToSave(), seconds) << distance;
        }
        QKeyEvent escape(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&gesture, &escape);
        EXPECT_FALSE(gesture.isActive());
        EXPECT_FALSE(view->isDragging());
    }

    // A second activation cancels; nothing is saved.
    gesture.activate(rows[0].point);
    gesture.activate(rows[0].point);
    EXPECT_FALSE(gesture.isActive());
    QTest::qWait(
        static_cast<int>(
            (GrabbableStatusView::retractSlideSeconds + GrabbableStatusView::retractShrinkSeconds) * 1000) +
        200);
    EXPECT_FALSE(view->appIsProcessing());

    // A release without its press (the click that began the gesture) does not end it; a whole click saves.
    QSignalSpy saves(controller.get(), &AudioController::processingStarted);
    gesture.activate(rows[0].point);
    const QPointF end = QPointF(rows[0].point) + QPointF(0, -250);
    for (const QEvent::Type type : {QEvent::MouseButtonRelease, QEvent::MouseMove}) {
        QMouseEvent event(type, QPointF(), end, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&gesture, &event);
    }
    EXPECT_TRUE(gesture.isActive());
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent event(type, QPointF(), end, Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&gesture, &event);
    }
    EXPECT_FALSE(gesture.isActive());
    ASSERT_TRUE(QTest::qWaitFor([&] { return saves.count() == 1; }, 2'000)) << "saved once the band is back";
    EXPECT_TRUE(view->appIsProcessing());
    gesture.activate(rows[0].point);
    EXPECT_FALSE(gesture.isActive()) << "no gesture while a clip is being made";
}

// What the icon shows and what the button tells a screen reader follow recording, pausing and saving.
TEST_F(StatusViewTest, TheIconStateIsRecordingPausedSavingOrFailed) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->iconState() == StatusIconState::recording; }, 5'000));
    const QString description = item->button()->accessibleDescription();
    EXPECT_EQ(item->button()->accessibleName(), "Tempolis");
    EXPECT_TRUE(description.startsWith("Press and pull down")) << description.toStdString();
    EXPECT_TRUE(description.endsWith("Recording.")) << description.toStdString();

    controller->pauseRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->iconState() == StatusIconState::paused; }, 5'000));
    EXPECT_TRUE(item->button()->accessibleDescription().endsWith("Paused."));
    EXPECT_EQ(view->recordingIndicator().opacity(), 1.0) << "the pause mark shows";
    controller->resumeRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->iconState() == StatusIconState::recording; }, 5'000));

    // A capture that fails waits for its restart: an error until it records again.
    capture.sendEvent(CaptureSession::Event::runtimeError);
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->iconState() == StatusIconState::error; }, 5'000));
    EXPECT_TRUE(item->button()->accessibleDescription().endsWith("Recording or saving failed."));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->iconState() == StatusIconState::recording; }, 5'000));

    holdExactly(12);
    QSignalSpy states(view, &GrabbableStatusView::iconStateChanged);
    const TemporaryFolder folder;
    bool saved = false;
    controller->saveClip(5, QString::fromStdString(folder.path().string()),
                         [&](const AudioController::SaveOutcome&) { saved = true; });
    EXPECT_EQ(view->iconState(), StatusIconState::saving);
    ASSERT_TRUE(QTest::qWaitFor([&] { return saved; }, 10'000));
    EXPECT_EQ(view->iconState(), StatusIconState::recording);
    ASSERT_GE(states.count(), 2);
    EXPECT_EQ(states.first().first().value<StatusIconState>(), StatusIconState::saving);
}
