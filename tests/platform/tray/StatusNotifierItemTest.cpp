#include "StatusNotifierItem.h"
#include "DBusMenu.h"

#include "DBusTestEnvironment.h"
#include "StatusNotifierHostClient.h"

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QImage>
#include <QPixmap>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {
constexpr int waitMilliseconds = 5000;

QString busAddress() {
    return DBusTestEnvironment::instance()->sessionBus().address();
}

QIcon solidIcon(int sidePixels, const QColor& color) {
    QImage image(sidePixels, sidePixels, QImage::Format_ARGB32);
    image.fill(color);
    return QIcon(QPixmap::fromImage(image));
}

// The first pixel of the first image of an a(iiay) property, as it travelled: four bytes.
QByteArray firstPixel(const QVariant& pixmaps) {
    const QVariantList list = pixmaps.toList();
    if (list.isEmpty())
        return {};
    return list.constFirst().toList().value(2).toByteArray().left(4);
}

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray array;
    for (int value : values)
        array.append(char(value));
    return array;
}
} // namespace

class StatusNotifierItemTest : public ::testing::Test {
protected:
    std::unique_ptr<StatusNotifierItem> item;
    std::unique_ptr<StatusNotifierHostClient> host;

    void SetUp() override {
        item = std::make_unique<StatusNotifierItem>(QStringLiteral("tempolis-test"),
                                                    QStringLiteral("Tempolis Test"));
        ASSERT_TRUE(item->isExported());
        host = std::make_unique<StatusNotifierHostClient>(busAddress(), item->serviceName());
        ASSERT_TRUE(host->isConnected());
    }
};

TEST_F(StatusNotifierItemTest, OffersThePropertiesHostsReadWithTheirTypes) {
    // The bus name hosts expect of an item registered by name.
    const QRegularExpression servicePattern(
        QStringLiteral("^org\\.kde\\.StatusNotifierItem-%1-\\d+$").arg(QCoreApplication::applicationPid()));
    EXPECT_TRUE(servicePattern.match(item->serviceName()).hasMatch()) << item->serviceName().toStdString();

    struct Row {
        const char* name;
        const char* signature;
        QVariant value; // null: the type alone is checked
    };
    const Row rows[] = {
        {"Category", "s", QStringLiteral("ApplicationStatus")},
        {"Id", "s", QStringLiteral("tempolis-test")},
        {"Title", "s", QStringLiteral("Tempolis Test")},
        {"Status", "s", QStringLiteral("Active")},
        {"WindowId", "i", 0},
        {"ItemIsMenu", "b", false},
        {"Menu", "o", QVariant::fromValue(QDBusObjectPath(QStringLiteral("/NO_DBUSMENU")))},
        {"IconName", "s", QString()},
        {"IconThemePath", "s", QString()},
        {"IconPixmap", "a(iiay)", QVariantList()},
        {"AttentionIconName", "s", QString()},
        {"AttentionIconPixmap", "a(iiay)", QVariantList()},
        {"OverlayIconPixmap", "a(iiay)", QVariantList()},
        {"ToolTip", "(sa(iiay)ss)", QVariantList{QString(), QVariantList(), QString(), QString()}},
    };
    const QMap<QString, QString> signatures = host->propertySignatures();
    const QVariantMap properties = host->properties();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(signatures.contains(row.name));
        EXPECT_EQ(signatures.value(row.name).toStdString(), row.signature);
        EXPECT_EQ(properties.value(row.name), row.value);
    }
}

