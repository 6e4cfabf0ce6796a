// A tray icon that says what the desktop's tray asks of it, to see by hand how a real panel behaves:
//
//   build/default/bench/tray_probe [--no-menu]
//
// Every line is "<milliseconds since start> <what>": the tray's availability, each activation request with
// the position the host gave, wheel turns, the menu's refreshes and the items chosen. Choosing "Pause" turns
// the icon grey and the label into "Resume" (and back), so a host's redraw can be seen; "Quit" ends it. Each
// refresh before the menu shows renames the first item ("Shown N times") and enables the second item every
// other time, so a host that shows the menu before the refresh is seen to.
#include "DBusMenu.h"
#include "StatusNotifierItem.h"
#include "TrayHostWatcher.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>

#include <cstdio>

namespace {
QIcon disc(const QColor& color) {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(color);
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QRectF(4, 4, 56, 56));
    return QIcon(pixmap);
}
} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication application(argc, argv);
    QElapsedTimer clock;
    clock.start();
    const auto say = [&](const QString& line) {
        std::printf("%lld %s\n", static_cast<long long>(clock.elapsed()), qPrintable(line));
        std::fflush(stdout);
    };

    StatusNotifierItem item(QStringLiteral("tray-probe"), QStringLiteral("Tray Probe"));
    item.setIcon(disc(QColor(0xd0, 0x20, 0x20)));
    item.setToolTip(QStringLiteral("Tray Probe"), QStringLiteral("Says what the tray asks"));
    DBusMenu menu;
    menu.addItem(QStringLiteral("first"), QStringLiteral("First Item"));
    menu.addItem(QStringLiteral("disabled"), QStringLiteral("Disabled Item"), false);
    menu.addSeparator();
    menu.addItem(QStringLiteral("pause"), QStringLiteral("Pause"));
    menu.addItem(QStringLiteral("quit"), QStringLiteral("Quit"));
    // Without a menu a host asks the item to show its own (ContextMenu).
    if (!QCoreApplication::arguments().contains(QStringLiteral("--no-menu")))
        item.setMenu(&menu);
    TrayHostWatcher watcher(&item);
    say(QStringLiteral("service %1").arg(item.serviceName()));

    bool paused = false;
    QObject::connect(&watcher, &TrayHostWatcher::hostAvailableChanged,
                     [&](bool available) { say(QStringLiteral("hostAvailable %1").arg(available)); });
    QObject::connect(&item, &StatusNotifierItem::activated,
                     [&](QPoint at) { say(QStringLiteral("Activate %1 %2").arg(at.x()).arg(at.y())); });
    QObject::connect(&item, &StatusNotifierItem::secondaryActivated, [&](QPoint at) {
        say(QStringLiteral("SecondaryActivate %1 %2").arg(at.x()).arg(at.y()));
    });
    QObject::connect(&item, &StatusNotifierItem::contextMenuRequested,
                     [&](QPoint at) { say(QStringLiteral("ContextMenu %1 %2").arg(at.x()).arg(at.y())); });
    QObject::connect(&item, &StatusNotifierItem::scrolled, [&](int delta, Qt::Orientation orientation) {
        say(QStringLiteral("Scroll %1 %2")
                .arg(delta)
                .arg(orientation == Qt::Vertical ? "vertical" : "horizontal"));
    });
    int shownCount = 0;
    QObject::connect(&menu, &DBusMenu::aboutToShow, [&] {
        say(QStringLiteral("AboutToShow"));
        // What a host shows must come from this refresh, not from the last one.
        ++shownCount;
        menu.setLabel(QStringLiteral("first"), QStringLiteral("Shown %1 times").arg(shownCount));
        menu.setEnabled(QStringLiteral("disabled"), shownCount % 2 == 0);
    });
    QObject::connect(&menu, &DBusMenu::triggered, [&](const QString& key) {
        say(QStringLiteral("triggered %1").arg(key));
        if (key == QLatin1String("quit")) {
            QGuiApplication::quit();
        } else if (key == QLatin1String("pause")) {
            paused = !paused;
            menu.setLabel(key, paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
            item.setIcon(disc(paused ? QColor(0x80, 0x80, 0x80) : QColor(0xd0, 0x20, 0x20)));
        }
    });
    return QGuiApplication::exec();
}
