#include "StatusNotifierHostClient.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>

#include <algorithm>
#include <atomic>

namespace {
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString defaultItemPath = QStringLiteral("/StatusNotifierItem");
constexpr int callTimeoutMilliseconds = 10000;

const QStringList itemSignals = {QStringLiteral("NewTitle"),         QStringLiteral("NewIcon"),
                                 QStringLiteral("NewAttentionIcon"), QStringLiteral("NewOverlayIcon"),
                                 QStringLiteral("NewToolTip"),       QStringLiteral("NewStatus"),
                                 QStringLiteral("NewMenu")};
const QStringList menuSignals = {QStringLiteral("ItemsPropertiesUpdated"), QStringLiteral("LayoutUpdated"),
                                 QStringLiteral("ItemActivationRequested")};
} // namespace

StatusNotifierHostClient::StatusNotifierHostClient(const QString& busAddress, const QString& registeredItem) {
    static std::atomic<int> connections = 0;
    connectionName_ = QStringLiteral("status-notifier-host-client-%1").arg(connections++);
    // Like Plasma: the bus name is everything before the first slash.
    const qsizetype slash = registeredItem.indexOf(QLatin1Char('/'));
    service_ = slash < 0 ? registeredItem : registeredItem.left(slash);
    path_ = slash < 0 ? defaultItemPath : registeredItem.mid(slash);
    QDBusConnection connection = QDBusConnection::connectToBus(busAddress, connectionName_);
    // Any path: the menu's is learnt later.
    for (const QString& member : itemSignals)
        connection.connect(service_, QString(), itemInterface, member, this, SLOT(record(QDBusMessage)));
    for (const QString& member : menuSignals)
        connection.connect(service_, QString(), menuInterface, member, this, SLOT(record(QDBusMessage)));
}

StatusNotifierHostClient::~StatusNotifierHostClient() {
    QDBusConnection::disconnectFromBus(connectionName_);
}

bool StatusNotifierHostClient::isConnected() const {
    return QDBusConnection(connectionName_).isConnected();
}

QDBusMessage StatusNotifierHostClient::activate(int x, int y) {
    return itemCall(QStringLiteral("Activate"), {x, y});
}

QDBusMessage StatusNotifierHostClient::secondaryActivate(int x, int y) {
    return itemCall(QStringLiteral("SecondaryActivate"), {x, y});
}

QDBusMessage StatusNotifierHostClient::contextMenu(int x, int y) {
    return itemCall(QStringLiteral("ContextMenu"), {x, y});
}

QDBusMessage StatusNotifierHostClient::scroll(int delta, const QString& orientation) {
    return itemCall(QStringLiteral("Scroll"), {delta, orientation});
}

QVariantMap StatusNotifierHostClient::properties() {
    const QDBusMessage reply = call(path_, propertiesInterface, QStringLiteral("GetAll"), {itemInterface});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return decoded(reply.arguments().constFirst()).toMap();
}

QMap<QString, QString> StatusNotifierHostClient::propertySignatures() {
    QMap<QString, QString> signatures;
    const QDBusMessage reply = call(path_, propertiesInterface, QStringLiteral("GetAll"), {itemInterface});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return signatures;
    // a{sv}: walk the dictionary by hand to see each variant's signature.
    const QDBusArgument map = reply.arguments().constFirst().value<QDBusArgument>();
    map.beginMap();
    while (!map.atEnd()) {
        QString name;
        QDBusVariant value;
        map.beginMapEntry();
        map >> name >> value;
        map.endMapEntry();
        signatures.insert(name, signatureOf(value.variant()));
    }
    map.endMap();
    return signatures;
}

QString StatusNotifierHostClient::menuPath() {
    const QDBusMessage reply =
        call(path_, propertiesInterface, QStringLiteral("Get"), {itemInterface, QStringLiteral("Menu")});
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    menuPath_ = decoded(reply.arguments().constFirst()).value<QDBusObjectPath>().path();
    return menuPath_;
}

bool StatusNotifierHostClient::menuLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                          uint* revision, MenuNode* layout, QString* signature) {
    const QDBusMessage reply =
        menuCall(QStringLiteral("GetLayout"), {parentId, recursionDepth, propertyNames});
    if (signature != nullptr)
        *signature = reply.signature();
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return false;
    *revision = reply.arguments().at(0).toUInt();
    *layout = menuNode(decoded(reply.arguments().at(1)));
    return true;
}

