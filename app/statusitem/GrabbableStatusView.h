#pragma once

#include "KeyframeAnimation.h"
#include "Layer.h"
#include "Popover.h"
#include "RectEdge.h"
#include "RubberBandLayer.h"
#include "RubberBandWindow.h"
#include "StatusIconState.h"
#include "TimePopupController.h"

#include <QDateTime>
#include <QPointF>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <memory>
#include <optional>

class AudioController;
class StatusBarButton;
class Workspace;

// The view over the status item's button that turns the pointer into the program's main gesture. A quick
// click toggles the settings; a press held for 0.4 s, or pulled more than 11 pixels down, becomes a drag
// that stretches a rubber band from the icon to the pointer. Its length chooses how many seconds of the
// recent past to keep (a popup next to the handle says how many and from what clock time); the release saves
// them and Escape cancels. The same drag can start from a point elsewhere (a tray icon clicked there), its
// band growing from that point towards the inside of the screen. The view also shows the icon's states (the
// recording indicator, or a pause or error mark in its place, and the pulse while a clip is being encoded),
// names them to screen readers on the button, and, through the recording controller's signals, shows the
// saved popup or an alert. Main thread only.
class GrabbableStatusView : public QWidget {
    Q_OBJECT
public:
    static constexpr double rubberBandMaxDistance = 400;
    static constexpr double timeBeforeDragBegins = 0.4;
    // How far down (pixels) a press must be pulled to become a drag before the hold time is up.
    static constexpr double dragThresholdPixels = 11;
    // A stretch up to this length saves nothing; the rest of the band sweeps from the minimum to everything.
    static constexpr double rubberBandDeadZone = 30;
    static constexpr double minimumSecondsToSave = 5;
    static constexpr QSize handleSize{42, 42};
    static constexpr double processingPulseSeconds = 0.33;
    static constexpr double releaseFadeSeconds = 0.25;
    static constexpr double retractSlideSeconds = 0.25;
    static constexpr double retractShrinkSeconds = 0.15;
    static constexpr double exportErrorAlertSeconds = 10;
    // How far the anchor of a band that starts at a point lies inside its panel: the handle fits around it.
    static constexpr int pointAnchorInsetPixels = 24;

    GrabbableStatusView(const QRect& frame, AudioController& audioController, Workspace& workspace,
                        StatusBarButton* button);
    ~GrabbableStatusView() override;

    // The press turns into a drag at a point (global coordinates).
    void beginDrag(const QPointF& globalPosition);
    // A drag whose band starts at `globalPoint` instead of the status item and grows towards `growth` (maxY:
    // upwards, from a bottom panel); the free end starts there too. Ends with endDrag() like any other.
    void beginDragFrom(const QPoint& globalPoint, RectEdge growth);
    // The free end of the band follows the pointer; recomputes secondsToSave.
    void updateDrag(const QPointF& globalPosition);
    // Retracts the band, closes the time popup and, unless cancelled, saves once the band is back.
    void endDrag(bool cancelled);
    void handleClick();
    // Asks the recording controller for the last secondsToSave seconds (the controller's processingStarted
    // then shows the processing state). `requestTime` is when the user asked: the clip counts back from it.
    void saveRecording(const QDateTime& requestTime = QDateTime::currentDateTime());
    void restoreIdleIcon();

    // The number of seconds a stretch saves: `fraction` (0 to 1) of the band sweeps one-second steps from
    // `minimum` up to 59 seconds, then whole minutes (four steps each) up to `maximum`, which the full
    // stretch gives rounded.
    static qint64 secondsForStretch(double minimum, double maximum, double fraction);
    // The processing pulse of the icon's opacity; it repeats without end.
    static KeyframeAnimation makePulseAnimation();

    // State, for the application and tests.
    bool appIsProcessing() const { return savesProcessing_ > 0; }
    qint64 secondsToSave() const { return secondsToSave_; }
    double rubberBandDistance() const { return rubberBandDistance_; }
    QPointF rubberBandAnchor() const { return rubberBandAnchor_; }
    QPointF rubberBandPosition() const { return rubberBandPosition_; }
    RubberBandWindow* rubberBandWindow() const { return rubberBandWindow_; }
    RubberBandLayer* rubberBandLayer() const { return rubberBandLayer_; }
    Popover* timePopover() const { return timePopover_; }
    TimePopupController* timePopupController() const { return timePopupController_; }
    const Layer& recordingIndicator() const { return *recordingIndicator_; }
    const Layer& statusIconLayer() const { return *statusIconLayer_; }
    StatusIconState iconState() const { return iconState_; }
    // The drag under way, if any (from its start to its end, not the band's retraction).
    bool isDragging() const { return dragging_; }

signals:
    // A click asks for the settings popover to open, or to close when it is open. The click leaves the
    // button highlighted; whoever shows the settings removes the highlight when they close.
    void settingsToggleRequested();
    // Something went wrong that the user must hear about.
    void alertRequested(const QString& message, double durationSeconds);
    void iconStateChanged(StatusIconState state);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // The second press of a double click already came as a press: the extra event is not another one.
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // One press, from the button going down to its release or Escape. The hold timer shares it and may
    // outlive the press.
    struct Press {
        QPointF pressGlobalPosition;
        bool released = false;
        bool dragging = false;
        bool cancelled = false;
    };

    StatusBarButton* statusBarButton() const;
    void finishPress();
    void observeAudioController(bool observe);

    void showRubberBand();
    RubberBandWindow* makeRubberBandWindow(const QSize& size);
    // Places a new panel so that its anchor lies on the band's origin point.
    void placeRubberBandAtOrigin();
    void retractRubberBand(std::function<void()> completion);
    void openTimePopup();
    double availableSeconds() const;

    void beginProcessing();
    void runProcessingPulse();
    void stopStatusIconAnimations();
    void processingComplete();
    void exportError();
    void exportFinished(double seconds, const QDateTime& clipStart);
    void updateIconState();

    AudioController& audioController_;
    Workspace& workspace_;

    // Saves under way: a second save while one is processing keeps the one pulse going until the last ends.
    int savesProcessing_ = 0;
    bool isInDarkMode_ = false;
    QPointF rubberBandAnchor_;
    double rubberBandDistance_ = 0;
    QPointF rubberBandPosition_;
    qint64 secondsToSave_ = 0;

    // Made anew for each drag; the pointers follow the last panel's objects until the next one.
    QPointer<RubberBandWindow> rubberBandWindow_;
    QPointer<RubberBandLayer> rubberBandLayer_;
    QPointer<Layer> handleLayer_;
    QPointer<QWidget> handleView_;
    QPointer<Popover> timePopover_;
    QPointer<TimePopupController> timePopupController_;

    Layer* recordingIndicator_ = nullptr;
    Layer* statusIconLayer_ = nullptr;
    std::optional<KeyframeAnimation> statusIconAnimation_;

    std::shared_ptr<Press> press_;
    // The status item's window in global coordinates, read from the last press (a window manager may
    // report a dock's position late).
    QRect statusWindowFrame_;
    bool observing_ = false;

    // A band that starts at a point rather than at the status item: the point and where the band grows.
    struct BandOrigin {
        QPoint globalPoint;
        RectEdge growth = RectEdge::minY;
    };
    std::optional<BandOrigin> bandOrigin_;
    bool dragging_ = false;
    StatusIconState iconState_ = StatusIconState::idle;
    // Since the last failed save, until the alert about it is over or another save begins.
    bool lastSaveFailed_ = false;
    quint64 saveFailures_ = 0;
};
