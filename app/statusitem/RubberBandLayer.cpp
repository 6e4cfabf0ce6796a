#include "RubberBandLayer.h"

#include "Layer.h"

#include <QPainter>
#include <QPolygonF>

#include <cmath>

namespace {
// A fresh green.
const QColor beamColor = QColor::fromRgbF(126 / 255.0f, 217 / 255.0f, 87 / 255.0f, 1.0f);
// The shadow falls this far below the beam and spreads this far around it.
constexpr double shadowOffsetPixels = 3;
constexpr double shadowSpreadPixels = 3;
} // namespace

RubberBandLayer::RubberBandLayer(bool isInDarkMode, QWidget* parent)
    : QWidget(parent)
    , isInDarkMode_(isInDarkMode) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    // The window behind is transparent: nothing to erase before painting.
    setAttribute(Qt::WA_NoSystemBackground);
}

void RubberBandLayer::setRubberBandAnchor(const QPointF& anchor) {
    if (anchor == rubberBandAnchor_)
        return;
    const QRegion before = dirtyRegion();
    rubberBandAnchor_ = anchor;
    invalidate(before);
}

void RubberBandLayer::setRubberBandPosition(const QPointF& position) {
    if (position == rubberBandPosition_)
        return;
    const QRegion before = dirtyRegion();
    rubberBandPosition_ = position;
    invalidate(before);
}

void RubberBandLayer::addSublayer(Layer* layer) {
    sublayer_ = layer;
    connect(layer, &Layer::changed, this,
            [this](const QRectF& before) { invalidate(QRegion(before.toAlignedRect())); });
    invalidate({});
}

QPainterPath RubberBandLayer::beamPath(const QPointF& anchor, const QPointF& position, double baseWidth) {
    const QPointF d = position - anchor;
    const double length = std::hypot(d.x(), d.y()) + baseWidth;
    // The direction in single precision, as the drawing has always computed it.
    const double theta =
        static_cast<double>(std::atan2(static_cast<float>(d.y()), static_cast<float>(d.x())));
    const double phi = std::atan(baseWidth / length);
    QPainterPath path(anchor);
    path.lineTo(anchor + length * QPointF(std::cos(theta + phi), std::sin(theta + phi)));
    path.lineTo(anchor + length * QPointF(std::cos(theta - phi), std::sin(theta - phi)));
    path.closeSubpath();
    path.setFillRule(Qt::WindingFill);
    return path;
}

QRegion RubberBandLayer::dirtyRegion() const {
    // The wedge in a few slices along its length, each slice's bounding box with room for the shadow: a
    // long diagonal band covers a fraction of its bounding box, and every pixel redrawn is copied to the
    // screen again.
    constexpr int slices = 8;
    const double margin = shadowOffsetPixels + shadowSpreadPixels + 2;
    const QPolygonF wedge = beamPath(rubberBandAnchor_, rubberBandPosition_, beamBaseWidth_).toFillPolygon();
    QRegion region;
    if (wedge.size() >= 3) {
        const QPointF apex = wedge[0];
        const QPointF left = wedge[1] - apex;
        const QPointF right = wedge[2] - apex;
        for (int slice = 0; slice < slices; ++slice) {
            const double near = static_cast<double>(slice) / slices;
            const double far = static_cast<double>(slice + 1) / slices;
            const QPolygonF quad{apex + near * left, apex + far * left, apex + far * right,
                                 apex + near * right};
            region += quad.boundingRect().adjusted(-margin, -margin, margin, margin).toAlignedRect();
        }
    }
    if (sublayer_ && !sublayer_->isHidden())
        region += sublayer_->frame().toAlignedRect();
    return region;
}

void RubberBandLayer::invalidate(const QRegion& before) {
    update(before + dirtyRegion());
    emit shapeChanged();
}

QRegion RubberBandLayer::shape() const {
    QRegion region(
        beamPath(rubberBandAnchor_, rubberBandPosition_, beamBaseWidth_).toFillPolygon().toPolygon());
    if (sublayer_ && !sublayer_->isHidden() && !sublayer_->frame().isEmpty())
        region += QRegion(sublayer_->frame().toAlignedRect(), QRegion::Ellipse);
    return region;
}

void RubberBandLayer::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // A soft shadow, cheaply: the wedge moved down, a little wider each time and faint, drawn a few times
    // over. A window shaped to the band would cut it off anyway.
    painter.setPen(Qt::NoPen);
    QColor shade(0, 0, 0);
    shade.setAlphaF(static_cast<float>(shadowOpacity / 3));
    painter.setBrush(shade);
    const QPointF down(0, shadowOffsetPixels);
    for (int step = drawsShadow_ ? 3 : 0; step >= 1; --step)
        painter.drawPath(
            beamPath(rubberBandAnchor_ + down, rubberBandPosition_ + down, beamBaseWidth_ + step));
    painter.setBrush(beamColor);
    painter.drawPath(beamPath(rubberBandAnchor_, rubberBandPosition_, beamBaseWidth_));
    if (sublayer_)
        sublayer_->draw(painter);
}
