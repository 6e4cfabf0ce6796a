#pragma once

#include <QIcon>
#include <QObject>
#include <QPointF>
#include <QSizeF>

#include <functional>
#include <memory>
#include <vector>

class QAbstractAnimation;
class QPainter;
struct KeyframeAnimation;

// Something a view draws and animations change: an image (or nothing) of `size`, centred on `position`,
// scaled by `scale` and drawn at `opacity`. The view that shows a layer repaints when it reports changed().
//
// Animations added to a layer run until they end or are removed; the completion given with one runs once
// either way, after the animation has left the layer (so it may add another). Main thread only.
class Layer : public QObject {
    Q_OBJECT
    Q_PROPERTY(QPointF position READ position WRITE setPosition)
    Q_PROPERTY(qreal scale READ scale WRITE setScale)
    Q_PROPERTY(qreal opacity READ opacity WRITE setOpacity)
public:
    explicit Layer(QObject* parent = nullptr);
    ~Layer() override;

    QPointF position() const { return position_; }
    void setPosition(const QPointF& position);
    qreal scale() const { return scale_; }
    void setScale(qreal scale);
    qreal opacity() const { return opacity_; }
    void setOpacity(qreal opacity);
    QSizeF size() const { return size_; }
    void setSize(const QSizeF& size);
    QIcon contents() const { return contents_; }
    void setContents(const QIcon& contents);
    // A hidden layer is out of its view's drawing (as if taken out of the layer tree); it keeps its values.
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden);

    // The rectangle the layer covers now, in its view's coordinates.
    QRectF frame() const;
    // Draws the contents into a painter set up in the view's coordinates.
    void draw(QPainter& painter) const;

    // Starts the animation on this layer; the layer owns it from now on.
    void addAnimation(std::unique_ptr<QAbstractAnimation> animation, std::function<void()> completion = {});
    void addAnimation(const KeyframeAnimation& animation, std::function<void()> completion = {});
    void removeAllAnimations();
    bool hasAnimations() const { return !animations_.empty(); }

signals:
    // Something that changes the drawing changed; `before` is the frame it covered until now.
    void changed(const QRectF& before);

private:
    struct Running {
        QAbstractAnimation* animation;
        std::function<void()> completion;
    };
    void finish(QAbstractAnimation* animation);
    void changing(const std::function<void()>& change);

    QPointF position_;
    qreal scale_ = 1.0;
    qreal opacity_ = 1.0;
    QSizeF size_;
    QIcon contents_;
    bool hidden_ = false;
    std::vector<Running> animations_;
};
