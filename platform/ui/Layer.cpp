#include "Layer.h"

#include "KeyframeAnimation.h"

#include <QAbstractAnimation>
#include <QPainter>

#include <algorithm>

Layer::Layer(QObject* parent)
    : QObject(parent) {}

Layer::~Layer() {
    // Completions belong to the layer's life: a layer going away runs none of them.
    for (Running& running : animations_) {
        running.animation->disconnect(this);
        delete running.animation;
    }
}

void Layer::changing(const std::function<void()>& change) {
    const QRectF before = hidden_ ? QRectF() : frame();
    change();
    emit changed(before);
}

void Layer::setPosition(const QPointF& position) {
    if (position_ != position)
        changing([&] { position_ = position; });
}

void Layer::setScale(qreal scale) {
    if (scale_ != scale)
        changing([&] { scale_ = scale; });
}

void Layer::setOpacity(qreal opacity) {
    if (opacity_ != opacity)
        changing([&] { opacity_ = opacity; });
}

void Layer::setSize(const QSizeF& size) {
    if (size_ != size)
        changing([&] { size_ = size; });
}

void Layer::setContents(const QIcon& contents) {
    changing([&] { contents_ = contents; });
}

void Layer::setHidden(bool hidden) {
    if (hidden_ != hidden)
        changing([&] { hidden_ = hidden; });
}

QRectF Layer::frame() const {
    const QSizeF scaled = size_ * std::max<qreal>(scale_, 0);
    return {position_.x() - scaled.width() / 2, position_.y() - scaled.height() / 2, scaled.width(),
            scaled.height()};
}

void Layer::draw(QPainter& painter) const {
    const QRectF target = frame();
    if (hidden_ || contents_.isNull() || opacity_ <= 0 || target.isEmpty())
        return;
    // Rendered at the layer's own size and scaled while drawing, as a layer's contents are.
    const QSize pixels = size_.toSize();
    const QPixmap pixmap = contents_.pixmap(pixels, painter.device()->devicePixelRatioF());
    const qreal previousOpacity = painter.opacity();
    painter.setOpacity(previousOpacity * opacity_);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(target, pixmap, QRectF(QPointF(0, 0), pixmap.size()));
    painter.setOpacity(previousOpacity);
}

void Layer::addAnimation(std::unique_ptr<QAbstractAnimation> animation, std::function<void()> completion) {
    QAbstractAnimation* started = animation.release();
    animations_.push_back({started, std::move(completion)});
    connect(started, &QAbstractAnimation::finished, this, [this, started] { finish(started); });
    started->start();
}

void Layer::addAnimation(const KeyframeAnimation& animation, std::function<void()> completion) {
    addAnimation(animation.instantiate(this), std::move(completion));
}

void Layer::removeAllAnimations() {
    std::vector<Running> removed;
    removed.swap(animations_);
    for (Running& running : removed) {
        running.animation->disconnect(this);
        running.animation->stop();
        running.animation->deleteLater();
    }
    for (Running& running : removed) {
        if (running.completion)
            running.completion();
    }
}

void Layer::finish(QAbstractAnimation* animation) {
    const auto found =
        std::find_if(animations_.begin(), animations_.end(),
                     [animation](const Running& running) { return running.animation == animation; });
    if (found == animations_.end())
        return;
    std::function<void()> completion = std::move(found->completion);
    animations_.erase(found);
    animation->deleteLater();
    if (completion)
        completion();
}
