#pragma once

#include <QByteArray>
#include <QEasingCurve>
#include <QList>
#include <QVariant>

#include <memory>

class QAbstractAnimation;
class QObject;

// A description of how one property of an object changes over time: values at key times (fractions of the
// duration, from 0 to 1) with an easing curve for each segment between two keys. Like a recipe, it can be
// instantiated on any number of objects; each instance animates its own target.
struct KeyframeAnimation {
    QByteArray propertyName;
    QList<qreal> keyTimes;
    QVariantList values;
    // One per segment; missing ones are linear.
    QList<QEasingCurve> timingFunctions;
    double durationSeconds = 0.25;
    // A wait before the first key; during it the property already shows the first value.
    double beginTimeSeconds = 0;
    bool repeatsForever = false;

    // From one value to another over the whole duration.
    static KeyframeAnimation basic(const QByteArray& propertyName, const QVariant& from, const QVariant& to,
                                   double durationSeconds, QEasingCurve timing = QEasingCurve::Linear);

    // A stopped animation of `target`'s property (a group of one property animation per segment).
    std::unique_ptr<QAbstractAnimation> instantiate(QObject* target) const;
};
