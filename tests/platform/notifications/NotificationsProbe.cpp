// notifications_probe post <name> <object> [<name> <object> ...]: posts them in order from this process.
// notifications_probe nobus: uses both centres (the test takes the session bus away) and prints what
// happened.
#include "DistributedNotificationCenter.h"
#include "UserNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    if (argc >= 4 && argc % 2 == 0 && std::strcmp(argv[1], "post") == 0) {
        DistributedNotificationCenter center;
        for (int i = 2; i + 1 < argc; i += 2)
            center.post(QString::fromUtf8(argv[i]), QString::fromUtf8(argv[i + 1]));
        // Signals leave asynchronously; the bus answers this call only after it has taken them.
        QDBusConnection::sessionBus().interface()->call(QStringLiteral("GetId"));
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "nobus") == 0) {
        DistributedNotificationCenter distributed;
        const auto observer =
            distributed.addObserver("TempolisKillLauncherNotification", "com.Orvane.Tempolis", nullptr,
                                    [](const QString&, const QString&) {});
        distributed.post("TempolisKillLauncherNotification", "com.Orvane.Tempolis");
        UserNotificationCenter user;
        user.schedule("Title", "Body", {{"thirdDayNotif", true}}, QDateTime::currentDateTimeUtc());
        user.schedule("Title", "Body", {{"thirdDayNotif", false}}, QDateTime::currentDateTimeUtc());
        std::printf("observer=%llu notifications=%d\n", static_cast<unsigned long long>(observer),
                    user.notificationCount());
        return 0;
    }
    std::fprintf(stderr, "usage: notifications_probe post <name> <object>... | nobus\n");
    return 2;
}
