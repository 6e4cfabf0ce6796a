#include "FakeCaptureSession.h"

bool FakeCaptureSession::setInput(const CaptureDevice& device, std::string* error) {
    if (state_->failSetInput) {
        *error = "Device busy";
        return false;
    }
    state_->input = device;
    return true;
}

void FakeCaptureSession::setOutput(double sampleRate, BlockHandler blockHandler) {
    state_->sampleRate = sampleRate;
    state_->blockHandler = std::move(blockHandler);
}

bool FakeCaptureSession::setTimedOutput(double sampleRate, TimedBlockHandler blockHandler) {
    state_->sampleRate = sampleRate;
    state_->timedBlockHandler = std::move(blockHandler);
    return true;
}

bool FakeCaptureSession::startRunning(std::string* error) {
    if (state_->failStart) {
        *error = "Connection refused";
        return false;
    }
    state_->running = true;
    return true;
}

void FakeCaptureSession::stopRunning() {
    state_->running = false;
    state_->interrupted = false;
    state_->stopped = true;
    state_->blockHandler = {};
    state_->timedBlockHandler = {};
    state_->eventHandler = {};
}
