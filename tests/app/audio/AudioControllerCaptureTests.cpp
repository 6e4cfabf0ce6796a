// Recording through the controller from a real PulseAudio server with virtual microphones: what is played
// comes out of an exported clip; devices come and go; the server dies and comes back.
#include "AudioCapture.h"
#include "AudioController.h"
#include "AudioDecoder.h"
#include "Defaults.h"
#include "DefaultsRecordingSettings.h"
#include "DesktopCaptureAuthorization.h"
#include "LogCapture.h"
#include "PulseCaptureSystem.h"
#include "PulseServer.h"
#include "StallProbe.h"
#include "TemporaryFolder.h"

#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <future>

namespace {

constexpr int rate = 44'100;

// A rising sweep: it correlates with itself at one offset only.
std::vector<int16_t> sweep(double seconds) {
    std::vector<int16_t> samples(static_cast<std::size_t>(seconds * rate));
    double phase = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double frequency = 200 + 3'000 * static_cast<double>(i) / static_cast<double>(samples.size());
        phase += 2 * M_PI * frequency / rate;
        samples[i] = static_cast<int16_t>(std::lround(12'000 * std::sin(phase)));
    }
    return samples;
}

double correlation(const std::vector<int16_t>& a, std::size_t offset, const std::vector<int16_t>& b) {
    double ab = 0, aa = 0, bb = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
        const double x = a[offset + i], y = b[i];
        ab += x * y;
        aa += x * x;
        bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

int64_t bufferedBytes(AudioController& controller) {
    return controller.audioBuffer().fileBufferCurrentSize() +
           controller.audioBuffer().memoryBufferCurrentSize();
}

} // namespace

class AudioControllerCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.isRunning()) << server.error();
        Defaults::store().clear();
        const auto added = server.addMicrophone("builtin_mic", "Built-in Microphone");
        ASSERT_TRUE(added) << server.error();
        builtIn = *added;
        ASSERT_TRUE(server.setDefaultSource(builtIn.sourceName));
        system = std::make_unique<PulseCaptureSystem>();
        controller = std::make_unique<AudioController>(*system, authorization, recordingSettings);
    }
    void TearDown() override {
        controller.reset();
        system.reset();
    }

    std::string deviceInUse() const {
        return controller->audioCapture() && controller->audioCapture()->captureDevice()
                   ? controller->audioCapture()->captureDevice()->uniqueID
                   : std::string();
    }
    // Audio arrives a moment after a stream starts on an idle server: wait for data, not for time.
    bool waitForAudio(double moreSeconds, int timeoutMs = 10'000) {
        const int64_t target = bufferedBytes(*controller) + static_cast<int64_t>(moreSeconds * rate * 2);
        return QTest::qWaitFor([&] { return bufferedBytes(*controller) >= target; }, timeoutMs);
    }

    PulseServer server;
    PulseServer::Microphone builtIn;
    DesktopCaptureAuthorization authorization;
    std::unique_ptr<PulseCaptureSystem> system;
    DefaultsRecordingSettings recordingSettings;
    std::unique_ptr<AudioController> controller;
    LogCapture log;
};

