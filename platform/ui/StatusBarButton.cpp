#include "StatusBarButton.h"

#include "Images.h"
#include "StatusBar.h"

#include <QEvent>
#include <QPainter>

#include <algorithm>
#include <limits>

StatusBarButton::StatusBarButton(QWidget* parent)
    : QAbstractButton(parent) {
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_Hover, false);
}

void StatusBarButton::setImage(const QString& name) {
    image_ = Images::named(name);
    imageName_ = image_.isNull() ? QString() : name;
    imageNaturalSize_ = image_.isNull() ? QSize() : Images::naturalSize(name);
    imageIsTemplate_ = !image_.isNull() && Images::isTemplate(name);
    updateGeometry();
    update();
    emit imageChanged();
}

void StatusBarButton::setImage(const QIcon& image, bool isTemplate) {
    image_ = image;
    imageName_.clear();
    const QList<QSize> sizes = image.availableSizes();
    imageNaturalSize_ = sizes.isEmpty() ? QSize() : sizes.constLast();
    imageIsTemplate_ = !image.isNull() && isTemplate;
    updateGeometry();
    update();
    emit imageChanged();
}

void StatusBarButton::setHighlighted(bool highlighted) {
    if (highlighted_ == highlighted)
        return;
    highlighted_ = highlighted;
    update();
}

QSize StatusBarButton::imageSize() const {
    if (image_.isNull())
        return {};
    const int availableHeight =
        std::max(1, (height() > 0 ? height() : StatusBar::thicknessPixels) - 2 * verticalPaddingPixels);
    QSize size = imageNaturalSize_.isEmpty() ? QSize(availableHeight, availableHeight) : imageNaturalSize_;
    if (size.height() > availableHeight)
        size = size.scaled(QSize(std::numeric_limits<int>::max() / 2, availableHeight), Qt::KeepAspectRatio);
    return size;
}

QSize StatusBarButton::sizeHint() const {
    const QSize image = imageSize();
    return {image.width() + 2 * horizontalPaddingPixels, StatusBar::thicknessPixels};
}

void StatusBarButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (highlighted_ || isDown()) {
        // A veil of the text colour reads as "pressed" on light and dark panels alike.
        QColor veil = palette().color(QPalette::WindowText);
        veil.setAlphaF(0.25f);
        painter.setPen(Qt::NoPen);
        painter.setBrush(veil);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 3, 3);
    }
    if (image_.isNull())
        return;
    const QSize size = imageSize();
    const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    const qreal ratio = devicePixelRatioF();
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    const QPixmap pixmap =
        imageIsTemplate_ ? Images::tinted(image_, size, palette().color(group, QPalette::WindowText), ratio)
                         : image_.pixmap(size, ratio, isEnabled() ? QIcon::Normal : QIcon::Disabled);
    painter.drawPixmap(target, pixmap);
}

void StatusBarButton::changeEvent(QEvent* event) {
    // A new palette (light/dark switch) changes the tint of a template image.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange)
        update();
    QAbstractButton::changeEvent(event);
}
