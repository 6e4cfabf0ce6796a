#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

class OutsidePressWatcher;
class PopoverWindow;
class QWindow;

// Tells when the user turned away from a shown popover window that grabs neither the pointer nor the
// keyboard, so that the popover can close. Made when the window shows, destroyed when it closes.
//
//  - anyPressOutside: a press anywhere outside the window, in this program or another one.
//  - leavingTheApplication: a press outside this program's windows, a press on one of its windows that does
//    not belong to the popover, or the keyboard focus going to another program. What belongs to the popover:
//    its window, the pop-up lists of its controls (Qt popups, which take the press themselves: such a press
//    only closes them) and the windows of popovers hanging from it. A press on another window of this program
//    reaches that window unless `replaysClosingPress` is false: then it, its moves and its release are kept
//    from it, so a press on the view the popover hangs from only closes the popover.
//
// Presses in other programs are seen through OutsidePressWatcher (X11 only); without it, anyPressOutside
// says nothing and the owner's timer closes the popover.
class PopoverDismissal : public QObject {
    Q_OBJECT
public:
    enum class Trigger { anyPressOutside, leavingTheApplication };

    PopoverDismissal(PopoverWindow* window, Trigger trigger, bool replaysClosingPress,
                     QObject* parent = nullptr);
    ~PopoverDismissal() override;

    // Stops telling and deletes itself once control returns to the event loop (it may be inside one of its
    // own signals).
    void end();

signals:
    void dismissed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool belongsToPopover(const QWindow* pressed) const;
    bool isOnThisProgramsWindows(const QPoint& globalPosition) const;
    void pressedInAnotherProgram(quint32 serverTime);

    QPointer<PopoverWindow> window_;
    bool replaysClosingPress_;
    std::unique_ptr<OutsidePressWatcher> watcher_;
    // The time of the last press one of our Qt popups took (X server time, 0 for none).
    quint64 lastPopupPressTime_ = 0;
};
