#pragma once

#include <QDBusMessage>
#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>
#include <QVariantMap>

class UserNotificationCenterDelegate;

// Notifications shown to the user by the desktop's notification server (org.freedesktop.Notifications on the
// session bus). Each one has a default action; its user info stays here, keyed by the id the server returned,
// and comes back to the delegate when the user clicks the notification. Without a session bus or a server,
// one line is logged and nothing is shown.
class UserNotificationCenter : public QObject {
    Q_OBJECT

public:
    explicit UserNotificationCenter(QObject* parent = nullptr);

    // Not owned; must outlive the centre or be replaced first.
    void setDelegate(UserNotificationCenterDelegate* delegate) { delegate_ = delegate; }
    UserNotificationCenterDelegate* delegate() const { return delegate_; }

    // Shows the notification at `deliveryDate` (at once when that has passed or is invalid).
    void schedule(const QString& title, const QString& body, const QVariantMap& userInfo,
                  const QDateTime& deliveryDate);

    // Notifications shown whose user info is still kept: not closed, or answered and awaiting completion.
    int notificationCount() const { return int(notifications_.size()); }

private slots:
    void handleActionInvoked(uint id, const QString& actionKey, const QDBusMessage& message);
    void handleNotificationClosed(uint id, uint reason, const QDBusMessage& message);

private:
    struct Notification {
        QVariantMap userInfo;
        QString server; // the unique bus name that showed it: only it speaks of it
        bool awaitingCompletion = false;
    };

    void scheduleAt(const QString& title, const QString& body, const QVariantMap& userInfo,
                    const QDateTime& deliveryDate);
    void show(const QString& title, const QString& body, const QVariantMap& userInfo);
    void complete(uint id);
    void logOnce(const QString& what);

    bool connected_ = false;
    bool failureLogged_ = false;
    UserNotificationCenterDelegate* delegate_ = nullptr;
    QHash<uint, Notification> notifications_;
};
