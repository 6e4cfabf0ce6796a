// The recording controller against a capture system the test drives: permission prompts, failures and
// device changes happen on demand here; the real audio server is exercised in the capture tests.
#include "AudioController.h"
#include "Defaults.h"
#include "DefaultsRecordingSettings.h"
#include "FakeCaptureAuthorization.h"
#include "FakeCaptureSystem.h"
#include "LogCapture.h"

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <thread>

namespace {

const CaptureDevice builtIn{"alsa_input.builtin", "Built-in Microphone"};
const CaptureDevice headset{"bluez_source.headset", "Headset"};
const CaptureDevice webcam{"alsa_input.webcam", "Webcam Microphone"};

void processEvents() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
    }
}

// Capture starts on a worker and reports back through the event loop.
bool recordingSoon(AudioController& audio) {
    return QTest::qWaitFor([&] { return audio.isRecording(); }, 5'000);
}

} // namespace

class AudioControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Defaults::store().clear();
        capture.connectedDevices = {builtIn};
        capture.defaultDeviceID = builtIn.uniqueID;
        authorization.currentStatus = CaptureAuthorization::Status::authorized;
    }

    AudioController& makeController() {
        controller = std::make_unique<AudioController>(capture, authorization, recordingSettings);
        controller->setAlertPresenter([this](const QString& message, double seconds) {
            alerts.push_back({message, seconds});
        });
        return *controller;
    }

    FakeCaptureSystem capture;
    FakeCaptureAuthorization authorization;
    LogCapture log;
    std::vector<std::pair<QString, double>> alerts;
    DefaultsRecordingSettings recordingSettings;
    std::unique_ptr<AudioController> controller;
};

