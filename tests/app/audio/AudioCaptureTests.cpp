// One run of capture against a capture system the test drives.
#include "AudioCapture.h"
#include "FakeCaptureSystem.h"
#include "LogCapture.h"
#include "TemporaryFolder.h"

#include "SerialQueue.h"

#include <QCoreApplication>
#include <QTest>
#include <future>
#include <gtest/gtest.h>

namespace {

const CaptureDevice builtIn{"alsa_input.builtin", "Built-in Microphone"};
const CaptureDevice usb{"alsa_input.usb", "USB Microphone"};

class CountingDelegate : public AudioCaptureDelegate {
public:
    void audioCaptureStatusChanged() override { ++calls; }
    int calls = 0;
};

void processEvents() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
    }
}

} // namespace

class AudioCaptureTest : public ::testing::Test {
protected:
    AudioCaptureTest()
        : buffer(120, 44'100, caches.path()) {
        system.connectedDevices = {builtIn, usb};
        system.defaultDeviceID = builtIn.uniqueID;
    }
    std::unique_ptr<AudioCapture> makeCapture(std::optional<std::string> preferred = std::nullopt) {
        return std::make_unique<AudioCapture>(buffer, preferred, &delegate, 44'100, system);
    }
    // Starts on the worker and waits for the outcome on this (the main) thread.
    bool start(AudioCapture& capture) {
        std::optional<bool> outcome;
        capture.start(worker, [&](bool started) { outcome = started; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, 5000));
        return outcome.value_or(false);
    }

    TemporaryFolder caches;
    AudioBuffer buffer;
    FakeCaptureSystem system;
    CountingDelegate delegate;
    LogCapture log;
    SerialQueue worker{"capture start"};
};

TEST_F(AudioCaptureTest, UsesThePreferredDeviceOrFallsBackToTheDefault) {
    auto capture = makeCapture(usb.uniqueID);
    ASSERT_TRUE(start(*capture));
    EXPECT_EQ(capture->captureDevice(), usb);
    EXPECT_EQ(system.lastSession()->input, usb);
    EXPECT_TRUE(capture->isRunning());
    EXPECT_TRUE(buffer.queue().syncResult([&] { return buffer.isFileOpen(); }))
        << "the ring opens before audio";

    auto unplugged = makeCapture(std::string("alsa_input.gone"));
    ASSERT_TRUE(start(*unplugged));
    EXPECT_EQ(unplugged->captureDevice(), builtIn);
}

TEST_F(AudioCaptureTest, WithoutAnyInputDeviceTheStartFails) {
    system.connectedDevices.clear();
    auto capture = makeCapture();
    EXPECT_FALSE(start(*capture));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"Error: AudioCapture: Error getting default audio device."});
    EXPECT_FALSE(capture->hasSession());
}

TEST_F(AudioCaptureTest, StartingTwiceKeepsTheFirstSession) {
    auto capture = makeCapture();
    ASSERT_TRUE(start(*capture));
    EXPECT_FALSE(start(*capture));
    EXPECT_TRUE(
        log.contains("Error: AudioCapture: Error starting capture session because one already exists."));
    EXPECT_EQ(system.sessions.size(), 1u);
    EXPECT_TRUE(capture->isRunning());
}

TEST_F(AudioCaptureTest, BlocksGoToTheBufferAndLateOnesAreDropped) {
    auto capture = makeCapture();
    ASSERT_TRUE(start(*capture));
    auto deliver = system.lastSession()->blockHandler;
    const std::vector<uint8_t> samples(882, 9);
    deliver(samples.data(), samples.size());
    buffer.queue().sync([] {});
    EXPECT_EQ(buffer.memoryBufferCurrentSize(), 882);

    capture->stop();
    deliver(samples.data(), samples.size()); // a block still in flight when the session stopped
    buffer.queue().sync([] {});
    EXPECT_EQ(buffer.memoryBufferCurrentSize(), 882);
    EXPECT_TRUE(log.contains("Error: AudioCapture: captureOutput:didOutput:from: (captureSession == nil)"));
}

