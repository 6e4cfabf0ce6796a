#include "PopoverDismissal.h"

#include "OutsidePressWatcher.h"
#include "PopoverWindow.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTimer>
#include <QWindow>

namespace {
// How long a loss of focus may last before it counts: a focus passing between two windows is back by then.
constexpr int focusLossSettleMilliseconds = 150;

// Keeps the moves and the release that follow a swallowed press from the window it was made in, so that
// window never sees half a click. Deletes itself at the release, at a new press (a release it missed), or
// with the window.
class PressRemainderFilter : public QObject {
public:
    PressRemainderFilter(QWindow* window, Qt::MouseButton button)
        : QObject(window)
        , window_(window)
        , button_(button) {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_)
            return false;
        switch (event->type()) {
        case QEvent::MouseButtonPress:
            deleteLater();
            return false;
        case QEvent::MouseMove:
        case QEvent::MouseButtonDblClick:
            return true;
        case QEvent::MouseButtonRelease:
            if (static_cast<QMouseEvent*>(event)->button() == button_)
                deleteLater();
            return true;
        default:
            return false;
        }
    }

private:
    QWindow* window_;
    Qt::MouseButton button_;
};

QWidget* widgetOf(const QWindow* window) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->windowHandle() == window)
            return widget;
    }
    return nullptr;
}
} // namespace

PopoverDismissal::PopoverDismissal(PopoverWindow* window, Trigger trigger, bool replaysClosingPress,
                                   QObject* parent)
    : QObject(parent)
    , window_(window)
    , replaysClosingPress_(replaysClosingPress) {
    if (trigger == Trigger::anyPressOutside) {
        watcher_ = std::make_unique<OutsidePressWatcher>([this](const QPoint& position) {
            return window_ && window_->isVisible() && window_->frameGeometry().contains(position);
        });
        connect(watcher_.get(), &OutsidePressWatcher::pressedOutside, this, &PopoverDismissal::dismissed);
    } else {
        // Presses on our own windows come through Qt (the event filter); the watcher tells of the others.
        watcher_ = std::make_unique<OutsidePressWatcher>(
            [this](const QPoint& position) { return isOnThisProgramsWindows(position); });
        connect(watcher_.get(), &OutsidePressWatcher::pressedOutside, this,
                [this](const QPoint&, quint32 serverTime) { pressedInAnotherProgram(serverTime); });
        qApp->installEventFilter(this);
        connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focus) {
            if (focus)
                return;
            // A window manager that focuses on click takes the focus away before the press it replays reaches
            // another window of ours (which decides by itself, above): the focus is looked at again a moment
            // later. A pop-up list of ours takes the keyboard with a grab, which can look like a loss of
            // focus.
            QTimer::singleShot(focusLossSettleMilliseconds, this, [this] {
                if (!QGuiApplication::focusWindow() && !QApplication::activePopupWidget())
                    emit dismissed();
            });
        });
    }
    watcher_->start();
}

PopoverDismissal::~PopoverDismissal() = default;

void PopoverDismissal::end() {
    qApp->removeEventFilter(this);
    disconnect(qApp, nullptr, this, nullptr);
    watcher_->stop();
    deleteLater();
}

bool PopoverDismissal::eventFilter(QObject* watched, QEvent* event) {
    // Each press reaches its window first (QWindow), then its widget: the window is where it is decided.
    if (event->type() != QEvent::MouseButtonPress || !watched->isWindowType())
        return false;
    const auto* press = static_cast<QMouseEvent*>(event);
    if (QApplication::activePopupWidget()) {
        // The open pop-up list has the pointer: the press is its own, inside or outside it.
        lastPopupPressTime_ = press->timestamp();
        return false;
    }
    auto* pressed = static_cast<QWindow*>(watched);
    if (belongsToPopover(pressed))
        return false;
    const bool swallow = !replaysClosingPress_;
    if (swallow)
        new PressRemainderFilter(pressed, press->button());
    emit dismissed();
    return swallow;
}

bool PopoverDismissal::belongsToPopover(const QWindow* pressed) const {
    if (!window_)
        return false;
    // Up the chain of popovers hanging from one another (bounded: an anchor chain is short and never loops,
    // but a wrong one must not hang us).
    QWidget* widget = widgetOf(pressed);
    for (int depth = 0; widget && depth < 16; ++depth) {
        if (widget == window_)
            return true;
        const auto* popoverWindow = qobject_cast<const PopoverWindow*>(widget);
        widget = popoverWindow ? popoverWindow->anchorWindow() : nullptr;
    }
    return false;
}

bool PopoverDismissal::isOnThisProgramsWindows(const QPoint& globalPosition) const {
    for (const QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->frameGeometry().contains(globalPosition))
            return true;
    }
    return false;
}

void PopoverDismissal::pressedInAnotherProgram(quint32 serverTime) {
    // The press that closes an open pop-up list of ours only closes that list. Qt and the watcher read the
    // same press on two connections in either order: while the list is open, or after Qt closed it for this
    // very press (same server time).
    if (QApplication::activePopupWidget() || serverTime == lastPopupPressTime_)
        return;
    emit dismissed();
}
