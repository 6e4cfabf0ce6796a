#pragma once

#include <QObject>
#include <QPoint>

#include <functional>
#include <memory>

class QSocketNotifier;
struct xcb_connection_t;

// Tells of a press of a pointer button (1 to 3) outside some region while it is started: anywhere on the
// display, in any program, without grabbing the pointer, so the press still reaches what was pressed.
//
// On X11 it listens to the server's raw button presses (XInput 2.2 XI_RawButtonPress, selected for all master
// devices on the root window), which the server sends even while another client grabs the pointer. It does so
// on an X connection of its own: a selection on the root window is per client, and Qt's own on its connection
// stays as it is. A raw event carries no position; the pointer's position when the event is read stands for
// it. Nothing is asked of the server between presses.
//
// Under Wayland the watcher sees only presses on X windows (XWayland): a press in a native Wayland window is
// never shown to an X client. Elsewhere (no X server, no XInput 2.2) it sees nothing.
// Main thread only.
class OutsidePressWatcher : public QObject {
    Q_OBJECT
public:
    // `isInside` answers whether a press at a global position (Qt's coordinates) is inside.
    explicit OutsidePressWatcher(std::function<bool(const QPoint& globalPosition)> isInside,
                                 QObject* parent = nullptr);
    ~OutsidePressWatcher() override;

    // Starts watching; false when presses cannot be seen here.
    bool start();
    void stop();

signals:
    // A press outside, at the X server's time `serverTime` (the timestamp Qt's own input events carry on
    // X11).
    void pressedOutside(const QPoint& globalPosition, quint32 serverTime);

private:
    void readEvents();

    std::function<bool(const QPoint&)> isInside_;
    xcb_connection_t* connection_ = nullptr;
    std::uint8_t inputOpcode_ = 0;
    std::unique_ptr<QSocketNotifier> notifier_;
};
