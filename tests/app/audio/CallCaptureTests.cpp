// Both sides of a call through the recording controller, against a capture system the test drives: the two
// sessions, one track in the buffer, a side that fails or follows its default alone, saves that take what is
// held back. The real audio server is exercised by the program's own test (tests/app/shell/call_test.py).
#include "AudioController.h"
#include "CallCapture.h"
#include "Defaults.h"
#include "DefaultsRecordingSettings.h"
#include "FakeCaptureAuthorization.h"
#include "FakeCaptureSystem.h"
#include "LogCapture.h"

#include <QTest>
#include <gtest/gtest.h>

#include <cmath>

namespace {

using Clock = std::chrono::steady_clock;
using Input = CallCapture::Input;

const CaptureDevice builtIn{"alsa_input.builtin", "Built-in Microphone"};
const CaptureDevice usb{"alsa_input.usb", "USB Microphone"};
const CaptureDevice speakers{"alsa_output.speakers.monitor", "Monitor of Speakers"};
const CaptureDevice headphones{"alsa_output.headphones.monitor", "Monitor of Headphones"};
constexpr int rate = 44'100;

Clock::duration secondsOf(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Delivers `seconds` of a tone in blocks of a tenth of a second, the first captured at `from`, as a capture
// queue would.
void deliver(const std::shared_ptr<FakeCaptureSession::State>& session, Clock::time_point from,
             double seconds) {
    std::vector<int16_t> block(rate / 10);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<int16_t>(8'000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / rate));
    }
    for (int n = 0; n < std::lround(seconds * 10); ++n) {
        session->timedBlockHandler(block.data(), block.size() * sizeof(int16_t), from + secondsOf(n / 10.0));
    }
}

// Once the buffer's queue has taken in what was handed to it (a block being taken in is counted nowhere for
// that moment).
double heldAudioSeconds(AudioController& audio) {
    audio.audioBuffer().queue().sync([] {});
    return static_cast<double>(audio.audioBuffer().heldBytes()) / 2 / rate;
}

} // namespace

class CallCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        Defaults::store().clear();
        capture.connectedDevices = {builtIn, usb};
        capture.defaultDeviceID = builtIn.uniqueID;
        capture.connectedMonitors = {speakers, headphones};
        capture.defaultMonitorID = speakers.uniqueID;
        authorization.currentStatus = CaptureAuthorization::Status::authorized;
        Defaults::setPreferredAudioDevice(QString::fromLatin1(CaptureSystem::microphoneAndSystemAudioID));
        controller = std::make_unique<AudioController>(capture, authorization, recordingSettings);
        controller->startRecording();
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 5'000));
        ASSERT_EQ(capture.sessions.size(), 2u);
        for (const auto& session : capture.sessions) {
            (session->input == builtIn ? microphone : systemAudio) = session;
        }
        ASSERT_TRUE(microphone && systemAudio);
    }

    CallCapture& call() { return dynamic_cast<CallCapture&>(*controller->audioCapture()); }
    // The newest session, made by a restart of one side, once that side records from it.
    std::shared_ptr<FakeCaptureSession::State> restarted(Input input, std::size_t sessionCount) {
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return capture.sessions.size() == sessionCount && call().side(input) &&
                       call().side(input)->isRunning();
            },
            5'000));
        return capture.lastSession();
    }

    FakeCaptureSystem capture;
    FakeCaptureAuthorization authorization;
    LogCapture log;
    DefaultsRecordingSettings recordingSettings;
    std::unique_ptr<AudioController> controller;
    std::shared_ptr<FakeCaptureSession::State> microphone;
    std::shared_ptr<FakeCaptureSession::State> systemAudio;
};

TEST_F(CallCaptureTest, TheDefaultMicrophoneAndTheDefaultOutputMakeOneTrack) {
    EXPECT_EQ(systemAudio->input, speakers);
    EXPECT_EQ(*controller->audioCapture()->captureDevice(),
              (CaptureDevice{"@MICROPHONE_AND_SYSTEM_AUDIO@", "Microphone and system audio"}));
    for (const auto& session : {microphone, systemAudio}) {
        EXPECT_TRUE(session->timedBlockHandler) << "the mixer needs the time of every block";
        EXPECT_FALSE(session->blockHandler);
        EXPECT_EQ(session->sampleRate, rate);
    }
    // A second of each side, captured at the same moments: one second of track, not two.
    const Clock::time_point start = Clock::now() - secondsOf(3);
    deliver(microphone, start, 1);
    deliver(systemAudio, start, 1);
    EXPECT_GT(heldAudioSeconds(*controller), 0.95);
    EXPECT_LE(heldAudioSeconds(*controller), 1.0);

    // A stop hands the rest of the track to the buffer: the whole second.
    controller->stopRecording();
    EXPECT_EQ(heldAudioSeconds(*controller), 1.0);
    EXPECT_TRUE(microphone->stopped && systemAudio->stopped);
}

