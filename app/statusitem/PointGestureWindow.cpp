#include "PointGestureWindow.h"

#include "Compositing.h"
#include "GrabbableStatusView.h"
#include "Log.h"
#include "StatusAnchor.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace {
constexpr int grabRetryIntervalMilliseconds = 50;
} // namespace

PointGestureWindow::PointGestureWindow(GrabbableStatusView& view)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint |
                           Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint)
    , view_(&view) {
    setObjectName(QStringLiteral("PointGestureWindow"));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::ArrowCursor);
    // The band follows the pointer with no button held.
    setMouseTracking(true);
}

PointGestureWindow::~PointGestureWindow() {
    if (active_) {
        releaseMouse();
        releaseKeyboard();
    }
}

void PointGestureWindow::activate(const QPoint& globalPoint) {
    if (active_) {
        cancel();
        return;
    }
    if (!view_ || view_->appIsProcessing() || view_->isDragging())
        return;
    // Like any click elsewhere, this one closes the popups that are open (they would take the pointer's
    // events).
    while (QWidget* popup = QApplication::activePopupWidget()) {
        if (!popup->close())
            break;
    }
    active_ = true;
    pressed_ = false;
    ++gesture_;

    const QScreen* screen = QApplication::screenAt(globalPoint);
    if (!screen)
        screen = QApplication::primaryScreen();
    setGeometry(screen ? screen->virtualGeometry()
                       : QRect(globalPoint - QPoint(2000, 2000), QSize(4000, 4000)));
    if (!Compositing::isActive())
        setMask(QRegion(-1, -1, 1, 1)); // nothing to show (an empty region would mean "no mask")
    else
        clearMask();
    show();
    raise();
    view_->beginDragFrom(globalPoint, StatusAnchor::inwardEdge(globalPoint));
    grab(grabRetryMilliseconds / grabRetryIntervalMilliseconds);
}

void PointGestureWindow::grab(int attemptsLeft) {
    if (!active_)
        return;
    QWindow* handle = windowHandle();
    const bool pointer = handle && handle->setMouseGrabEnabled(true);
    const bool keyboard = handle && handle->setKeyboardGrabEnabled(true);
    if (pointer && keyboard)
        return;
    if (attemptsLeft <= 0) {
        Log::write("Error: PointGestureWindow: Error grabbing the pointer and the keyboard.");
        return;
    }
    const quint64 gesture = gesture_;
    QTimer::singleShot(grabRetryIntervalMilliseconds, this, [this, gesture, attemptsLeft] {
        if (gesture == gesture_)
            grab(attemptsLeft - 1);
    });
}

void PointGestureWindow::cancel() {
    if (active_)
        finish(true);
}

void PointGestureWindow::finish(bool cancelled) {
    active_ = false;
    pressed_ = false;
    if (QWindow* handle = windowHandle()) {
        handle->setMouseGrabEnabled(false);
        handle->setKeyboardGrabEnabled(false);
    }
    hide();
    if (view_)
        view_->endDrag(cancelled);
}

void PointGestureWindow::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (active_)
        pressed_ = true;
}

void PointGestureWindow::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if (active_ && view_)
        view_->updateDrag(event->globalPosition());
}

void PointGestureWindow::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    // The release of the click that began the gesture may come after it began: only a whole click counts.
    if (!active_ || !pressed_)
        return;
    if (view_)
        view_->updateDrag(event->globalPosition());
    finish(event->button() != Qt::LeftButton);
}

void PointGestureWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click already came as a press.
    event->accept();
}

void PointGestureWindow::keyPressEvent(QKeyEvent* event) {
    event->accept();
}

void PointGestureWindow::keyReleaseEvent(QKeyEvent* event) {
    event->accept();
    if (active_ && event->key() == Qt::Key_Escape && !event->isAutoRepeat())
        finish(true);
}

void PointGestureWindow::paintEvent(QPaintEvent*) {
    // Nothing: the band has a window of its own.
}