TEST_F(StatusNotifierItemTest, ClickRequestsArriveWithTheHostsPosition) {
    using Request = QDBusMessage (StatusNotifierHostClient::*)(int, int);
    using Signal = void (StatusNotifierItem::*)(QPoint);
    struct Row {
        const char* name;
        Request request;
        Signal signal;
        QPoint position;
    };
    const Row rows[] = {
        {"Activate", &StatusNotifierHostClient::activate, &StatusNotifierItem::activated, {1234, 3}},
        {"Activate on a screen left of the primary",
         &StatusNotifierHostClient::activate,
         &StatusNotifierItem::activated,
         {-1100, 780}},
        {"SecondaryActivate",
         &StatusNotifierHostClient::secondaryActivate,
         &StatusNotifierItem::secondaryActivated,
         {17, 790}},
        {"ContextMenu",
         &StatusNotifierHostClient::contextMenu,
         &StatusNotifierItem::contextMenuRequested,
         {0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QSignalSpy activated(item.get(), &StatusNotifierItem::activated);
        QSignalSpy secondaryActivated(item.get(), &StatusNotifierItem::secondaryActivated);
        QSignalSpy contextMenuRequested(item.get(), &StatusNotifierItem::contextMenuRequested);
        QSignalSpy wanted(item.get(), row.signal);

        const QDBusMessage reply = (host.get()->*row.request)(row.position.x(), row.position.y());
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        ASSERT_TRUE(QTest::qWaitFor([&] { return wanted.count() == 1; }, waitMilliseconds));
        EXPECT_EQ(wanted.at(0).at(0).toPoint(), row.position);
        // Only the requested signal, once.
        EXPECT_EQ(activated.count() + secondaryActivated.count() + contextMenuRequested.count(), 1);
    }
}

TEST_F(StatusNotifierItemTest, WheelTurnsArriveWithTheirDirection) {
    struct Row {
        int delta;
        const char* orientation;
        Qt::Orientation expected;
    };
    const Row rows[] = {
        {120, "vertical", Qt::Vertical},  // GNOME Shell's spelling
        {-240, "Vertical", Qt::Vertical}, // KDE Plasma's
        {15, "horizontal", Qt::Horizontal},
        {-120, "Horizontal", Qt::Horizontal},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.orientation);
        QSignalSpy scrolled(item.get(), &StatusNotifierItem::scrolled);
        const QDBusMessage reply = host->scroll(row.delta, QString::fromLatin1(row.orientation));
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        ASSERT_TRUE(QTest::qWaitFor([&] { return scrolled.count() == 1; }, waitMilliseconds));
        EXPECT_EQ(scrolled.at(0).at(0).toInt(), row.delta);
        EXPECT_EQ(scrolled.at(0).at(1).value<Qt::Orientation>(), row.expected);
    }
}

TEST_F(StatusNotifierItemTest, IconImagesAreArgb32InNetworkByteOrderAndNotPremultiplied) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(QColor(0x20, 0x40, 0x60));
    image.setPixelColor(1, 0, QColor(0xff, 0x00, 0x80, 0x80));
    image.setPixelColor(0, 1, Qt::transparent);
    item->setIcon(QIcon(QPixmap::fromImage(image)));

    const QVariantList pixmaps = host->properties().value(QStringLiteral("IconPixmap")).toList();
    // An icon of one 16-pixel image is never scaled up: one image.
    ASSERT_EQ(pixmaps.size(), 1);
    const QVariantList pixmap = pixmaps.constFirst().toList();
    ASSERT_EQ(pixmap.size(), 3);
    EXPECT_EQ(pixmap.at(0).toInt(), 16);
    EXPECT_EQ(pixmap.at(1).toInt(), 16);
    const QByteArray data = pixmap.at(2).toByteArray();
    ASSERT_EQ(data.size(), 16 * 16 * 4);
    // Bytes A, R, G, B whatever this machine's byte order.
    EXPECT_EQ(data.mid(0, 4), bytes({0xff, 0x20, 0x40, 0x60}));
    // Half-transparent pink keeps its full red: premultiplied it would be halved.
    const QByteArray halfTransparent = data.mid(4, 4);
    EXPECT_EQ(uchar(halfTransparent[0]), 0x80);
    EXPECT_EQ(uchar(halfTransparent[1]), 0xff);
    EXPECT_EQ(uchar(halfTransparent[2]), 0x00);
    EXPECT_NEAR(uchar(halfTransparent[3]), 0x80, 1);
    // Rows from the top: (0, 1) starts the second row.
    EXPECT_EQ(uchar(data[16 * 4]), 0x00);
}

