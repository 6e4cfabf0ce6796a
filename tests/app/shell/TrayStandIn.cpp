// Plays a desktop's system tray on the session bus for the tray tests of the real program: the tray's
// registry (FakeStatusNotifierWatcher, with a host that draws the items) as long as the test wants it. Reads
// one command per line on its standard input and answers each on its standard output:
//   start       the registry comes (as a panel that starts)       -> "started"
//   stop        the registry goes (as a panel that quits)         -> "stopped"
//   items       the registered items, separated by spaces         -> "items NAME..."
// and says "registered NAME" whenever an item registers. It ends at the end of its input.
#include "FakeStatusNotifierWatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <iostream>
#include <string>

namespace {
void say(const QString& line) {
    std::cout << line.toStdString() << std::endl;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    FakeStatusNotifierWatcher registry(QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")));
    if (!registry.isRunning()) {
        std::fprintf(stderr, "tray_stand_in: cannot own the registry's name on the session bus\n");
        return 1;
    }
    QObject::connect(&registry, &FakeStatusNotifierWatcher::StatusNotifierItemRegistered,
                     [](const QString& item) { say(QStringLiteral("registered ") + item); });
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::string command;
        if (!std::getline(std::cin, command)) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        if (command == "start")
            say(registry.start() ? QStringLiteral("started") : QStringLiteral("failed"));
        else if (command == "stop") {
            registry.stop();
            say(QStringLiteral("stopped"));
        } else if (command == "items")
            say(QStringLiteral("items ") + registry.RegisteredStatusNotifierItems().join(QLatin1Char(' ')));
        else
            say(QStringLiteral("unknown ") + QString::fromStdString(command));
    });
    say(QStringLiteral("started"));
    return QCoreApplication::exec();
}
