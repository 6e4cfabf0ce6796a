#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QtGui/qwindowdefs.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

class QRect;
class QScreen;
class QWidget;
struct xcb_connection_t;

// The bands that windows reserve along the screen edges on X11 (struts, as desktop panels have), read and
// written through the application's own xcb connection. The status bar reserves its strip with it, and asks
// where the bands of everything else end: the work area also shrinks by our own strip, so placing the items
// from the work area alone would move them down every time they reserve their place. Main thread only.
class X11Struts : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // Null unless the application runs on X11 (the xcb platform).
    static std::unique_ptr<X11Struts> forApplication();
    ~X11Struts() override;

    // Makes `window` a dock (a panel) to the window manager, which then honours its strut and never gives it
    // the focus. Call it before the window is first shown: Qt writes the window type when it makes the
    // window.
    void makeDock(QWidget& window);

    // Makes `window` reserve the band from the top edge of the root window down to `frame`'s bottom, over
    // `frame`'s columns. Writes only when that changes: each write makes the window manager publish the work
    // area again. Call it before the window is first shown, so the window manager sees it at once.
    void reserveTop(QWidget& window, const QRect& frame);
    // Makes `window` reserve nothing (a hidden item: another place shows it, such as the system tray).
    void releaseTop(QWidget& window);

    // The first row of `screen`, in global coordinates, that no window but `ours` and nothing of the desktop
    // itself reserves.
    int topFreeOfOthers(const QScreen& screen, const std::vector<WId>& ours);

signals:
    // Windows came or went, or the window manager published the work area again (it does when a strut
    // changes): topFreeOfOthers() may have moved. Emitted after Qt has read the new work area.
    void othersMayHaveChanged();

protected:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    explicit X11Struts(xcb_connection_t* connection);

    int topReservedByOtherWindowsPixels(int leftPixels, int rightPixels, const std::vector<WId>& ours);

    xcb_connection_t* connection_;
    std::uint32_t root_ = 0;
    std::uint32_t strutPartialAtom_ = 0;
    std::uint32_t strutAtom_ = 0;
    std::uint32_t clientListAtom_ = 0;
    std::uint32_t workAreaAtom_ = 0;
    std::uint32_t windowTypeAtom_ = 0;
    std::uint32_t dockTypeAtom_ = 0;
    // The lowest edge any of our strips ever reserved: a work area reaching further is not of our making,
    // even when Qt has not yet seen the latest one.
    int lowestOwnBottomPixels_ = INT_MIN;
    // What the desktop reserves without a window of its own (GNOME Shell's top bar), learned from the work
    // area.
    int desktopTopPixels_ = INT_MIN;
    bool notifyQueued_ = false;
};
