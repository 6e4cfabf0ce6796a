#pragma once

#include <QColor>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

#include <memory>

class QWidget;

// Real input and server-side facts for the tests that run on an X server (see XvfbSession).
class X11Tools {
public:
    // The application runs on X11 (xcb); the *OnX11 tests skip otherwise.
    static bool isX11();

    // Runs xdotool; false when it failed.
    static bool xdotool(const QStringList& arguments, QString* output = nullptr);
    static bool movePointer(const QPoint& global);
    static bool pressButton();
    static bool releaseButton();
    static bool click(const QPoint& global);
    static bool pressKey(const QString& keySymbol);

    // Activates the window through the window manager, as a click on its title would, and waits for it.
    static bool activate(const QWidget* window);

    // The window's place as the X server has it; an empty rectangle when it cannot be read.
    static QRect serverGeometry(const QWidget* window);
    // The values of a property of the window as xprop prints them (atom names, numbers); empty when unset.
    static QStringList property(const QWidget* window, const QString& name);
    // The _NET_WM_STATE atoms the window manager keeps on the window.
    static QStringList windowManagerState(const QWidget* window);
    // What the screen shows at a global point.
    static QColor screenPixel(const QPoint& global);

    // A window of another program (xmessage) at `geometry`, mapped when this returns; its X window id goes to
    // `windowId`. Killed with the returned process.
    static std::unique_ptr<QProcess> startForeignWindow(const QRect& geometry, QString* windowId);
};
