#include "SleepInhibitor.h"

#include "Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString login1ManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");
} // namespace

SleepInhibitor::SleepInhibitor(QObject* parent)
    : QObject(parent) {}

SleepInhibitor::~SleepInhibitor() {
    release();
}

void SleepInhibitor::acquire() {
    wanted_ = true;
    if (unavailable_ || isHeld() || pendingAnswer_ != nullptr)
        return;
    QDBusConnection system = QDBusConnection::systemBus();
    if (!system.isConnected()) {
        giveUp(QStringLiteral("No system bus, sleep is not delayed for the recording (%1)")
                   .arg(system.lastError().message()));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(login1Service, login1Path, login1ManagerInterface,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Tempolis")
         << QStringLiteral("Tempolis writes the recent audio it holds to disk before the computer sleeps.")
         << QStringLiteral("delay");
    pendingAnswer_ = new QDBusPendingCallWatcher(system.asyncCall(call), this);
    connect(pendingAnswer_, &QDBusPendingCallWatcher::finished, this, &SleepInhibitor::handleAnswer);
}

void SleepInhibitor::release() {
    wanted_ = false;
    if (lockDescriptor_ >= 0) {
        ::close(lockDescriptor_);
        lockDescriptor_ = -1;
    }
}

void SleepInhibitor::handleAnswer(QDBusPendingCallWatcher* answer) {
    pendingAnswer_ = nullptr;
    // The answer's copy of the descriptor closes with it.
    answer->deleteLater();
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *answer;
    if (reply.isError()) {
        giveUp(QStringLiteral("logind does not delay sleep for the recording (%1: %2)")
                   .arg(reply.error().name(), reply.error().message()));
        return;
    }
    if (!wanted_)
        return;
    // A descriptor of our own: release() must not depend on when Qt drops the answer.
    lockDescriptor_ = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (lockDescriptor_ < 0)
        giveUp(QStringLiteral("Cannot keep the sleep delay lock (%1)").arg(qt_error_string(errno)));
}

void SleepInhibitor::giveUp(const QString& why) {
    unavailable_ = true;
    Log::write(QStringLiteral("Error: SleepInhibitor: %1").arg(why).toStdString());
}
