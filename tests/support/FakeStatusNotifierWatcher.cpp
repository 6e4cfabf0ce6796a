#include "FakeStatusNotifierWatcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusServiceWatcher>

#include <atomic>

namespace {
const QString serviceName = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString objectPath = QStringLiteral("/StatusNotifierWatcher");
const QString defaultItemPath = QStringLiteral("/StatusNotifierItem");
const QString kdedPath = QStringLiteral("/kded");

// What kded serves beside the registry, enough to be recognised.
class KdedStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kded5")

public:
    using QObject::QObject;

public slots:
    QStringList loadedModules() const { return {QStringLiteral("statusnotifierwatcher")}; }
};
} // namespace

FakeStatusNotifierWatcher::FakeStatusNotifierWatcher(const QString& busAddress, bool hostRegistered,
                                                     Kind kind)
    : busAddress_(busAddress)
    , hostRegistered_(hostRegistered || kind == Kind::Kded)
    , kind_(kind) {
    if (kind_ == Kind::Kded)
        kded_ = new KdedStandIn(this);
    start();
}

FakeStatusNotifierWatcher::~FakeStatusNotifierWatcher() {
    stop();
}

bool FakeStatusNotifierWatcher::start() {
    if (running_)
        return true;
    static std::atomic<int> connections = 0;
    connectionName_ = QStringLiteral("fake-status-notifier-watcher-%1").arg(connections++);
    QDBusConnection connection = QDBusConnection::connectToBus(busAddress_, connectionName_);
    if (!connection.isConnected())
        return false;
    items_.clear();
    registrationCalls_.clear();
    itemOwners_ =
        new QDBusServiceWatcher(QString(), connection, QDBusServiceWatcher::WatchForUnregistration, this);
    connect(itemOwners_, &QDBusServiceWatcher::serviceUnregistered, this,
            &FakeStatusNotifierWatcher::serviceUnregistered);
    const auto exported = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                          QDBusConnection::ExportAllProperties;
    running_ =
        connection.registerObject(objectPath, this, exported) &&
        (kded_ == nullptr || connection.registerObject(kdedPath, kded_, QDBusConnection::ExportAllSlots)) &&
        connection.registerService(serviceName);
    uniqueName_ = running_ ? connection.baseService() : QString();
    if (!running_)
        stop();
    return running_;
}

void FakeStatusNotifierWatcher::stop() {
    if (connectionName_.isEmpty())
        return;
    delete itemOwners_;
    itemOwners_ = nullptr;
    {
        QDBusConnection connection(connectionName_);
        connection.unregisterObject(objectPath);
        connection.unregisterObject(kdedPath);
        connection.unregisterService(serviceName);
    }
    QDBusConnection::disconnectFromBus(connectionName_);
    connectionName_.clear();
    uniqueName_.clear();
    running_ = false;
}

void FakeStatusNotifierWatcher::setHostRegistered(bool registered) {
    if (hostRegistered_ == registered || kind_ == Kind::Kded)
        return;
    hostRegistered_ = registered;
    if (registered)
        emit StatusNotifierHostRegistered();
    else
        emit StatusNotifierHostUnregistered();
}

void FakeStatusNotifierWatcher::RegisterStatusNotifierItem(const QString& serviceOrPath) {
    registrationCalls_.append(serviceOrPath);
    if (refusesRegistrations_) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("Refused for the test"));
        return;
    }
    QString service = serviceOrPath;
    QString path = defaultItemPath;
    if (serviceOrPath.startsWith(QLatin1Char('/'))) {
        service = message().service();
        path = serviceOrPath;
    }
    QDBusConnection connection(connectionName_);
    if (!connection.interface()->isServiceRegistered(service).value()) {
        sendErrorReply(QDBusError::ServiceUnknown, QStringLiteral("Nobody owns %1").arg(service));
        return;
    }
    const QString item = service + path;
    if (items_.contains(item))
        return;
    items_.append(item);
    itemOwners_->addWatchedService(service);
    emit StatusNotifierItemRegistered(item);
}

void FakeStatusNotifierWatcher::RegisterStatusNotifierHost(const QString& service) {
    Q_UNUSED(service)
    setHostRegistered(true);
}

void FakeStatusNotifierWatcher::serviceUnregistered(const QString& service) {
    itemOwners_->removeWatchedService(service);
    const QString prefix = service + QLatin1Char('/');
    for (auto item = items_.begin(); item != items_.end();) {
        if (item->startsWith(prefix)) {
            const QString gone = *item;
            item = items_.erase(item);
            emit StatusNotifierItemUnregistered(gone);
        } else {
            ++item;
        }
    }
}

#include "FakeStatusNotifierWatcher.moc"
