#include "DBusNotificationServer.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

namespace {
constexpr int startTimeoutMilliseconds = 10000;
constexpr int commandTimeoutMilliseconds = 10000;
const QString serverName = QStringLiteral("org.freedesktop.Notifications");

bool serverHasOwner() {
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    return bus && bus->isServiceRegistered(serverName).value();
}
} // namespace

DBusNotificationServer::DBusNotificationServer()
    : display_(std::make_unique<XvfbSession>()) {
    if (!display_->isRunning()) {
        error_ = QStringLiteral("no X server: %1").arg(QString::fromStdString(display_->error()));
        return;
    }
    if (serverHasOwner()) {
        error_ = QStringLiteral("another notification server owns %1 on this bus").arg(serverName);
        return;
    }
    // dunst's own chatter stays out of the test output; a private HOME keeps the user's dunstrc away.
    dunst_.setProgram(QStringLiteral("dunst"));
    dunst_.setStandardOutputFile(QProcess::nullDevice());
    dunst_.setStandardErrorFile(QProcess::nullDevice());
    dunst_.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    dunst_.start();
    if (!dunst_.waitForStarted(startTimeoutMilliseconds)) {
        error_ = QStringLiteral("cannot start dunst: %1").arg(dunst_.errorString());
        return;
    }
    const QDeadlineTimer deadline(startTimeoutMilliseconds);
    while (!serverHasOwner() && !deadline.hasExpired() && dunst_.state() == QProcess::Running)
        QThread::msleep(10);
    running_ = serverHasOwner();
    if (!running_)
        error_ = QStringLiteral("dunst did not take %1").arg(serverName);
}

DBusNotificationServer::~DBusNotificationServer() {
    if (dunst_.state() != QProcess::NotRunning) {
        dunst_.terminate();
        if (!dunst_.waitForFinished(commandTimeoutMilliseconds)) {
            dunst_.kill();
            dunst_.waitForFinished(commandTimeoutMilliseconds);
        }
    }
}

int DBusNotificationServer::displayedCount() const {
    QByteArray output;
    if (!runDunstctl({QStringLiteral("count"), QStringLiteral("displayed")}, &output))
        return -1;
    bool ok = false;
    const int count = output.trimmed().toInt(&ok);
    return ok ? count : -1;
}

bool DBusNotificationServer::invokeTopDefaultAction() const {
    return runDunstctl({QStringLiteral("action"), QStringLiteral("0")}, nullptr);
}

bool DBusNotificationServer::runDunstctl(const QStringList& arguments, QByteArray* output) {
    QProcess dunstctl;
    dunstctl.start(QStringLiteral("dunstctl"), arguments);
    if (!dunstctl.waitForFinished(commandTimeoutMilliseconds) ||
        dunstctl.exitStatus() != QProcess::NormalExit || dunstctl.exitCode() != 0)
        return false;
    if (output)
        *output = dunstctl.readAllStandardOutput();
    return true;
}
