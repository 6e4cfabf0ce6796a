#pragma once

#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QObject>
#include <QString>

// Plays logind on a private "system" bus: owns org.freedesktop.login1, emits
// org.freedesktop.login1.Manager.PrepareForSleep from /org/freedesktop/login1 on demand, and hands out
// inhibitor locks (Inhibit) the way logind does: the caller gets the write end of a pipe whose read end the
// fake keeps, so it sees the lock released when every copy of that write end is closed (POLLHUP).
// Uses its own connection, so the process under test sees it as another peer.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    struct Inhibitor {
        QString what;
        QString who;
        QString why;
        QString mode;
    };

    explicit FakeLogind(const QString& busAddress);
    ~FakeLogind() override;

    // Owns the name and exports the object.
    bool isRegistered() const { return registered_; }

    void prepareForSleep(bool start) { emit PrepareForSleep(start); }

    // The locks handed out whose holders have not closed them yet, oldest first.
    QList<Inhibitor> activeInhibitors();
    // How many times Inhibit was called.
    int inhibitCallCount() const { return inhibitCallCount_; }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode);

signals:
    void PrepareForSleep(bool start);

private:
    struct Lock {
        Inhibitor inhibitor;
        int readEnd = -1;
    };

    QString connectionName_;
    bool registered_ = false;
    QList<Lock> locks_;
    int inhibitCallCount_ = 0;
};
