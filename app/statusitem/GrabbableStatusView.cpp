#include "GrabbableStatusView.h"

#include "Appearance.h"
#include "AudioController.h"
#include "Images.h"
#include "Layer.h"
#include "Localization.h"
#include "Log.h"
#include "Popover.h"
#include "RubberBandLayer.h"
#include "RubberBandWindow.h"
#include "SavedPopupController.h"
#include "StatusAnchor.h"
#include "StatusBarButton.h"
#include "TimePopupController.h"
#include "Workspace.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPauseAnimation>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {
constexpr const char* statusIconImageName = "Status-Icon-Template";

int milliseconds(double seconds) {
    return static_cast<int>(std::lround(seconds * 1000.0));
}

// The desktop's usual curves: quick start and soft landing, and so on.
const QEasingCurve easeOut(QEasingCurve::OutQuad);
const QEasingCurve easeIn(QEasingCurve::InQuad);
const QEasingCurve easeInEaseOut(QEasingCurve::InOutQuad);
} // namespace

GrabbableStatusView::GrabbableStatusView(const QRect& frame, AudioController& audioController,
                                         Workspace& workspace, StatusBarButton* button)
    : QWidget(button)
    , audioController_(audioController)
    , workspace_(workspace)
    , recordingIndicator_(new Layer(this))
    , statusIconLayer_(new Layer(this)) {
    setObjectName(QStringLiteral("GrabbableStatusView"));
    setGeometry(frame);
    setFocusPolicy(Qt::NoFocus);
    // Lies over the button: the button paints the icon, this view only its states.
    setAttribute(Qt::WA_NoSystemBackground);

    statusIconLayer_->setHidden(true);
    for (Layer* layer : {recordingIndicator_, statusIconLayer_})
        connect(layer, &Layer::changed, this, qOverload<>(&QWidget::update));
    if (button)
        button->installEventFilter(this);
    observeAudioController(button != nullptr);
    updateIconState();
}

GrabbableStatusView::~GrabbableStatusView() {
    if (press_ && !press_->released) {
        releaseMouse();
        releaseKeyboard();
    }
    // The panel belongs to the status item's window; without this view nothing would close it.
    if (rubberBandWindow_)
        delete rubberBandWindow_.data();
}

StatusBarButton* GrabbableStatusView::statusBarButton() const {
    return qobject_cast<StatusBarButton*>(parentWidget());
}

// Press tracking.

void GrabbableStatusView::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton || (press_ && !press_->released))
        return;
    StatusBarButton* button = statusBarButton();
    if (!button) {
        Log::write("Error: GrabbableStatusView: Error getting status item button.");
        return;
    }
    if (button->isWindow()) {
        Log::write("Error: GrabbableStatusView: Error getting status item window.");
        return;
    }
    if (appIsProcessing())
        return;
    button->setHighlighted(true);
    // Where the window really is, from the event: its own idea of its position may lag behind.
    const QPoint windowOrigin =
        (event->globalPosition() - event->position()).toPoint() - mapTo(window(), QPoint());
    statusWindowFrame_ = QRect(windowOrigin, window()->size());

    auto press = std::make_shared<Press>();
    press->pressGlobalPosition = event->globalPosition();
    press_ = press;
    QTimer::singleShot(milliseconds(timeBeforeDragBegins), this, [this, press] {
        if (press->released || press->dragging)
            return;
        press->dragging = true;
        beginDrag(press->pressGlobalPosition);
    });
    // The moves, the release and Escape must reach us for the whole press, wherever the pointer goes. The
    // window system's implicit grab is not enough: a press that closed a popup of ours reaches us replayed,
    // without one.
    grabMouse();
    grabKeyboard();
}

void GrabbableStatusView::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if (!press_ || press_->released)
        return;
    if (press_->dragging) {
        updateDrag(event->globalPosition());
    } else if (event->globalPosition().y() - press_->pressGlobalPosition.y() > dragThresholdPixels) {
        press_->dragging = true;
        beginDrag(event->globalPosition());
    }
}

