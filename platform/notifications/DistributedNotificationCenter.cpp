#include "DistributedNotificationCenter.h"

#include "Log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <algorithm>

namespace {
const QString notificationPath = QStringLiteral("/com/Orvane/DistributedNotifications");
const QString notificationInterface = QStringLiteral("com.Orvane.DistributedNotifications");
const QString notificationMember = QStringLiteral("Posted");

void logError(const QString& what) {
    Log::write(QStringLiteral("Error: DistributedNotificationCenter: %1").arg(what).toStdString());
}
} // namespace

DistributedNotificationCenter::DistributedNotificationCenter(QObject* parent)
    : QObject(parent) {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected()) {
        logError(QStringLiteral("No session bus (%1)").arg(session.lastError().message()));
        return;
    }
    // An empty service accepts the signal from every sender.
    listening_ = session.connect(QString(), notificationPath, notificationInterface, notificationMember, this,
                                 SLOT(deliver(QString, QString)));
    if (!listening_) {
        logError(QStringLiteral("Cannot listen for notifications (%1)").arg(session.lastError().message()));
        return;
    }
    // Qt sends the match rule without waiting for it. A round trip to the bus, which handles one
    // connection's messages in order, makes sure it is in place before anyone is told we listen (the
    // launcher starts Tempolis right after observing, and Tempolis posts at once).
    session.interface()->call(QStringLiteral("GetId"));
}

void DistributedNotificationCenter::post(const QString& name, const QString& object) {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        return;
    QDBusMessage signal =
        QDBusMessage::createSignal(notificationPath, notificationInterface, notificationMember);
    signal << name << object;
    if (!session.send(signal))
        logError(QStringLiteral("Cannot post %1 (%2)").arg(name, session.lastError().message()));
}

DistributedNotificationCenter::ObserverToken
DistributedNotificationCenter::addObserver(const QString& name, const QString& objectFilter,
                                           QObject* receiver, Callback callback) {
    if (!listening_ || !callback)
        return 0;
    const ObserverToken token = nextToken_++;
    observers_.push_back({token, name, objectFilter, receiver, receiver, std::move(callback)});
    if (receiver)
        connect(receiver, &QObject::destroyed, this, [this, receiver] { removeObservers(receiver); });
    return token;
}

void DistributedNotificationCenter::removeObserver(ObserverToken token) {
    std::erase_if(observers_, [token](const Observer& observer) { return observer.token == token; });
}

void DistributedNotificationCenter::removeObservers(QObject* receiver) {
    if (!receiver)
        return;
    std::erase_if(observers_,
                  [receiver](const Observer& observer) { return observer.receiverKey == receiver; });
}

void DistributedNotificationCenter::deliver(const QString& name, const QString& object) {
    // A callback may add or remove observers (or end the program), so walk a snapshot of the matching tokens
    // and look each one up again before calling it.
    std::vector<ObserverToken> matching;
    for (const Observer& observer : observers_) {
        if (observer.name == name && observer.objectFilter == object)
            matching.push_back(observer.token);
    }
    for (const ObserverToken token : matching) {
        const auto found =
            std::find_if(observers_.begin(), observers_.end(),
                         [token](const Observer& observer) { return observer.token == token; });
        if (found == observers_.end() || (found->receiverKey && !found->receiver))
            continue;
        const Callback callback = found->callback;
        callback(name, object);
    }
}