// Whatever the settings file holds (it may have been edited by hand), the ring gets a length the program
// supports, and the length reported is the ring's.
TEST_F(AudioControllerTest, CaptureWindowComesFromTheStoredMinutesWithinBounds) {
    EXPECT_EQ(makeController().captureMaxDuration(), 3'600) << "nothing stored";
    const struct {
        qint64 storedMinutes;
        double windowSeconds;
    } cases[] = {{120, 7'200}, {-5, 3'600}, {0, 3'600}, {5, 900}, {480, 28'800}, {100'000, 28'800}};
    for (const auto& example : cases) {
        Defaults::setInteger(Defaults::captureMaximumMinutesKey, example.storedMinutes);
        EXPECT_EQ(makeController().captureMaxDuration(), example.windowSeconds) << example.storedMinutes;
        controller->audioBuffer().queue().sync([] {}); // the ring is made on the buffer's queue
        EXPECT_LE(controller->audioBuffer().fileBufferMaxSize(), example.windowSeconds * 88'200)
            << example.storedMinutes;
        EXPECT_GT(controller->audioBuffer().fileBufferMaxSize(), 0) << example.storedMinutes;
    }
}

TEST_F(AudioControllerTest, StartRecordingCapturesFromTheDefaultDeviceIntoTheBuffer) {
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    const auto session = capture.lastSession();
    EXPECT_EQ(session->input, builtIn);
    EXPECT_EQ(session->sampleRate, 44'100);

    const std::vector<uint8_t> samples(8'820, 7);
    session->blockHandler(samples.data(), samples.size());
    EXPECT_EQ(audio.audioBuffer().heldBytes(), 8'820);
    audio.audioBuffer().queue().sync([] {});
    EXPECT_EQ(audio.audioBuffer().memoryBufferCurrentSize(), 0) << "handed over once a second's worth waits";
    audio.stopRecording();
    audio.audioBuffer().queue().sync([] {});
    EXPECT_EQ(audio.audioBuffer().memoryBufferCurrentSize(), 8'820) << "or when capture stops";
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));

    audio.startRecording();
    EXPECT_TRUE(log.contains("Error: AudioController: Error starting recording. (audioCapture != nil)"));
    EXPECT_EQ(capture.sessions.size(), 2u);
}

TEST_F(AudioControllerTest, StopRecordingStopsCaptureAndKeepsTheBuffer) {
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    const std::vector<uint8_t> samples(4'410, 1);
    capture.lastSession()->blockHandler(samples.data(), samples.size());
    QSignalSpy status(&audio, &AudioController::recordingStatusChanged);
    audio.stopRecording();
    EXPECT_FALSE(audio.isRecording());
    EXPECT_EQ(audio.audioCapture(), nullptr);
    EXPECT_TRUE(capture.lastSession()->stopped);
    EXPECT_TRUE(capture.lastSession()->destroyed);
    EXPECT_GE(status.count(), 1);
    audio.audioBuffer().queue().sync([] {});
    EXPECT_EQ(audio.audioBuffer().memoryBufferCurrentSize(), 4'410);
    EXPECT_FALSE(audio.pendingRestartDelaySeconds());
}

TEST_F(AudioControllerTest, FirstUseAsksForAccessAndStartsWhenGranted) {
    authorization.currentStatus = CaptureAuthorization::Status::notDetermined;
    auto& audio = makeController();
    audio.startRecording();
    EXPECT_EQ(authorization.requests, 1);
    EXPECT_EQ(audio.audioCapture(), nullptr);
    authorization.answer(true);
    EXPECT_FALSE(audio.isRecording()) << "the answer is handled on the main thread, not the answering one";
    EXPECT_TRUE(recordingSoon(audio));
    EXPECT_TRUE(alerts.empty());
}

TEST_F(AudioControllerTest, RefusedAccessShowsTheAlertOnceAndRecordsNothing) {
    authorization.currentStatus = CaptureAuthorization::Status::notDetermined;
    auto& audio = makeController();
    audio.startRecording();
    authorization.answer(false);
    processEvents();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].first, "Tempolis cannot record: access to the microphone was refused.");
    EXPECT_EQ(alerts[0].second, 10.0);
    EXPECT_FALSE(audio.isRecording());
    EXPECT_TRUE(capture.sessions.empty());
}

TEST_F(AudioControllerTest, AccessDeniedEarlierAsksNothing) {
    for (auto status : {CaptureAuthorization::Status::denied, CaptureAuthorization::Status::restricted}) {
        authorization.currentStatus = status;
        auto& audio = makeController();
        audio.startRecording();
        processEvents();
        EXPECT_EQ(authorization.requests, 0);
        EXPECT_TRUE(alerts.empty());
        EXPECT_TRUE(capture.sessions.empty());
    }
}

TEST_F(AudioControllerTest, AFailedSessionRestartsAfterHalfASecondThenAfterFifteenWhenItFailsAgainAtOnce) {
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    QSignalSpy status(&audio, &AudioController::recordingStatusChanged);
    capture.sendEvent(CaptureSession::Event::runtimeError);
    processEvents();
    EXPECT_EQ(audio.audioCapture(), nullptr);
    EXPECT_TRUE(capture.sessions[0]->destroyed);
    EXPECT_GE(status.count(), 1);
    EXPECT_EQ(audio.pendingRestartDelaySeconds(), 0.5);

    ASSERT_TRUE(QTest::qWaitFor([&] { return capture.sessions.size() == 2; }, 5'000));
    EXPECT_TRUE(recordingSoon(audio));
    EXPECT_FALSE(audio.pendingRestartDelaySeconds());

    // Failing again within a second of that attempt waits 15 seconds.
    capture.sendEvent(CaptureSession::Event::runtimeError);
    processEvents();
    EXPECT_EQ(audio.pendingRestartDelaySeconds(), 15.0);
}

TEST_F(AudioControllerTest, ASessionThatRanForAWhileIsRestartedAfterHalfASecondAgain) {
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    capture.sendEvent(CaptureSession::Event::runtimeError);
    processEvents();
    ASSERT_TRUE(QTest::qWaitFor([&] { return capture.sessions.size() == 2; }, 5'000));
    ASSERT_TRUE(recordingSoon(audio));
    QTest::qWait(1'100);
    capture.sendEvent(CaptureSession::Event::runtimeError);
    processEvents();
    EXPECT_EQ(audio.pendingRestartDelaySeconds(), 0.5);
}

TEST_F(AudioControllerTest, AnInterruptionKeepsTheCaptureUntilTheSourceResumes) {
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    QSignalSpy status(&audio, &AudioController::recordingStatusChanged);
    capture.sendEvent(CaptureSession::Event::interrupted);
    processEvents();
    EXPECT_NE(audio.audioCapture(), nullptr);
    EXPECT_FALSE(audio.isRecording());
    EXPECT_FALSE(audio.pendingRestartDelaySeconds()) << "no drop-and-restart while the source is suspended";
    capture.sendEvent(CaptureSession::Event::interruptionEnded);
    processEvents();
    EXPECT_TRUE(audio.isRecording());
    EXPECT_EQ(status.count(), 2);
    EXPECT_EQ(capture.sessions.size(), 1u);
}

TEST_F(AudioControllerTest, AServerThatComesBackIsUsedAtOnceNotAfterTheFifteenSecondWait) {
    capture.failStart = true;
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return audio.pendingRestartDelaySeconds() == 15.0; }, 5'000));
    capture.failStart = false;
    capture.bringServerBack();
    EXPECT_FALSE(audio.pendingRestartDelaySeconds());
    EXPECT_TRUE(QTest::qWaitFor([&] { return audio.isRecording(); }, 1'000));

    capture.bringServerBack(); // already recording: nothing to do
    EXPECT_EQ(capture.sessions.size(), 3u);
}

TEST_F(AudioControllerTest, AfterStopRecordingFailuresScheduleNothing) {
    auto& audio = makeController();
    audio.startRecording();
    auto session = capture.lastSession();
    audio.stopRecording();
    // A late event of the stopped session changes nothing.
    if (session->eventHandler) {
        session->eventHandler(CaptureSession::Event::runtimeError, "late");
    }
    processEvents();
    EXPECT_FALSE(audio.pendingRestartDelaySeconds());
    QTest::qWait(700);
    EXPECT_EQ(capture.sessions.size(), 1u);
}

TEST_F(AudioControllerTest, AFailedStartIsRetriedUntilADeviceAppears) {
    capture.connectedDevices.clear();
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return audio.pendingRestartDelaySeconds().has_value(); }, 5'000));
    EXPECT_TRUE(log.contains("Error: AudioCapture: Error getting default audio device."));
    EXPECT_TRUE(log.contains("Error: AudioController: Error starting audio capture."));
    EXPECT_EQ(audio.audioCapture(), nullptr) << "the failed capture is dropped";
    EXPECT_EQ(audio.pendingRestartDelaySeconds(), 0.5);

    // The retry half a second later fails at once too: the next one waits 15 seconds.
    ASSERT_TRUE(QTest::qWaitFor([&] { return audio.pendingRestartDelaySeconds() == 15.0; }, 5'000));
    capture.plugIn(builtIn);
    audio.stopRecording();
    audio.startRecording();
    EXPECT_TRUE(recordingSoon(audio));
}

TEST_F(AudioControllerTest, ASessionThatCannotStartIsAFailedStart) {
    capture.failStart = true;
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(QTest::qWaitFor([&] { return audio.pendingRestartDelaySeconds().has_value(); }, 5'000));
    EXPECT_TRUE(log.contains("Error: AudioCapture: Error starting capture session. (Connection refused)"));
    EXPECT_EQ(audio.audioCapture(), nullptr);
    EXPECT_TRUE(capture.lastSession()->destroyed);
    EXPECT_EQ(audio.pendingRestartDelaySeconds(), 0.5);
    capture.failStart = false;
    ASSERT_TRUE(QTest::qWaitFor([&] { return audio.isRecording(); }, 5'000));
}

TEST_F(AudioControllerTest, WithoutAutomaticRestartAFailedCaptureStaysUntilStopRecording) {
    auto& audio = makeController();
    capture.failSetInput = true;
    audio.setCaptureMaxMinutes(30); // starts capture without enabling automatic restart
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return log.contains("Error: AudioController: Error starting audio capture."); }, 5'000));
    EXPECT_TRUE(log.contains("Error: AudioCapture: Error creating audio device input."));
    ASSERT_NE(audio.audioCapture(), nullptr);
    EXPECT_FALSE(audio.isRecording());
    audio.startRecording();
    EXPECT_TRUE(log.contains("Error: AudioController: Error starting recording. (audioCapture != nil)"));
    capture.failSetInput = false;
    audio.stopRecording();
    audio.startRecording();
    EXPECT_TRUE(recordingSoon(audio));
}

TEST_F(AudioControllerTest, CaptureWindowChangesResizeTheRingAndClampTheWindow) {
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    QSignalSpy status(&audio, &AudioController::recordingStatusChanged);

    audio.setCaptureMaxMinutes(60);
    EXPECT_EQ(capture.sessions.size(), 1u) << "the same window changes nothing";
    EXPECT_EQ(Defaults::integer(Defaults::captureMaximumMinutesKey), 60);

    audio.setCaptureMaxMinutes(10);
    EXPECT_EQ(audio.captureMaxDuration(), 900);
    audio.audioBuffer().queue().sync([] {}); // the ring follows on the buffer's queue
    EXPECT_EQ(audio.audioBuffer().fileBufferMaxSize(), 900 * 88'200) << "the ring takes the clamped length";
    EXPECT_EQ(std::filesystem::file_size(audio.audioBuffer().fileBufferURL()), 900u * 88'200u);
    EXPECT_EQ(Defaults::integer(Defaults::captureMaximumMinutesKey), 15);
    EXPECT_TRUE(recordingSoon(audio));
    EXPECT_EQ(capture.sessions.size(), 2u);

    // The stop reported a change while automatic restart stayed on: its timer finds the new capture.
    log.clear();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return log.count("Error: AudioController: Error starting recording. (audioCapture == nil)") == 1;
        },
        5'000));
    EXPECT_TRUE(audio.isRecording());
    EXPECT_EQ(capture.sessions.size(), 2u);

    audio.setCaptureMaxMinutes(600);
    EXPECT_EQ(audio.captureMaxDuration(), 28'800);
    audio.audioBuffer().queue().sync([] {});
    EXPECT_EQ(audio.audioBuffer().fileBufferMaxSize(), 28'800LL * 88'200) << "never more than 8 hours";
    EXPECT_EQ(Defaults::integer(Defaults::captureMaximumMinutesKey), 480);
}

TEST_F(AudioControllerTest, ARefusedResizeKeepsTheOldWindowAndRecordsOnIt) {
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    audio.audioBuffer().queue().sync([] {});                      // the ring is open
    std::filesystem::remove(audio.audioBuffer().fileBufferURL()); // then it vanished: nothing to resize
    audio.setCaptureMaxMinutes(30);
    EXPECT_EQ(audio.captureMaxDuration(), 1'800) << "told at once, before the ring follows";
    EXPECT_TRUE(QTest::qWaitFor([&] { return audio.captureMaxDuration() == 3'600; }, 5'000));
    EXPECT_TRUE(log.contains("Error: AudioBuffer: Error resizing capture buffer file."));
    EXPECT_TRUE(recordingSoon(audio));
}

TEST_F(AudioControllerTest, ChoosingADeviceSwitchesOnlyWhenItDiffers) {
    capture.connectedDevices = {builtIn, headset};
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    audio.setPreferredDevice(builtIn.uniqueID);
    EXPECT_EQ(capture.sessions.size(), 1u) << "the device in use changes nothing";
    EXPECT_EQ(Defaults::preferredAudioDevice(), QString::fromStdString(builtIn.uniqueID));

    audio.setPreferredDevice(headset.uniqueID);
    EXPECT_EQ(capture.sessions.size(), 2u);
    ASSERT_TRUE(recordingSoon(audio));
    EXPECT_EQ(capture.lastSession()->input, headset);

    audio.setPreferredDevice(std::nullopt);
    EXPECT_FALSE(Defaults::preferredAudioDevice());
    EXPECT_EQ(capture.sessions.size(), 3u) << "the system default applies at once";
    ASSERT_TRUE(recordingSoon(audio));
    EXPECT_EQ(capture.lastSession()->input, builtIn);
    audio.setPreferredDevice(std::nullopt);
    EXPECT_EQ(capture.sessions.size(), 3u) << "already the default input";
}

// Resume undoes the user's pause and nothing else: while capture restarts by itself it neither starts
// another capture nor empties what is held; a pause then stops the restarts, and is one only once the past
// is erased.
TEST_F(AudioControllerTest, ResumeOnlyUndoesAPauseAndAPauseStopsTheRestarts) {
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    const std::vector<uint8_t> samples(8'820, 5);
    capture.lastSession()->blockHandler(samples.data(), samples.size());
    capture.sendEvent(CaptureSession::Event::runtimeError);
    processEvents();
    ASSERT_EQ(audio.pendingRestartDelaySeconds(), 0.5);

    audio.resumeRecording();
    audio.audioBuffer().queue().sync([] {});
    EXPECT_EQ(audio.audioBuffer().memoryBufferCurrentSize(), 8'820) << "nothing forgotten";
    EXPECT_EQ(audio.pendingRestartDelaySeconds(), 0.5);
    EXPECT_EQ(audio.audioCapture(), nullptr);

    QSignalSpy paused(&audio, &AudioController::pausedChanged);
    bool forgotten = false;
    audio.pauseRecording([&] { forgotten = true; });
    EXPECT_FALSE(audio.pendingRestartDelaySeconds()) << "no restart while paused";
    EXPECT_FALSE(audio.isPaused()) << "not until the past is erased";
    ASSERT_TRUE(QTest::qWaitFor([&] { return forgotten; }, 5'000));
    EXPECT_TRUE(audio.isPaused());
    EXPECT_EQ(paused.count(), 1);
    QTest::qWait(600);
    EXPECT_EQ(capture.sessions.size(), 1u);

    audio.resumeRecording();
    EXPECT_FALSE(audio.isPaused());
    EXPECT_EQ(paused.count(), 2);
    EXPECT_TRUE(recordingSoon(audio));
}

TEST_F(AudioControllerTest, ThePreferredDeviceIsUsedAgainWhenItIsPluggedBackIn) {
    Defaults::setPreferredAudioDevice(QString::fromStdString(headset.uniqueID));
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    EXPECT_EQ(capture.lastSession()->input, builtIn) << "missing preferred device: the default is used";

    capture.plugIn(webcam);
    EXPECT_EQ(capture.sessions.size(), 1u) << "another device changes nothing";

    capture.plugIn(headset);
    EXPECT_EQ(capture.sessions.size(), 2u);
    ASSERT_TRUE(recordingSoon(audio));
    EXPECT_EQ(capture.lastSession()->input, headset);

    capture.plugIn(headset);
    EXPECT_EQ(capture.sessions.size(), 2u) << "already on the preferred device";
}

TEST_F(AudioControllerTest, DeviceEventsAreIgnoredAfterStopRecording) {
    Defaults::setPreferredAudioDevice(QString::fromStdString(headset.uniqueID));
    auto& audio = makeController();
    audio.startRecording();
    audio.stopRecording();
    capture.plugIn(headset);
    EXPECT_EQ(capture.sessions.size(), 1u);
    EXPECT_FALSE(audio.isRecording());
}

TEST(Defaults, FreshStoreReadsAsZeroValues) {
    Defaults::store().clear();
    EXPECT_EQ(Defaults::integer(Defaults::launchCountKey), 0);
    EXPECT_EQ(Defaults::integer(Defaults::recordingsSavedKey), 0);
    EXPECT_FALSE(Defaults::boolean(Defaults::autoLaunchKey));
    EXPECT_EQ(Defaults::integer(Defaults::captureMaximumMinutesKey), 0);
    EXPECT_FALSE(Defaults::preferredAudioDevice());
    EXPECT_FALSE(Defaults::marketingRequestDate());
}

TEST(Defaults, MarketingDateCountsFrom2001AndZeroIsNoDate) {
    Defaults::store().clear();
    Defaults::setDoubleValue(Defaults::marketingRequestDateKey, 0.0);
    EXPECT_FALSE(Defaults::marketingRequestDate());

    const QDateTime date(QDate(2024, 3, 5), QTime(12, 0), Qt::UTC);
    Defaults::setMarketingRequestDate(date);
    EXPECT_DOUBLE_EQ(Defaults::doubleValue(Defaults::marketingRequestDateKey), 731'332'800.0);
    EXPECT_EQ(Defaults::marketingRequestDate(), date);
    Defaults::setMarketingRequestDate(std::nullopt);
    EXPECT_FALSE(Defaults::store().contains(Defaults::marketingRequestDateKey));
}

TEST(Defaults, NoPreferredDeviceRemovesTheKey) {
    Defaults::store().clear();
    Defaults::setPreferredAudioDevice(QString("alsa_input.usb"));
    EXPECT_EQ(Defaults::preferredAudioDevice(), QString("alsa_input.usb"));
    Defaults::setPreferredAudioDevice(std::nullopt);
    EXPECT_FALSE(Defaults::store().contains(Defaults::preferredAudioDeviceKey));
}

TEST_F(AudioControllerTest, PausedStaysPausedUntilResumeWhateverElseHappens) {
    auto& audio = makeController();
    audio.startRecording();
    ASSERT_TRUE(recordingSoon(audio));
    const std::vector<uint8_t> samples(8'820, 5);
    capture.lastSession()->blockHandler(samples.data(), samples.size());
    audio.pauseRecording();
    EXPECT_EQ(audio.audioCapture(), nullptr);
    audio.audioBuffer().queue().sync([] {});
    EXPECT_EQ(audio.audioBuffer().memoryBufferCurrentSize(), 0) << "a pause empties the buffer";

    audio.setCaptureMaxMinutes(30);             // a length change
    audio.setPreferredDevice(headset.uniqueID); // a device change
    audio.startRecording();                     // a wake
    capture.bringServerBack();                  // the audio server's return
    capture.plugIn(headset);                    // a new input
    processEvents();
    EXPECT_EQ(audio.audioCapture(), nullptr);
    EXPECT_EQ(capture.sessions.size(), 1u);

    audio.resumeRecording();
    EXPECT_TRUE(recordingSoon(audio));
    EXPECT_EQ(capture.lastSession()->input, headset) << "the device chosen while paused";
    audio.audioBuffer().queue().sync([] {});
    EXPECT_EQ(audio.audioBuffer().fileBufferMaxSize(), 1'800LL * 88'200) << "the length chosen while paused";
}
