#pragma once

#include <QWidget>

#include <functional>

// The transparent panel that shows the rubber band during one drag, hanging from the status item. It never
// takes the focus, never activates the application and lets every click through to what lies below. With a
// compositing manager it is simply translucent; without one it is shaped to what it draws, so the desktop
// under its empty part stays visible.
class RubberBandWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize contentSize{864, 432};

    explicit RubberBandWindow(QWidget* parent = nullptr);

    // Whether the panel is shaped to its drawing (no compositing manager when it was made).
    bool isShaped() const { return shaped_; }
    // Where the shape comes from: the part of the panel that shows now.
    void setShapeSource(std::function<QRegion()> source) { shapeSource_ = std::move(source); }
    // The drawing changed: the shape is taken again once, right before the next paint.
    void shapeChanged() { shapeDirty_ = true; }

protected:
    bool event(QEvent* event) override;

private:
    bool shaped_ = false;
    bool shapeDirty_ = false;
    std::function<QRegion()> shapeSource_;
};
