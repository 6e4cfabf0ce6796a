#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>

class QDBusServiceWatcher;

// Plays the desktop tray's registry on a session bus, as KDE's kded and GNOME Shell's AppIndicator extension
// do: owns org.kde.StatusNotifierWatcher, serves /StatusNotifierWatcher (RegisterStatusNotifierItem,
// RegisterStatusNotifierHost, the properties RegisteredStatusNotifierItems, IsStatusNotifierHostRegistered
// and ProtocolVersion, and their signals) and forgets an item when its bus name goes. An item registered by
// bus name is known as "name/StatusNotifierItem", one registered by object path as "sender/path", as KDE
// does.
//
// It can leave the bus and come back (stop(), start()) like a panel that is restarted, and play a registry
// with or without a host drawing the items (setHostRegistered()). Played as KDE's (Kind::Kded) it also
// serves kded's org.kde.kded5 at /kded on its connection and, like Plasma 5.27's, always says a host is
// registered: the panel's presence is then only seen in its org.kde.StatusNotifierHost-<pid> bus name. It
// uses a connection of its own, so the process under test sees another peer.
class FakeStatusNotifierWatcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)

public:
    enum class Kind { Plain, Kded };

    // Starts on the bus at `busAddress`.
    explicit FakeStatusNotifierWatcher(const QString& busAddress, bool hostRegistered = true,
                                       Kind kind = Kind::Plain);
    ~FakeStatusNotifierWatcher() override;

    // Connects, owns the name and serves the object; false when the name is taken or the bus is gone.
    bool start();
    // Leaves the bus: the name goes, and with it what was registered.
    void stop();
    bool isRunning() const { return running_; }
    // This registry's unique bus name while it runs.
    QString uniqueName() const { return uniqueName_; }

    // Announces a host coming or going (StatusNotifierHostRegistered, StatusNotifierHostUnregistered); a Kded
    // registry ignores it.
    void setHostRegistered(bool registered);
    // Answers every registration with an error from now on (false: takes them again).
    void setRefusesRegistrations(bool refuses) { refusesRegistrations_ = refuses; }
    // The arguments of every RegisterStatusNotifierItem call since the last start, in order.
    QStringList registrationCalls() const { return registrationCalls_; }

    QStringList RegisteredStatusNotifierItems() const { return items_; }
    bool IsStatusNotifierHostRegistered() const { return hostRegistered_; }
    int ProtocolVersion() const { return 0; }

public slots:
    void RegisterStatusNotifierItem(const QString& serviceOrPath);
    void RegisterStatusNotifierHost(const QString& service);

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    void serviceUnregistered(const QString& service);

    QString busAddress_;
    QString connectionName_;
    QString uniqueName_;
    bool running_ = false;
    bool hostRegistered_;
    Kind kind_;
    QObject* kded_ = nullptr;
    bool refusesRegistrations_ = false;
    QStringList items_;
    QStringList registrationCalls_;
    QDBusServiceWatcher* itemOwners_ = nullptr;
};
