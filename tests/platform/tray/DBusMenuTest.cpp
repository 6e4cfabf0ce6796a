#include "DBusMenu.h"
#include "StatusNotifierItem.h"

#include "DBusTestEnvironment.h"
#include "StatusNotifierHostClient.h"

#include <QDBusError>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

namespace {
constexpr int waitMilliseconds = 5000;

using MenuNode = StatusNotifierHostClient::MenuNode;

// A row of a menu as the owner builds it; an empty key is a separator.
struct MenuRow {
    QString key;
    QString label;
    bool enabled = true;
    bool visible = true;
};

// What a host makes of an item's properties, with the defaults the format gives absent ones.
struct Shown {
    QString type;
    QString label;
    bool enabled;
    bool visible;

    explicit Shown(const QVariantMap& properties)
        : type(properties.value(QStringLiteral("type"), QStringLiteral("standard")).toString())
        , label(properties.value(QStringLiteral("label")).toString())
        , enabled(properties.value(QStringLiteral("enabled"), true).toBool())
        , visible(properties.value(QStringLiteral("visible"), true).toBool()) {}
};
} // namespace

class DBusMenuTest : public ::testing::Test {
protected:
    std::unique_ptr<StatusNotifierItem> item;
    std::unique_ptr<DBusMenu> menu;
    std::unique_ptr<StatusNotifierHostClient> host;

    void SetUp() override {
        item =
            std::make_unique<StatusNotifierItem>(QStringLiteral("tempolis-test"), QStringLiteral("Tempolis"));
        ASSERT_TRUE(item->isExported());
        menu = std::make_unique<DBusMenu>();
        item->setMenu(menu.get());
        host = std::make_unique<StatusNotifierHostClient>(busAddress(), item->serviceName());
        ASSERT_EQ(host->menuPath(), QStringLiteral("/MenuBar"));
    }

    static QString busAddress() { return DBusTestEnvironment::instance()->sessionBus().address(); }

    void build(const QList<MenuRow>& rows) {
        for (const MenuRow& row : rows) {
            if (row.key.isEmpty()) {
                menu->addSeparator();
                continue;
            }
            menu->addItem(row.key, row.label, row.enabled);
            menu->setVisible(row.key, row.visible);
        }
    }

    MenuNode layout(const QStringList& propertyNames = {}) {
        uint revision = 0;
        MenuNode root;
        EXPECT_TRUE(host->menuLayout(0, -1, propertyNames, &revision, &root));
        return root;
    }

    // The id hosts know the item `key` by: found through its label.
    int idOf(const QString& label) {
        for (const MenuNode& child : layout().children) {
            if (Shown(child.properties).label == label)
                return child.id;
        }
        return -1;
    }
};

TEST_F(DBusMenuTest, TheLayoutListsTheItemsInOrderWithTheirStates) {
    const QList<MenuRow> rows = {
        {QStringLiteral("save30"), QStringLiteral("Save the Last 30 Seconds")},
        {QStringLiteral("saveAll"), QStringLiteral("Save Everything Held"), false},
        {},
        {QStringLiteral("settings"), QStringLiteral("Settings…")},
        {QStringLiteral("hidden"), QStringLiteral("Not Now"), true, false},
        {QStringLiteral("underscore"), QStringLiteral("Keep_this_name")},
    };
    build(rows);

    uint revision = 0;
    MenuNode root;
    QString signature;
    ASSERT_TRUE(host->menuLayout(0, -1, {}, &revision, &root, &signature));
    EXPECT_EQ(signature, QStringLiteral("u(ia{sv}av)"));
    EXPECT_EQ(revision, menu->layoutRevision());
    EXPECT_EQ(root.id, 0);
    EXPECT_EQ(root.properties.value(QStringLiteral("children-display")).toString(),
              QStringLiteral("submenu"));
    ASSERT_EQ(root.children.size(), rows.size());

    QSet<int> ids;
    for (qsizetype index = 0; index < rows.size(); ++index) {
        const MenuRow& row = rows.at(index);
        const MenuNode& node = root.children.at(index);
        SCOPED_TRACE(row.key.toStdString());
        EXPECT_GT(node.id, 0);
        EXPECT_FALSE(ids.contains(node.id));
        ids.insert(node.id);
        EXPECT_TRUE(node.children.isEmpty());
        const Shown shown(node.properties);
        EXPECT_EQ(shown.type, row.key.isEmpty() ? QStringLiteral("separator") : QStringLiteral("standard"));
        // An underscore marks an access key: a literal one travels doubled.
        EXPECT_EQ(shown.label, QString(row.label).replace(QLatin1Char('_'), QLatin1String("__")));
        EXPECT_EQ(shown.enabled, row.enabled);
        EXPECT_EQ(shown.visible, row.visible);
    }
}

