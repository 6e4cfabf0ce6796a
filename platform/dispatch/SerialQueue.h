#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// A serial work queue on one dedicated thread: blocks run one at a time, in submission order.
// Destroying the queue runs every block already submitted before the thread ends.
class SerialQueue {
public:
    using Block = std::function<void()>;

    explicit SerialQueue(std::string label);
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Submits a block and returns at once.
    void async(Block block);

    // Submits a block and waits until it has run. Called from the queue's own thread, the block runs
    // at once (waiting there would never end).
    void sync(const Block& block);

    // Runs a function on the queue, waits, and hands back its result.
    template <typename Function> auto syncResult(Function&& function) -> decltype(function()) {
        using Result = decltype(function());
        if constexpr (std::is_void_v<Result>) {
            sync(std::forward<Function>(function));
        } else {
            Result result{};
            sync([&] { result = function(); });
            return result;
        }
    }

    const std::string& label() const { return label_; }

    // True when called from a block running on this queue.
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run();

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Block> blocks_;
    bool finishing_ = false;
    std::thread thread_;
};
