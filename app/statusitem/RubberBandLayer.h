#pragma once

#include <QPainterPath>
#include <QPointF>
#include <QWidget>

class Layer;

// Draws the rubber band: a thin green wedge from the status icon's centre (the anchor) that opens towards
// the handle at its free end (the position), with a soft shadow, and the handle's layer on top. Both ends
// are properties that animations can drive; changing either redraws the band.
class RubberBandLayer : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QPointF rubberBandAnchor READ rubberBandAnchor WRITE setRubberBandAnchor)
    Q_PROPERTY(QPointF rubberBandPosition READ rubberBandPosition WRITE setRubberBandPosition)
public:
    static constexpr double defaultBeamBaseWidth = 20;
    static constexpr double shadowOpacity = 0.5;

    RubberBandLayer(bool isInDarkMode, QWidget* parent);

    QPointF rubberBandAnchor() const { return rubberBandAnchor_; }
    void setRubberBandAnchor(const QPointF& anchor);
    QPointF rubberBandPosition() const { return rubberBandPosition_; }
    void setRubberBandPosition(const QPointF& position);
    bool isInDarkMode() const { return isInDarkMode_; }
    double beamBaseWidth() const { return beamBaseWidth_; }

    // Whether the band casts its shadow (on by default).
    void setDrawsShadow(bool drawsShadow) { drawsShadow_ = drawsShadow; }

    // The layer drawn over the band (the handle); the band shows it and repaints when it changes.
    void addSublayer(Layer* layer);

    // The wedge from `anchor` opening towards `position`: its two long sides are |position - anchor| +
    // `baseWidth` long and its far edge is about twice `baseWidth` wide. A band whose ends meet is a right-
    // angled wedge pointing along +x.
    static QPainterPath beamPath(const QPointF& anchor, const QPointF& position, double baseWidth);

    // What the band covers now (wedge and handle), for a window that can only show part of itself.
    QRegion shape() const;

signals:
    // The drawing changed; a window shaped to the band updates its shape.
    void shapeChanged();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // What a change must redraw: the band and its handle as they are now.
    QRegion dirtyRegion() const;
    void invalidate(const QRegion& before);

    double beamBaseWidth_ = defaultBeamBaseWidth;
    QPointF rubberBandAnchor_;
    QPointF rubberBandPosition_;
    bool isInDarkMode_ = false;
    bool drawsShadow_ = true;
    Layer* sublayer_ = nullptr;
};
