#pragma once

#include <QPoint>
#include <QPointer>
#include <QWidget>

class GrabbableStatusView;

// The status item's gesture begun at a point on the screen, as a click on a tray icon begins it: the band
// grows from the point towards the inside of the screen and its free end follows the pointer; a click saves
// what the stretch chose, Escape, a click on the point itself (it saves nothing) or a new begin() cancel. It
// drives the status view's own drag (the same band, time popup, stretch rules and save).
//
// For the length of the gesture this window covers the whole desktop and grabs the pointer and the keyboard:
// under XWayland an X client sees the pointer only over its own windows, so without it the band would stop
// following the pointer over the desktop and the saving click would land in another program. It is
// transparent; without a compositing manager (plain X11, where the grab alone receives everything) it is
// shaped to nothing, as a transparent window would show black. Main thread only.
class PointGestureWindow : public QWidget {
    Q_OBJECT
public:
    // How long a refused grab is tried again (another program may hold the pointer for a moment after the
    // click that began the gesture).
    static constexpr int grabRetryMilliseconds = 1'000;

    explicit PointGestureWindow(GrabbableStatusView& view);
    ~PointGestureWindow() override;

    // Begins a gesture at `globalPoint`, or cancels the one under way (a second click on the icon). Nothing
    // happens while the view is busy (a clip being made, a drag of the floating item).
    void activate(const QPoint& globalPoint);
    void cancel();
    bool isActive() const { return active_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void grab(int attemptsLeft);
    void finish(bool cancelled);

    QPointer<GrabbableStatusView> view_;
    bool active_ = false;
    bool pressed_ = false;
    // Counts gestures, so a retry meant for an earlier one does nothing.
    quint64 gesture_ = 0;
};
