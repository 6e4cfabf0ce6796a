#include "AudioController.h"

#include "AudioCapture.h"
#include "CallCapture.h"
#include "DurationFormatter.h"
#include "Localization.h"
#include "Log.h"
#include "RestartDelay.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

AudioController::AudioController(CaptureSystem& captureSystem, CaptureAuthorization& authorization,
                                 RecordingSettings& settings, QObject* parent)
    : QObject(parent)
    , captureSystem(captureSystem)
    , authorization(authorization)
    , settings_(settings) {
    qRegisterMetaType<ExportedClip>();
    // Whatever the store holds (a hand-edited 100000 too), the ring gets a length the program supports.
    captureMaxDuration_ = settings_.captureMaxMinutes() * 60.0;
    audioBuffer_ = std::make_unique<AudioBuffer>(captureMaxDuration_, captureSampleRate);
    // Recording all day: the buffer's and the encoder's threads wake once a second, not for every block.
    audioBuffer_->setHandOverSeconds(handOverSeconds);
    // A ring shorter than asked (not enough disk space) is told to the user, also one made just now.
    audioBuffer_->setReservationShortHandler([this](double requestedSeconds, double keptSeconds) {
        QMetaObject::invokeMethod(
            this,
            [this, requestedSeconds, keptSeconds] {
                shortReservation = {requestedSeconds, keptSeconds};
                announceShortReservation();
            },
            Qt::QueuedConnection);
    });
    // The audio server or an input is back: recording need not wait for the restart timer (a restarted
    // server accepts connections a moment before its devices appear).
    connect(&captureSystem, &CaptureSystem::serverAvailable, this, &AudioController::restartIfPending);
    connect(&captureSystem, &CaptureSystem::deviceConnected, this, &AudioController::restartIfPending);
    // "What the computer plays" follows the default output, and "System Default" the default input: a new
    // one is a new input.
    connect(&captureSystem, &CaptureSystem::defaultOutputChanged, this, [this] {
        const auto preferred = settings_.preferredAudioDevice();
        if (audioCapture_ && preferred == QString::fromLatin1(CaptureSystem::defaultOutputMonitorID)) {
            restartCapture();
        }
    });
    connect(&captureSystem, &CaptureSystem::defaultInputChanged, this, [this] {
        if (audioCapture_ && !settings_.preferredAudioDevice()) {
            restartCapture();
        }
    });
    // The chosen output is back: recording returns to what it plays (it went to "System audio" meanwhile).
    connect(&captureSystem, &CaptureSystem::outputConnected, this, [this](const CaptureDevice& monitor) {
        if (settings_.preferredAudioDevice() != QString::fromStdString(monitor.uniqueID)) {
            return;
        }
        if (audioCapture_ && audioCapture_->captureDevice() &&
            audioCapture_->captureDevice()->uniqueID != monitor.uniqueID) {
            restartCapture();
        } else {
            restartIfPending();
        }
    });
}

void AudioController::restartCapture() {
    stopRecording();
    startRecording();
}

// What the user's choice means now, as the audio server last said: empty when that cannot be told, or when
// the choice names one device (which it either is or, gone, falls back from).
std::string AudioController::followedInputID() const {
    const auto preferred = settings_.preferredAudioDevice();
    if (!preferred) {
        return captureSystem.knownDefaultInputID();
    }
    if (*preferred == QLatin1String(CaptureSystem::defaultOutputMonitorID)) {
        return captureSystem.knownDefaultOutputMonitorID();
    }
    return {};
}

AudioController::~AudioController() {
    // Stop quietly: nobody listens any more, and a stopping capture reports back to us.
    blockSignals(true);
    autoRestartEnabled = false;
    cancelAutoRestart();
    // Quitting abandons a save under way (its temporary file goes) rather than waiting for its encoding.
    audioBuffer_->abandonExports();
    audioBuffer_->setReservationShortHandler({});
    if (audioCapture_) {
        std::unique_ptr<CaptureRun> capture = std::move(audioCapture_);
        capture.reset();
    }
}

void AudioController::setAlertPresenter(AlertPresenter presenter) {
    alertPresenter = std::move(presenter);
    announceShortReservation();
}

void AudioController::announceShortReservation() {
    if (!shortReservation || !alertPresenter) {
        return;
    }
    const auto [requestedSeconds, keptSeconds] = *shortReservation;
    shortReservation.reset();
    // Every capture start tries the whole length again; the same shortfall is told once.
    if (announcedShortReservation == std::pair(requestedSeconds, keptSeconds)) {
        return;
    }
    announcedShortReservation = {requestedSeconds, keptSeconds};
    alertPresenter(Localization::string("Disk Space Error")
                       .arg(DurationFormatter::string(static_cast<qint64>(requestedSeconds)),
                            DurationFormatter::string(static_cast<qint64>(keptSeconds))),
                   diskSpaceAlertSeconds);
}

bool AudioController::isRecording() const {
    return audioCapture_ && audioCapture_->isRunning();
}

void AudioController::startRecording() {
    if (paused_) {
        return; // only the user's resume ends a pause
    }
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

void AudioController::pauseRecording(std::function<void()> forgotten) {
    const auto answer = [forgotten = std::move(forgotten)] {
        if (forgotten) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), forgotten, Qt::QueuedConnection);
        }
    };
    if (paused_) {
        // Paused, or pausing: answered once the erasing already queued is done.
        audioBuffer_->queue().async(answer);
        return;
    }
    paused_ = true;
    autoRestartEnabled = false;
    cancelAutoRestart();
    observeDeviceConnections(false);
    if (audioCapture_) {
        std::unique_ptr<CaptureRun> capture = std::move(audioCapture_);
        capture->stop();
    }
    // Forgotten means gone from the disk too: the files are erased before the pause is reported done.
    const QPointer<AudioController> controller(this);
    audioBuffer_->reset([controller, answer] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [controller] {
                if (controller && controller->paused_ && !controller->pauseErased_) {
                    controller->pauseErased_ = true;
                    emit controller->pausedChanged();
                    emit controller->recordingStatusChanged();
                }
            },
            Qt::QueuedConnection);
        answer();
    });
}

