#include "SessionProbe.h"

#include <QCoreApplication>
#include <QTest>
#include <cstring>

namespace {
bool onMainThread() {
    return QThread::currentThread() == QCoreApplication::instance()->thread();
}
} // namespace

const char* eventName(CaptureSession::Event event) {
    switch (event) {
    case CaptureSession::Event::started:
        return "started";
    case CaptureSession::Event::stopped:
        return "stopped";
    case CaptureSession::Event::interrupted:
        return "interrupted";
    case CaptureSession::Event::interruptionEnded:
        return "interruptionEnded";
    case CaptureSession::Event::runtimeError:
        return "runtimeError";
    }
    return "?";
}

SessionProbe::SessionProbe(CaptureSession& session, double sampleRate) {
    session.setOutput(sampleRate, [state = state_](const void* bytes, std::size_t byteCount) {
        const bool ok = !onMainThread() && byteCount % 2 == 0 && bytes != nullptr;
        std::lock_guard lock(state->mutex);
        state->blocksOk = state->blocksOk && ok;
        const auto* begin = static_cast<const uint8_t*>(bytes);
        state->bytes.insert(state->bytes.end(), begin, begin + byteCount);
    });
    session.setEventHandler([state = state_](Event event, const std::string& detail) {
        std::lock_guard lock(state->mutex);
        state->eventsOk = state->eventsOk && onMainThread();
        state->events.emplace_back(event, detail);
    });
}

std::size_t SessionProbe::byteCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->bytes.size();
}

std::vector<int16_t> SessionProbe::samples() const {
    std::lock_guard lock(state_->mutex);
    std::vector<int16_t> samples(state_->bytes.size() / 2);
    if (!samples.empty()) {
        std::memcpy(samples.data(), state_->bytes.data(), samples.size() * 2);
    }
    return samples;
}

std::vector<std::pair<SessionProbe::Event, std::string>> SessionProbe::events() const {
    std::lock_guard lock(state_->mutex);
    return state_->events;
}

std::size_t SessionProbe::eventCount(Event event) const {
    std::lock_guard lock(state_->mutex);
    std::size_t count = 0;
    for (const auto& [seen, detail] : state_->events) {
        count += seen == event ? 1 : 0;
    }
    return count;
}

bool SessionProbe::blocksWereWholeSamplesOffTheMainThread() const {
    std::lock_guard lock(state_->mutex);
    return state_->blocksOk;
}

bool SessionProbe::eventsWereOnTheMainThread() const {
    std::lock_guard lock(state_->mutex);
    return state_->eventsOk;
}

bool SessionProbe::waitForBytes(std::size_t count, std::chrono::milliseconds timeout) const {
    return QTest::qWaitFor([&] { return byteCount() >= count; }, static_cast<int>(timeout.count()));
}

bool SessionProbe::waitForEvent(Event event, std::chrono::milliseconds timeout) const {
    return QTest::qWaitFor([&] { return eventCount(event) > 0; }, static_cast<int>(timeout.count()));
}
