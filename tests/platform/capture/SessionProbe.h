#pragma once

#include "CaptureSession.h"

#include <QThread>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Records what a session delivers: the blocks (on the capture thread) and the events (on the main thread).
// Its handlers keep their state alive on their own, so a probe may go before or after its session.
class SessionProbe {
public:
    using Event = CaptureSession::Event;

    // Installs itself as the session's output (at `sampleRate`) and event handler.
    explicit SessionProbe(CaptureSession& session, double sampleRate = 44100);

    std::size_t byteCount() const;
    std::vector<int16_t> samples() const;
    std::vector<std::pair<Event, std::string>> events() const;
    std::size_t eventCount(Event event) const;
    // Every block came off the main thread in whole 16-bit samples; every event came on the main thread.
    bool blocksWereWholeSamplesOffTheMainThread() const;
    bool eventsWereOnTheMainThread() const;

    // Run the main thread's event loop until the condition holds or the timeout passes.
    bool waitForBytes(std::size_t byteCount, std::chrono::milliseconds timeout) const;
    bool waitForEvent(Event event, std::chrono::milliseconds timeout) const;

private:
    struct State {
        mutable std::mutex mutex;
        std::vector<uint8_t> bytes;
        bool blocksOk = true;
        bool eventsOk = true;
        std::vector<std::pair<Event, std::string>> events;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

const char* eventName(CaptureSession::Event event);
