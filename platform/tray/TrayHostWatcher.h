#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QDBusServiceWatcher;
class StatusNotifierItem;

// Keeps a StatusNotifierItem known to the desktop's tray and tells whether a tray shows it.
//
// The tray's registry is whoever owns org.kde.StatusNotifierWatcher on the session bus (KDE's kded, GNOME
// Shell's AppIndicator extension); the host is the panel that draws the items (plasmashell, the shell). The
// watcher follows that name's owner as the bus announces it, with no polling: each time an owner appears the
// item is registered with it (RegisterStatusNotifierItem), and the tray is available while the registration
// held and the registry says a host is registered (IsStatusNotifierHostRegistered, then its
// StatusNotifierHostRegistered and StatusNotifierHostUnregistered signals). When the owner goes, the tray is
// unavailable at once. So a program started before its panel moves into the tray when the panel comes, and
// back into the tray when a restarted panel returns.
//
// KDE's registry lives in kded and outlives plasmashell, and in Plasma 5.27 it answers
// IsStatusNotifierHostRegistered with true and sends no host signals whatever the panel does. With that
// registry the host is known by its bus name instead: the tray is available while some
// org.kde.StatusNotifierHost-<pid> is owned (plasmashell takes one while its tray runs).
//
// Lives and is used on the main thread, and never blocks it.
class TrayHostWatcher : public QObject {
    Q_OBJECT

public:
    // Watches on the item's connection; `item` must outlive the watcher.
    explicit TrayHostWatcher(StatusNotifierItem* item, QObject* parent = nullptr);
    ~TrayHostWatcher() override;

    bool isHostAvailable() const { return hostAvailable_; }
    // The unique bus name of the registry the item is registered with; empty while it is not.
    QString registeredWith() const { return registeredWith_; }

signals:
    void hostAvailableChanged(bool available);

private slots:
    void hostRegistered();
    void hostUnregistered();
    void nameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    using Answer = std::function<void(const QDBusMessage& reply)>;

    void registryOwnerChanged(const QString& owner);
    void registered();
    void watchHostNames();
    void askWhetherHostIsRegistered();
    // Sends `call` and hands its reply to `answer`, unless the registry changed meanwhile.
    void ask(const QDBusMessage& call, Answer answer, int timeoutMilliseconds = -1);
    void updateAvailability();

    StatusNotifierItem* item_;
    QDBusConnection connection_;
    QDBusServiceWatcher* serviceWatcher_ = nullptr;
    // The registry's unique name as last announced, and the one the item is registered with.
    QString owner_;
    QString registeredWith_;
    bool hostRegistered_ = false;
    // The registry is KDE's: hosts are known by their bus names, those in hostNames_.
    bool hostsGoByName_ = false;
    bool watchingNames_ = false;
    QSet<QString> hostNames_;
    bool hostAvailable_ = false;
    // Counts registry owners seen, so an answer that comes after its registry went is dropped.
    quint64 generation_ = 0;
};
