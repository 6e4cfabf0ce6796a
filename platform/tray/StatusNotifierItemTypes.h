#pragma once

// The structured values of org.kde.StatusNotifierItem, with their D-Bus marshalling. Call
// registerStatusNotifierItemTypes() before they cross the bus (StatusNotifierItem does).

#include <QByteArray>
#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QString>

class QIcon;

// One image of an icon, (iiay): width, height and 32-bit ARGB pixels, each pixel in network byte order (the
// bytes A, R, G, B), rows from the top, not premultiplied.
struct StatusNotifierIconPixmap {
    int widthPixels = 0;
    int heightPixels = 0;
    QByteArray argb32NetworkOrder;

    // The icon rendered at each of `sidesPixels` (one image per distinct size it yields, at a device pixel
    // ratio of 1: a host scales for its screen itself).
    static QList<StatusNotifierIconPixmap> fromIcon(const QIcon& icon, const QList<int>& sidesPixels);
};
using StatusNotifierIconPixmapList = QList<StatusNotifierIconPixmap>;

// The tooltip, (sa(iiay)ss): icon name, icon images, title, and a text that hosts may show as markup.
struct StatusNotifierToolTip {
    QString iconName;
    StatusNotifierIconPixmapList iconPixmaps;
    QString title;
    QString text;
};

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierIconPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierIconPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierToolTip& toolTip);
const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierToolTip& toolTip);

Q_DECLARE_METATYPE(StatusNotifierIconPixmap)
Q_DECLARE_METATYPE(StatusNotifierToolTip)

// Registers the types above with Qt's D-Bus type system; once is enough, more calls do nothing.
void registerStatusNotifierItemTypes();
