#pragma once

#include "RectEdge.h"

#include <QPoint>
#include <QRect>

#include <functional>
#include <optional>

class Popover;
class QScreen;
class QWidget;

// Where the status item's popovers and popups hang: a rectangle in global coordinates and the side of it they
// go on (RectEdge's convention: minY hangs below). The application says what "the status item" is now through
// a provider: the floating item's frame, the point where the tray icon was last clicked, or, with no such
// point, the end of the screen edge that holds the desktop's panel. Main thread only.
struct StatusAnchor {
    QRect rect;
    RectEdge edge = RectEdge::minY;

    using Provider = std::function<StatusAnchor()>;

    // The provider's answer, or the panel's corner of the primary screen without one.
    static StatusAnchor current();
    // Replaces the application's provider (an empty one restores the panel's corner).
    static void setProvider(Provider provider);

    // Below a rectangle (the floating item).
    static StatusAnchor below(const QRect& globalRect);
    // At a point where the user clicked (a tray icon under the pointer): on the side facing the inside of the
    // screen, clear of the panel the point lies in.
    static StatusAnchor atPoint(const QPoint& globalPoint);
    // The end of the screen edge where the work area is inset (a panel's side; bottom-right for a bottom
    // panel, top-right without any), on the inside of the work area.
    static StatusAnchor panelCorner(const QScreen* screen);

    // The side of `globalPoint`'s screen that faces its inside, as an edge of the point: above it (maxY) for
    // a point in or near a bottom panel, below it (minY) near the top, and so on.
    static RectEdge inwardEdge(const QPoint& globalPoint);

    // Shows `popover` here.
    void show(Popover& popover) const;
    // A top-left for a window of `size` next to the anchor, fully on the anchor's screen.
    QPoint placeWindow(const QSize& size) const;
};
