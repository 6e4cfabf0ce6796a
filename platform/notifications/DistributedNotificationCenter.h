#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <vector>

// Notifications between the processes of this user: a broadcast signal on the session bus that carries a
// name and an object string. Every process with an observer for that name and object receives it, the
// posting process included. Create the centre on the main thread: callbacks run there, from its event loop.
//
// Wire format, for programs that do not link this class:
//   signal path /com/Orvane/DistributedNotifications, interface com.Orvane.DistributedNotifications,
//   member Posted, arguments (string name, string object).
class DistributedNotificationCenter : public QObject {
    Q_OBJECT

public:
    using Callback = std::function<void(const QString& name, const QString& object)>;
    using ObserverToken = quint64;

    explicit DistributedNotificationCenter(QObject* parent = nullptr);

    void post(const QString& name, const QString& object);

    // `callback` runs for every notification named `name` whose object equals `objectFilter` exactly, until
    // the observer is removed or `receiver` (when given) is destroyed. Returns 0 when nothing can arrive
    // because there is no session bus.
    ObserverToken addObserver(const QString& name, const QString& objectFilter, QObject* receiver,
                              Callback callback);
    void removeObserver(ObserverToken token);
    void removeObservers(QObject* receiver);

private slots:
    void deliver(const QString& name, const QString& object);

private:
    struct Observer {
        ObserverToken token;
        QString name;
        QString objectFilter;
        // Identifies the receiver after its QPointer has been cleared (during `destroyed`).
        const QObject* receiverKey;
        QPointer<QObject> receiver;
        Callback callback;
    };

    bool listening_ = false;
    ObserverToken nextToken_ = 1;
    std::vector<Observer> observers_;
};
