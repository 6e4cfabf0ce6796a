#pragma once

#include <QObject>

class QDBusPendingCallWatcher;

// Delays the system's sleep while recent audio still has to reach the disk: a "delay" inhibitor lock from
// logind (org.freedesktop.login1.Manager.Inhibit on the system bus). While the lock is held, logind sends
// PrepareForSleep(true) and then waits, up to its InhibitDelayMaxSec (5 s by default), for the lock to be
// released before the machine sleeps.
//
// Lives and is used on the main thread, and never blocks it: acquire() asks asynchronously and keeps the lock
// (a file descriptor) once the answer arrives; release() closes it, or drops an answer still on its way.
// Without logind (no system bus, nobody owning org.freedesktop.login1, or a refusal) one line is logged the
// first time, and the inhibitor asks no more: sleep then simply is not delayed.
class SleepInhibitor : public QObject {
    Q_OBJECT

public:
    explicit SleepInhibitor(QObject* parent = nullptr);
    // Releases the lock.
    ~SleepInhibitor() override;

    // Asks for the lock unless it is held or asked for already.
    void acquire();
    // Lets the system sleep: closes the lock at once.
    void release();
    // The lock was granted and not released.
    bool isHeld() const { return lockDescriptor_ >= 0; }

private:
    void handleAnswer(QDBusPendingCallWatcher* answer);
    void giveUp(const QString& why);

    int lockDescriptor_ = -1;
    QDBusPendingCallWatcher* pendingAnswer_ = nullptr;
    bool wanted_ = false; // acquire() was called after the last release()
    bool unavailable_ = false;
};
