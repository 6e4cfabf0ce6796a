#include "DBusMenu.h"

#include "DBusMenuAdaptor.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>

namespace {
const QString labelProperty = QStringLiteral("label");
const QString enabledProperty = QStringLiteral("enabled");
const QString visibleProperty = QStringLiteral("visible");
const QString typeProperty = QStringLiteral("type");
const QString childrenDisplayProperty = QStringLiteral("children-display");

// Hosts read an underscore as the mark of the access key that follows; two stand for one shown.
QString escapedLabel(const QString& label) {
    QString escaped = label;
    return escaped.replace(QLatin1Char('_'), QLatin1String("__"));
}

QVariantMap filtered(const QVariantMap& properties, const QStringList& names) {
    if (names.isEmpty())
        return properties;
    QVariantMap kept;
    for (const QString& name : names) {
        const auto value = properties.constFind(name);
        if (value != properties.constEnd())
            kept.insert(name, *value);
    }
    return kept;
}
} // namespace

DBusMenu::DBusMenu(QObject* parent)
    : QObject(parent) {
    registerDBusMenuTypes();
    adaptor_ = new DBusMenuAdaptor(this);
}

DBusMenu::~DBusMenu() = default;

bool DBusMenu::exportOn(QDBusConnection connection, const QString& objectPath) {
    return connection.isConnected() &&
           connection.registerObject(objectPath, this, QDBusConnection::ExportAdaptors);
}

void DBusMenu::addItem(const QString& key, const QString& label, bool enabled) {
    if (find(key) != nullptr)
        return;
    Item item;
    item.id = nextId_++;
    item.key = key;
    item.label = label;
    item.enabled = enabled;
    items_.push_back(item);
    layoutChanged();
}

void DBusMenu::addSeparator() {
    Item item;
    item.id = nextId_++;
    item.separator = true;
    items_.push_back(item);
    layoutChanged();
}

void DBusMenu::setLabel(const QString& key, const QString& label) {
    Item* item = find(key);
    if (item == nullptr || item->label == label)
        return;
    item->label = label;
    propertyChanged(*item, labelProperty);
}

void DBusMenu::setEnabled(const QString& key, bool enabled) {
    Item* item = find(key);
    if (item == nullptr || item->enabled == enabled)
        return;
    item->enabled = enabled;
    propertyChanged(*item, enabledProperty);
}

void DBusMenu::setVisible(const QString& key, bool visible) {
    Item* item = find(key);
    if (item == nullptr || item->visible == visible)
        return;
    item->visible = visible;
    propertyChanged(*item, visibleProperty);
}

DBusMenuLayoutItem DBusMenu::layout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                    bool* found) const {
    if (found != nullptr)
        *found = hasId(parentId);
    DBusMenuLayoutItem layout;
    layout.id = parentId;
    layout.properties = properties(parentId, propertyNames);
    // The menu is flat: only the root has children. A depth of -1 means all levels, 0 the item alone.
    if (parentId == 0 && recursionDepth != 0) {
        for (const Item& item : items_)
            layout.children.append({item.id, properties(item.id, propertyNames), {}});
    }
    return layout;
}

DBusMenuItemPropertiesList DBusMenu::groupProperties(const QList<int>& ids,
                                                     const QStringList& propertyNames) const {
    QList<int> wanted = ids;
    if (wanted.isEmpty()) {
        wanted.append(0);
        for (const Item& item : items_)
            wanted.append(item.id);
    }
    DBusMenuItemPropertiesList answer;
    for (int id : wanted) {
        if (hasId(id))
            answer.append({id, properties(id, propertyNames)});
    }
    return answer;
}

bool DBusMenu::hasId(int id) const {
    return id == 0 || find(id) != nullptr;
}

QVariantMap DBusMenu::properties(int id, const QStringList& propertyNames) const {
    QVariantMap properties;
    if (id == 0) {
        properties.insert(childrenDisplayProperty, QStringLiteral("submenu"));
        return filtered(properties, propertyNames);
    }
    const Item* item = find(id);
    if (item == nullptr)
        return properties;
    // Properties at their defaults (a standard item, enabled, visible) are left out, as the format asks.
    if (item->separator) {
        properties.insert(typeProperty, QStringLiteral("separator"));
    } else {
        properties.insert(labelProperty, escapedLabel(item->label));
        if (!item->enabled)
            properties.insert(enabledProperty, false);
    }
    if (!item->visible)
        properties.insert(visibleProperty, false);
    return filtered(properties, propertyNames);
}

void DBusMenu::handleEvent(int id, const QString& eventId) {
    const Item* item = find(id);
    if (item == nullptr || item->separator || eventId != QLatin1String("clicked"))
        return;
    if (!item->enabled || !item->visible)
        return;
    // After the reply: a slot that opens a dialog must not keep the host waiting.
    QMetaObject::invokeMethod(
        this, [this, key = item->key] { emit triggered(key); }, Qt::QueuedConnection);
}

bool DBusMenu::prepareToShow(int id) {
    if (id != 0)
        return false;
    const quint64 changesBefore = changeCount_;
    emit aboutToShow();
    return changeCount_ != changesBefore;
}

DBusMenu::Item* DBusMenu::find(const QString& key) {
    const auto item = std::find_if(items_.begin(), items_.end(), [&](const Item& candidate) {
        return !candidate.separator && candidate.key == key;
    });
    return item != items_.end() ? &*item : nullptr;
}

const DBusMenu::Item* DBusMenu::find(const QString& key) const {
    return const_cast<DBusMenu*>(this)->find(key);
}

const DBusMenu::Item* DBusMenu::find(int id) const {
    const auto item =
        std::find_if(items_.begin(), items_.end(), [&](const Item& candidate) { return candidate.id == id; });
    return item != items_.end() ? &*item : nullptr;
}

void DBusMenu::propertyChanged(Item& item, const QString& name) {
    ++changeCount_;
    QStringList& names = changedProperties_[item.id];
    if (!names.contains(name))
        names.append(name);
    scheduleAnnouncement();
}

void DBusMenu::layoutChanged() {
    ++changeCount_;
    ++layoutRevision_;
    layoutChangePending_ = true;
    scheduleAnnouncement();
}

void DBusMenu::scheduleAnnouncement() {
    if (announcementScheduled_)
        return;
    announcementScheduled_ = true;
    QTimer::singleShot(0, this, &DBusMenu::announce);
}

void DBusMenu::announce() {
    announcementScheduled_ = false;
    if (layoutChangePending_) {
        // A new layout carries every property: hosts read it whole.
        layoutChangePending_ = false;
        changedProperties_.clear();
        emit adaptor_->LayoutUpdated(layoutRevision_, 0);
        return;
    }
    DBusMenuItemPropertiesList updated;
    for (auto changed = changedProperties_.cbegin(); changed != changedProperties_.cend(); ++changed) {
        const Item* item = find(changed.key());
        if (item == nullptr)
            continue;
        // A property back at its default is sent with its value: hosts need not know the defaults.
        QVariantMap values;
        for (const QString& name : changed.value()) {
            if (name == labelProperty)
                values.insert(name, escapedLabel(item->label));
            else if (name == enabledProperty)
                values.insert(name, item->enabled);
            else if (name == visibleProperty)
                values.insert(name, item->visible);
        }
        updated.append({item->id, values});
    }
    changedProperties_.clear();
    if (!updated.isEmpty())
        emit adaptor_->ItemsPropertiesUpdated(updated, {});
}