TEST_F(AudioControllerCaptureTest, WhatIsPlayedIntoTheMicrophoneComesOutOfTheClip) {
    controller->startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 5'000));
    EXPECT_EQ(deviceInUse(), builtIn.sourceName);
    ASSERT_TRUE(waitForAudio(4.0)) << "no audio arrived";

    const auto signal = sweep(2.0);
    std::vector<int16_t> played(rate / 2, 0); // a lead-in: a new playback can lose its first moments
    played.insert(played.end(), signal.begin(), signal.end());
    played.insert(played.end(), rate / 2, 0);
    ASSERT_TRUE(server.play(builtIn.sinkName, played, rate));
    ASSERT_TRUE(server.waitForPlayback(std::chrono::seconds(10)));
    ASSERT_TRUE(waitForAudio(0.3));

    TemporaryFolder folder;
    const auto clip = folder.path() / "clip.m4a";
    std::promise<std::pair<bool, double>> outcome;
    controller->audioBuffer().exportAudio(clip, 6, [&](bool ok, double s) { outcome.set_value({ok, s}); });
    const auto [success, seconds] = outcome.get_future().get();
    ASSERT_TRUE(success);
    ASSERT_EQ(seconds, 6.0);

    std::string error;
    const auto decoded = AudioDecoder::decodeFile(clip.string(), &error);
    ASSERT_TRUE(decoded) << error;
    ASSERT_EQ(decoded->samples.size(), 6u * rate) << "the clip holds exactly the seconds asked for";

    // Find the sweep in the clip where the signal starts, then compare it sample by sample.
    std::size_t onset = 0;
    while (onset < decoded->samples.size() && std::abs(decoded->samples[onset]) < 1'000) {
        ++onset;
    }
    ASSERT_LT(onset + signal.size(), decoded->samples.size()) << "the sweep is not in the clip";
    double best = 0;
    const std::size_t from = onset > 1'024 ? onset - 1'024 : 0;
    for (std::size_t offset = from;
         offset < onset + 1'024 && offset + signal.size() <= decoded->samples.size(); ++offset) {
        best = std::max(best, correlation(decoded->samples, offset, signal));
    }
    EXPECT_GT(best, 0.95) << "the recorded sweep does not match what was played (onset " << onset << ")";
}

TEST_F(AudioControllerCaptureTest, FollowsThePreferredDeviceWhenItIsPluggedBackIn) {
    Defaults::setPreferredAudioDevice(QString("usb_mic"));
    controller->startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 5'000));
    EXPECT_EQ(deviceInUse(), builtIn.sourceName) << "a missing preferred device falls back to the default";

    const auto other = server.addMicrophone("webcam_mic", "Webcam Microphone");
    ASSERT_TRUE(other);
    QTest::qWait(500);
    EXPECT_EQ(deviceInUse(), builtIn.sourceName) << "another device changes nothing";

    const auto usb = server.addMicrophone("usb_mic", "USB Microphone");
    ASSERT_TRUE(usb);
    ASSERT_TRUE(QTest::qWaitFor([&] { return deviceInUse() == "usb_mic"; }, 5'000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 5'000));

    // Unplugged while in use: capture fails (it never moves to another device by itself) and restarts on the
    // default input.
    ASSERT_TRUE(server.removeMicrophone(*usb));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return deviceInUse() == builtIn.sourceName && controller->isRecording(); }, 5'000));
}

// "System Default" is the server's default input, whichever that is now; chosen, it takes effect at once.
TEST_F(AudioControllerCaptureTest, SystemDefaultRecordsTheDefaultInputAndFollowsIt) {
    const auto usb = server.addMicrophone("usb_mic", "USB Microphone");
    ASSERT_TRUE(usb);
    controller->setPreferredDevice(std::string("usb_mic"));
    controller->startRecording();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return deviceInUse() == "usb_mic" && controller->isRecording(); }, 5'000));

    controller->setPreferredDevice(std::nullopt);
    EXPECT_TRUE(QTest::qWaitFor([&] { return deviceInUse() == builtIn.sourceName; }, 5'000))
        << "switched to the default input at once";
    ASSERT_TRUE(server.setDefaultSource("usb_mic"));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return deviceInUse() == "usb_mic" && controller->isRecording(); }, 5'000))
        << "a new default input is followed";
}

// The user chose what one output plays: when that output goes, recording goes to what the default output
// plays, never to a microphone, and returns to the chosen output when it comes back.
TEST_F(AudioControllerCaptureTest, AChosenOutputThatGoesFallsBackToSystemAudioNeverToAMicrophone) {
    int headphones = server.loadModule("module-null-sink", "sink_name=headphones");
    ASSERT_GE(headphones, 0);
    controller->setPreferredDevice(std::string("headphones.monitor"));
    controller->startRecording();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return deviceInUse() == "headphones.monitor" && controller->isRecording(); }, 5'000));

    ASSERT_TRUE(server.unloadModule(headphones));
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording() && !deviceInUse().empty(); }, 5'000));
    EXPECT_TRUE(CaptureSystem::isOutputMonitorID(deviceInUse())) << deviceInUse() << " is not an output";
    EXPECT_NE(deviceInUse(), builtIn.sourceName);

    headphones = server.loadModule("module-null-sink", "sink_name=headphones");
    ASSERT_GE(headphones, 0);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return deviceInUse() == "headphones.monitor" && controller->isRecording(); }, 5'000))
        << "back to the chosen output";
}

