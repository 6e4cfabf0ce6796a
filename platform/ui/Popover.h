#pragma once

#include "RectEdge.h"
#include "ViewController.h"

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>

#include <memory>

class PopoverDismissal;
class PopoverWindow;
class QPropertyAnimation;

// A content view in a frameless window whose arrow points at an anchor rectangle of another view.
//
// Behaviour:
//  - transient: a Qt::Popup. A click anywhere outside it (also in another application) or Escape closes it;
//    such a close emits willClose and didClose like any other and is immediate, never animated. While it is
//    shown it grabs the pointer and the keyboard of the whole display.
//  - applicationDefined: a window that never takes focus and never grabs the pointer or the keyboard
//    (Qt::ToolTip, unmanaged on X11). It stays until closed and can follow the pointer during another
//    window's drag without disturbing it.
//  - nonActivatingTransient: a window like applicationDefined (typing and clicks keep going to the program
//    the user is in) that a press anywhere outside it closes, seen without a grab (PopoverDismissal). Under
//    Wayland presses in native windows are not seen: there it stays until its owner closes it.
//  - activatingTransient: a window the window manager makes the active one, so it has the keyboard (Escape
//    closes it), that grabs nothing: a press outside this program's windows (which reaches what was
//    pressed), a press on another window of this program, or the keyboard focus going to another program
//    closes it. Pop-up lists of its controls and popovers hanging from it count as its own.
// A close by such a press is immediate, never animated. The behaviour applies from the next show().
//
// Ownership: the popover owns its window. It owns its content controller only when given one as a
// std::unique_ptr; a controller given as a pointer is only watched (a destroyed controller closes the
// popover). The content view always belongs to its controller: the popover lends it to its window and gives
// it back when the content changes or the popover is destroyed. Destroying a shown popover hides it without
// emitting signals. Main thread only.
class Popover : public QObject {
    Q_OBJECT
public:
    enum class Behavior { applicationDefined, transient, nonActivatingTransient, activatingTransient };
    static constexpr int fadeInMilliseconds = 120;
    static constexpr int fadeOutMilliseconds = 150;

    explicit Popover(QObject* parent = nullptr);
    // A popover of a transient `behavior`, not animated, showing and owning `controller`, that deletes itself
    // once closed.
    static Popover* makeTransient(std::unique_ptr<ViewController> controller, const QString& accessibleName,
                                  Behavior behavior);
    ~Popover() override;

    Behavior behavior() const { return behavior_; }
    void setBehavior(Behavior behavior) { behavior_ = behavior; }

    // Fade in on show() and out on performClose().
    bool animates() const { return animates_; }
    void setAnimates(bool animates) { animates_ = animates; }

    // The opacity of the whole window, 0 to 1.
    double alphaValue() const { return alphaValue_; }
    void setAlphaValue(double alphaValue);

    ViewController* contentViewController() const { return controller_; }
    void setContentViewController(ViewController* controller);
    void setContentViewController(std::unique_ptr<ViewController> controller);

    // The body's size: the one set, else the content view's size hint. Setting it resizes a shown popover.
    QSize contentSize() const;
    void setContentSize(const QSize& size);

    // Shows the popover on `preferredEdge` of `relativeToRect`, a rectangle in `ofView`'s coordinates (in
    // global coordinates when ofView is null). On a shown popover it only moves it.
    void show(const QRect& relativeToRect, QWidget* ofView, RectEdge preferredEdge);
    // Moves a shown popover to another anchor rectangle in the same view (a pointer it follows).
    void setPositioningRect(const QRect& relativeToRect);
    QRect positioningRect() const { return positioningRect_; }

    // Closes at once. Emits willClose and didClose when it was shown.
    void close();
    // Closes as a user would: willClose, the fade-out when animated, then didClose. Nothing when not shown.
    void performClose();
    // From show() until a close begins.
    bool isShown() const { return state_ == State::opening || state_ == State::shown; }

    // The popover's window; hidden while the popover is closed.
    QWidget* window() const;
    // Whether a press outside a transient popover on a window of this program, which closes it, also reaches
    // what was pressed (the default). A popover toggled by the view it hangs from says no, so the closing
    // press does not reopen it. An activatingTransient one keeps the press's moves and release from that
    // window as well.
    void setReplaysClosingPress(bool replays);
    // The side of the anchor the popover hangs on (the preferred one, or its opposite when that had no room).
    RectEdge edge() const { return placedEdge_; }
    // Where the arrow points, in global coordinates.
    QPoint arrowTip() const { return arrowTip_; }

signals:
    void willShow();
    void didShow();
    void willClose();
    void didClose();

private:
    enum class State { closed, opening, shown, closing };

    void attachContent();
    void prepareWindow();
    void layoutWindow();
    void finishShow();
    void beginClose(bool animated);
    void hideWindow();
    void finishClose();
    void windowClosing();
    void windowHidden();
    void endDismissal();

    Behavior behavior_ = Behavior::applicationDefined;
    bool animates_ = true;
    double alphaValue_ = 1.0;
    State state_ = State::closed;
    QSize contentSize_;
    QRect positioningRect_;
    QPointer<QWidget> positioningView_;
    RectEdge preferredEdge_ = RectEdge::minY;
    RectEdge placedEdge_ = RectEdge::minY;
    QPoint arrowTip_;
    bool hidingWindow_ = false;

    std::unique_ptr<PopoverWindow> window_;
    Behavior windowBehavior_ = Behavior::applicationDefined;
    QPropertyAnimation* fade_ = nullptr;
    // While a transient popover that grabs nothing is shown: what closes it.
    QPointer<PopoverDismissal> dismissal_;
    QPointer<ViewController> controller_;
    std::unique_ptr<ViewController> ownedController_;
};
