#pragma once

#include "AudioBuffer.h"
#include "AudioCapture.h"
#include "AudioCaptureDelegate.h"
#include "CaptureAuthorization.h"
#include "CaptureSystem.h"
#include "SavePanel.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

// The one object through which the application drives recording: owns the rolling buffer, makes a fresh
// capture for every start, asks for microphone access, restarts capture by itself after failures, follows
// the preferred device, changes the capture window, and saves clips. Lives on the main thread.
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
    using Clock = std::chrono::steady_clock;

    static constexpr double captureSampleRate = 44'100;
    static constexpr double defaultCaptureMaxDuration = 3'600;
    static constexpr double captureMaxDurationLowerBound = 900;
    static constexpr double captureMaxDurationUpperBound = 28'800;
    static constexpr double autoRestartDelaySeconds = 0.5;
    static constexpr double autoRestartFailedDelaySeconds = 15.0;
    static constexpr double autoRestartRecentSeconds = 1.0;
    static constexpr double microphonePermissionAlertSeconds = 10.0;
    static constexpr double diskSpaceAlertSeconds = 10.0;
    static constexpr const char* captureStartQueueLabel = "com.Orvane.Tempolis.CaptureStart";

    AudioController(CaptureSystem& captureSystem, CaptureAuthorization& authorization,
                    QObject* parent = nullptr);
    ~AudioController() override;

    void startRecording();
    void stopRecording();
    // The user's pause: stops capture and empties the buffer. While paused nothing starts capture again (a
    // length or device change, a wake, the audio server's return) until resumeRecording().
    void pauseRecording();
    // Empties the buffer and starts capture again when microphone access allows it.
    void resumeRecording();
    bool isPaused() const { return paused_; }
    // A capture exists, it has a session, and the session runs.
    bool isRecording() const;
    void setPreferredDevice(const std::optional<std::string>& uniqueID);
    void setCaptureMaxMinutes(int minutes);
    double captureMaxDuration() const { return captureMaxDuration_; }
    AudioBuffer& audioBuffer() { return *audioBuffer_; }
    AudioCapture* audioCapture() const { return audioCapture_.get(); }

    bool checkMicrophonePermission();
    void cancelAutoRestart();
    void startAudioCapture();
    void audioCaptureStatusChanged() override;

    // Saves the last `seconds` of audio: export, then a save panel proposing a name from the clip's start.
    void exportRecording(int seconds);
    // Saves the last `seconds` without asking: into `destination`, a folder (the clip gets the name the save
    // panel would propose, never replacing a file: " (2)" and so on) or a file path that does not exist yet;
    // an empty destination is the user's music folder, else home. More than is held saves what is held.
    // Processing and the saved popup show as for a save from the status item. `completion` runs on the main
    // thread once the clip is in place, or with the error.
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
    // "AudioControllerProcessingCompleteNotification": an export ended, successfully or not (buffer's queue).
    void processingComplete();
    // "AudioControllerExportErrorNotification": the export or the save failed.
    void exportError();
    // "AudioControllerExportFinishedNotification": the user saved a clip this many seconds long.
    void exportFinished(double seconds);
    // A save that asks nothing (saveClip) began encoding: the status item shows processing.
    void processingStarted();
    // A save that asks nothing put its clip in place.
    void clipSaved(const QString& path, double seconds);
    // A save panel was opened for a finished export (lets the shell and tests reach it).
    void savePanelOpened(SavePanel* panel);

private slots:
    void captureDeviceConnected(const CaptureDevice& device);
    void attemptAutoRestart();
    void restartIfPending();

private:
    void scheduleAutoRestart();
    void announceShortReservation();
    void observeDeviceConnections(bool observe);
    void accessRequestAnswered(bool granted);
    void exportCompleted(bool success, const std::filesystem::path& fileURL, double duration);
    void showSavePanel(const QString& fileURL, double duration);
    void savePanelClosed(SavePanel::Response response, const QString& chosenPath, const QString& fileURL,
                         double duration);
    void clipMoved(bool moved, const QString& error, double duration);
    void clipExported(bool success, const QString& temporary, const QString& target, bool intoFolder,
                      double duration, const SaveCompletion& completion);

    CaptureSystem& captureSystem;
    CaptureAuthorization& authorization;
    std::unique_ptr<AudioBuffer> audioBuffer_;
    // Capture starts wait for the audio server here, never on the main thread.
    SerialQueue captureStartQueue{captureStartQueueLabel};
    std::unique_ptr<AudioCapture> audioCapture_;
    // A ring shorter than asked, not yet told to the user: the asked and the kept length, in seconds.
    std::optional<std::pair<double, double>> shortReservation;
    std::optional<std::pair<double, double>> announcedShortReservation;
    bool shouldRestartCapture = false;
    bool paused_ = false;
    bool autoRestartEnabled = false;
    std::optional<Clock::time_point> autoRestartLastAttemptTime;
    QTimer* autoRestartTimer = nullptr;
    double captureMaxDuration_ = defaultCaptureMaxDuration;
    AlertPresenter alertPresenter;
};
