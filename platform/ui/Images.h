#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

// Named images compiled into the program as Qt resources under ":/images/<name>.svg" (or ".png").
// An image whose name ends in "Template" is a template: only its alpha matters, and it is drawn in the colour
// of the text around it so it fits light and dark panels.
class Images {
public:
    // The resource path of the image, SVG first; empty when there is neither.
    static QString path(const QString& name);
    // The image, scalable when it is an SVG; a null icon when there is no such image.
    static QIcon named(const QString& name);
    // The size the image was drawn at (the SVG's own size), in device-independent pixels; empty when missing.
    static QSize naturalSize(const QString& name);
    static bool isTemplate(const QString& name);

    // `icon` rendered at `size` (device-independent pixels) for a screen of `devicePixelRatio`, each pixel
    // painted in `color` with the image's own alpha. A null pixmap for a null icon or an empty size.
    static QPixmap tinted(const QIcon& icon, const QSize& size, const QColor& color,
                          qreal devicePixelRatio = 1.0);
};
