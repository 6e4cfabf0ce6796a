#include "TrayHostWatcher.h"

#include "Log.h"
#include "StatusNotifierItem.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace {
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString busService = QStringLiteral("org.freedesktop.DBus");
const QString busPath = QStringLiteral("/org/freedesktop/DBus");
const QString busInterface = QStringLiteral("org.freedesktop.DBus");
const QString hostNamePrefix = QStringLiteral("org.kde.StatusNotifierHost-");
// GNOME Shell's extension answers the registration only once the shell has finished starting.
constexpr int registrationTimeoutMilliseconds = 60000;
} // namespace

TrayHostWatcher::TrayHostWatcher(StatusNotifierItem* item, QObject* parent)
    : QObject(parent)
    , item_(item)
    , connection_(item->connection()) {
    if (!connection_.isConnected())
        return;
    // Signals are matched by the well-known name: they keep arriving from whichever owner comes next.
    connection_.connect(watcherService, watcherPath, watcherInterface,
                        QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(hostRegistered()));
    connection_.connect(watcherService, watcherPath, watcherInterface,
                        QStringLiteral("StatusNotifierHostUnregistered"), this, SLOT(hostUnregistered()));
    serviceWatcher_ =
        new QDBusServiceWatcher(watcherService, connection_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(
        serviceWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
        [this](const QString&, const QString&, const QString& newOwner) { registryOwnerChanged(newOwner); });
    // The owner at start; an announcement that overtakes this answer wins (it carries the later owner).
    QDBusMessage call =
        QDBusMessage::createMethodCall(busService, busPath, busInterface, QStringLiteral("GetNameOwner"));
    call << watcherService;
    ask(call, [this](const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage)
            registryOwnerChanged(reply.arguments().value(0).toString());
    });
}

TrayHostWatcher::~TrayHostWatcher() {
    if (!connection_.isConnected())
        return;
    connection_.disconnect(watcherService, watcherPath, watcherInterface,
                           QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(hostRegistered()));
    connection_.disconnect(watcherService, watcherPath, watcherInterface,
                           QStringLiteral("StatusNotifierHostUnregistered"), this, SLOT(hostUnregistered()));
    if (watchingNames_) {
        connection_.disconnect(busService, busPath, busInterface, QStringLiteral("NameOwnerChanged"), this,
                               SLOT(nameOwnerChanged(QString, QString, QString)));
    }
}

void TrayHostWatcher::registryOwnerChanged(const QString& owner) {
    if (owner == owner_)
        return;
    ++generation_;
    owner_ = owner;
    registeredWith_.clear();
    hostRegistered_ = false;
    hostsGoByName_ = false;
    updateAvailability();
    if (owner.isEmpty())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(owner, watcherPath, watcherInterface,
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << item_->serviceName();
    ask(
        call,
        [this](const QDBusMessage& reply) {
            if (reply.type() != QDBusMessage::ReplyMessage) {
                Log::write(QStringLiteral("Error: TrayHostWatcher: The tray did not take the icon (%1: %2)")
                               .arg(reply.errorName(), reply.errorMessage())
                               .toStdString());
                return;
            }
            registered();
        },
        registrationTimeoutMilliseconds);
}

void TrayHostWatcher::registered() {
    registeredWith_ = owner_;
    // Whether the registry is KDE's kded, which serves its own interface at /kded on the same connection.
    QDBusMessage call = QDBusMessage::createMethodCall(owner_, QStringLiteral("/kded"),
                                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                       QStringLiteral("Introspect"));
    ask(call, [this](const QDBusMessage& reply) {
        hostsGoByName_ = reply.type() == QDBusMessage::ReplyMessage &&
                         reply.arguments().value(0).toString().contains(QLatin1String("\"org.kde.kded"));
        if (hostsGoByName_)
            watchHostNames();
        else
            askWhetherHostIsRegistered();
    });
}

void TrayHostWatcher::watchHostNames() {
    // Listening before listing: a host that comes in between is announced after the list.
    if (!watchingNames_) {
        watchingNames_ =
            connection_.connect(busService, busPath, busInterface, QStringLiteral("NameOwnerChanged"), this,
                                SLOT(nameOwnerChanged(QString, QString, QString)));
    }
    ask(QDBusMessage::createMethodCall(busService, busPath, busInterface, QStringLiteral("ListNames")),
        [this](const QDBusMessage& reply) {
            hostNames_.clear();
            for (const QString& name : reply.arguments().value(0).toStringList()) {
                if (name.startsWith(hostNamePrefix))
                    hostNames_.insert(name);
            }
            askWhetherHostIsRegistered();
        });
}

void TrayHostWatcher::askWhetherHostIsRegistered() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        owner_, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << watcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    ask(call, [this](const QDBusMessage& reply) {
        // A registry that cannot say is taken to have its host, as the registries that always say yes do.
        hostRegistered_ = reply.type() != QDBusMessage::ReplyMessage ||
                          reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
        updateAvailability();
    });
}

void TrayHostWatcher::hostRegistered() {
    hostRegistered_ = true;
    updateAvailability();
}

void TrayHostWatcher::hostUnregistered() {
    // Another host may still be there: ask.
    if (!registeredWith_.isEmpty())
        askWhetherHostIsRegistered();
}

void TrayHostWatcher::nameOwnerChanged(const QString& name, const QString& oldOwner,
                                       const QString& newOwner) {
    Q_UNUSED(oldOwner)
    if (!name.startsWith(hostNamePrefix))
        return;
    if (newOwner.isEmpty())
        hostNames_.remove(name);
    else
        hostNames_.insert(name);
    updateAvailability();
}

void TrayHostWatcher::ask(const QDBusMessage& call, Answer answer, int timeoutMilliseconds) {
    const quint64 generation = generation_;
    auto* pending = new QDBusPendingCallWatcher(connection_.asyncCall(call, timeoutMilliseconds), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, generation, answer = std::move(answer)](QDBusPendingCallWatcher* pending) {
                pending->deleteLater();
                if (generation == generation_)
                    answer(pending->reply());
            });
}

void TrayHostWatcher::updateAvailability() {
    const bool available =
        !registeredWith_.isEmpty() && hostRegistered_ && (!hostsGoByName_ || !hostNames_.isEmpty());
    if (hostAvailable_ == available)
        return;
    hostAvailable_ = available;
    emit hostAvailableChanged(available);
}
