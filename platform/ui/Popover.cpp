#include "Popover.h"

#include "PopoverDismissal.h"
#include "PopoverPlacement.h"
#include "PopoverWindow.h"

#include <QGuiApplication>
#include <QPropertyAnimation>
#include <QScreen>

#include <algorithm>

namespace {
// A view without a size hint (no layout) still gets a body one can see.
constexpr QSize defaultContentSize(200, 100);

Qt::WindowFlags windowFlags(Popover::Behavior behavior) {
    const Qt::WindowFlags common = Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint;
    switch (behavior) {
    case Popover::Behavior::transient:
        return Qt::Popup | common;
    case Popover::Behavior::activatingTransient:
        // Managed on X11, so the window manager can make it the active window, and kept above the others.
        return Qt::Tool | Qt::WindowStaysOnTopHint | common;
    case Popover::Behavior::applicationDefined:
    case Popover::Behavior::nonActivatingTransient:
        break;
    }
    // Unmanaged on X11 (override-redirect): shown exactly where placed, above the other windows, and never
    // focused, so a drag in another window keeps its pointer.
    return Qt::ToolTip | Qt::WindowDoesNotAcceptFocus | Qt::WindowStaysOnTopHint | common;
}

bool takesKeyboard(Popover::Behavior behavior) {
    return behavior == Popover::Behavior::transient || behavior == Popover::Behavior::activatingTransient;
}
} // namespace

Popover::Popover(QObject* parent)
    : QObject(parent)
    , window_(std::make_unique<PopoverWindow>(windowFlags(Behavior::applicationDefined)))
    , windowBehavior_(Behavior::applicationDefined)
    , fade_(new QPropertyAnimation(this)) {
    fade_->setTargetObject(window_.get());
    fade_->setPropertyName("windowOpacity");
    connect(fade_, &QPropertyAnimation::finished, this, [this] {
        if (state_ == State::opening) {
            finishShow();
        } else if (state_ == State::closing) {
            hideWindow();
            finishClose();
        }
    });
    connect(window_.get(), &PopoverWindow::closing, this, &Popover::windowClosing);
    connect(window_.get(), &PopoverWindow::hidden, this, &Popover::windowHidden);
}

Popover::~Popover() {
    fade_->stop();
    endDismissal();
    window_->disconnect(this);
    if (controller_)
        controller_->disconnect(this);
    hidingWindow_ = true;
    window_->hide();
    // The view goes back to its controller before the window (and an owned controller) go away.
    window_->releaseContent();
    ownedController_.reset();
    window_.reset();
}

void Popover::setAlphaValue(double alphaValue) {
    alphaValue_ = std::clamp(alphaValue, 0.0, 1.0);
    if (state_ == State::opening && fade_->state() == QAbstractAnimation::Running)
        fade_->setEndValue(alphaValue_);
    else if (state_ == State::opening || state_ == State::shown)
        window_->setWindowOpacity(alphaValue_);
}

void Popover::setContentViewController(ViewController* controller) {
    if (controller == controller_)
        return;
    window_->releaseContent();
    if (controller_)
        controller_->disconnect(this);
    // A controller we owned goes now, after its view was given back.
    const std::unique_ptr<ViewController> previous = std::move(ownedController_);
    controller_ = controller;
    if (controller_) {
        // Its view went with it; an empty popover has nothing left to show.
        connect(controller_, &QObject::destroyed, this, [this] { close(); });
    }
    if (state_ != State::closed) {
        attachContent();
        layoutWindow();
    }
}

void Popover::setContentViewController(std::unique_ptr<ViewController> controller) {
    ViewController* pointer = controller.get();
    setContentViewController(pointer);
    ownedController_ = std::move(controller);
}

QSize Popover::contentSize() const {
    if (contentSize_.isValid() && !contentSize_.isEmpty())
        return contentSize_;
    const QWidget* view = window_->content();
    if (!view && controller_ && controller_->isViewLoaded())
        view = controller_->view();
    if (!view)
        return defaultContentSize;
    // A view without a layout has no size hint but may still have a fixed or minimum size.
    const QSize hint = view->sizeHint().isValid() ? view->sizeHint() : QSize(0, 0);
    const QSize size = hint.expandedTo(view->minimumSizeHint())
                           .expandedTo(view->minimumSize())
                           .boundedTo(view->maximumSize());
    return size.isEmpty() ? defaultContentSize : size;
}

void Popover::setContentSize(const QSize& size) {
    contentSize_ = size;
    if (state_ != State::closed)
        layoutWindow();
}

Popover* Popover::makeTransient(std::unique_ptr<ViewController> controller, const QString& accessibleName,
                                Behavior behavior) {
    auto* popover = new Popover(QCoreApplication::instance());
    popover->setAnimates(false);
    popover->setBehavior(behavior);
    popover->setContentViewController(std::move(controller));
    popover->window()->setAccessibleName(accessibleName);
    connect(popover, &Popover::didClose, popover, &QObject::deleteLater);
    return popover;
}

QWidget* Popover::window() const {
    return window_.get();
}

void Popover::setReplaysClosingPress(bool replays) {
    window_->setReplaysClosingPress(replays);
}