TEST_F(DBusMenuTest, AskedPropertiesDepthAndIdsShapeTheAnswer) {
    build({{QStringLiteral("save30"), QStringLiteral("Save the Last 30 Seconds"), false}, {}});
    const int saveId = idOf(QStringLiteral("Save the Last 30 Seconds"));
    ASSERT_GT(saveId, 0);

    uint revision = 0;
    MenuNode node;
    // Depth 0: the item alone.
    ASSERT_TRUE(host->menuLayout(0, 0, {}, &revision, &node));
    EXPECT_TRUE(node.children.isEmpty());
    // Only the properties asked for.
    ASSERT_TRUE(host->menuLayout(0, 1, {QStringLiteral("label")}, &revision, &node));
    ASSERT_EQ(node.children.size(), 2);
    EXPECT_EQ(node.children.at(0).properties.keys(), QStringList{QStringLiteral("label")});
    EXPECT_TRUE(node.children.at(1).properties.isEmpty());
    // An item as the parent.
    ASSERT_TRUE(host->menuLayout(saveId, -1, {}, &revision, &node));
    EXPECT_EQ(node.id, saveId);
    EXPECT_FALSE(Shown(node.properties).enabled);

    const QDBusMessage group =
        host->menuCall(QStringLiteral("GetGroupProperties"), {QVariant::fromValue(QList<int>{saveId, 4242}),
                                                              QStringList{QStringLiteral("enabled")}});
    ASSERT_EQ(group.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(StatusNotifierHostClient::decoded(group.arguments().constFirst()),
              QVariant(QVariantList{QVariantList{saveId, QVariantMap{{QStringLiteral("enabled"), false}}}}));

    const QDBusMessage property =
        host->menuCall(QStringLiteral("GetProperty"), {saveId, QStringLiteral("label")});
    ASSERT_EQ(property.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(StatusNotifierHostClient::decoded(property.arguments().constFirst()).toString(),
              QStringLiteral("Save the Last 30 Seconds"));

    // Ids that name nothing are refused.
    EXPECT_FALSE(host->menuLayout(4242, -1, {}, &revision, &node));
    EXPECT_EQ(host->menuCall(QStringLiteral("GetProperty"), {4242, QStringLiteral("label")}).errorName(),
              QDBusError::errorString(QDBusError::InvalidArgs));
}

TEST_F(DBusMenuTest, TheOwnerRefreshesTheMenuBeforeAHostShowsIt) {
    build({{QStringLiteral("saveAll"), QStringLiteral("Save Everything Held")},
           {QStringLiteral("pause"), QStringLiteral("Pause Recording")}});
    int heldSeconds = 3;
    bool paused = true;
    int refreshes = 0;
    QObject::connect(menu.get(), &DBusMenu::aboutToShow, [&] {
        ++refreshes;
        menu->setEnabled(QStringLiteral("saveAll"), heldSeconds >= 5);
        menu->setLabel(QStringLiteral("pause"),
                       paused ? QStringLiteral("Resume Recording") : QStringLiteral("Pause Recording"));
    });

    // What changed in the refresh is in the layout read right after the answer.
    EXPECT_TRUE(host->aboutToShow(0));
    EXPECT_EQ(refreshes, 1);
    MenuNode root = layout();
    ASSERT_EQ(root.children.size(), 2);
    EXPECT_FALSE(Shown(root.children.at(0).properties).enabled);
    EXPECT_EQ(Shown(root.children.at(1).properties).label, QStringLiteral("Resume Recording"));

    // Nothing changed: nothing to read again.
    EXPECT_FALSE(host->aboutToShow(0));
    EXPECT_EQ(refreshes, 2);

    heldSeconds = 12;
    paused = false;
    const QDBusMessage group =
        host->menuCall(QStringLiteral("AboutToShowGroup"), {QVariant::fromValue(QList<int>{0, 4242})});
    ASSERT_EQ(group.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(StatusNotifierHostClient::decoded(group.arguments().at(0)), QVariant(QVariantList{0}));
    EXPECT_EQ(StatusNotifierHostClient::decoded(group.arguments().at(1)), QVariant(QVariantList{4242}));
    EXPECT_EQ(refreshes, 3);
    root = layout();
    EXPECT_TRUE(Shown(root.children.at(0).properties).enabled);
    EXPECT_EQ(Shown(root.children.at(1).properties).label, QStringLiteral("Pause Recording"));

    QString error;
    EXPECT_FALSE(host->aboutToShow(4242, &error));
    EXPECT_EQ(error, QDBusError::errorString(QDBusError::InvalidArgs));
    EXPECT_EQ(refreshes, 3);
}

TEST_F(DBusMenuTest, AClickTriggersTheEnabledVisibleItemItNames) {
    build({{QStringLiteral("save30"), QStringLiteral("Save 30")},
           {QStringLiteral("saveAll"), QStringLiteral("Save All"), false},
           {},
           {QStringLiteral("hidden"), QStringLiteral("Hidden"), true, false},
           {QStringLiteral("quit"), QStringLiteral("Quit")}});
    const MenuNode root = layout();
    ASSERT_EQ(root.children.size(), 5);
    const int separatorId = root.children.at(2).id;
    QSignalSpy triggered(menu.get(), &DBusMenu::triggered);

    struct Row {
        const char* name;
        int id;
        QString eventId;
        QStringList expected;
    };
    const Row rows[] = {
        {"a click", idOf(QStringLiteral("Save 30")), QStringLiteral("clicked"), {QStringLiteral("save30")}},
        {"another item", idOf(QStringLiteral("Quit")), QStringLiteral("clicked"), {QStringLiteral("quit")}},
        {"a disabled item", idOf(QStringLiteral("Save All")), QStringLiteral("clicked"), {}},
        {"a hidden item", idOf(QStringLiteral("Hidden")), QStringLiteral("clicked"), {}},
        {"a separator", separatorId, QStringLiteral("clicked"), {}},
        {"hovering", idOf(QStringLiteral("Save 30")), QStringLiteral("hovered"), {}},
        {"the menu opening", 0, QStringLiteral("opened"), {}},
    };
    const int sentinelId = idOf(QStringLiteral("Quit"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        triggered.clear();
        const QDBusMessage reply = host->menuEvent(row.id, row.eventId);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        // A click on Quit after it: once it has come, whatever the first event caused has come too.
        ASSERT_EQ(host->menuEvent(sentinelId, QStringLiteral("clicked")).type(), QDBusMessage::ReplyMessage);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return triggered.count() == row.expected.size() + 1; }, waitMilliseconds));
        QStringList keys;
        for (const QList<QVariant>& signal : triggered)
            keys.append(signal.at(0).toString());
        EXPECT_EQ(keys, row.expected + QStringList{QStringLiteral("quit")});
    }

    // An id that names nothing is refused; in a group it is listed back.
    EXPECT_EQ(host->menuEvent(4242, QStringLiteral("clicked")).errorName(),
              QDBusError::errorString(QDBusError::InvalidArgs));
    triggered.clear();
    const QVariant events = QVariant::fromValue(
        QList<DBusMenuEvent>{{4242, QStringLiteral("clicked"), QDBusVariant(0), 0},
                             {sentinelId, QStringLiteral("clicked"), QDBusVariant(0), 0}});
    const QDBusMessage group = host->menuCall(QStringLiteral("EventGroup"), {events});
    ASSERT_EQ(group.type(), QDBusMessage::ReplyMessage) << group.errorMessage().toStdString();
    EXPECT_EQ(StatusNotifierHostClient::decoded(group.arguments().constFirst()),
              QVariant(QVariantList{4242}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return triggered.count() == 1; }, waitMilliseconds));
    EXPECT_EQ(triggered.at(0).at(0).toString(), QStringLiteral("quit"));
}

