#include "Workspace.h"

#include "Bundle.h"
#include "Log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMetaMethod>
#include <QProcess>

namespace {
const QString busService = QStringLiteral("org.freedesktop.DBus");
const QString busPath = QStringLiteral("/org/freedesktop/DBus");
const QString busInterface = QStringLiteral("org.freedesktop.DBus");

const QString login1Service = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString login1ManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");

void logError(const QString& what) {
    Log::write(QStringLiteral("Error: Workspace: %1").arg(what).toStdString());
}

bool fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}
} // namespace

Workspace::Workspace(QObject* parent)
    : QObject(parent)
    , urlOpener_([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
    const QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        logError(QStringLiteral("No session bus (%1)").arg(session.lastError().message()));
}

void Workspace::connectNotify(const QMetaMethod& signal) {
    if (signal == QMetaMethod::fromSignal(&Workspace::willSleep) ||
        signal == QMetaMethod::fromSignal(&Workspace::didWake))
        observeSleepAndWake();
}

void Workspace::observeSleepAndWake() {
    if (observingSleepAndWake_)
        return;
    observingSleepAndWake_ = true;
    QDBusConnection system = QDBusConnection::systemBus();
    if (!system.isConnected()) {
        logError(QStringLiteral("No system bus, sleep and wake go unnoticed (%1)")
                     .arg(system.lastError().message()));
        return;
    }
    // Naming the service makes Qt accept the signal only from the current owner of org.freedesktop.login1.
    if (!system.connect(login1Service, login1Path, login1ManagerInterface, QStringLiteral("PrepareForSleep"),
                        this, SLOT(handlePrepareForSleep(bool)))) {
        logError(QStringLiteral("Cannot observe sleep and wake (%1)").arg(system.lastError().message()));
        return;
    }
    // Qt sends the match rule without waiting; a round trip puts it in place before the caller goes on.
    system.interface()->call(QStringLiteral("GetId"));
}

bool Workspace::openURL(const QUrl& url) {
    return urlOpener_ ? urlOpener_(url) : false;
}

void Workspace::setURLOpener(URLOpener opener) {
    urlOpener_ = std::move(opener);
}

QList<RunningApplication> Workspace::runningApplications(const QString& bundleIdentifier) const {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected() || bundleIdentifier.isEmpty())
        return {};
    QDBusMessage call =
        QDBusMessage::createMethodCall(busService, busPath, busInterface, QStringLiteral("ListQueuedOwners"));
    call << bundleIdentifier;
    // An error (NameHasNoOwner) means that nobody runs it.
    const QDBusReply<QStringList> owners = session.call(call);
    if (!owners.isValid())
        return {};

    QList<RunningApplication> applications;
    for (const QString& owner : owners.value()) {
        const QDBusReply<uint> pid = session.interface()->servicePid(owner);
        applications.append({bundleIdentifier, owner, pid.isValid() ? qint64(pid.value()) : 0});
    }
    return applications;
}

bool Workspace::registerRunningApplication(const QString& bundleIdentifier) {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        return true;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        session.interface()->registerService(bundleIdentifier, QDBusConnectionInterface::QueueService,
                                             QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        logError(QStringLiteral("Cannot register %1 (%2)").arg(bundleIdentifier, reply.error().message()));
        return false;
    }
    return reply.value() == QDBusConnectionInterface::ServiceRegistered;
}

bool Workspace::launchApplication(const QString& bundlePath, QString* error) {
    if (!QFileInfo(bundlePath).isDir())
        return fail(error, QStringLiteral("The application cannot be opened because it cannot be found."));
    const QString executable = Bundle(bundlePath).executablePath();
    const QFileInfo executableInfo(executable);
    if (executable.isEmpty() || !executableInfo.isFile())
        return fail(error,
                    QStringLiteral("The application cannot be opened because its executable is missing."));
    if (!executableInfo.isExecutable())
        return fail(error, QStringLiteral("The application cannot be opened because its executable cannot be "
                                          "run."));
    QProcess process;
    process.setProgram(executable);
    if (!process.startDetached())
        return fail(error,
                    QStringLiteral("The application cannot be opened (%1).").arg(process.errorString()));
    return true;
}

void Workspace::handlePrepareForSleep(bool start) {
    if (start)
        emit willSleep();
    else
        emit didWake();
}
