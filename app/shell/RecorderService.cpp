#include "RecorderService.h"

#include "AudioController.h"
#include "Defaults.h"
#include "RecorderAdaptor.h"

#include <QDBusMessage>

#include <cmath>

RecorderService::RecorderService(AudioController& audioController, QObject* parent)
    : QObject(parent)
    , audioController_(audioController)
    , connection_(QDBusConnection::sessionBus()) {
    new RecorderAdaptor(this);
    connect(&audioController_, &AudioController::clipSaved, this, &RecorderService::ClipSaved);
    connect(&audioController_, &AudioController::recordingStatusChanged, this,
            &RecorderService::recordingStatusChanged);
    lastRecording_ = recording();
}

bool RecorderService::registerOn(QDBusConnection connection) {
    connection_ = connection;
    return connection.isConnected() && connection.registerObject(QString::fromLatin1(objectPath), this);
}

bool RecorderService::recording() const {
    return audioController_.isRecording();
}

double RecorderService::heldSeconds() const {
    return audioController_.heldSeconds();
}

int RecorderService::captureMaxMinutes() const {
    return static_cast<int>(audioController_.captureMaxDuration() / 60);
}

QString RecorderService::device() const {
    if (const AudioCapture* capture = audioController_.audioCapture(); capture && capture->captureDevice()) {
        return QString::fromStdString(capture->captureDevice()->localizedName);
    }
    return {};
}

QString RecorderService::SaveClip(double seconds, const QString& path) {
    if (!std::isfinite(seconds) || seconds != std::floor(seconds) || seconds > 1e7) {
        sendErrorReply(QString::fromLatin1(errorPrefix) + "InvalidArgument",
                       QStringLiteral("The length is a whole number of seconds."));
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

void RecorderService::Pause() {
    if (!audioController_.isPaused()) {
        audioController_.pauseRecording();
    }
}

// Only a pause is undone: a resume while recording, or while a restart is pending, would empty the buffer.
void RecorderService::Resume() {
    if (audioController_.isPaused()) {
        audioController_.resumeRecording();
    }
}

// Qt's generated adaptors do not announce property changes: this one is worth watching.
void RecorderService::recordingStatusChanged() {
    const bool now = recording();
    if (now == lastRecording_) {
        return;
    }
    lastRecording_ = now;
    QDBusMessage changed = QDBusMessage::createSignal(QString::fromLatin1(objectPath),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("PropertiesChanged"));
    changed << QString::fromLatin1(interfaceName) << QVariantMap{{QStringLiteral("Recording"), now}}
            << QStringList();
    connection_.send(changed);
}
