#pragma once

#include "DBusMenu.h"
#include "StatusNotifierItemTypes.h"

#include <QDBusConnection>
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>

class StatusNotifierItemAdaptor;

// An icon in the desktop's system tray: an org.kde.StatusNotifierItem on the session bus, as KDE Plasma's
// tray and GNOME Shell's AppIndicator extension show them. The item has a connection of its own that owns the
// name org.kde.StatusNotifierItem-<pid>-<n> and serves the item at /StatusNotifierItem and its menu (when one
// is set) at /MenuBar. To appear, the item must be registered with the tray's watcher: TrayHostWatcher does
// that whenever a watcher appears.
//
// Clicks come as the host's requests, with the position the host gives: both hosts below send the pointer's
// position in screen coordinates. KDE Plasma 5.27: a left click activates, a middle click activates
// secondarily, a right click shows the menu (drawn by plasmashell; ContextMenu is only asked of an item
// without one). GNOME Shell 43 with the AppIndicator extension: a double click activates (its first click
// opens the menu, the second closes it), a single left click or a right click shows the menu, a middle click
// activates secondarily. Each signal is emitted after the host has its answer.
//
// Lives and is used on the main thread; needs a QGuiApplication (icons are rendered).
class StatusNotifierItem : public QObject {
    Q_OBJECT

public:
    enum class Status { Passive, Active, NeedsAttention };

    // `id` names the application to hosts (the Id property), `title` is its readable name.
    StatusNotifierItem(const QString& id, const QString& title, QObject* parent = nullptr);
    // Leaves the bus: hosts remove the icon.
    ~StatusNotifierItem() override;

    // The item is on the bus under serviceName().
    bool isExported() const { return exported_; }
    QString serviceName() const { return serviceName_; }
    QDBusConnection connection() const;
    static QString objectPath();
    static QString menuObjectPath();

    QString id() const { return id_; }
    QString title() const { return title_; }
    void setTitle(const QString& title);
    Status status() const { return status_; }
    void setStatus(Status status);

    // The icon hosts show; rendered at the sizes trays use. A theme icon's name goes along, so a host can
    // draw it from the theme at its own size.
    void setIcon(const QIcon& icon);
    QIcon icon() const { return icon_; }
    // The icon shown instead while the status is NeedsAttention (empty: the normal icon).
    void setAttentionIcon(const QIcon& icon);
    void setToolTip(const QString& title, const QString& text);

    // The menu hosts show for this item (a right click); null removes it. The item does not own the menu.
    void setMenu(DBusMenu* menu);
    DBusMenu* menu() const { return menu_; }

    // The sides at which icons are rendered.
    static QList<int> iconSidesPixels();

signals:
    // The host asks for the item's main action, at this screen position.
    void activated(QPoint screenPosition);
    void secondaryActivated(QPoint screenPosition);
    // The host asks the item to show its own menu (hosts draw the DBusMenu themselves when there is one).
    void contextMenuRequested(QPoint screenPosition);
    void scrolled(int delta, Qt::Orientation orientation);

private:
    friend class StatusNotifierItemAdaptor;

    void deliver(void (StatusNotifierItem::*signal)(QPoint), int x, int y);

    QString id_;
    QString title_;
    Status status_ = Status::Active;
    QIcon icon_;
    QIcon attentionIcon_;
    StatusNotifierIconPixmapList iconPixmaps_;
    StatusNotifierIconPixmapList attentionIconPixmaps_;
    StatusNotifierToolTip toolTip_;
    QPointer<DBusMenu> menu_;
    StatusNotifierItemAdaptor* adaptor_ = nullptr;
    QString serviceName_;
    bool exported_ = false;
};
