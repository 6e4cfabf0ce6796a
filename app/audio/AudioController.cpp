#include "AudioController.h"

#include "Defaults.h"
#include "Localization.h"
#include "Log.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

AudioController::AudioController(CaptureSystem& captureSystem, CaptureAuthorization& authorization,
                                 QObject* parent)
    : QObject(parent)
    , captureSystem(captureSystem)
    , authorization(authorization) {
    const qint64 minutes = Defaults::integer(Defaults::captureMaximumMinutesKey);
    captureMaxDuration_ = minutes > 0 ? static_cast<double>(minutes) * 60.0 : defaultCaptureMaxDuration;
    audioBuffer_ = std::make_unique<AudioBuffer>(captureMaxDuration_, captureSampleRate);
}

AudioController::~AudioController() {
    // Stop quietly: nobody listens any more, and a stopping capture reports back to us.
    blockSignals(true);
    autoRestartEnabled = false;
    cancelAutoRestart();
    if (audioCapture_) {
        std::unique_ptr<AudioCapture> capture = std::move(audioCapture_);
        capture.reset();
    }
}

bool AudioController::isRecording() const {
    return audioCapture_ && audioCapture_->isRunning();
}

void AudioController::startRecording() {
    if (audioCapture_) {
        Log::write("Error: AudioController: Error starting recording. (audioCapture != nil)");
        return;
    }
    if (checkMicrophonePermission()) {
        autoRestartEnabled = true;
        cancelAutoRestart();
        startAudioCapture();
    } else {
        shouldRestartCapture = true;
    }
}

void AudioController::stopRecording() {
    autoRestartEnabled = false;
    cancelAutoRestart();
    observeDeviceConnections(false);
    if (audioCapture_) {
        audioCapture_->stop();
        audioCapture_.reset();
    }
}

void AudioController::startAudioCapture() {
    if (audioCapture_) {
        Log::write("Error: AudioController: Error starting recording. (audioCapture == nil)");
        return;
    }
    std::optional<std::string> preferred;
    if (const auto stored = Defaults::preferredAudioDevice()) {
        preferred = stored->toStdString();
    }
    // Stored before it starts, so status changes during the start already find it.
    audioCapture_ =
        std::make_unique<AudioCapture>(*audioBuffer_, preferred, this, captureSampleRate, captureSystem);
    if (!audioCapture_->start()) {
        Log::write("Error: AudioController: Error starting audio capture.");
        if (autoRestartEnabled) {
            // Recording comes back by itself, for example once a device appears.
            audioCapture_.reset();
            scheduleAutoRestart();
        }
        return;
    }
    observeDeviceConnections(true);
}

bool AudioController::checkMicrophonePermission() {
    switch (authorization.status()) {
    case CaptureAuthorization::Status::authorized:
        return true;
    case CaptureAuthorization::Status::notDetermined: {
        QPointer<AudioController> guard(this);
        authorization.requestAccess([guard](bool granted) {
            // The answer may come on any thread; the controller's state belongs to the main thread.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [guard, granted] {
                    if (guard) {
                        guard->accessRequestAnswered(granted);
                    }
                },
                Qt::QueuedConnection);
        });
        return false;
    }
    case CaptureAuthorization::Status::denied:
    case CaptureAuthorization::Status::restricted:
        return false;
    }
    return false;
}

void AudioController::accessRequestAnswered(bool granted) {
    if (!granted) {
        if (alertPresenter) {
            alertPresenter(Localization::string("Error Microphone Permission"),
                           microphonePermissionAlertSeconds);
        }
        return;
    }
    if (shouldRestartCapture) {
        startRecording();
    }
}

void AudioController::cancelAutoRestart() {
    autoRestartLastAttemptTime.reset();
    if (autoRestartTimer) {
        autoRestartTimer->stop();
        autoRestartTimer->deleteLater();
        autoRestartTimer = nullptr;
    }
}

void AudioController::audioCaptureStatusChanged() {
    if (audioCapture_ && !audioCapture_->isRunning()) {
        // Destroying a capture that still has a session stops it, which reports here once more.
        audioCapture_.reset();
        scheduleAutoRestart();
    }
    emit recordingStatusChanged();
}

void AudioController::scheduleAutoRestart() {
    if (!autoRestartEnabled || autoRestartTimer) {
        return;
    }
    double delaySeconds = autoRestartDelaySeconds;
    if (autoRestartLastAttemptTime) {
        const std::chrono::duration<double> sinceAttempt = Clock::now() - *autoRestartLastAttemptTime;
        if (sinceAttempt.count() < autoRestartRecentSeconds) {
            delaySeconds = autoRestartFailedDelaySeconds;
        }
    }
    autoRestartTimer = new QTimer(this);
    autoRestartTimer->setSingleShot(true);
    autoRestartTimer->setTimerType(Qt::PreciseTimer);
    autoRestartTimer->setInterval(static_cast<int>(delaySeconds * 1000));
    connect(autoRestartTimer, &QTimer::timeout, this, &AudioController::attemptAutoRestart);
    autoRestartTimer->start();
}

std::optional<double> AudioController::pendingRestartDelaySeconds() const {
    if (!autoRestartTimer) {
        return std::nullopt;
    }
    return autoRestartTimer->interval() / 1000.0;
}

void AudioController::attemptAutoRestart() {
    autoRestartLastAttemptTime = Clock::now();
    if (autoRestartTimer) {
        autoRestartTimer->deleteLater();
        autoRestartTimer = nullptr;
    }
    startAudioCapture();
}

void AudioController::observeDeviceConnections(bool observe) {
    if (observe) {
        connect(&captureSystem, &CaptureSystem::deviceConnected, this,
                &AudioController::captureDeviceConnected, Qt::UniqueConnection);
    } else {
        disconnect(&captureSystem, &CaptureSystem::deviceConnected, this,
                   &AudioController::captureDeviceConnected);
    }
}

void AudioController::captureDeviceConnected(const CaptureDevice& device) {
    const auto preferred = Defaults::preferredAudioDevice();
    if (!audioCapture_ || !audioCapture_->captureDevice() || !preferred ||
        preferred->toStdString() == audioCapture_->captureDevice()->uniqueID) {
        return;
    }
    if (device.uniqueID != preferred->toStdString()) {
        return;
    }
    stopRecording();
    startRecording();
}

void AudioController::setPreferredDevice(const std::optional<std::string>& uniqueID) {
    Defaults::setPreferredAudioDevice(uniqueID ? std::optional<QString>(QString::fromStdString(*uniqueID))
                                               : std::nullopt);
    if (!uniqueID) {
        return;
    }
    if (audioCapture_ && audioCapture_->captureDevice() &&
        audioCapture_->captureDevice()->uniqueID != *uniqueID) {
        stopRecording();
        startRecording();
    }
}

void AudioController::setCaptureMaxMinutes(int minutes) {
    Defaults::setInteger(Defaults::captureMaximumMinutesKey, minutes);
    const double seconds = minutes * 60.0;
    if (seconds == captureMaxDuration_) {
        return;
    }
    observeDeviceConnections(false);
    if (audioCapture_) {
        audioCapture_->stop();
        audioCapture_.reset();
    }
    // The capture's stop is queued ahead of the resize, so the ring is closed when the resize runs.
    if (audioBuffer_->resizeAndWait(seconds)) {
        captureMaxDuration_ =
            std::min(captureMaxDurationUpperBound, std::max(captureMaxDurationLowerBound, seconds));
    }
    startAudioCapture();
}