TEST_F(AudioControllerCaptureTest, RecordsAgainAfterTheServerIsKilledAndComesBack) {
    controller->startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 5'000));
    ASSERT_TRUE(waitForAudio(0.5));

    ASSERT_TRUE(server.kill());
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->audioCapture() == nullptr; }, 5'000))
        << "the capture must report the dead server";
    EXPECT_EQ(controller->pendingRestartDelaySeconds(), 0.5);

    ASSERT_TRUE(server.restart()) << server.error();
    const auto microphone = server.addMicrophone("builtin_mic", "Built-in Microphone");
    ASSERT_TRUE(microphone);
    ASSERT_TRUE(server.setDefaultSource(microphone->sourceName));
    // The restart half a second later finds the server back (or, if it came too early, the next one does).
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 20'000));
    EXPECT_TRUE(waitForAudio(0.5)) << "audio flows again";
}

TEST_F(AudioControllerCaptureTest, ARestartThatFailsAtOnceWaitsFifteenSecondsUnlessTheServerComesBack) {
    controller->startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 5'000));
    ASSERT_TRUE(server.kill());
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->audioCapture() == nullptr; }, 5'000));
    EXPECT_EQ(controller->pendingRestartDelaySeconds(), 0.5);
    // The server stays away: the retry fails at once, so the next one waits.
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->pendingRestartDelaySeconds() == 15.0; }, 5'000));
    EXPECT_TRUE(log.contains("Error: AudioController: Error starting audio capture."));

    // Back with its microphone: recording resumes at once, not when the 15 seconds are over.
    ASSERT_TRUE(server.restart()) << server.error();
    const auto microphone = server.addMicrophone("builtin_mic", "Built-in Microphone");
    ASSERT_TRUE(microphone);
    ASSERT_TRUE(server.setDefaultSource(microphone->sourceName));
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 1'000));
    EXPECT_TRUE(waitForAudio(0.5)) << "audio flows again";
}

TEST_F(AudioControllerCaptureTest, ASuspendedSourcePausesRecordingAndAFrozenServerIsRestartedFrom) {
    controller->startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 5'000));
    ASSERT_TRUE(waitForAudio(0.5));
    const CaptureRun* capture = controller->audioCapture();

    // Suspended for longer than any silence allowed to a running source: waited for, never restarted.
    ASSERT_TRUE(server.suspendSource(builtIn.sourceName, true));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isRecording(); }, 5'000));
    QTest::qWait(static_cast<int>(AudioCapture::minimumSilenceSeconds * 1000) + 1'500);
    EXPECT_EQ(controller->audioCapture(), capture);
    EXPECT_FALSE(controller->pendingRestartDelaySeconds());
    ASSERT_TRUE(server.suspendSource(builtIn.sourceName, false));
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 5'000));
    EXPECT_EQ(controller->audioCapture(), capture);
    ASSERT_TRUE(waitForAudio(0.5));

    // A frozen server says nothing and sends nothing: the silence ends the capture, and recording comes
    // back once the server does. Meanwhile every attempt waits for it off the main thread.
    StallProbe probe;
    server.freeze();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->audioCapture() != capture; }, 10'000));
    QTest::qWait(1'000); // the first restart, against the frozen server
    EXPECT_LT(probe.longestStallMilliseconds(), 250);
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.starts_with("Error: AudioCapture: No audio arrived for ");
    }));
    server.thaw();
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 20'000));
    EXPECT_TRUE(waitForAudio(0.5));
}