void GrabbableStatusView::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() != Qt::LeftButton || !press_ || press_->released)
        return;
    if (press_->dragging)
        updateDrag(event->globalPosition());
    press_->cancelled = false;
    press_->released = true;
    finishPress();
}

void GrabbableStatusView::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
}

void GrabbableStatusView::keyPressEvent(QKeyEvent* event) {
    // Every key press is ignored; only the release of Escape counts.
    event->accept();
}

void GrabbableStatusView::keyReleaseEvent(QKeyEvent* event) {
    event->accept();
    if (event->key() != Qt::Key_Escape || event->isAutoRepeat() || !press_ || press_->released)
        return;
    press_->cancelled = true;
    press_->released = true;
    finishPress();
}

void GrabbableStatusView::finishPress() {
    releaseMouse();
    releaseKeyboard();
    if (press_->dragging) {
        endDrag(press_->cancelled);
        if (StatusBarButton* button = statusBarButton())
            button->setHighlighted(false);
    } else {
        handleClick();
    }
}

void GrabbableStatusView::handleClick() {
    if (!statusBarButton())
        return;
    emit settingsToggleRequested();
}

// The drag.

void GrabbableStatusView::beginDragFrom(const QPoint& globalPoint, RectEdge growth) {
    bandOrigin_ = BandOrigin{globalPoint, growth};
    beginDrag(globalPoint);
}

void GrabbableStatusView::beginDrag(const QPointF& globalPosition) {
    dragging_ = true;
    if (StatusBarButton* button = statusBarButton())
        button->setHighlighted(false);
    isInDarkMode_ = Appearance::isDark();
    recordingIndicator_->setHidden(true);
    if (statusBarButton() && !statusBarButton()->isWindow())
        showRubberBand();
    openTimePopup();
    updateDrag(globalPosition);
}

void GrabbableStatusView::openTimePopup() {
    if (timePopover_ || !handleView_) {
        Log::write("Error: GrabbableStatusView: Error opening time popup.");
        return;
    }
    std::unique_ptr<TimePopupController> controller = TimePopupController::makeTimePopupController();
    if (!controller)
        return; // nothing to show; the band still works and secondsToSave still follows it
    timePopupController_ = controller.get();
    auto* popover = new Popover(this);
    popover->setAnimates(false);
    popover->setContentViewController(std::move(controller));
    // Hidden until a stretch gives something to save.
    popover->setAlphaValue(0);
    popover->show(handleView_->rect(), handleView_, RectEdge::minX);
    timePopover_ = popover;
}

double GrabbableStatusView::availableSeconds() const {
    AudioBuffer& buffer = audioController_.audioBuffer();
    const int64_t samples = buffer.heldBytes() / 2;
    return static_cast<double>(samples) / buffer.sampleRate();
}

void GrabbableStatusView::updateDrag(const QPointF& globalPosition) {
    QPointF point = globalPosition;
    if (rubberBandWindow_)
        point -= rubberBandWindow_->geometry().topLeft();
    const QPointF v = point - rubberBandAnchor_;
    const double distance = std::hypot(v.x(), v.y());
    rubberBandDistance_ = distance;
    if (distance > rubberBandMaxDistance) {
        point = rubberBandAnchor_ + v * (rubberBandMaxDistance / distance);
        rubberBandDistance_ = rubberBandMaxDistance;
    }
    rubberBandPosition_ = point;

    if (rubberBandLayer_) {
        rubberBandLayer_->setRubberBandAnchor(rubberBandAnchor_);
        rubberBandLayer_->setRubberBandPosition(rubberBandPosition_);
    }
    if (handleLayer_)
        handleLayer_->setPosition(rubberBandPosition_);
    if (handleView_) {
        handleView_->move(
            (rubberBandPosition_ - QPointF(handleView_->width(), handleView_->height()) / 2).toPoint());
        if (timePopover_)
            timePopover_->setPositioningRect(handleView_->rect());
    }

    // Recomputed on every update, popup or not, so a release never saves what an earlier drag chose.
    const double maximum = std::min(audioController_.captureMaxDuration(), availableSeconds());
    const bool worthSaving = rubberBandDistance_ > rubberBandDeadZone && maximum >= minimumSecondsToSave;
    if (worthSaving) {
        const double fraction = std::clamp((rubberBandDistance_ - rubberBandDeadZone) /
                                               (rubberBandMaxDistance - rubberBandDeadZone),
                                           0.0, 1.0);
        secondsToSave_ = secondsForStretch(minimumSecondsToSave, maximum, fraction);
    } else {
        secondsToSave_ = 0;
    }
    if (timePopupController_ && timePopover_) {
        if (worthSaving)
            timePopupController_->updateTime(secondsToSave_);
        timePopover_->setAlphaValue(worthSaving ? 1.0 : 0.0);
    }
}

