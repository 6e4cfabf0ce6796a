#include "StatusBar.h"

#include "StatusItem.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

StatusBar& StatusBar::system() {
    static StatusBar bar;
    return bar;
}

std::unique_ptr<StatusItem> StatusBar::statusItem(double length) {
    std::unique_ptr<StatusItem> item(new StatusItem(*this, length));
    items_.push_back(item.get());
    layoutItems();
    return item;
}

void StatusBar::layoutItems() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    int right = available.x() + available.width();
    for (StatusItem* item : items_) {
        if (!item->isVisible())
            continue;
        const int width = item->widthPixels();
        right -= width;
        item->place(QRect(right, available.y(), width, thicknessPixels));
    }
}

void StatusBar::remove(StatusItem* item) {
    items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
    layoutItems();
}
