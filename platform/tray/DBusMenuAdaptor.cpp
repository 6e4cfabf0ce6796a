#include "DBusMenuAdaptor.h"

#include "DBusMenu.h"

#include <QDBusError>
#include <QGuiApplication>

DBusMenuAdaptor::DBusMenuAdaptor(DBusMenu* menu)
    : QDBusAbstractAdaptor(menu)
    , menu_(menu) {
    // Hosts learn of changes from the signals alone.
    setAutoRelaySignals(false);
}

QString DBusMenuAdaptor::textDirection() const {
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                 : QStringLiteral("ltr");
}

uint DBusMenuAdaptor::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                DBusMenuLayoutItem& layout) {
    bool found = false;
    layout = menu_->layout(parentId, recursionDepth, propertyNames, &found);
    if (!found)
        refuseUnknown(parentId);
    return menu_->layoutRevision();
}

DBusMenuItemPropertiesList DBusMenuAdaptor::GetGroupProperties(const QList<int>& ids,
                                                               const QStringList& propertyNames) {
    return menu_->groupProperties(ids, propertyNames);
}

QDBusVariant DBusMenuAdaptor::GetProperty(int id, const QString& name) {
    if (refuseUnknown(id))
        return {};
    const QVariantMap properties = menu_->properties(id, {name});
    if (!properties.contains(name)) {
        menu_->sendErrorReply(QDBusError::InvalidArgs,
                              QStringLiteral("Menu item %1 has no property %2").arg(id).arg(name));
        return {};
    }
    return QDBusVariant(properties.value(name));
}

void DBusMenuAdaptor::Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp) {
    Q_UNUSED(data)
    Q_UNUSED(timestamp)
    if (!refuseUnknown(id))
        menu_->handleEvent(id, eventId);
}

QList<int> DBusMenuAdaptor::EventGroup(const DBusMenuEventList& events) {
    QList<int> idErrors;
    for (const DBusMenuEvent& event : events) {
        if (menu_->hasId(event.id))
            menu_->handleEvent(event.id, event.eventId);
        else
            idErrors.append(event.id);
    }
    return idErrors;
}

bool DBusMenuAdaptor::AboutToShow(int id) {
    if (refuseUnknown(id))
        return false;
    return menu_->prepareToShow(id);
}

QList<int> DBusMenuAdaptor::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    QList<int> updatesNeeded;
    for (int id : ids) {
        if (!menu_->hasId(id))
            idErrors.append(id);
        else if (menu_->prepareToShow(id))
            updatesNeeded.append(id);
    }
    return updatesNeeded;
}

bool DBusMenuAdaptor::refuseUnknown(int id) {
    if (menu_->hasId(id))
        return false;
    menu_->sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No menu item has the id %1").arg(id));
    return true;
}