TEST_F(DBusMenuTest, ChangesReachHostsOncePerTurnOfTheEventLoop) {
    build({{QStringLiteral("saveAll"), QStringLiteral("Save Everything Held")},
           {QStringLiteral("pause"), QStringLiteral("Pause Recording")}});
    const int saveAllId = idOf(QStringLiteral("Save Everything Held"));
    const int pauseId = idOf(QStringLiteral("Pause Recording"));
    const QString updated = QStringLiteral("ItemsPropertiesUpdated");
    const QString layoutUpdated = QStringLiteral("LayoutUpdated");
    host->clearSignals();

    // Two changes in one turn: one announcement with both; a property back at its default is sent too.
    menu->setEnabled(QStringLiteral("saveAll"), false);
    menu->setLabel(QStringLiteral("pause"), QStringLiteral("Resume Recording"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return host->signalCount(updated) == 1; }, waitMilliseconds));
    QVariantList arguments = host->signalArguments(updated).constFirst();
    ASSERT_EQ(arguments.size(), 2);
    EXPECT_EQ(
        arguments.at(0),
        QVariant(QVariantList{QVariantList{saveAllId, QVariantMap{{QStringLiteral("enabled"), false}}},
                              QVariantList{pauseId, QVariantMap{{QStringLiteral("label"),
                                                                 QStringLiteral("Resume Recording")}}}}));
    EXPECT_EQ(arguments.at(1), QVariant(QVariantList{}));

    menu->setEnabled(QStringLiteral("saveAll"), true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return host->signalCount(updated) == 2; }, waitMilliseconds));
    EXPECT_EQ(
        host->signalArguments(updated).at(1).at(0),
        QVariant(QVariantList{QVariantList{saveAllId, QVariantMap{{QStringLiteral("enabled"), true}}}}));

    // A new item changes the layout: hosts are told its revision and read it again.
    const uint before = menu->layoutRevision();
    menu->addItem(QStringLiteral("quit"), QStringLiteral("Quit Tempolis"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return host->signalCount(layoutUpdated) == 1; }, waitMilliseconds));
    arguments = host->signalArguments(layoutUpdated).constFirst();
    EXPECT_GT(arguments.at(0).toUInt(), before);
    EXPECT_EQ(arguments.at(1).toInt(), 0);
    uint revision = 0;
    MenuNode root;
    ASSERT_TRUE(host->menuLayout(0, -1, {}, &revision, &root));
    EXPECT_EQ(revision, arguments.at(0).toUInt());
    EXPECT_EQ(root.children.size(), 3);

    // Setting what is already set announces nothing: a final change is the next announcement.
    menu->setEnabled(QStringLiteral("saveAll"), true);
    menu->setLabel(QStringLiteral("quit"), QStringLiteral("Quit"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return host->signalCount(updated) == 3; }, waitMilliseconds));
    EXPECT_EQ(host->signalArguments(updated).at(2).at(0),
              QVariant(QVariantList{QVariantList{
                  root.children.at(2).id, QVariantMap{{QStringLiteral("label"), QStringLiteral("Quit")}}}}));
}
