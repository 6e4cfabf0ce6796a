#include "PopoverPlacement.h"

#include <algorithm>

namespace {
bool isVertical(RectEdge edge) {
    return edge == RectEdge::minY || edge == RectEdge::maxY;
}

RectEdge opposite(RectEdge edge) {
    switch (edge) {
    case RectEdge::minX:
        return RectEdge::maxX;
    case RectEdge::maxX:
        return RectEdge::minX;
    case RectEdge::minY:
        return RectEdge::maxY;
    case RectEdge::maxY:
        return RectEdge::minY;
    }
    return edge;
}

// Like std::clamp, but a range that is too small keeps its low end (the popover's top or left stays visible).
int clampLow(int value, int low, int high) {
    return std::max(low, std::min(value, high));
}

// The window's top-left on the anchor's `edge`, before keeping it on the screen.
QPoint origin(const QRect& anchor, const QSize& size, RectEdge edge) {
    const int centreX = anchor.x() + anchor.width() / 2;
    const int centreY = anchor.y() + anchor.height() / 2;
    switch (edge) {
    case RectEdge::minY:
        return {centreX - size.width() / 2, anchor.y() + anchor.height()};
    case RectEdge::maxY:
        return {centreX - size.width() / 2, anchor.y() - size.height()};
    case RectEdge::minX:
        return {anchor.x() - size.width(), centreY - size.height() / 2};
    case RectEdge::maxX:
        return {anchor.x() + anchor.width(), centreY - size.height() / 2};
    }
    return {};
}

bool fitsAcross(const QRect& frame, RectEdge edge, const QRect& area) {
    if (isVertical(edge))
        return frame.top() >= area.top() && frame.bottom() <= area.bottom();
    return frame.left() >= area.left() && frame.right() <= area.right();
}
} // namespace

QSize PopoverPlacement::windowSize(const QSize& contentSize, RectEdge edge) {
    return isVertical(edge) ? QSize(contentSize.width(), contentSize.height() + arrowLengthPixels)
                            : QSize(contentSize.width() + arrowLengthPixels, contentSize.height());
}

QRect PopoverPlacement::contentRect(const QSize& windowSize, RectEdge edge) {
    QRect body(QPoint(0, 0), windowSize);
    switch (edge) {
    case RectEdge::minY:
        return body.adjusted(0, arrowLengthPixels, 0, 0);
    case RectEdge::maxY:
        return body.adjusted(0, 0, 0, -arrowLengthPixels);
    case RectEdge::minX:
        return body.adjusted(0, 0, -arrowLengthPixels, 0);
    case RectEdge::maxX:
        return body.adjusted(arrowLengthPixels, 0, 0, 0);
    }
    return body;
}

PopoverPlacement PopoverPlacement::compute(const QRect& anchor, const QSize& contentSize,
                                           RectEdge preferredEdge, const QRect& screenArea) {
    const QRect area =
        screenArea.adjusted(screenMarginPixels, screenMarginPixels, -screenMarginPixels, -screenMarginPixels);
    PopoverPlacement placement;
    placement.edge = preferredEdge;
    QSize size = windowSize(contentSize, preferredEdge);
    QRect frame(origin(anchor, size, preferredEdge), size);
    if (!fitsAcross(frame, preferredEdge, area)) {
        const RectEdge other = opposite(preferredEdge);
        const QSize otherSize = windowSize(contentSize, other);
        const QRect otherFrame(origin(anchor, otherSize, other), otherSize);
        if (fitsAcross(otherFrame, other, area)) {
            placement.edge = other;
            size = otherSize;
            frame = otherFrame;
        }
    }

    // Keep the whole window on the screen; the side facing the anchor wins when nothing fits.
    frame.moveLeft(clampLow(frame.left(), area.left(), area.right() + 1 - frame.width()));
    frame.moveTop(clampLow(frame.top(), area.top(), area.bottom() + 1 - frame.height()));
    placement.frame = frame;

    const int arrowMargin = cornerRadiusPixels + arrowWidthPixels / 2;
    const QPoint centre(anchor.x() + anchor.width() / 2, anchor.y() + anchor.height() / 2);
    if (isVertical(placement.edge)) {
        placement.arrowOffset = clampLow(centre.x() - frame.left(), arrowMargin, frame.width() - arrowMargin);
        const int tipY = placement.edge == RectEdge::minY ? frame.top() : frame.top() + frame.height();
        placement.arrowTip = QPoint(frame.left() + placement.arrowOffset, tipY);
    } else {
        placement.arrowOffset = clampLow(centre.y() - frame.top(), arrowMargin, frame.height() - arrowMargin);
        const int tipX = placement.edge == RectEdge::maxX ? frame.left() : frame.left() + frame.width();
        placement.arrowTip = QPoint(tipX, frame.top() + placement.arrowOffset);
    }
    return placement;
}
