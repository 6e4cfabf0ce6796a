#include "StallProbe.h"

#include <algorithm>

StallProbe::StallProbe(int intervalMilliseconds, QObject* parent)
    : QObject(parent)
    , intervalMilliseconds_(intervalMilliseconds) {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(intervalMilliseconds);
    connect(&timer_, &QTimer::timeout, this, &StallProbe::tick);
    restart();
}

void StallProbe::restart() {
    clock_.start();
    lastTickNanoseconds_ = 0;
    longestGapNanoseconds_ = 0;
    timer_.start();
}

double StallProbe::longestStallMilliseconds() const {
    return std::max(0.0, static_cast<double>(longestGapNanoseconds_) / 1e6 - intervalMilliseconds_);
}

void StallProbe::tick() {
    const qint64 now = clock_.nsecsElapsed();
    longestGapNanoseconds_ = std::max(longestGapNanoseconds_, now - lastTickNanoseconds_);
    lastTickNanoseconds_ = now;
}