// A stream that says it is ready but never delivers a first block records nothing while the icon and the
// status say it records: after the minimum silence it is a failure like any other. (A suspended source is
// waited for instead; AudioControllerCaptureTest shows that on a real server.)
TEST_F(AudioCaptureTest, AReadySessionThatNeverDeliversIsAFailure) {
    auto capture = makeCapture();
    ASSERT_TRUE(start(*capture));
    processEvents();
    delegate.calls = 0;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !capture->hasSession(); },
                                static_cast<int>(AudioCapture::minimumSilenceSeconds * 1000 +
                                                 2 * AudioCapture::silenceCheckInterval.count())));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.lines()[0].starts_with("Error: AudioCapture: No audio arrived for ")) << log.lines()[0];
    EXPECT_EQ(delegate.calls, 1);
}

TEST_F(AudioCaptureTest, ARuntimeErrorStopsTheCaptureAndTellsTheDelegateOnce) {
    auto capture = makeCapture();
    ASSERT_TRUE(start(*capture));
    system.sendEvent(CaptureSession::Event::runtimeError);
    EXPECT_EQ(delegate.calls, 0) << "events are handled from the event loop";
    processEvents();
    EXPECT_EQ(delegate.calls, 1);
    EXPECT_FALSE(capture->hasSession());
    EXPECT_TRUE(system.lastSession()->destroyed);
    EXPECT_FALSE(buffer.queue().syncResult([&] { return buffer.isFileOpen(); })) << "the ring is closed";
    EXPECT_TRUE(std::filesystem::exists(buffer.fileBufferURL())) << "and kept";
}

TEST_F(AudioCaptureTest, AnInterruptionOnlyTellsTheDelegate) {
    auto capture = makeCapture();
    ASSERT_TRUE(start(*capture));
    system.sendEvent(CaptureSession::Event::interrupted);
    processEvents();
    EXPECT_EQ(delegate.calls, 1);
    EXPECT_TRUE(capture->hasSession());
    EXPECT_FALSE(capture->isRunning());
    system.sendEvent(CaptureSession::Event::interruptionEnded);
    processEvents();
    EXPECT_EQ(delegate.calls, 2);
    EXPECT_TRUE(capture->isRunning());
}

// Quit, pause and every restart stop a capture and then drop it: a normal stop logs nothing. A second stop
// of the same capture is a caller's mistake and says so.
TEST_F(AudioCaptureTest, ANormalStopLogsNoErrorAndASecondStopDoes) {
    auto capture = makeCapture();
    ASSERT_TRUE(start(*capture));
    capture->stop();
    EXPECT_EQ(delegate.calls, 1);
    capture.reset();
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(delegate.calls, 1);

    capture = makeCapture();
    ASSERT_TRUE(start(*capture));
    capture.reset(); // dropped while running: it stops on the way out
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(delegate.calls, 2);

    capture = makeCapture();
    ASSERT_TRUE(start(*capture));
    capture->stop();
    capture->stop();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Error: AudioCapture: stop: (captureSession != nil)"});
}

TEST_F(AudioCaptureTest, EventsOfADestroyedCaptureAreIgnored) {
    auto capture = makeCapture();
    ASSERT_TRUE(start(*capture));
    auto state = system.lastSession();
    auto handler = state->eventHandler;
    handler(CaptureSession::Event::runtimeError, "queued just before the capture went away");
    capture.reset();
    const int calls = delegate.calls;
    processEvents(); // must not touch the destroyed capture
    EXPECT_EQ(delegate.calls, calls);
}

TEST_F(AudioCaptureTest, AStopWhileTheWorkerIsBusyAbandonsTheStart) {
    std::promise<void> unblock;
    worker.async([future = unblock.get_future().share()] { future.wait(); }); // a server that does not answer
    auto capture = makeCapture();
    bool completed = false;
    capture->start(worker, [&](bool) { completed = true; });
    EXPECT_TRUE(capture->isStarting());
    capture->stop();
    EXPECT_EQ(delegate.calls, 1);
    EXPECT_FALSE(capture->isStarting());

    unblock.set_value();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return system.lastSession() && system.lastSession()->destroyed; }, 5000))
        << "the abandoned session is dropped once the worker is done with it";
    EXPECT_FALSE(completed);
    EXPECT_FALSE(capture->hasSession());
    EXPECT_FALSE(buffer.queue().syncResult([&] { return buffer.isFileOpen(); }));
}