qint64 GrabbableStatusView::secondsForStretch(double minimum, double maximum, double fraction) {
    const auto round = [](double value) { return static_cast<qint64>(std::round(value)); };
    const auto truncate = [](double value) { return static_cast<qint64>(std::trunc(value)); };
    if (fraction == 1.0)
        return round(maximum);
    const qint64 secondSteps = truncate(std::min(59 - minimum, maximum - minimum));
    const qint64 minutes = maximum >= 60 ? truncate(maximum / 60) : 0;
    const qint64 steps = 4 * minutes + secondSteps;
    const qint64 step = round(static_cast<double>(steps) * fraction);
    if (step <= secondSteps)
        return step + truncate(minimum);
    if (step >= steps)
        return round(maximum);
    return ((step - secondSteps) / 4 + 1) * 60;
}

void GrabbableStatusView::endDrag(bool cancelled) {
    dragging_ = false;
    bandOrigin_.reset();
    if (statusBarButton() && !statusBarButton()->isWindow()) {
        // What this drag chose, and when, even if another drag begins before the band is back.
        const qint64 seconds = secondsToSave_;
        const QDateTime requestTime = QDateTime::currentDateTime();
        retractRubberBand([this, cancelled, seconds, requestTime] {
            if (cancelled)
                return;
            secondsToSave_ = seconds;
            saveRecording(requestTime);
        });
    }
    if (timePopover_) {
        timePopover_->close();
        timePopover_->deleteLater();
    }
    timePopupController_ = nullptr;
    timePopover_ = nullptr;
}

// The rubber band panel.

RubberBandWindow* GrabbableStatusView::makeRubberBandWindow(const QSize& size) {
    auto* panel = new RubberBandWindow(window());
    panel->resize(size);
    auto* band = new RubberBandLayer(isInDarkMode_, panel);
    band->setGeometry(panel->rect());
    band->setDrawsShadow(!panel->isShaped());
    auto* handle = new Layer(band);
    handle->setSize(handleSize);
    handle->setPosition(QPointF(handleSize.width(), handleSize.height()) / 2);
    handle->setContents(Images::named(isInDarkMode_ ? QStringLiteral("Drag-Handle-Dark")
                                                    : QStringLiteral("Drag-Handle-Light")));
    band->addSublayer(handle);
    panel->setShapeSource([band] { return band->shape(); });
    connect(band, &RubberBandLayer::shapeChanged, panel, &RubberBandWindow::shapeChanged);
    // Invisible: only gives the time popup something to point at.
    auto* handleView = new QWidget(panel);
    handleView->setObjectName(QStringLiteral("RubberBandHandle"));
    handleView->setGeometry(QRect(QPoint(0, 0), handleSize));
    handleView->setAttribute(Qt::WA_TransparentForMouseEvents);
    rubberBandLayer_ = band;
    handleLayer_ = handle;
    handleView_ = handleView;
    return panel;
}