QDBusMessage StatusNotifierHostClient::menuCall(const QString& method, const QVariantList& arguments) {
    if (menuPath_.isEmpty())
        menuPath();
    return call(menuPath_, menuInterface, method, arguments);
}

bool StatusNotifierHostClient::aboutToShow(int id, QString* error) {
    const QDBusMessage reply = menuCall(QStringLiteral("AboutToShow"), {id});
    if (error != nullptr)
        *error = reply.type() == QDBusMessage::ErrorMessage ? reply.errorName() : QString();
    return reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QLatin1String("b") &&
           reply.arguments().constFirst().toBool();
}

QDBusMessage StatusNotifierHostClient::menuEvent(int id, const QString& eventId) {
    // Hosts send an int 0 as the data of a click.
    return menuCall(QStringLiteral("Event"), {id, eventId, QVariant::fromValue(QDBusVariant(0)), uint(0)});
}

int StatusNotifierHostClient::signalCount(const QString& member) const {
    return int(std::count_if(signals_.cbegin(), signals_.cend(),
                             [&](const auto& signal) { return signal.first == member; }));
}

QList<QVariantList> StatusNotifierHostClient::signalArguments(const QString& member) const {
    QList<QVariantList> arguments;
    for (const auto& signal : signals_) {
        if (signal.first == member)
            arguments.append(signal.second);
    }
    return arguments;
}

void StatusNotifierHostClient::record(const QDBusMessage& signal) {
    QVariantList arguments;
    for (const QVariant& argument : signal.arguments())
        arguments.append(decoded(argument));
    signals_.append({signal.member(), arguments});
}

QVariant StatusNotifierHostClient::decoded(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return decodedArgument(value.value<QDBusArgument>());
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        return decoded(value.value<QDBusVariant>().variant());
    return value;
}

QString StatusNotifierHostClient::signatureOf(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return value.value<QDBusArgument>().currentSignature();
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        return QStringLiteral("v");
    return QString::fromLatin1(QDBusMetaType::typeToSignature(value.metaType()));
}

StatusNotifierHostClient::MenuNode StatusNotifierHostClient::menuNode(const QVariant& decodedLayout) {
    // (ia{sv}av): the children are variants, already decoded into the same three fields.
    MenuNode node;
    const QVariantList fields = decodedLayout.toList();
    if (fields.size() != 3)
        return node;
    node.id = fields.at(0).toInt();
    node.properties = fields.at(1).toMap();
    for (const QVariant& child : fields.at(2).toList())
        node.children.append(menuNode(child));
    return node;
}

QDBusMessage StatusNotifierHostClient::call(const QString& path, const QString& interface,
                                            const QString& method, const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(service_, path, interface, method);
    message.setArguments(arguments);
    // Turns the event loop while waiting: the item may be served by this very thread.
    return QDBusConnection(connectionName_).call(message, QDBus::BlockWithGui, callTimeoutMilliseconds);
}

QDBusMessage StatusNotifierHostClient::itemCall(const QString& method, const QVariantList& arguments) {
    return call(path_, itemInterface, method, arguments);
}

QVariant StatusNotifierHostClient::decodedArgument(const QDBusArgument& argument) {
    switch (argument.currentType()) {
    case QDBusArgument::BasicType:
        return argument.asVariant();
    case QDBusArgument::VariantType: {
        QDBusVariant variant;
        argument >> variant;
        return decoded(variant.variant());
    }
    case QDBusArgument::ArrayType: {
        if (argument.currentSignature() == QLatin1String("ay")) {
            QByteArray bytes;
            argument >> bytes;
            return bytes;
        }
        QVariantList elements;
        argument.beginArray();
        while (!argument.atEnd())
            elements.append(decodedArgument(argument));
        argument.endArray();
        return elements;
    }
    case QDBusArgument::StructureType: {
        QVariantList fields;
        argument.beginStructure();
        while (!argument.atEnd())
            fields.append(decodedArgument(argument));
        argument.endStructure();
        return fields;
    }
    case QDBusArgument::MapType: {
        QVariantMap map;
        argument.beginMap();
        while (!argument.atEnd()) {
            argument.beginMapEntry();
            const QString key = decodedArgument(argument).toString();
            map.insert(key, decodedArgument(argument));
            argument.endMapEntry();
        }
        argument.endMap();
        return map;
    }
    case QDBusArgument::MapEntryType:
    case QDBusArgument::UnknownType:
        break;
    }
    return {};
}
