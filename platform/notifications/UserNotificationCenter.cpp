#include "UserNotificationCenter.h"

#include "Log.h"
#include "UserNotificationCenterDelegate.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <limits>
#include <memory>

namespace {
const QString notificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString notificationsInterface = QStringLiteral("org.freedesktop.Notifications");
const QString defaultActionKey = QStringLiteral("default");
const QString defaultActionLabel = QStringLiteral("Open");
// Let the server pick its own display time.
constexpr int serverDefaultTimeout = -1;
} // namespace

UserNotificationCenter::UserNotificationCenter(QObject* parent)
    : QObject(parent) {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected()) {
        logOnce(QStringLiteral("No session bus (%1)").arg(session.lastError().message()));
        return;
    }
    connected_ = true;
    // Servers send these signals to the connection that created the notification. Each is checked against
    // the server that answered its Notify, not matched by the well-known name: a server started after this
    // (activated by the first Notify, say) would otherwise be known to the bus library only once it has
    // tracked the name's new owner, and a click coming first is lost.
    session.connect(QString(), notificationsPath, notificationsInterface, QStringLiteral("ActionInvoked"),
                    this, SLOT(handleActionInvoked(uint, QString, QDBusMessage)));
    session.connect(QString(), notificationsPath, notificationsInterface,
                    QStringLiteral("NotificationClosed"), this,
                    SLOT(handleNotificationClosed(uint, uint, QDBusMessage)));
}

void UserNotificationCenter::schedule(const QString& title, const QString& body, const QVariantMap& userInfo,
                                      const QDateTime& deliveryDate) {
    if (!connected_)
        return;
    scheduleAt(title, body, userInfo, deliveryDate);
}

void UserNotificationCenter::scheduleAt(const QString& title, const QString& body,
                                        const QVariantMap& userInfo, const QDateTime& deliveryDate) {
    const qint64 delayMilliseconds =
        deliveryDate.isValid() ? QDateTime::currentDateTimeUtc().msecsTo(deliveryDate) : 0;
    if (delayMilliseconds <= 0) {
        show(title, body, userInfo);
        return;
    }
    // Timers count monotonic time, which can run apart from the wall clock (clock changes): check the date
    // again when the timer fires and wait for the rest. QTimer takes at most INT_MAX milliseconds at once.
    const int waitMilliseconds = int(std::min<qint64>(delayMilliseconds, std::numeric_limits<int>::max()));
    QTimer::singleShot(waitMilliseconds, Qt::PreciseTimer, this, [this, title, body, userInfo, deliveryDate] {
        scheduleAt(title, body, userInfo, deliveryDate);
    });
}

void UserNotificationCenter::show(const QString& title, const QString& body, const QVariantMap& userInfo) {
    QDBusMessage notify = QDBusMessage::createMethodCall(notificationsService, notificationsPath,
                                                         notificationsInterface, QStringLiteral("Notify"));
    notify << QCoreApplication::applicationName() << uint(0) << QString() << title << body
           << QStringList{defaultActionKey, defaultActionLabel} << QVariantMap() << serverDefaultTimeout;
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, userInfo](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<uint> reply = *call;
                if (reply.isError()) {
                    logOnce(QStringLiteral("Cannot show a notification (%1)").arg(reply.error().message()));
                    return;
                }
                notifications_.insert(reply.value(), Notification{userInfo, reply.reply().service(), false});
            });
}

void UserNotificationCenter::handleActionInvoked(uint id, const QString& actionKey,
                                                 const QDBusMessage& message) {
    const auto found = notifications_.find(id);
    if (actionKey != defaultActionKey || found == notifications_.end() ||
        found->server != message.service() || !delegate_ || found->awaitingCompletion)
        return;
    found->awaitingCompletion = true;
    const QVariantMap userInfo = found->userInfo;
    auto called = std::make_shared<bool>(false);
    QPointer<UserNotificationCenter> center(this);
    delegate_->didReceiveResponse(userInfo, [center, id, called] {
        if (*called) {
            Log::write("Error: UserNotificationCenter: Completion handler called more than once");
            return;
        }
        *called = true;
        if (center)
            center->complete(id);
    });
}

void UserNotificationCenter::handleNotificationClosed(uint id, uint /*reason*/, const QDBusMessage& message) {
    const auto found = notifications_.find(id);
    // An answered notification stays until its delegate completes.
    if (found != notifications_.end() && found->server == message.service() && !found->awaitingCompletion)
        notifications_.erase(found);
}

void UserNotificationCenter::complete(uint id) {
    if (!notifications_.remove(id))
        return;
    // Servers differ in whether a clicked notification goes away; an answered one should.
    QDBusMessage close = QDBusMessage::createMethodCall(
        notificationsService, notificationsPath, notificationsInterface, QStringLiteral("CloseNotification"));
    close << id;
    QDBusConnection::sessionBus().asyncCall(close);
}

void UserNotificationCenter::logOnce(const QString& what) {
    if (failureLogged_)
        return;
    failureLogged_ = true;
    Log::write(QStringLiteral("Error: UserNotificationCenter: %1").arg(what).toStdString());
}
