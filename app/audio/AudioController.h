#pragma once

#include "AudioBuffer.h"
#include "AudioCaptureDelegate.h"
#include "CaptureAuthorization.h"
#include "CaptureRun.h"
#include "CaptureSystem.h"
#include "ExportedClip.h"
#include "RecordingSettings.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

// The one object through which the application drives recording: owns the rolling buffer, makes a fresh
// capture for every start (of both sides of a call when the preferred device says so), asks for microphone
// access, restarts capture by itself after failures, follows the preferred device, changes the capture
// window, and saves clips. Lives on the main thread.
//
// Every save goes one way: export (on the buffer's queue, into a private temporary file; the clip must hold
// at least minimumClipSeconds of what the buffer really has then), name (from the time the save was asked
// for, less the clip's length), place (never over an existing file, unless the user chose to replace it in
// the save dialog), report (signals, and the caller's completion).
class AudioController : public QObject, public AudioCaptureDelegate {
    Q_OBJECT
public:
    using AlertPresenter = std::function<void(const QString& message, double durationSeconds)>;
    // The outcome of saveClip: the clip's path, or an error name ("NothingToSave", "InvalidArgument",
    // "FileExists", "ExportFailed") and a sentence.
    struct SaveOutcome {
        QString savedPath;
        QString errorName;
        QString message;
        double seconds = 0;
    };
    using SaveCompletion = std::function<void(const SaveOutcome& outcome)>;
    static constexpr int minimumClipSeconds = 5;
    // The longest clip a caller may ask for: a day.
    static constexpr int maximumClipSeconds = 86'400;
    using Clock = std::chrono::steady_clock;

    static constexpr double captureSampleRate = 44'100;
    static constexpr double defaultCaptureMaxDuration = RecordingSettings::defaultCaptureMinutes * 60.0;
    static constexpr double captureMaxDurationLowerBound = RecordingSettings::minimumCaptureMinutes * 60.0;
    static constexpr double captureMaxDurationUpperBound = RecordingSettings::maximumCaptureMinutes * 60.0;
    static constexpr double microphonePermissionAlertSeconds = 10.0;
    static constexpr double diskSpaceAlertSeconds = 10.0;
    static constexpr double handOverSeconds = 2.0;
    static constexpr const char* captureStartQueueLabel = "com.Orvane.Tempolis.CaptureStart";

    // `settings` outlives the controller.
    AudioController(CaptureSystem& captureSystem, CaptureAuthorization& authorization,
                    RecordingSettings& settings, QObject* parent = nullptr);
    ~AudioController() override;

    void startRecording();
    void stopRecording();
    // The user's pause: stops capture and empties the buffer, on disk too. While paused nothing starts
    // capture again (a length or device change, a wake, the audio server's return) until resumeRecording().
    // `forgotten` runs on the main thread once nothing of the past is left in the ring files.
    void pauseRecording(std::function<void()> forgotten = {});
    // Undoes a pause (and nothing else): empties the buffer and starts capture again when microphone access
    // allows it.
    void resumeRecording();
    // Paused by the user, with the past already erased (a pause under way is not paused yet).
    bool isPaused() const { return paused_ && pauseErased_; }
    // A capture exists, it has a session, and the session runs.
    bool isRecording() const;
    void setPreferredDevice(const std::optional<std::string>& uniqueID);
    // Clamped to what the settings allow (RecordingSettings).
    void setCaptureMaxMinutes(int minutes);
    double captureMaxDuration() const { return captureMaxDuration_; }
    RecordingSettings& settings() { return settings_; }
    AudioBuffer& audioBuffer() { return *audioBuffer_; }
    // The capture run under way: one input (AudioCapture), or both sides of a call (CallCapture).
    CaptureRun* audioCapture() const { return audioCapture_.get(); }

    bool checkMicrophonePermission();
    void cancelAutoRestart();
    void startAudioCapture();
    void audioCaptureStatusChanged() override;