void GrabbableStatusView::showRubberBand() {
    // A band growing sideways needs the panel on its side.
    const bool sideways =
        bandOrigin_ && (bandOrigin_->growth == RectEdge::minX || bandOrigin_->growth == RectEdge::maxX);
    if (!rubberBandWindow_)
        rubberBandWindow_ = makeRubberBandWindow(sideways ? RubberBandWindow::contentSize.transposed()
                                                          : RubberBandWindow::contentSize);
    if (!rubberBandWindow_) {
        Log::write("Error: GrabbableStatusView: Error creating rubber band window.");
        return;
    }
    if (bandOrigin_) {
        placeRubberBandAtOrigin();
    } else {
        if (statusWindowFrame_.isEmpty())
            statusWindowFrame_ = window()->geometry();
        const QRect status = statusWindowFrame_;
        const QSize panelSize = rubberBandWindow_->size();
        // Centred on the status item, its top level with the item's top: the band hangs from the icon.
        rubberBandWindow_->move(
            static_cast<int>(std::lround(status.x() + status.width() * 0.5 - panelSize.width() * 0.5)),
            status.y());
        rubberBandAnchor_ = QPointF(panelSize.width() * 0.5, status.height() * 0.5);
    }
    rubberBandWindow_->show();
    rubberBandWindow_->raise();
    if (handleLayer_) {
        const qreal scale = handleLayer_->scale();
        handleLayer_->addAnimation(KeyframeAnimation{"scale",
                                                     {0, 0.5, 0.9, 1},
                                                     {0.0, 1.2 * scale, 0.9 * scale, scale},
                                                     {easeOut, easeInEaseOut, easeInEaseOut},
                                                     0.25});
    }
}

void GrabbableStatusView::placeRubberBandAtOrigin() {
    const QSize size = rubberBandWindow_->size();
    const int inset = pointAnchorInsetPixels;
    QPoint anchor;
    switch (bandOrigin_->growth) {
    case RectEdge::minY: // down from a top panel
        anchor = QPoint(size.width() / 2, inset);
        break;
    case RectEdge::maxY: // up from a bottom panel
        anchor = QPoint(size.width() / 2, size.height() - inset);
        break;
    case RectEdge::maxX: // right, from a panel on the left
        anchor = QPoint(inset, size.height() / 2);
        break;
    case RectEdge::minX: // left, from a panel on the right
        anchor = QPoint(size.width() - inset, size.height() / 2);
        break;
    }
    rubberBandWindow_->move(bandOrigin_->globalPoint - anchor);
    rubberBandAnchor_ = QPointF(anchor);
}

void GrabbableStatusView::retractRubberBand(std::function<void()> completion) {
    if (!rubberBandWindow_)
        return;
    // From here on the panel belongs to the retraction; a new drag makes a new one.
    const QPointer<RubberBandWindow> panel = rubberBandWindow_;
    rubberBandWindow_ = nullptr;

    // A save started elsewhere meanwhile (a script) pulses the icon: the fade would replace that pulse.
    if (!appIsProcessing()) {
        KeyframeAnimation fade = makePulseAnimation();
        fade.durationSeconds = releaseFadeSeconds;
        fade.timingFunctions = {easeOut, easeOut, easeOut};
        statusIconLayer_->setHidden(false);
        statusIconLayer_->addAnimation(fade);
    }

    auto* retraction = new QParallelAnimationGroup(panel);
    const double totalSeconds = retractSlideSeconds + retractShrinkSeconds;
    retraction->addAnimation(new QPauseAnimation(milliseconds(totalSeconds), retraction));
    // Only the objects of the panel being retracted: the pointers may already follow a newer one.
    auto* band = panel->findChild<RubberBandLayer*>();
    auto* handle = band ? band->findChild<Layer*>() : nullptr;
    if (band) {
        auto* slide = KeyframeAnimation::basic("rubberBandPosition", band->rubberBandPosition(),
                                               band->rubberBandAnchor(), retractSlideSeconds, easeOut)
                          .instantiate(band)
                          .release();
        retraction->addAnimation(slide);
    }
    if (handle && band) {
        const KeyframeAnimation slide = KeyframeAnimation::basic(
            "position", handle->position(), band->rubberBandAnchor(), retractSlideSeconds, easeOut);
        KeyframeAnimation shrink = KeyframeAnimation::basic("scale", handle->scale(), handle->scale() * 0.001,
                                                            retractShrinkSeconds, easeIn);
        shrink.beginTimeSeconds = retractSlideSeconds;
        retraction->addAnimation(slide.instantiate(handle).release());
        retraction->addAnimation(shrink.instantiate(handle).release());
    }
    connect(retraction, &QAbstractAnimation::finished, this, [this, panel, completion] {
        restoreIdleIcon();
        if (panel)
            panel->close();
        completion();
    });
    retraction->start(QAbstractAnimation::DeleteWhenStopped);
}

