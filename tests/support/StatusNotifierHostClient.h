#pragma once

#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class QDBusArgument;

// Plays a tray host towards one status item over the bus, as a panel does: reads the item's properties, sends
// the requests of clicks and wheel turns, reads and drives its com.canonical.dbusmenu menu, and records the
// signals the item and its menu send.
//
// It decodes what arrives by walking the D-Bus values itself (structures and arrays become QVariantLists,
// dictionaries QVariantMaps, byte arrays QByteArrays) and keeps their signatures, so the tests see what any
// host would receive, not what the item's own types make of it. Calls wait for their answer while the event
// loop turns, so the item may live in this process. Uses a connection of its own.
class StatusNotifierHostClient : public QObject {
    Q_OBJECT

public:
    // A menu item as received: id, properties, children.
    struct MenuNode {
        int id = -1;
        QVariantMap properties;
        QList<MenuNode> children;
    };

    // The item registered as `registeredItem` ("bus name/object path", as the registry lists it; a name alone
    // means /StatusNotifierItem).
    StatusNotifierHostClient(const QString& busAddress, const QString& registeredItem);
    ~StatusNotifierHostClient() override;

    bool isConnected() const;

    // Requests of the item; each returns the reply (an error reply when the item refused or did not answer).
    QDBusMessage activate(int x, int y);
    QDBusMessage secondaryActivate(int x, int y);
    QDBusMessage contextMenu(int x, int y);
    QDBusMessage scroll(int delta, const QString& orientation);

    // Every property of the item (org.freedesktop.DBus.Properties.GetAll), decoded; empty on an error.
    QVariantMap properties();
    // The D-Bus signature of each property's value, as it travelled.
    QMap<QString, QString> propertySignatures();

    // The menu's object path (the item's Menu property).
    QString menuPath();
    // GetLayout(parentId, depth, names); false on an error reply. `signature` gets the reply's signature.
    bool menuLayout(int parentId, int recursionDepth, const QStringList& propertyNames, uint* revision,
                    MenuNode* layout, QString* signature = nullptr);
    QDBusMessage menuCall(const QString& method, const QVariantList& arguments);
    // AboutToShow(id): the item's needUpdate answer; false also on an error reply, which `error` then holds.
    bool aboutToShow(int id, QString* error = nullptr);
    QDBusMessage menuEvent(int id, const QString& eventId);

    // The signals received from the item and its menu, by member name, with their decoded arguments.
    int signalCount(const QString& member) const;
    QList<QVariantList> signalArguments(const QString& member) const;
    void clearSignals() { signals_.clear(); }

    // A value as it came off the bus, with nested D-Bus values decoded.
    static QVariant decoded(const QVariant& value);

private slots:
    void record(const QDBusMessage& signal);

private:
    QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments);
    QDBusMessage itemCall(const QString& method, const QVariantList& arguments);
    static QVariant decodedArgument(const QDBusArgument& argument);
    static QString signatureOf(const QVariant& value);
    static MenuNode menuNode(const QVariant& decodedLayout);

    QString connectionName_;
    QString service_;
    QString path_;
    QString menuPath_;
    QList<QPair<QString, QVariantList>> signals_;
};
