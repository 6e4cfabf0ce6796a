#include "Log.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(Log, CaptureSeesEveryLineWholeAndInOrderFromAnyThread) {
    LogCapture capture;
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 100; ++i) {
                Log::write("Error: Test: writer " + std::to_string(t) + " line " + std::to_string(i));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 400u);
    std::vector<int> next(4, 0);
    for (const auto& line : lines) {
        const int t = line[20] - '0';
        EXPECT_EQ(line, "Error: Test: writer " + std::to_string(t) + " line " + std::to_string(next[t]++));
    }
    EXPECT_EQ(capture.count("Error: Test: writer 2 line 7"), 1);
}

TEST(Log, WithoutACaptureLinesGoToStandardError) {
    testing::internal::CaptureStderr();
    Log::write("Error: Test: to the system log and stderr");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Test: to the system log and stderr\n");
}
