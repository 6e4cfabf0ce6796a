#pragma once

#include "CaptureSession.h"

#include <memory>
#include <string>

// A capture session driven by the test: it can refuse its input or its start, and the test makes it deliver
// blocks and events (FakeCaptureSystem::sendEvent keeps `running` and `interrupted` in step with them, as a
// real session would; a test may also set them directly). Its shared state outlives the session, so a test
// can still look at a dropped session.
class FakeCaptureSession : public CaptureSession {
public:
    struct State {
        bool failSetInput = false;
        bool failStart = false;
        CaptureDevice input;
        double sampleRate = 0;
        bool running = false;
        bool interrupted = false;
        bool stopped = false;
        bool destroyed = false;
        BlockHandler blockHandler;
        // Set instead of blockHandler when the capture asked for capture times.
        TimedBlockHandler timedBlockHandler;
        EventHandler eventHandler;
    };

    explicit FakeCaptureSession(std::shared_ptr<State> state)
        : state_(std::move(state)) {}
    ~FakeCaptureSession() override { state_->destroyed = true; }

    bool setInput(const CaptureDevice& device, std::string* error) override;
    void setOutput(double sampleRate, BlockHandler blockHandler) override;
    bool setTimedOutput(double sampleRate, TimedBlockHandler blockHandler) override;
    void setEventHandler(EventHandler eventHandler) override {
        state_->eventHandler = std::move(eventHandler);
    }
    bool startRunning(std::string* error) override;
    void stopRunning() override;
    bool isRunning() const override { return state_->running; }
    bool isInterrupted() const override { return state_->interrupted; }

private:
    std::shared_ptr<State> state_;
};