// Icon states.

KeyframeAnimation GrabbableStatusView::makePulseAnimation() {
    KeyframeAnimation pulse{"opacity", {0, 0.51, 0.85, 1}, {0.5, 0.5, 1.0, 0.5}, {}, 1.53};
    pulse.repeatsForever = true;
    return pulse;
}

void GrabbableStatusView::saveRecording(const QDateTime& requestTime) {
    if (secondsToSave_ <= 0)
        return;
    // The controller announces the processing at once (processingStarted), for this save as for any other.
    audioController_.exportRecording(static_cast<int>(secondsToSave_), requestTime);
}

// For every save, whoever started it (the gesture, a script, a menu).
void GrabbableStatusView::beginProcessing() {
    ++savesProcessing_;
    lastSaveFailed_ = false;
    updateIconState();
    recordingIndicator_->setHidden(true);
    if (statusIconAnimation_ && statusIconLayer_->hasAnimations())
        return; // one pulse for all the saves under way
    KeyframeAnimation pulse = makePulseAnimation();
    pulse.durationSeconds = processingPulseSeconds;
    statusIconAnimation_ = pulse;
    runProcessingPulse();
}

void GrabbableStatusView::runProcessingPulse() {
    if (!statusIconAnimation_)
        return;
    statusIconLayer_->setHidden(false);
    // Another animation of the icon's opacity (the release fade) would be replaced by the pulse and end:
    // it goes first, so its end cannot start a pulse that this one then replaces, and so on without end.
    statusIconLayer_->removeAllAnimations();
    statusIconLayer_->setHidden(false);
    // The pulse repeats without end: this runs when it is taken off the layer.
    statusIconLayer_->addAnimation(*statusIconAnimation_, [this] {
        if (!appIsProcessing())
            restoreIdleIcon();
        else if (statusIconAnimation_ && !statusIconLayer_->hasAnimations())
            runProcessingPulse();
    });
}

void GrabbableStatusView::stopStatusIconAnimations() {
    statusIconLayer_->removeAllAnimations();
    statusIconLayer_->setHidden(true);
}

void GrabbableStatusView::restoreIdleIcon() {
    if (StatusBarButton* button = statusBarButton(); button && button->imageName() != statusIconImageName)
        button->setImage(QString::fromLatin1(statusIconImageName));
    stopStatusIconAnimations();
    recordingIndicator_->setHidden(false);
}

void GrabbableStatusView::processingComplete() {
    savesProcessing_ = std::max(0, savesProcessing_ - 1);
    if (savesProcessing_ > 0)
        return; // the pulse goes on for the saves still under way
    statusIconAnimation_.reset();
    updateIconState();
    // The encoding is over: the pulse stops now, not when the save dialog closes.
    restoreIdleIcon();
}

void GrabbableStatusView::exportError() {
    if (!appIsProcessing())
        stopStatusIconAnimations();
    // The mark stays as long as the alert that tells what went wrong.
    lastSaveFailed_ = true;
    const quint64 failure = ++saveFailures_;
    QTimer::singleShot(milliseconds(exportErrorAlertSeconds), this, [this, failure] {
        if (failure == saveFailures_ && lastSaveFailed_) {
            lastSaveFailed_ = false;
            updateIconState();
        }
    });
    updateIconState();
    emit alertRequested(Localization::string("Export Error"), exportErrorAlertSeconds);
}

