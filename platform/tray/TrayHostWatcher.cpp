#include "TrayHostWatcher.h"

#include "Log.h"
#include "StatusNotifierItem.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace {
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
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
    const quint64 generation = generation_;
    auto* answer = new QDBusPendingCallWatcher(
        connection_.interface()->asyncCall(QStringLiteral("GetNameOwner"), watcherService), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher* answer) {
                answer->deleteLater();
                const QDBusPendingReply<QString> reply = *answer;
                if (generation == generation_ && !reply.isError())
                    registryOwnerChanged(reply.value());
            });
}

TrayHostWatcher::~TrayHostWatcher() {
    if (!connection_.isConnected())
        return;
    connection_.disconnect(watcherService, watcherPath, watcherInterface,
                           QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(hostRegistered()));
    connection_.disconnect(watcherService, watcherPath, watcherInterface,
                           QStringLiteral("StatusNotifierHostUnregistered"), this, SLOT(hostUnregistered()));
}

void TrayHostWatcher::registryOwnerChanged(const QString& owner) {
    if (owner == owner_)
        return;
    ++generation_;
    owner_ = owner;
    registeredWith_.clear();
    hostRegistered_ = false;
    setHostAvailable(false);
    if (owner.isEmpty())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(owner, watcherPath, watcherInterface,
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << item_->serviceName();
    auto* answer =
        new QDBusPendingCallWatcher(connection_.asyncCall(call, registrationTimeoutMilliseconds), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this,
            [this, owner](QDBusPendingCallWatcher* answer) { handleRegistration(answer, owner); });
}

void TrayHostWatcher::handleRegistration(QDBusPendingCallWatcher* answer, const QString& owner) {
    answer->deleteLater();
    if (owner != owner_)
        return;
    const QDBusPendingReply<> reply = *answer;
    if (reply.isError()) {
        Log::write(QStringLiteral("Error: TrayHostWatcher: The tray did not take the icon (%1: %2)")
                       .arg(reply.error().name(), reply.error().message())
                       .toStdString());
        return;
    }
    registeredWith_ = owner;
    askWhetherHostIsRegistered();
}

void TrayHostWatcher::askWhetherHostIsRegistered() {
    QDBusMessage call =
        QDBusMessage::createMethodCall(owner_, watcherPath, propertiesInterface, QStringLiteral("Get"));
    call << watcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    const quint64 generation = generation_;
    auto* answer = new QDBusPendingCallWatcher(connection_.asyncCall(call), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher* answer) {
                answer->deleteLater();
                if (generation != generation_)
                    return;
                const QDBusPendingReply<QDBusVariant> reply = *answer;
                // A registry that cannot say is taken to have its host, as the registries that always say yes
                // do.
                hostRegistered_ = reply.isError() || reply.value().variant().toBool();
                setHostAvailable(hostRegistered_ && !registeredWith_.isEmpty());
            });
}

void TrayHostWatcher::hostRegistered() {
    hostRegistered_ = true;
    setHostAvailable(!registeredWith_.isEmpty());
}

void TrayHostWatcher::hostUnregistered() {
    // Another host may still be there: ask.
    if (!registeredWith_.isEmpty())
        askWhetherHostIsRegistered();
}

void TrayHostWatcher::setHostAvailable(bool available) {
    if (hostAvailable_ == available)
        return;
    hostAvailable_ = available;
    emit hostAvailableChanged(available);
}
