#include "RecorderService.h"

#include "AudioController.h"
#include "Defaults.h"
#include "RecorderAdaptor.h"

#include <QDBusMessage>
#include <QDir>

#include <cmath>

RecorderService::RecorderService(AudioController& audioController, QObject* parent)
    : QObject(parent)
    , audioController_(audioController)
    , connection_(QDBusConnection::sessionBus()) {
    new RecorderAdaptor(this);
    connect(&audioController_, &AudioController::clipSaved, this, &RecorderService::ClipSaved);
    connect(&audioController_, &AudioController::recordingStatusChanged, this,
            &RecorderService::announceChanges);
    connect(&audioController_, &AudioController::pausedChanged, this, &RecorderService::announceChanges);
    lastRecording_ = recording();
    lastPaused_ = paused();
}

bool RecorderService::registerOn(QDBusConnection connection) {
    connection_ = connection;
    return connection.isConnected() && connection.registerObject(QString::fromLatin1(objectPath), this);
}

bool RecorderService::recording() const {
    return audioController_.isRecording();
}

bool RecorderService::paused() const {
    return audioController_.isPaused();
}

bool RecorderService::restarting() const {
    if (audioController_.isRecording() || audioController_.isPaused()) {
        return false;
    }
    const CaptureRun* capture = audioController_.audioCapture();
    return audioController_.pendingRestartDelaySeconds().has_value() || (capture && capture->isStarting());
}

double RecorderService::heldSeconds() const {
    return audioController_.heldSeconds();
}

int RecorderService::captureMaxMinutes() const {
    return static_cast<int>(audioController_.captureMaxDuration() / 60);
}

QString RecorderService::device() const {
    if (const CaptureRun* capture = audioController_.audioCapture(); capture && capture->captureDevice()) {
        return QString::fromStdString(capture->captureDevice()->localizedName);
    }
    return {};
}

void RecorderService::replyInvalid(const QString& message) {
    sendErrorReply(QString::fromLatin1(errorPrefix) + "InvalidArgument", message);
}

QString RecorderService::SaveClip(double seconds, const QString& path) {
    // Checked before any conversion: NaN, infinities and huge values have no integer to become.
    if (!std::isfinite(seconds) || seconds != std::floor(seconds) ||
        seconds < AudioController::minimumClipSeconds || seconds > AudioController::maximumClipSeconds) {
        replyInvalid(QStringLiteral("The length is a whole number of seconds from %1 to %2.")
                         .arg(AudioController::minimumClipSeconds)
                         .arg(AudioController::maximumClipSeconds));
        return {};
    }
    // The program's working folder means nothing to the caller: paths come whole.
    if (!path.isEmpty() && QDir::isRelativePath(path)) {
        replyInvalid(QStringLiteral("\"%1\" is not an absolute path.").arg(path));
        return {};
    }
    // The reply waits for the clip: an hour takes a while to encode.
    setDelayedReply(true);
    const QDBusMessage request = message();
    QDBusConnection connection = connection_;
    audioController_.saveClip(
        static_cast<int>(seconds), path,
        [request, connection](const AudioController::SaveOutcome& outcome) mutable {
            connection.send(outcome.errorName.isEmpty()
                                ? request.createReply(outcome.savedPath)
                                : request.createErrorReply(
                                      QString::fromLatin1(errorPrefix) + outcome.errorName, outcome.message));
        });
    return {};
}

// Replies once the past is gone from memory and disk.
void RecorderService::Pause() {
    setDelayedReply(true);
    const QDBusMessage request = message();
    QDBusConnection connection = connection_;
    audioController_.pauseRecording(
        [request, connection]() mutable { connection.send(request.createReply()); });
}

// Only a pause is undone: a resume while recording, or while a restart is pending, keeps what is held.
void RecorderService::Resume() {
    audioController_.resumeRecording();
}

// Qt's generated adaptors do not announce property changes: these are worth watching.
void RecorderService::announceChanges() {
    QVariantMap changes;
    if (const bool now = recording(); now != lastRecording_) {
        lastRecording_ = now;
        changes.insert(QStringLiteral("Recording"), now);
    }
    if (const bool now = paused(); now != lastPaused_) {
        lastPaused_ = now;
        changes.insert(QStringLiteral("Paused"), now);
    }
    if (changes.isEmpty()) {
        return;
    }
    QDBusMessage changed = QDBusMessage::createSignal(QString::fromLatin1(objectPath),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("PropertiesChanged"));
    changed << QString::fromLatin1(interfaceName) << changes << QStringList();
    connection_.send(changed);
}