void AudioController::resumeRecording() {
    // Only a pause is undone: anything else (a restart under way, a suspended input) keeps what is held.
    if (!paused_) {
        return;
    }
    const bool wasPaused = isPaused();
    paused_ = false;
    pauseErased_ = false;
    if (wasPaused) {
        emit pausedChanged();
    }
    // The pause forgot what was held, on disk too, and nothing came since: it starts from empty as it is.
    startRecording();
}

void AudioController::startAudioCapture() {
    if (audioCapture_) {
        Log::write("Error: AudioController: Error starting recording. (audioCapture == nil)");
        return;
    }
    std::optional<std::string> preferred;
    if (const auto stored = settings_.preferredAudioDevice()) {
        preferred = stored->toStdString();
    }
    // Stored before it starts, so status changes during the start already find it.
    if (preferred == CaptureSystem::microphoneAndSystemAudioID) {
        audioCapture_ = std::make_unique<CallCapture>(*audioBuffer_, this, captureSampleRate, captureSystem);
    } else {
        audioCapture_ =
            std::make_unique<AudioCapture>(*audioBuffer_, preferred, this, captureSampleRate, captureSystem);
    }
    CaptureRun* capture = audioCapture_.get();
    // The device queries and the start talk to the audio server: off the main thread, answered here.
    capture->start(captureStartQueue, [this, capture](bool started) {
        if (audioCapture_.get() != capture) {
            return;
        }
        if (!started) {
            Log::write("Error: AudioController: Error starting audio capture.");
            if (autoRestartEnabled) {
                // Recording comes back by itself, for example once a device appears.
                audioCapture_.reset();
                scheduleAutoRestart();
            }
            emit recordingStatusChanged();
            return;
        }
        observeDeviceConnections(true);
        emit recordingStatusChanged();
        // A default that changed while this capture was starting (it may have asked the server just before)
        // is followed now: once, so two defaults changing back and forth cannot keep it restarting.
        const std::string followed = followedInputID();
        if (recheckingChoice_) {
            recheckingChoice_ = false;
        } else if (!followed.empty() && capture->captureDevice() &&
                   capture->captureDevice()->uniqueID != followed) {
            recheckingChoice_ = true;
            restartCapture();
        }
    });
}

void AudioController::restartIfPending() {
    if (autoRestartTimer && !audioCapture_) {
        cancelAutoRestart();
        attemptAutoRestart();
    }
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
    // A suspended source comes back by itself, and a start under way reports when it is done.
    if (audioCapture_ && !audioCapture_->isRunning() && !audioCapture_->isInterrupted() &&
        !audioCapture_->isStarting()) {
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
    const double delaySeconds = RestartDelay::seconds(autoRestartLastAttemptTime, Clock::now());
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
    const auto preferred = settings_.preferredAudioDevice();
    if (!audioCapture_ || !audioCapture_->captureDevice() || !preferred ||
        preferred->toStdString() == audioCapture_->captureDevice()->uniqueID) {
        return;
    }
    if (device.uniqueID != preferred->toStdString()) {
        return;
    }
    restartCapture();
}

void AudioController::setPreferredDevice(const std::optional<std::string>& uniqueID) {
    settings_.setPreferredAudioDevice(uniqueID ? std::optional<QString>(QString::fromStdString(*uniqueID))
                                               : std::nullopt);
    if (!audioCapture_ || !audioCapture_->captureDevice()) {
        return;
    }
    // "System Default" records the server's default input from now on; another choice, that device.
    const std::string wanted = uniqueID ? *uniqueID : captureSystem.knownDefaultInputID();
    if (wanted.empty() || audioCapture_->captureDevice()->uniqueID != wanted) {
        restartCapture();
    }
}

void AudioController::setCaptureMaxMinutes(int minutes) {
    settings_.setCaptureMaxMinutes(minutes);
    // The ring, the length shown and the length reported all take the clamped value.
    const double seconds = RecordingSettings::clampedCaptureMinutes(minutes) * 60.0;
    if (seconds == captureMaxDuration_) {
        return;
    }
    observeDeviceConnections(false);
    if (audioCapture_) {
        audioCapture_->stop();
        audioCapture_.reset();
    }
    // The new length holds from now on; the ring follows on the buffer's queue, after a save under way has
    // finished with the old one, and capture starts again behind it.
    const double previousSeconds = captureMaxDuration_;
    captureMaxDuration_ = seconds;
    const QPointer<AudioController> controller(this);
    audioBuffer_->resizeLater(
        seconds, [controller, previousSeconds, chosenSeconds = captureMaxDuration_](bool resized) {
            if (resized) {
                return;
            }
            // The ring kept its old length: so does the window, unless another length was chosen meanwhile.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [controller, previousSeconds, chosenSeconds] {
                    if (controller && controller->captureMaxDuration_ == chosenSeconds) {
                        controller->captureMaxDuration_ = previousSeconds;
                    }
                },
                Qt::QueuedConnection);
        });
    // Paused stays paused: the new length applies from the resume.
    if (!paused_) {
        startAudioCapture();
    }
}
