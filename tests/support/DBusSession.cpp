#include "DBusSession.h"

#include <QDeadlineTimer>
#include <QFile>

#include <csignal>
#include <sys/prctl.h>

namespace {
constexpr int startTimeoutMilliseconds = 10000;
constexpr int stopTimeoutMilliseconds = 5000;

// The session configuration without <servicedir> and <standard_session_servicedirs/>: nothing is activated.
QByteArray configuration(const QString& socketPath) {
    return QStringLiteral(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
        .arg(socketPath)
        .toUtf8();
}
} // namespace

DBusSession::DBusSession(Role role)
    : role_(role)
    , folder_(QStringLiteral("/tmp/tempolis-bus-XXXXXX")) {
    if (!folder_.isValid()) {
        error_ = QStringLiteral("cannot create a folder for the bus: %1").arg(folder_.errorString());
        return;
    }
    const QString configPath = folder_.filePath(QStringLiteral("bus.conf"));
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly) || config.write(configuration(folder_.filePath("socket"))) < 0) {
        error_ = QStringLiteral("cannot write %1").arg(configPath);
        return;
    }
    config.close();

    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                          QStringLiteral("--nosyslog"), QStringLiteral("--print-address=1")});
    daemon_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    daemon_.start(QIODevice::ReadOnly);
    if (!daemon_.waitForStarted(startTimeoutMilliseconds)) {
        error_ = QStringLiteral("cannot start dbus-daemon: %1").arg(daemon_.errorString());
        return;
    }
    // The daemon prints its address once it listens.
    const QDeadlineTimer deadline(startTimeoutMilliseconds);
    while (!daemon_.canReadLine() && !deadline.hasExpired() && daemon_.state() == QProcess::Running)
        daemon_.waitForReadyRead(int(deadline.remainingTime()));
    if (!daemon_.canReadLine()) {
        error_ = QStringLiteral("dbus-daemon printed no address");
        stop();
        return;
    }
    address_ = QString::fromUtf8(daemon_.readLine()).trimmed();

    hadPreviousAddress_ = qEnvironmentVariableIsSet(addressVariable());
    previousAddress_ = qgetenv(addressVariable());
    qputenv(addressVariable(), address_.toUtf8());
}

DBusSession::~DBusSession() {
    stop();
}

void DBusSession::stop() {
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        if (!daemon_.waitForFinished(stopTimeoutMilliseconds)) {
            daemon_.kill();
            daemon_.waitForFinished(stopTimeoutMilliseconds);
        }
    }
    if (!address_.isEmpty()) {
        if (hadPreviousAddress_)
            qputenv(addressVariable(), previousAddress_);
        else
            qunsetenv(addressVariable());
        address_.clear();
    }
}

const char* DBusSession::addressVariable() const {
    return role_ == Role::Session ? "DBUS_SESSION_BUS_ADDRESS" : "DBUS_SYSTEM_BUS_ADDRESS";
}
