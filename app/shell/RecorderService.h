#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>

class AudioController;

// The recorder as scripts and keyboard shortcuts reach it on the session bus (interface
// com.Orvane.Tempolis.Recorder, described in com.Orvane.Tempolis.Recorder.xml; the adaptor is generated from
// it). Main thread only.
class RecorderService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_PROPERTY(bool Recording READ recording)
    Q_PROPERTY(bool Paused READ paused)
    Q_PROPERTY(bool Restarting READ restarting)
    Q_PROPERTY(double HeldSeconds READ heldSeconds)
    Q_PROPERTY(int CaptureMaxMinutes READ captureMaxMinutes)
    Q_PROPERTY(QString Device READ device)
public:
    static constexpr const char* objectPath = "/com/Orvane/Tempolis";
    static constexpr const char* interfaceName = "com.Orvane.Tempolis.Recorder";
    static constexpr const char* errorPrefix = "com.Orvane.Tempolis.Error.";

    explicit RecorderService(AudioController& audioController, QObject* parent = nullptr);

    // Puts the object on `connection` (which owns the program's name already).
    bool registerOn(QDBusConnection connection);

    bool recording() const;
    bool paused() const;
    // Not recording, but capture is starting or will start again by itself.
    bool restarting() const;
    double heldSeconds() const;
    int captureMaxMinutes() const;
    QString device() const;

public slots:
    QString SaveClip(double seconds, const QString& path);
    void Pause();
    void Resume();

signals:
    void ClipSaved(const QString& path, double seconds);

private:
    void announceChanges();
    void replyInvalid(const QString& message);

    AudioController& audioController_;
    QDBusConnection connection_;
    bool lastRecording_ = false;
    bool lastPaused_ = false;
};
