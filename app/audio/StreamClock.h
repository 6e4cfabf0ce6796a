#pragma once

#include <cstddef>
#include <deque>

// Where one capture stream's frames fall on the local clock. The audio server only says now and then at what
// local time some frame was captured, and each such reading is off by milliseconds; a device's clock also
// runs tens of ppm away from the local one. The clock fits a straight line, frame position to local seconds,
// through the readings of the newest `windowSeconds` (least squares, so the jitter averages out), whose slope
// is the stream's true frame period on the local clock.
//
// While the readings span only a few seconds their slope says little: it is then drawn towards a prior (the
// nominal rate, or what the clock had found before a restart), as much as the readings' jitter and the
// prior's uncertainty warrant, so that a handful of readings cannot make the stream run hundreds of ppm fast.
//
// Pure arithmetic: frames and seconds are whatever the owner counts from (seconds on one local epoch).
class StreamClock {
public:
    struct Settings {
        double nominalFramesPerSecond = 44'100;
        // The readings the fit uses: those of the newest this many seconds.
        double windowSeconds = 120;
        // The typical error of one reading.
        double readingJitterSeconds = 0.002;
        // How far the true rate may be from the prior, as a fraction of it.
        double rateUncertainty = 300e-6;
    };

    StreamClock();
    explicit StreamClock(const Settings& settings);

    // A new timeline begins (the stream restarted, or lost audio): the readings are forgotten; the rate
    // found so far stays, as the prior of the new timeline.
    void restart();
    // Frame `frame` of the current timeline was captured at local time `seconds`.
    void addReading(double frame, double seconds);

    bool hasReadings() const { return readingCount_ > 0; }
    std::size_t readingCount() const { return readingCount_; }
    // How much local time the readings in the window cover.
    double spanSeconds() const;

    // The line: only with readings.
    double secondsAt(double frame) const;
    double frameAt(double seconds) const;
    double secondsPerFrame() const;

private:
    // The readings of about one second, summed around their own means (which keeps the sums exact enough
    // over hours of frames).
    struct Bin {
        double count = 0;
        double meanFrame = 0;
        double meanSeconds = 0;
        double frameFrame = 0;   // sum of (frame - meanFrame)^2
        double frameSeconds = 0; // sum of (frame - meanFrame)(seconds - meanSeconds)
        double firstSeconds = 0;
        double lastSeconds = 0;
    };
    static constexpr double binSeconds = 1.0;

    void fit() const;

    Settings settings_;
    double priorSecondsPerFrame_;
    std::deque<Bin> bins_;
    std::size_t readingCount_ = 0;

    // The fitted line, made again when asked after new readings.
    mutable bool fitted_ = false;
    mutable double meanFrame_ = 0;
    mutable double meanSeconds_ = 0;
    mutable double secondsPerFrame_ = 0;
};
