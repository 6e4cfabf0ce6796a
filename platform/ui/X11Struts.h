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
// which part of the screen is left to it.
//
// That part never comes from the work area alone: the work area also shrinks by our own strip, and window
// managers answer a strip in a corner differently (openbox and KWin take a band across the whole width;
// mutter takes either that band or the columns beside the strip, whichever leaves the larger rectangle).
// Placed from the work area, the items would move with every answer, reserve a new strip, get a new answer,
// and so on for ever. So the part left to the bar is the screen less what the *other* windows reserve, less
// what the desktop reserves for itself without a window of its own (GNOME Shell draws its top bar in the
// compositor), learned from work areas that our own strips cannot explain. Main thread only.
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

    // The part of `screen`, in global coordinates, left to windows `ours` that sit along its top edge, each
    // `rowsPixels` tall: below what other windows and the desktop itself reserve along the top, and left of
    // what other windows reserve along the right edge over those rows.
    QRect areaFreeOfOthers(const QScreen& screen, const std::vector<WId>& ours, int rowsPixels);

signals:
    // Windows came or went, or the window manager published the work area again (it does when a strut
    // changes): topFreeOfOthers() may have moved. Emitted after Qt has read the new work area.
    void othersMayHaveChanged();

protected:
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    explicit X11Struts(xcb_connection_t* connection);

    // _NET_WM_STRUT_PARTIAL of every client window but `ours` that reserves anything (a plain _NET_WM_STRUT
    // as the partial one that covers whole edges).
    std::vector<std::vector<std::uint32_t>> otherWindowsStruts(const std::vector<WId>& ours);
    int desktopTopPixels(const QScreen& screen, int othersTopPixels);

    xcb_connection_t* connection_;
    std::uint32_t root_ = 0;
    std::uint32_t strutPartialAtom_ = 0;
    std::uint32_t strutAtom_ = 0;
    std::uint32_t clientListAtom_ = 0;
    std::uint32_t workAreaAtom_ = 0;
    std::uint32_t windowTypeAtom_ = 0;
    std::uint32_t dockTypeAtom_ = 0;
    // The bottom edge of the strips we last reserved.
    int ownBottomPixels_ = INT_MIN;
    // Strips written whose change the server has not yet reported back to us.
    int ownStripsInFlight_ = 0;
    // The work area was published after the server reported our latest strip: it is the window manager's
    // answer to our strips as they are (events reach us in the order the server made them).
    bool workAreaAnswersOwnStrips_ = true;
    // What the desktop reserves along the top without a window of its own, learned from the work area.
    int desktopTopPixels_ = INT_MIN;
    bool notifyQueued_ = false;
};