TEST_F(CallCaptureTest, ASideThatFailsRestartsAloneWhileTheOtherRecordsOn) {
    const Clock::time_point start = Clock::now() - secondsOf(3);
    deliver(microphone, start, 1);
    deliver(systemAudio, start, 1);
    capture.sendEvent(systemAudio, CaptureSession::Event::runtimeError);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return call().pendingRestartDelaySeconds(Input::systemAudio).has_value(); }, 1'000));
    EXPECT_EQ(call().pendingRestartDelaySeconds(Input::systemAudio), 0.5);
    EXPECT_TRUE(controller->isRecording());
    EXPECT_FALSE(microphone->stopped);

    // The microphone is not held back waiting for the missing side.
    deliver(microphone, start + secondsOf(1), 1);
    EXPECT_GT(heldAudioSeconds(*controller), 1.95);

    // The output's sound again after half a second; failing again at once, after 15 seconds.
    const auto again = restarted(Input::systemAudio, 3);
    EXPECT_EQ(again->input, speakers);
    EXPECT_FALSE(call().pendingRestartDelaySeconds(Input::systemAudio));
    capture.sendEvent(again, CaptureSession::Event::runtimeError);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return call().pendingRestartDelaySeconds(Input::systemAudio).has_value(); }, 1'000));
    EXPECT_EQ(call().pendingRestartDelaySeconds(Input::systemAudio), 15.0);
    EXPECT_TRUE(controller->isRecording());

    // An output that appears is tried at once.
    emit capture.outputConnected(headphones);
    EXPECT_TRUE(restarted(Input::systemAudio, 4)->timedBlockHandler);

    // Both sides down: the controller restarts the whole run, as for any failed capture.
    capture.sendEvent(capture.lastSession(), CaptureSession::Event::runtimeError);
    capture.sendEvent(microphone, CaptureSession::Event::runtimeError);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->audioCapture() == nullptr; }, 1'000));
    EXPECT_EQ(controller->pendingRestartDelaySeconds(), 0.5);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return capture.sessions.size() == 6 && controller->isRecording(); }, 5'000));
}

TEST_F(CallCaptureTest, EachSideFollowsItsOwnDefault) {
    capture.setDefaultOutputMonitor(headphones.uniqueID);
    EXPECT_EQ(restarted(Input::systemAudio, 3)->input, headphones);
    EXPECT_FALSE(microphone->stopped);
    EXPECT_TRUE(systemAudio->stopped);

    capture.setDefaultInput(usb.uniqueID);
    EXPECT_EQ(restarted(Input::microphone, 4)->input, usb);
    EXPECT_TRUE(microphone->stopped);
    EXPECT_FALSE(capture.sessions[2]->stopped) << "the output's side is left alone";
    EXPECT_TRUE(controller->isRecording());
}

TEST_F(CallCaptureTest, ASideThatCannotStartLeavesTheOtherRecordingAndIsRetried) {
    controller->stopRecording();
    capture.defaultMonitorID.reset(); // no output at all
    controller->startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->isRecording(); }, 5'000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return call().pendingRestartDelaySeconds(Input::systemAudio).has_value(); }, 1'000));
    EXPECT_EQ(call().side(Input::microphone)->captureDevice(), builtIn);
    EXPECT_EQ(call().pendingRestartDelaySeconds(Input::systemAudio), 0.5);
    EXPECT_TRUE(log.contains("Error: AudioCapture: Error getting default audio device."));
    ASSERT_EQ(capture.sessions.size(), 4u);
    EXPECT_EQ(capture.sessions[3]->input, CaptureDevice{}) << "never a microphone in the output's place";
}

// A save asked at T holds the track up to T - holdBack, also while a side is silent and would be waited for.
TEST_F(CallCaptureTest, ASaveTakesWhatIsHeldBackUpToTheHoldBackBeforeIt) {
    const Clock::time_point start = Clock::now() - secondsOf(7);
    deliver(microphone, start, 6);
    EXPECT_NEAR(heldAudioSeconds(*controller), 5.7, 0.01) << "the silent side is waited for up to 0.3 s";

    const Clock::time_point asked = Clock::now();
    std::optional<AudioController::SaveOutcome> outcome;
    controller->saveClip(5, QString(), [&](const AudioController::SaveOutcome& saved) { outcome = saved; });
    const Clock::time_point returned = Clock::now();
    const auto secondsSinceStart = [&](Clock::time_point time) {
        return std::chrono::duration<double>(time - CallMixer::holdBack - start).count();
    };
    EXPECT_GE(heldAudioSeconds(*controller), secondsSinceStart(asked) - 0.001);
    EXPECT_LE(heldAudioSeconds(*controller), secondsSinceStart(returned) + 0.001);
    EXPECT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, 5'000));
}
