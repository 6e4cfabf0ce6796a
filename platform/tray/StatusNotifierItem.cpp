#include "StatusNotifierItem.h"

#include "Log.h"
#include "StatusNotifierItemAdaptor.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QMetaObject>

#include <atomic>

namespace {
QString nextServiceName() {
    static std::atomic<int> items = 0;
    return QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(++items);
}
} // namespace

StatusNotifierItem::StatusNotifierItem(const QString& id, const QString& title, QObject* parent)
    : QObject(parent)
    , id_(id)
    , title_(title)
    , serviceName_(nextServiceName()) {
    registerStatusNotifierItemTypes();
    adaptor_ = new StatusNotifierItemAdaptor(this);
    // A connection of its own, as KDE's items have: the name and the object paths are this item's alone.
    QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, serviceName_);
    if (!connection.isConnected()) {
        Log::write(QStringLiteral("Error: StatusNotifierItem: No session bus, no tray icon (%1)")
                       .arg(connection.lastError().message())
                       .toStdString());
        return;
    }
    if (!connection.registerObject(objectPath(), this, QDBusConnection::ExportAdaptors) ||
        !connection.registerService(serviceName_)) {
        Log::write(QStringLiteral("Error: StatusNotifierItem: Cannot offer %1 on the session bus (%2)")
                       .arg(serviceName_, connection.lastError().message())
                       .toStdString());
        return;
    }
    exported_ = true;
}

StatusNotifierItem::~StatusNotifierItem() {
    {
        QDBusConnection connection = this->connection();
        if (menu_ != nullptr)
            connection.unregisterObject(menuObjectPath());
        connection.unregisterObject(objectPath());
        connection.unregisterService(serviceName_);
    }
    QDBusConnection::disconnectFromBus(serviceName_);
}

QDBusConnection StatusNotifierItem::connection() const {
    return QDBusConnection(serviceName_);
}

QString StatusNotifierItem::objectPath() {
    return QStringLiteral("/StatusNotifierItem");
}

QString StatusNotifierItem::menuObjectPath() {
    return QStringLiteral("/MenuBar");
}

QList<int> StatusNotifierItem::iconSidesPixels() {
    // Panels of 16 to 64 pixels at scales 1 and 2; hosts pick the nearest and scale it.
    return {16, 22, 24, 32, 48, 64, 128};
}

void StatusNotifierItem::setTitle(const QString& title) {
    if (title_ == title)
        return;
    title_ = title;
    emit adaptor_->NewTitle();
}

void StatusNotifierItem::setStatus(Status status) {
    if (status_ == status)
        return;
    status_ = status;
    emit adaptor_->NewStatus(adaptor_->status());
}

void StatusNotifierItem::setIcon(const QIcon& icon) {
    icon_ = icon;
    iconPixmaps_ = StatusNotifierIconPixmap::fromIcon(icon, iconSidesPixels());
    emit adaptor_->NewIcon();
}

void StatusNotifierItem::setAttentionIcon(const QIcon& icon) {
    attentionIcon_ = icon;
    attentionIconPixmaps_ = StatusNotifierIconPixmap::fromIcon(icon, iconSidesPixels());
    emit adaptor_->NewAttentionIcon();
}

void StatusNotifierItem::setToolTip(const QString& title, const QString& text) {
    if (toolTip_.title == title && toolTip_.text == text)
        return;
    toolTip_.title = title;
    toolTip_.text = text;
    emit adaptor_->NewToolTip();
}

void StatusNotifierItem::setMenu(DBusMenu* menu) {
    if (menu_ == menu)
        return;
    QDBusConnection connection = this->connection();
    if (menu_ != nullptr)
        connection.unregisterObject(menuObjectPath());
    menu_ = menu;
    if (menu_ != nullptr && exported_ && !menu_->exportOn(connection, menuObjectPath())) {
        Log::write(QStringLiteral("Error: StatusNotifierItem: Cannot offer the menu on the session bus (%1)")
                       .arg(connection.lastError().message())
                       .toStdString());
    }
    emit adaptor_->NewMenu();
}

void StatusNotifierItem::deliver(void (StatusNotifierItem::*signal)(QPoint), int x, int y) {
    QMetaObject::invokeMethod(
        this, [this, signal, x, y] { emit(this->*signal)(QPoint(x, y)); }, Qt::QueuedConnection);
}