TEST_F(StatusNotifierItemTest, AnIconWithLargeImagesComesInSeveralSizesNeverScaledUp) {
    QIcon icon = solidIcon(64, Qt::red);
    icon.addPixmap(QPixmap::fromImage([] {
        QImage small(16, 16, QImage::Format_ARGB32);
        small.fill(Qt::blue);
        return small;
    }()));
    item->setIcon(icon);

    const QVariantList pixmaps = host->properties().value(QStringLiteral("IconPixmap")).toList();
    QList<int> sides;
    for (const QVariant& entry : pixmaps) {
        const QVariantList pixmap = entry.toList();
        const int width = pixmap.at(0).toInt();
        const int height = pixmap.at(1).toInt();
        EXPECT_EQ(width, height);
        EXPECT_EQ(pixmap.at(2).toByteArray().size(), width * height * 4);
        EXPECT_FALSE(sides.contains(width)) << width;
        sides.append(width);
    }
    EXPECT_TRUE(sides.contains(16));
    EXPECT_TRUE(sides.contains(22) || sides.contains(24));
    EXPECT_TRUE(sides.contains(64));
    EXPECT_LE(*std::max_element(sides.cbegin(), sides.cend()), 64);
}

TEST(StatusNotifierItemChanges, EachChangeIsAnnouncedAndReadable) {
    struct Row {
        const char* name;
        std::function<void(StatusNotifierItem&, DBusMenu&)> change;
        QString signal;
        QVariantList signalArguments;
        QString property;
        std::function<QVariant(const QVariant&)> view;
        QVariant expected;
    };
    const auto same = [](const QVariant& value) { return value; };
    const auto toolTipText = [](const QVariant& value) {
        const QVariantList fields = value.toList();
        return QVariant(QStringList{fields.value(2).toString(), fields.value(3).toString()});
    };
    const auto menuPath = [](const QVariant& value) {
        return QVariant(value.value<QDBusObjectPath>().path());
    };
    const Row rows[] = {
        {"title",
         [](StatusNotifierItem& item, DBusMenu&) { item.setTitle(QStringLiteral("Tempolis (paused)")); },
         "NewTitle",
         {},
         "Title",
         same,
         QStringLiteral("Tempolis (paused)")},
        {"needs attention",
         [](StatusNotifierItem& item, DBusMenu&) {
             item.setStatus(StatusNotifierItem::Status::NeedsAttention);
         },
         "NewStatus",
         {QStringLiteral("NeedsAttention")},
         "Status",
         same,
         QStringLiteral("NeedsAttention")},
        {"passive",
         [](StatusNotifierItem& item, DBusMenu&) { item.setStatus(StatusNotifierItem::Status::Passive); },
         "NewStatus",
         {QStringLiteral("Passive")},
         "Status",
         same,
         QStringLiteral("Passive")},
        {"icon",
         [](StatusNotifierItem& item, DBusMenu&) { item.setIcon(solidIcon(22, QColor(0xe0, 0x10, 0x10))); },
         "NewIcon",
         {},
         "IconPixmap",
         firstPixel,
         bytes({0xff, 0xe0, 0x10, 0x10})},
        {"attention icon",
         [](StatusNotifierItem& item, DBusMenu&) {
             item.setAttentionIcon(solidIcon(22, QColor(0x10, 0x10, 0xe0)));
         },
         "NewAttentionIcon",
         {},
         "AttentionIconPixmap",
         firstPixel,
         bytes({0xff, 0x10, 0x10, 0xe0})},
        {"tooltip",
         [](StatusNotifierItem& item, DBusMenu&) {
             item.setToolTip(QStringLiteral("Tempolis"), QStringLiteral("Recording, 12 minutes held"));
         },
         "NewToolTip",
         {},
         "ToolTip",
         toolTipText,
         QStringList{QStringLiteral("Tempolis"), QStringLiteral("Recording, 12 minutes held")}},
        {"menu",
         [](StatusNotifierItem& item, DBusMenu& menu) { item.setMenu(&menu); },
         "NewMenu",
         {},
         "Menu",
         menuPath,
         QStringLiteral("/MenuBar")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        StatusNotifierItem item(QStringLiteral("tempolis-test"), QStringLiteral("Tempolis"));
        item.setIcon(solidIcon(22, Qt::green));
        DBusMenu menu;
        StatusNotifierHostClient host(busAddress(), item.serviceName());
        const QVariant before = row.view(host.properties().value(row.property));
        ASSERT_NE(before, row.expected);

        row.change(item, menu);
        ASSERT_TRUE(QTest::qWaitFor([&] { return host.signalCount(row.signal) > 0; }, waitMilliseconds));
        EXPECT_EQ(host.signalCount(row.signal), 1);
        EXPECT_EQ(host.signalArguments(row.signal).constFirst(), row.signalArguments);
        EXPECT_EQ(row.view(host.properties().value(row.property)), row.expected);
    }
}
