#pragma once

#include "RectEdge.h"

#include <QPoint>
#include <QRect>
#include <QSize>

// Where a popover window goes: against the preferred side of its anchor, on the opposite side when the
// preferred one has no room on the screen, slid along the anchor's side to stay on the screen, with the
// arrow moved to keep pointing at the anchor's centre. All rectangles are in global coordinates.
class PopoverPlacement {
public:
    static constexpr int arrowLengthPixels = 9; // how far the arrow sticks out of the body
    static constexpr int arrowWidthPixels = 18; // the arrow's base
    static constexpr int cornerRadiusPixels = 6;
    static constexpr int screenMarginPixels = 4; // kept free between the popover and the screen's edge

    // The window's size for a body (the content) of `contentSize` with the arrow on `edge`.
    static QSize windowSize(const QSize& contentSize, RectEdge edge);
    // Where the body sits inside a window of `windowSize` with the arrow on `edge`.
    static QRect contentRect(const QSize& windowSize, RectEdge edge);

    static PopoverPlacement compute(const QRect& anchor, const QSize& contentSize, RectEdge preferredEdge,
                                    const QRect& screenArea);

    QRect frame;                    // the window
    RectEdge edge = RectEdge::minY; // the anchor's side the popover ended up on
    int arrowOffset = 0; // the arrow's centre along the window side that carries it, in window pixels
    QPoint arrowTip;     // where the arrow points
};
