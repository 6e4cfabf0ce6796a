#pragma once

#include "DBusMenuTypes.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

class DBusMenuAdaptor;

// A flat menu that a tray host draws: items with a label, enabled and visible states, and separators, offered
// on the session bus as com.canonical.dbusmenu (version 3; how KDE Plasma and GNOME Shell's AppIndicator
// extension show a status item's menu). The owner names each item by a key of its own.
//
// Before a host shows the menu it asks AboutToShow: the menu emits aboutToShow() first, so the owner can set
// the enabled states and labels of the moment, and then answers whether anything changed, which makes the
// host read the menu again. Changes made at other times are announced to hosts on the next turn of the event
// loop (ItemsPropertiesUpdated, and LayoutUpdated when items were added). A click on an enabled item emits
// triggered(key) once the host has its answer, so a slot may open a dialog without keeping the host waiting.
//
// Lives and is used on the main thread.
// (The D-Bus context of a call is given to the object that owns the adaptor: the menu.)
class DBusMenu : public QObject, protected QDBusContext {
    Q_OBJECT

public:
    explicit DBusMenu(QObject* parent = nullptr);
    ~DBusMenu() override;

    // Serves the menu at `objectPath` on `connection` until the menu is destroyed; false when the path is
    // taken or the connection is not connected.
    bool exportOn(QDBusConnection connection, const QString& objectPath);

    // Appends an item. `label` is plain text (an underscore shows as one). A key already present is ignored.
    void addItem(const QString& key, const QString& label, bool enabled = true);
    void addSeparator();

    // Changing an unknown key does nothing.
    void setLabel(const QString& key, const QString& label);
    void setEnabled(const QString& key, bool enabled);
    void setVisible(const QString& key, bool visible);

    // Counts the changes of the item list; hosts see it with each layout.
    uint layoutRevision() const { return layoutRevision_; }

signals:
    // A host is about to show the menu; what slots change now is in its answer.
    void aboutToShow();
    // The user chose the enabled item `key`.
    void triggered(const QString& key);

private:
    friend class DBusMenuAdaptor;

    struct Item {
        int id = 0;
        QString key;
        QString label;
        bool separator = false;
        bool enabled = true;
        bool visible = true;
    };

    // What the adaptor answers; `found` (when given) says whether `id` names an item (0 is the root).
    DBusMenuLayoutItem layout(int parentId, int recursionDepth, const QStringList& propertyNames,
                              bool* found) const;
    DBusMenuItemPropertiesList groupProperties(const QList<int>& ids, const QStringList& propertyNames) const;
    bool hasId(int id) const;
    QVariantMap properties(int id, const QStringList& propertyNames = {}) const;
    // Handles an event for an existing id.
    void handleEvent(int id, const QString& eventId);
    // Asks the owner to refresh when `id` is the root; true when something changed meanwhile.
    bool prepareToShow(int id);

    Item* find(const QString& key);
    const Item* find(const QString& key) const;
    const Item* find(int id) const;
    void propertyChanged(Item& item, const QString& name);
    void layoutChanged();
    void scheduleAnnouncement();
    void announce();

    DBusMenuAdaptor* adaptor_ = nullptr;
    std::vector<Item> items_;
    int nextId_ = 1;
    uint layoutRevision_ = 1;
    // Counts every change, so prepareToShow() can tell whether the owner changed anything.
    quint64 changeCount_ = 0;
    // What the next announcement carries.
    QMap<int, QStringList> changedProperties_;
    bool layoutChangePending_ = false;
    bool announcementScheduled_ = false;
};