    // Saves the last `seconds` of audio where the user says: exports it, then hands it out with clipExported
    // for a save dialog, which answers with placeExportedClip or discardExportedClip. `requestTime` is when
    // the user asked (the clip's name and start time count back from it).
    void exportRecording(int seconds, const QDateTime& requestTime = QDateTime::currentDateTime());
    // Puts an exported clip at `chosenPath`, replacing what is there (the user confirmed that in the save
    // dialog), then reports it with exportFinished.
    void placeExportedClip(const ExportedClip& clip, const QString& chosenPath);
    void discardExportedClip(const ExportedClip& clip);
    // Saves the last `seconds` without asking: into `destination`, a folder (the clip gets the name the save
    // dialog would propose, never replacing a file: " (2)" and so on) or a file path that does not exist
    // yet (a file that appears there meanwhile is never replaced: FileExists); an empty destination is the
    // user's music folder, else home. More than is held saves what is held. Processing and the saved popup
    // show as for a save from the status item. `completion` runs on the main thread once the clip is in
    // place, or with the error.
    void saveClip(int seconds, const QString& destination, SaveCompletion completion);
    // Whole seconds of audio held now.
    double heldSeconds() const;
    // The proposed name of a clip that starts at `time`, in the user's locale.
    static QString fileName(const QDateTime& time, const QString& extension = {});

    // Where alerts go (the application shell shows them under the status item). An alert due before there
    // was anywhere to show it (the disk space found at start-up) goes there now.
    void setAlertPresenter(AlertPresenter presenter);

    // The delay of the pending automatic restart, if one is pending.
    std::optional<double> pendingRestartDelaySeconds() const;

signals:
    // "AudioControllerRecordingStatusChanged": the recording status may have changed; read isRecording().
    void recordingStatusChanged();
    // isPaused() changed.
    void pausedChanged();
    // "AudioControllerProcessingCompleteNotification": an export ended, successfully or not (buffer's queue).
    void processingComplete();
    // "AudioControllerExportErrorNotification": the export or the save failed.
    void exportError();
    // "AudioControllerExportFinishedNotification": a clip this many seconds long, starting at `clipStart`,
    // is in place.
    void exportFinished(double seconds, const QDateTime& clipStart);
    // A save began exporting: the status item shows processing until processingComplete.
    void processingStarted();
    // A clip is in place (every save, the dialog's too).
    void clipSaved(const QString& path, double seconds);
    // exportRecording's clip is ready for the user to place (a save dialog answers it).
    void clipExported(const ExportedClip& clip);

private slots:
    void captureDeviceConnected(const CaptureDevice& device);
    void attemptAutoRestart();
    void restartIfPending();

private:
    void scheduleAutoRestart();
    void restartCapture();
    std::string followedInputID() const;
    void announceShortReservation();
    void observeDeviceConnections(bool observe);
    void accessRequestAnswered(bool granted);
    // The export step: `exported` runs on the main thread with the clip, or with none and the failure.
    using ExportHandler =
        std::function<void(const std::optional<ExportedClip>& clip, const SaveOutcome& failure)>;
    void exportClip(int seconds, const QDateTime& requestTime, ExportHandler exported);
    void exportCompleted(AudioBuffer::ExportResult result, double duration, const QString& temporary,
                         const QDateTime& requestTime, const ExportHandler& exported);
    void placeClip(const ExportedClip& clip, const QString& target, bool intoFolder,
                   const SaveCompletion& completion);
    void clipPlaced(const ExportedClip& clip, const SaveOutcome& outcome, const SaveCompletion& completion);

    CaptureSystem& captureSystem;
    CaptureAuthorization& authorization;
    RecordingSettings& settings_;
    std::unique_ptr<AudioBuffer> audioBuffer_;
    // Capture starts wait for the audio server here, never on the main thread.
    SerialQueue captureStartQueue{captureStartQueueLabel};
    std::unique_ptr<CaptureRun> audioCapture_;
    // A ring shorter than asked, not yet told to the user: the asked and the kept length, in seconds.
    std::optional<std::pair<double, double>> shortReservation;
    std::optional<std::pair<double, double>> announcedShortReservation;
    bool shouldRestartCapture = false;
    bool paused_ = false;      // the user paused: nothing starts capture until they resume
    bool pauseErased_ = false; // and the past is gone from the disk
    bool autoRestartEnabled = false;
    bool recheckingChoice_ = false; // the capture starting was restarted because a default moved
    std::optional<Clock::time_point> autoRestartLastAttemptTime;
    QTimer* autoRestartTimer = nullptr;
    double captureMaxDuration_ = defaultCaptureMaxDuration;
    AlertPresenter alertPresenter;
};
