#include "KeyframeAnimation.h"

#include <QPauseAnimation>
#include <QPropertyAnimation>
#include <QSequentialAnimationGroup>

#include <algorithm>
#include <cmath>

namespace {
int milliseconds(double seconds) {
    return std::max(0, static_cast<int>(std::lround(seconds * 1000.0)));
}
} // namespace

KeyframeAnimation KeyframeAnimation::basic(const QByteArray& propertyName, const QVariant& from,
                                           const QVariant& to, double durationSeconds, QEasingCurve timing) {
    return {propertyName, {0.0, 1.0}, {from, to}, {timing}, durationSeconds};
}

std::unique_ptr<QAbstractAnimation> KeyframeAnimation::instantiate(QObject* target) const {
    auto group = std::make_unique<QSequentialAnimationGroup>();
    const qsizetype keys = std::min(keyTimes.size(), values.size());
    if (beginTimeSeconds > 0 && keys > 0) {
        // The first value holds during the wait, as it would before an animation that fills backwards.
        auto* hold = new QPropertyAnimation(target, propertyName, group.get());
        hold->setStartValue(values.first());
        hold->setEndValue(values.first());
        hold->setDuration(milliseconds(beginTimeSeconds));
        group->addAnimation(hold);
    }
    for (qsizetype key = 0; key + 1 < keys; ++key) {
        auto* segment = new QPropertyAnimation(target, propertyName, group.get());
        segment->setStartValue(values[key]);
        segment->setEndValue(values[key + 1]);
        segment->setDuration(milliseconds((keyTimes[key + 1] - keyTimes[key]) * durationSeconds));
        if (key < timingFunctions.size())
            segment->setEasingCurve(timingFunctions[key]);
        group->addAnimation(segment);
    }
    group->setLoopCount(repeatsForever ? -1 : 1);
    return group;
}
