#include "FakeLogind.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
const QString serviceName = QStringLiteral("org.freedesktop.login1");
const QString objectPath = QStringLiteral("/org/freedesktop/login1");
} // namespace

FakeLogind::FakeLogind(const QString& busAddress) {
    static std::atomic<int> instances = 0;
    connectionName_ = QStringLiteral("fake-logind-%1").arg(instances++);
    QDBusConnection connection = QDBusConnection::connectToBus(busAddress, connectionName_);
    if (!connection.isConnected())
        return;
    registered_ =
        connection.registerObject(objectPath, this,
                                  QDBusConnection::ExportAllSignals | QDBusConnection::ExportAllSlots) &&
        connection.registerService(serviceName);
}

FakeLogind::~FakeLogind() {
    {
        QDBusConnection connection(connectionName_);
        connection.unregisterObject(objectPath);
    }
    QDBusConnection::disconnectFromBus(connectionName_);
    for (const Lock& lock : locks_)
        ::close(lock.readEnd);
}

QDBusUnixFileDescriptor FakeLogind::Inhibit(const QString& what, const QString& who, const QString& why,
                                            const QString& mode) {
    ++inhibitCallCount_;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return {};
    locks_.append({{what, who, why, mode}, ends[0]});
    // The descriptor object holds a copy; ours goes at once, so only the caller keeps the lock open.
    QDBusUnixFileDescriptor writeEnd(ends[1]);
    ::close(ends[1]);
    return writeEnd;
}

QList<FakeLogind::Inhibitor> FakeLogind::activeInhibitors() {
    QList<Inhibitor> active;
    for (auto lock = locks_.begin(); lock != locks_.end();) {
        pollfd readEnd{lock->readEnd, POLLIN, 0};
        if (::poll(&readEnd, 1, 0) == 1 && (readEnd.revents & POLLHUP) != 0) {
            ::close(lock->readEnd);
            lock = locks_.erase(lock);
        } else {
            active.append(lock->inhibitor);
            ++lock;
        }
    }
    return active;
}
