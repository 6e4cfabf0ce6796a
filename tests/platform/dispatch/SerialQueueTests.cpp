#include "SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

TEST(SerialQueue, RunsBlocksOneAtATimeInSubmissionOrderFromManyThreads) {
    SerialQueue queue("com.Orvane.Tempolis.Test");
    EXPECT_EQ(queue.label(), "com.Orvane.Tempolis.Test");
    std::vector<std::pair<int, int>> seen; // touched only on the queue
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> submitters;
    for (int thread = 0; thread < 4; ++thread) {
        submitters.emplace_back([&, thread] {
            for (int i = 0; i < 1'000; ++i) {
                queue.async([&, thread, i] {
                    overlapped = overlapped || running.fetch_add(1) != 0;
                    seen.emplace_back(thread, i);
                    running.fetch_sub(1);
                });
            }
        });
    }
    for (auto& submitter : submitters) {
        submitter.join();
    }
    queue.sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(seen.size(), 4'000u);
    std::vector<int> next(4, 0);
    for (const auto& [thread, i] : seen) {
        EXPECT_EQ(i, next[static_cast<std::size_t>(thread)]++) << "blocks of one submitter ran out of order";
    }
}

TEST(SerialQueue, SyncWaitsForEarlierBlocksAndHandsBackResults) {
    SerialQueue queue("sync");
    std::vector<int> order;
    queue.async([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        order.push_back(1);
    });
    const int answer = queue.syncResult([&] {
        order.push_back(2);
        return 42;
    });
    EXPECT_EQ(answer, 42);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(SerialQueue, SyncFromTheQueueItselfRunsAtOnceInsteadOfDeadlocking) {
    SerialQueue queue("reentrant");
    bool inner = false, onQueue = false;
    queue.sync([&] {
        onQueue = queue.isCurrent();
        queue.sync([&] { inner = true; });
    });
    EXPECT_TRUE(onQueue);
    EXPECT_TRUE(inner);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, DestructionRunsEverythingAlreadySubmitted) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("drain");
        queue.async([] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); });
        for (int i = 0; i < 100; ++i) {
            queue.async([&] { ++ran; });
        }
    }
    EXPECT_EQ(ran, 100);
}