void GrabbableStatusView::exportFinished(double seconds, const QDateTime& clipStart) {
    // Another save still processing keeps its pulse.
    if (!appIsProcessing())
        stopStatusIconAnimations();
    if (!statusBarButton())
        return;
    SavedPopupController::showSavedPopup(
        StatusAnchor::current(), seconds, [this](const QUrl& url) { return workspace_.openURL(url); },
        clipStart);
}

void GrabbableStatusView::updateIconState() {
    // Capture that failed waits for its next attempt (a start under way or an input the system suspended are
    // not failures: they report when they are done).
    const bool captureFailing = !audioController_.isRecording() && !audioController_.isPaused() &&
                                audioController_.pendingRestartDelaySeconds().has_value();
    StatusIconState state = StatusIconState::idle;
    if (appIsProcessing())
        state = StatusIconState::saving;
    else if (audioController_.isPaused())
        state = StatusIconState::paused;
    else if (lastSaveFailed_ || captureFailing)
        state = StatusIconState::error;
    else if (audioController_.isRecording())
        state = StatusIconState::recording;

    // The mark of the latest state other than saving (the pulse hides the mark while saving).
    if (state != StatusIconState::saving) {
        const QString image = statusIconIndicatorImage(state);
        recordingIndicator_->setContents(image.isEmpty() ? QIcon() : Images::named(image));
        recordingIndicator_->setOpacity(image.isEmpty() ? 0.0 : 1.0);
    }
    if (StatusBarButton* button = statusBarButton()) {
        // The button is what screen readers meet: it carries the name, what it does and the state.
        button->setAccessibleName(QStringLiteral("Tempolis"));
        button->setAccessibleDescription(Localization::string("Status Item Description") + QLatin1Char(' ') +
                                         statusIconStateText(state));
    }
    if (state == iconState_)
        return;
    iconState_ = state;
    emit iconStateChanged(state);
}

void GrabbableStatusView::observeAudioController(bool observe) {
    if (observe == observing_)
        return;
    observing_ = observe;
    if (!observe) {
        audioController_.disconnect(this);
        return;
    }
    // The first two come from the buffer's queue: they arrive here queued, in the order they were sent.
    connect(&audioController_, &AudioController::processingComplete, this,
            &GrabbableStatusView::processingComplete);
    connect(&audioController_, &AudioController::exportError, this, &GrabbableStatusView::exportError);
    connect(&audioController_, &AudioController::processingStarted, this,
            &GrabbableStatusView::beginProcessing);
    connect(&audioController_, &AudioController::exportFinished, this, &GrabbableStatusView::exportFinished);
    connect(&audioController_, &AudioController::recordingStatusChanged, this,
            &GrabbableStatusView::updateIconState);
    connect(&audioController_, &AudioController::pausedChanged, this, &GrabbableStatusView::updateIconState);
}

// Drawing and layout.

void GrabbableStatusView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!statusIconLayer_->isHidden()) {
        // The icon shows at the layer's opacity: a veil of the panel's own colour over it.
        QColor veil = palette().color(QPalette::Window);
        veil.setAlphaF(static_cast<float>(std::clamp(1.0 - statusIconLayer_->opacity(), 0.0, 1.0)));
        painter.fillRect(rect(), veil);
    }
    recordingIndicator_->draw(painter);
}

void GrabbableStatusView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The indicator is drawn over the icon, at the icon's size.
    const StatusBarButton* button = statusBarButton();
    recordingIndicator_->setSize(button && !button->imageSize().isEmpty() ? button->imageSize() : size());
    recordingIndicator_->setPosition(QRectF(rect()).center());
}

bool GrabbableStatusView::event(QEvent* event) {
    if (event->type() == QEvent::ParentAboutToChange && parentWidget())
        parentWidget()->removeEventFilter(this);
    if (event->type() == QEvent::ParentChange) {
        if (parentWidget()) {
            parentWidget()->installEventFilter(this);
            setGeometry(parentWidget()->rect());
        }
        observeAudioController(parentWidget() != nullptr);
    }
    return QWidget::event(event);
}

bool GrabbableStatusView::eventFilter(QObject* watched, QEvent* event) {
    // Covers the whole button, whatever width the icon gives it.
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}
