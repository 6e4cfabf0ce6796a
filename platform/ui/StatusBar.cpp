#include "StatusBar.h"

#include "StatusItem.h"
#include "X11Struts.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

StatusBar::StatusBar() = default;

StatusBar::~StatusBar() = default;

StatusBar& StatusBar::system() {
    static StatusBar bar;
    return bar;
}

std::unique_ptr<StatusItem> StatusBar::statusItem(double length) {
    if (!struts_) {
        struts_ = X11Struts::forApplication();
        if (struts_)
            QObject::connect(struts_.get(), &X11Struts::othersMayHaveChanged, struts_.get(),
                             [this] { layoutItems(); });
    }
    std::unique_ptr<StatusItem> item(new StatusItem(*this, length));
    if (struts_)
        struts_->makeDock(*item->window());
    items_.push_back(item.get());
    layoutItems();
    return item;
}

void StatusBar::layoutItems() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // On X11 the available area also shrinks by the items' own strips: placed from it, they would move with
    // every answer of the window manager to their strips (X11Struts).
    const QRect area = struts_ ? struts_->areaFreeOfOthers(*screen, itemWindows(), thicknessPixels)
                               : screen->availableGeometry();
    const int top = area.top();
    int right = area.right() + 1;
    for (StatusItem* item : items_) {
        if (!item->isVisible()) {
            if (struts_)
                struts_->releaseTop(*item->window());
            continue;
        }
        const int width = item->widthPixels();
        right -= width;
        const QRect frame(right, top, width, thicknessPixels);
        if (struts_)
            struts_->reserveTop(*item->window(), frame);
        item->place(frame);
    }
}

std::vector<WId> StatusBar::itemWindows() const {
    std::vector<WId> windows;
    for (const StatusItem* item : items_) {
        if (const WId window = item->window()->internalWinId())
            windows.push_back(window);
    }
    return windows;
}

void StatusBar::remove(StatusItem* item) {
    items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
    layoutItems();
}
