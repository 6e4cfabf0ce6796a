#pragma once

#include <QObject>
#include <QString>

// Plays logind on a private "system" bus: owns org.freedesktop.login1 and emits
// org.freedesktop.login1.Manager.PrepareForSleep from /org/freedesktop/login1 on demand.
// Uses its own connection, so the process under test sees the signal come from another peer.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    explicit FakeLogind(const QString& busAddress);
    ~FakeLogind() override;

    // Owns the name and exports the object.
    bool isRegistered() const { return registered_; }

    void prepareForSleep(bool start) { emit PrepareForSleep(start); }

signals:
    void PrepareForSleep(bool start);

private:
    QString connectionName_;
    bool registered_ = false;
};
