#include "StatusNotifierItemAdaptor.h"

#include "StatusNotifierItem.h"

StatusNotifierItemAdaptor::StatusNotifierItemAdaptor(StatusNotifierItem* item)
    : QDBusAbstractAdaptor(item)
    , item_(item) {
    setAutoRelaySignals(false);
}

QString StatusNotifierItemAdaptor::id() const {
    return item_->id_;
}

QString StatusNotifierItemAdaptor::title() const {
    return item_->title_;
}

QString StatusNotifierItemAdaptor::status() const {
    switch (item_->status_) {
    case StatusNotifierItem::Status::Passive:
        return QStringLiteral("Passive");
    case StatusNotifierItem::Status::NeedsAttention:
        return QStringLiteral("NeedsAttention");
    case StatusNotifierItem::Status::Active:
        break;
    }
    return QStringLiteral("Active");
}

QDBusObjectPath StatusNotifierItemAdaptor::menu() const {
    // The path Qt and KDE give an item without a menu; an empty path cannot travel.
    return QDBusObjectPath(item_->menu_ != nullptr ? StatusNotifierItem::menuObjectPath()
                                                   : QStringLiteral("/NO_DBUSMENU"));
}

QString StatusNotifierItemAdaptor::iconName() const {
    return item_->icon_.name();
}

StatusNotifierIconPixmapList StatusNotifierItemAdaptor::iconPixmap() const {
    return item_->iconPixmaps_;
}

QString StatusNotifierItemAdaptor::attentionIconName() const {
    return item_->attentionIcon_.name();
}

StatusNotifierIconPixmapList StatusNotifierItemAdaptor::attentionIconPixmap() const {
    return item_->attentionIconPixmaps_;
}

StatusNotifierToolTip StatusNotifierItemAdaptor::toolTip() const {
    return item_->toolTip_;
}

void StatusNotifierItemAdaptor::Activate(int x, int y) {
    item_->deliver(&StatusNotifierItem::activated, x, y);
}

void StatusNotifierItemAdaptor::SecondaryActivate(int x, int y) {
    item_->deliver(&StatusNotifierItem::secondaryActivated, x, y);
}

void StatusNotifierItemAdaptor::ContextMenu(int x, int y) {
    item_->deliver(&StatusNotifierItem::contextMenuRequested, x, y);
}

void StatusNotifierItemAdaptor::Scroll(int delta, const QString& orientation) {
    const Qt::Orientation direction =
        orientation.compare(QLatin1String("horizontal"), Qt::CaseInsensitive) == 0 ? Qt::Horizontal
                                                                                   : Qt::Vertical;
    QMetaObject::invokeMethod(
        item_, [item = item_, delta, direction] { emit item->scrolled(delta, direction); },
        Qt::QueuedConnection);
}
