#include "StatusNotifierItemTypes.h"

#include <QDBusMetaType>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QtEndian>

#include <algorithm>

QList<StatusNotifierIconPixmap> StatusNotifierIconPixmap::fromIcon(const QIcon& icon,
                                                                   const QList<int>& sidesPixels) {
    QList<StatusNotifierIconPixmap> pixmaps;
    if (icon.isNull())
        return pixmaps;
    for (int side : sidesPixels) {
        // An icon made of fixed-size images gives at most its largest one, so several requests can yield the
        // same image.
        QImage image = icon.pixmap(QSize(side, side), 1.0).toImage();
        if (image.isNull())
            continue;
        const bool seen =
            std::any_of(pixmaps.cbegin(), pixmaps.cend(), [&](const StatusNotifierIconPixmap& p) {
                return p.widthPixels == image.width() && p.heightPixels == image.height();
            });
        if (seen)
            continue;
        image.convertTo(QImage::Format_ARGB32);
        StatusNotifierIconPixmap pixmap;
        pixmap.widthPixels = image.width();
        pixmap.heightPixels = image.height();
        pixmap.argb32NetworkOrder.resize(qsizetype(image.width()) * image.height() * 4);
        auto* out = reinterpret_cast<uchar*>(pixmap.argb32NetworkOrder.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* row = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x, out += 4)
                qToBigEndian<quint32>(row[x], out);
        }
        pixmaps.append(pixmap);
    }
    return pixmaps;
}

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierIconPixmap& pixmap) {
    argument.beginStructure();
    argument << pixmap.widthPixels << pixmap.heightPixels << pixmap.argb32NetworkOrder;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierIconPixmap& pixmap) {
    argument.beginStructure();
    argument >> pixmap.widthPixels >> pixmap.heightPixels >> pixmap.argb32NetworkOrder;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const StatusNotifierToolTip& toolTip) {
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.iconPixmaps << toolTip.title << toolTip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, StatusNotifierToolTip& toolTip) {
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.iconPixmaps >> toolTip.title >> toolTip.text;
    argument.endStructure();
    return argument;
}

void registerStatusNotifierItemTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<StatusNotifierIconPixmap>();
        qDBusRegisterMetaType<StatusNotifierIconPixmapList>();
        qDBusRegisterMetaType<StatusNotifierToolTip>();
        return true;
    }();
    (void)registered;
}