void Popover::show(const QRect& relativeToRect, QWidget* ofView, RectEdge preferredEdge) {
    positioningRect_ = relativeToRect;
    positioningView_ = ofView;
    preferredEdge_ = preferredEdge;
    if (isShown()) {
        layoutWindow();
        return;
    }
    if (state_ == State::closing)
        close(); // ends the fade-out at once

    const QPointer<Popover> alive(this);
    state_ = State::opening;
    attachContent();
    emit willShow();
    if (!alive || state_ != State::opening)
        return;
    if (controller_)
        controller_->viewWillAppear();
    if (!alive || state_ != State::opening)
        return;

    prepareWindow();
    layoutWindow();
    window_->setWindowOpacity(animates_ ? 0.0 : alphaValue_);
    window_->setAnchorWindow(positioningView_ ? positioningView_->window() : nullptr);
    window_->show();
    // Again once mapped: a window manager may have placed the new window itself.
    layoutWindow();
    if (behavior_ == Behavior::activatingTransient)
        window_->activateWindow();
    if (behavior_ == Behavior::nonActivatingTransient || behavior_ == Behavior::activatingTransient) {
        dismissal_ = new PopoverDismissal(window_.get(),
                                          behavior_ == Behavior::activatingTransient
                                              ? PopoverDismissal::Trigger::leavingTheApplication
                                              : PopoverDismissal::Trigger::anyPressOutside,
                                          window_->replaysClosingPress(), this);
        connect(dismissal_, &PopoverDismissal::dismissed, this, &Popover::close);
    }
    if (animates_) {
        fade_->stop();
        fade_->setDuration(fadeInMilliseconds);
        fade_->setStartValue(0.0);
        fade_->setEndValue(alphaValue_);
        fade_->start();
    } else {
        finishShow();
    }
}

void Popover::setPositioningRect(const QRect& relativeToRect) {
    positioningRect_ = relativeToRect;
    if (state_ != State::closed)
        layoutWindow();
}

void Popover::close() {
    if (state_ == State::closed)
        return;
    if (state_ == State::closing) {
        fade_->stop();
        hideWindow();
        finishClose();
        return;
    }
    beginClose(false);
}

void Popover::performClose() {
    if (!isShown())
        return;
    beginClose(animates_);
}

void Popover::attachContent() {
    window_->setContent(controller_ ? controller_->view() : nullptr);
}

void Popover::prepareWindow() {
    if (windowBehavior_ == behavior_)
        return;
    if (windowFlags(windowBehavior_) != windowFlags(behavior_))
        window_->setWindowFlags(windowFlags(behavior_));
    windowBehavior_ = behavior_;
    window_->setAttribute(Qt::WA_ShowWithoutActivating, !takesKeyboard(behavior_));
}

void Popover::layoutWindow() {
    QRect anchor = positioningRect_;
    if (positioningView_)
        anchor.moveTopLeft(positioningView_->mapToGlobal(positioningRect_.topLeft()));
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen && positioningView_)
        screen = positioningView_->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    // The anchor's own strip counts as room: a status item reserves the band it sits in, and what hangs from
    // it belongs right under it.
    const QRect area =
        screen ? screen->availableGeometry().united(anchor) : QRect(-100000, -100000, 200000, 200000);
    const PopoverPlacement placement = PopoverPlacement::compute(anchor, contentSize(), preferredEdge_, area);
    placedEdge_ = placement.edge;
    arrowTip_ = placement.arrowTip;
    if (screen && window_->screen() != screen)
        window_->setScreen(screen);
    window_->setArrow(placement.edge, placement.arrowOffset);
    window_->setGeometry(placement.frame);
}

void Popover::finishShow() {
    if (state_ != State::opening)
        return;
    state_ = State::shown;
    const QPointer<Popover> alive(this);
    if (controller_)
        controller_->viewDidAppear();
    if (!alive || state_ != State::shown)
        return;
    emit didShow();
}

void Popover::beginClose(bool animated) {
    fade_->stop();
    endDismissal();
    state_ = State::closing;
    const QPointer<Popover> alive(this);
    emit willClose();
    if (!alive || state_ != State::closing)
        return;
    if (controller_)
        controller_->viewWillDisappear();
    if (!alive || state_ != State::closing)
        return;
    if (animated && window_->isVisible()) {
        fade_->setDuration(fadeOutMilliseconds);
        fade_->setStartValue(window_->windowOpacity());
        fade_->setEndValue(0.0);
        fade_->start();
        return;
    }
    hideWindow();
    finishClose();
}

void Popover::hideWindow() {
    hidingWindow_ = true;
    window_->hide();
    hidingWindow_ = false;
}

void Popover::finishClose() {
    if (state_ != State::closing)
        return;
    state_ = State::closed;
    const QPointer<Popover> alive(this);
    if (controller_)
        controller_->viewDidDisappear();
    if (!alive || state_ != State::closed)
        return;
    emit didClose();
}

void Popover::endDismissal() {
    // It may be telling of the press that closes us right now: it goes once that is done.
    if (dismissal_) {
        dismissal_->disconnect(this);
        dismissal_->end();
    }
}

void Popover::windowClosing() {
    // The popup closed itself (a click outside, Escape) or the window system closed it: the same as close().
    if (!hidingWindow_)
        close();
}

void Popover::windowHidden() {
    // Hidden behind our back (Qt hides a popup that refused to close, or someone hid window()).
    if (!hidingWindow_)
        close();
}
