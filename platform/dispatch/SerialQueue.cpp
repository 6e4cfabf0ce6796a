#include "SerialQueue.h"

#include <pthread.h>

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label))
    , thread_([this] { run(); }) {
    // Thread names are limited to 15 characters; the tail of a reverse-DNS label says the most.
    const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SerialQueue::async(Block block) {
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const Block& block) {
    if (isCurrent()) {
        block();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    async([&] {
        block();
        std::lock_guard lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
}

void SerialQueue::run() {
    for (;;) {
        Block block;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return finishing_ || !blocks_.empty(); });
            if (blocks_.empty()) {
                return; // finishing and drained
            }
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        block();
    }
}
