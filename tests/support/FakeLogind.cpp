#include "FakeLogind.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <atomic>

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
    registered_ = connection.registerObject(objectPath, this, QDBusConnection::ExportAllSignals) &&
                  connection.registerService(serviceName);
}

FakeLogind::~FakeLogind() {
    {
        QDBusConnection connection(connectionName_);
        connection.unregisterObject(objectPath);
    }
    QDBusConnection::disconnectFromBus(connectionName_);
}
