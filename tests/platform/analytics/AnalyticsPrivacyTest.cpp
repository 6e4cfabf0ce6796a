#include "AnalyticsTestFixture.h"

#include <QDateTime>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>

namespace {
QSet<QString> keysOf(const QJsonObject& object) {
    const QStringList keys = object.keys();
    return QSet<QString>(keys.begin(), keys.end());
}

QSet<QString> setOf(std::initializer_list<const char*> names) {
    QSet<QString> set;
    for (const char* name : names) {
        set.insert(QString::fromLatin1(name));
    }
    return set;
}

bool isIso8601UtcWithMilliseconds(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)"));
    return pattern.match(text).hasMatch();
}
} // namespace

class AnalyticsPrivacyTest : public AnalyticsTestFixture {};

TEST_F(AnalyticsPrivacyTest, OnlyTheListedFieldsLeaveTheMachine) {
    auto configured = configuration();
    configured.trackApplicationLifecycleEvents = true;
    const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1);
    auto client = makeClient(configured);
    client->track(QStringLiteral("Clip Saved"), {{QStringLiteral("durationSeconds"), 4}});
    client->flush();
    const auto request = nextRequest();
    const QDateTime after = QDateTime::currentDateTimeUtc().addMSecs(1);

    const QJsonObject body = request.json.object();
    EXPECT_EQ(keysOf(body), setOf({"batch", "sentAt"}));
    EXPECT_TRUE(isIso8601UtcWithMilliseconds(body.value(QStringLiteral("sentAt")).toString()));

    const QJsonArray batch = batchOf(request);
    ASSERT_EQ(batch.size(), 3); // Installed, Opened, Clip Saved
    for (const QJsonValue& value : batch) {
        const QJsonObject event = value.toObject();
        EXPECT_EQ(keysOf(event),
                  setOf({"type", "event", "properties", "anonymousId", "messageId", "timestamp", "context"}));
        EXPECT_FALSE(QUuid::fromString(event.value(QStringLiteral("anonymousId")).toString()).isNull());
        EXPECT_FALSE(QUuid::fromString(event.value(QStringLiteral("messageId")).toString()).isNull());

        const QString timestamp = event.value(QStringLiteral("timestamp")).toString();
        ASSERT_TRUE(isIso8601UtcWithMilliseconds(timestamp)) << timestamp.toStdString();
        const QDateTime when = QDateTime::fromString(timestamp, Qt::ISODateWithMs);
        EXPECT_GE(when, before);
        EXPECT_LE(when, after);

        const QJsonObject context = event.value(QStringLiteral("context")).toObject();
        EXPECT_EQ(context,
                  QJsonObject({{QStringLiteral("library"),
                                QJsonObject({{QStringLiteral("name"), QStringLiteral("tempolis-analytics")},
                                             {QStringLiteral("version"), QStringLiteral("1")}})},
                               {QStringLiteral("app"),
                                QJsonObject({{QStringLiteral("version"), QStringLiteral("1.2")},
                                             {QStringLiteral("build"), QStringLiteral("42")}})}}));
    }
    EXPECT_EQ(batch[2].toObject().value(QStringLiteral("properties")).toObject(),
              QJsonObject({{QStringLiteral("durationSeconds"), 4}}));

    // Headers: what HTTP needs, the write key and nothing about the user or the system (Qt would add the
    // system's languages and a browser-like agent by itself).
    const QSet<QString> allowedHeaders =
        setOf({"host", "content-type", "content-length", "authorization", "user-agent", "accept-language",
               "accept-encoding", "connection"});
    for (const auto& [name, value] : request.headers) {
        EXPECT_TRUE(allowedHeaders.contains(QString::fromLatin1(name))) << name.toStdString();
    }
    EXPECT_EQ(request.header("User-Agent"), "tempolis-analytics/1");
    EXPECT_EQ(request.header("Accept-Language"), "*");
}

TEST_F(AnalyticsPrivacyTest, TheAnonymousIdBelongsToTheStorageDirectory) {
    auto client = makeClient(configuration());
    auto otherConfiguration = configuration();
    otherConfiguration.storageDirectory = storage.path() + QStringLiteral("/other");
    auto other = makeClient(otherConfiguration);

    EXPECT_FALSE(QUuid::fromString(client->anonymousId()).isNull());
    EXPECT_NE(client->anonymousId(), other->anonymousId());
}
