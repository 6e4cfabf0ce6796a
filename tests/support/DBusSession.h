#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A private dbus-daemon for one test process. It serves as this process's session bus or as its "system" bus
// (a test can play logind there): the address is exported as DBUS_SESSION_BUS_ADDRESS or
// DBUS_SYSTEM_BUS_ADDRESS while it runs, so Qt and every child process use it.
//
// The daemon has no service directories, so asking for a name nobody owns never starts the machine's real
// services (the notification server, for one); it gets PR_SET_PDEATHSIG, so a crashed test leaves none
// behind.
class DBusSession {
public:
    enum class Role { Session, System };

    explicit DBusSession(Role role = Role::Session);
    ~DBusSession();

    DBusSession(const DBusSession&) = delete;
    DBusSession& operator=(const DBusSession&) = delete;

    bool isRunning() const { return daemon_.state() == QProcess::Running && !address_.isEmpty(); }
    QString address() const { return address_; }
    qint64 processIdentifier() const { return daemon_.processId(); }
    // Why the bus could not start; empty when it runs.
    QString errorString() const { return error_; }

    // Ends the daemon (every connection to it is lost) and restores the previous address.
    void stop();

private:
    const char* addressVariable() const;

    Role role_;
    QTemporaryDir folder_;
    QProcess daemon_;
    QString address_;
    QString error_;
    QByteArray previousAddress_;
    bool hadPreviousAddress_ = false;
};
