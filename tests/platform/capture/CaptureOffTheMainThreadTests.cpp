#include "PulseCaptureSession.h"
#include "PulseCaptureSystem.h"
#include "PulseServer.h"
#include "SessionProbe.h"
#include "TestSignal.h"

#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace std::chrono_literals;
using Event = CaptureSession::Event;
using Clock = std::chrono::steady_clock;

namespace {

// Runs `work` on a thread of its own while the main thread's event loop turns, as the application's does
// while its recording controller starts capture on a worker.
template <typename Work> auto onAWorker(Work work) {
    auto result = std::async(std::launch::async, std::move(work));
    EXPECT_TRUE(QTest::qWaitFor([&] { return result.wait_for(0s) == std::future_status::ready; }, 60000));
    return result.get();
}

enum class Steps { all, fromSetInput, startRunningOnly };

// The controller's start (the preferred input, else the default one, then the session's input and start), or
// its last steps only; how long it took.
std::pair<bool, Clock::duration> start(CaptureSystem& system, CaptureSession& session, Steps steps) {
    const auto begin = Clock::now();
    std::optional<CaptureDevice> device = CaptureDevice{"rec_mic", "Test Microphone"};
    if (steps == Steps::all) {
        device = system.deviceWithUniqueID("rec_mic");
        device = device ? device : system.defaultDevice();
    }
    std::string error;
    const bool started = device && (steps == Steps::startRunningOnly || session.setInput(*device, &error)) &&
                         session.startRunning(&error);
    return {started, Clock::now() - begin};
}

class CaptureOffTheMainThreadTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.isRunning()) << server.error();
        ASSERT_TRUE(server.addMicrophone("rec_mic", "Test Microphone")) << server.error();
    }

    PulseServer server;
};

} // namespace

TEST_F(CaptureOffTheMainThreadTest, AStartOnAWorkerRecordsAndReportsToTheMainThread) {
    PulseCaptureSystem system;
    PulseCaptureSession session;
    SessionProbe probe(session);
    ASSERT_TRUE(onAWorker([&] { return start(system, session, Steps::all).first; }));
    ASSERT_TRUE(probe.waitForEvent(Event::started, 5s));
    ASSERT_TRUE(server.play("rec_mic_sink", testSignal(44100 * 30), 44100));
    EXPECT_TRUE(QTest::qWaitFor([&] { return signalStart(probe.samples()).has_value(); }, 20000));
    EXPECT_TRUE(probe.eventsWereOnTheMainThread());

    // Starts and stops on a worker, each stop once the main thread has handled `started`, with nothing else
    // ordering the two threads (the flag is relaxed): ThreadSanitizer checks the state they share.
    session.stopRunning();
    std::atomic<int> startedHandled = 0;
    session.setEventHandler([&](Event event, const std::string&) {
        startedHandled.fetch_add(event == Event::started ? 1 : 0, std::memory_order_relaxed);
    });
    for (int round = 1; round <= 3; ++round) {
        EXPECT_TRUE(onAWorker([&] {
            const bool started = start(system, session, Steps::startRunningOnly).first;
            const auto begin = Clock::now();
            while (started && startedHandled.load(std::memory_order_relaxed) < round &&
                   Clock::now() - begin < 5s) {
                std::this_thread::sleep_for(1ms);
            }
            session.stopRunning();
            return started;
        }));
        EXPECT_EQ(startedHandled.load(std::memory_order_relaxed), round);
    }
}

// A frozen server (SIGSTOP: it accepts connections and never answers) during each step of a start on a
// worker: the start fails within that step's bounds, and the same system and session start once the server
// thaws.
TEST_F(CaptureOffTheMainThreadTest, AFrozenServerCannotHoldUpAStartOnAWorker) {
    const std::tuple<Steps, Clock::duration> cases[] = {
        {Steps::all, 2 * PulseCaptureSystem::queryTimeout},
        {Steps::fromSetInput, PulseCaptureSession::inputTimeout},
        {Steps::startRunningOnly, PulseCaptureSession::startTimeout},
    };
    for (const auto& [steps, bound] : cases) {
        SCOPED_TRACE(static_cast<int>(steps));
        PulseCaptureSystem system;
        ASSERT_EQ(system.devices().size(), 1u);
        PulseCaptureSession session;
        SessionProbe probe(session);
        std::string error;
        ASSERT_TRUE(steps != Steps::startRunningOnly || session.setInput({"rec_mic", ""}, &error)) << error;

        server.freeze();
        const auto [started, elapsed] = onAWorker([&] { return start(system, session, steps); });
        server.thaw();
        EXPECT_FALSE(started);
        EXPECT_GT(elapsed, bound - 500ms) << "it waited for the server";
        EXPECT_LT(elapsed, bound + 1s);
        EXPECT_TRUE(onAWorker([&] { return start(system, session, steps).first; }));
    }
}
