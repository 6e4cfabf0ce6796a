#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Measures how long the event loop of the thread it lives on went without turning: a short timer that
// should fire every `intervalMilliseconds`, and the longest gap between two firings beyond that interval.
class StallProbe : public QObject {
    Q_OBJECT
public:
    explicit StallProbe(int intervalMilliseconds = 2, QObject* parent = nullptr);

    // Forgets what was measured and starts again.
    void restart();
    // The longest stall since the last restart, in milliseconds (what a user would have seen frozen). Read
    // it after the loop has turned again: a stall still going on is not counted yet.
    double longestStallMilliseconds() const;

private:
    void tick();

    QTimer timer_;
    QElapsedTimer clock_;
    qint64 lastTickNanoseconds_ = 0;
    qint64 longestGapNanoseconds_ = 0;
    int intervalMilliseconds_;
};
