#include "Images.h"

#include "Log.h"

#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>

QString Images::path(const QString& name) {
    if (name.isEmpty())
        return {};
    for (const char* suffix : {".svg", ".png"}) {
        const QString candidate = QStringLiteral(":/images/") + name + QLatin1String(suffix);
        if (QFile::exists(candidate))
            return candidate;
    }
    return {};
}

QIcon Images::named(const QString& name) {
    const QString file = path(name);
    if (file.isEmpty()) {
        Log::write("Images: no image named \"" + name.toStdString() + "\"");
        return {};
    }
    return QIcon(file);
}

QSize Images::naturalSize(const QString& name) {
    const QString file = path(name);
    if (file.isEmpty())
        return {};
    if (file.endsWith(QLatin1String(".svg"))) {
        const QSvgRenderer renderer(file);
        return renderer.isValid() ? renderer.defaultSize() : QSize();
    }
    return QImageReader(file).size();
}

bool Images::isTemplate(const QString& name) {
    return name.endsWith(QLatin1String("Template"));
}

QPixmap Images::tinted(const QIcon& icon, const QSize& size, const QColor& color, qreal devicePixelRatio) {
    if (icon.isNull() || size.isEmpty())
        return {};
    QPixmap source = icon.pixmap(size, devicePixelRatio);
    if (source.isNull())
        return {};
    QImage image = source.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    {
        // SourceIn keeps the destination's alpha and takes the colour from the fill.
        QPainter painter(&image);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), color);
    }
    QPixmap result = QPixmap::fromImage(std::move(image));
    result.setDevicePixelRatio(source.devicePixelRatio());
    return result;
}
