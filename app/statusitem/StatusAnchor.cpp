#include "StatusAnchor.h"

#include "Popover.h"
#include "PopoverPlacement.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <array>

namespace {
StatusAnchor::Provider& provider() {
    static StatusAnchor::Provider shared;
    return shared;
}

// A tray icon's size: popovers at a point keep clear of the icon under it.
constexpr int pointBoxPixels = 24;

const QScreen* screenOf(const QPoint& globalPoint) {
    const QScreen* screen = QGuiApplication::screenAt(globalPoint);
    return screen ? screen : QGuiApplication::primaryScreen();
}

// How far the work area is inset from each side of the screen: the desktop's panels.
struct Insets {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

Insets insetsOf(const QScreen& screen) {
    const QRect whole = screen.geometry();
    const QRect available = screen.availableGeometry();
    return {available.left() - whole.left(), available.top() - whole.top(), whole.right() - available.right(),
            whole.bottom() - available.bottom()};
}
} // namespace

StatusAnchor StatusAnchor::current() {
    if (provider())
        return provider()();
    return panelCorner(QGuiApplication::primaryScreen());
}

void StatusAnchor::setProvider(Provider provider) {
    ::provider() = std::move(provider);
}

StatusAnchor StatusAnchor::below(const QRect& globalRect) {
    return {globalRect, RectEdge::minY};
}

RectEdge StatusAnchor::inwardEdge(const QPoint& globalPoint) {
    const QScreen* screen = screenOf(globalPoint);
    if (!screen)
        return RectEdge::minY;
    const QRect available = screen->availableGeometry();
    // In a panel: away from the panel.
    if (globalPoint.y() > available.bottom())
        return RectEdge::maxY;
    if (globalPoint.y() < available.top())
        return RectEdge::minY;
    if (globalPoint.x() < available.left())
        return RectEdge::maxX;
    if (globalPoint.x() > available.right())
        return RectEdge::minX;
    // A panel that reserves nothing (or none at all): towards the farther side, nearest edge first.
    const QRect whole = screen->geometry();
    const std::array<std::pair<int, RectEdge>, 4> distances{
        {{whole.bottom() - globalPoint.y(), RectEdge::maxY},
         {globalPoint.y() - whole.top(), RectEdge::minY},
         {globalPoint.x() - whole.left(), RectEdge::maxX},
         {whole.right() - globalPoint.x(), RectEdge::minX}}};
    return std::min_element(distances.begin(), distances.end())->second;
}

StatusAnchor StatusAnchor::atPoint(const QPoint& globalPoint) {
    const RectEdge edge = inwardEdge(globalPoint);
    QRect box(globalPoint - QPoint(pointBoxPixels / 2, pointBoxPixels / 2),
              QSize(pointBoxPixels, pointBoxPixels));
    // The popover starts at the work area's edge when the point lies in a panel beyond it.
    if (const QScreen* screen = screenOf(globalPoint)) {
        const QRect available = screen->availableGeometry();
        switch (edge) {
        case RectEdge::maxY:
            box.setTop(std::min(box.top(), available.bottom() + 1));
            break;
        case RectEdge::minY:
            box.setBottom(std::max(box.bottom(), available.top() - 1));
            break;
        case RectEdge::maxX:
            box.setRight(std::max(box.right(), available.left() - 1));
            break;
        case RectEdge::minX:
            box.setLeft(std::min(box.left(), available.right() + 1));
            break;
        }
    }
    return {box, edge};
}

StatusAnchor StatusAnchor::panelCorner(const QScreen* screen) {
    if (!screen)
        return {QRect(0, 0, 1, 1), RectEdge::minY};
    const QRect available = screen->availableGeometry();
    const Insets insets = insetsOf(*screen);
    // The widest inset holds the panel; bottom first, then top, right and left on a tie.
    const int widest = std::max({insets.bottom, insets.top, insets.right, insets.left});
    if (widest > 0 && insets.bottom == widest)
        return {QRect(available.right(), available.bottom() + 1, 1, 1), RectEdge::maxY};
    if (widest > 0 && insets.right == widest && insets.top != widest)
        return {QRect(available.right() + 1, available.bottom(), 1, 1), RectEdge::minX};
    if (widest > 0 && insets.left == widest && insets.top != widest)
        return {QRect(available.left() - 1, available.bottom(), 1, 1), RectEdge::maxX};
    return {QRect(available.right(), available.top() - 1, 1, 1), RectEdge::minY};
}

void StatusAnchor::show(Popover& popover) const {
    popover.show(rect, nullptr, edge);
}

QPoint StatusAnchor::placeWindow(const QSize& size) const {
    const QScreen* screen = screenOf(rect.center());
    const QRect area = screen ? screen->availableGeometry() : QRect(rect.center(), size);
    return PopoverPlacement::compute(rect, size, edge, area).frame.topLeft();
}
