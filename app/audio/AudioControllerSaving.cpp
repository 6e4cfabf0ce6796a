// The save flow of AudioController: export to a private temporary file, then a save panel.
#include "AudioController.h"

#include "Defaults.h"
#include "FileMover.h"
#include "Localization.h"
#include "Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPointer>
#include <QStandardPaths>
#include <QThreadPool>
#include <QUuid>

void AudioController::exportRecording(int seconds) {
    const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + ".m4a";
    const QString fileURL = QDir(QDir::tempPath()).filePath(name);
    // The clip holds what was said near the microphone: only this user may read it until it is saved.
    QString error;
    if (!FileMover::createPrivateFile(fileURL, &error)) {
        Log::write("Error: AudioController: Error creating the temporary recording file. (" +
                   error.toStdString() + ")");
        emit processingComplete();
        emit exportError();
        return;
    }
    audioBuffer_->exportAudio(fileURL.toStdString(), static_cast<double>(seconds),
                              [this, fileURL](bool success, double duration) {
                                  exportCompleted(success, fileURL.toStdString(), duration);
                              });
}

void AudioController::exportCompleted(bool success, const std::filesystem::path& fileURL, double duration) {
    // Runs on the buffer's queue: receivers on the main thread get these signals queued.
    emit processingComplete();
    if (!success) {
        QFile::remove(QString::fromStdString(fileURL.string()));
        emit exportError();
        return;
    }
    const QString url = QString::fromStdString(fileURL.string());
    QMetaObject::invokeMethod(
        this, [this, url, duration] { showSavePanel(url, duration); }, Qt::QueuedConnection);
}

QString AudioController::fileName(const QDateTime& time, const QString& extension) {
    const QLocale locale;
    const QString dateText = locale.toString(time, "yyyy-MM-dd");
    // "aP" is the locale's own day-period text, as the user would write it.
    const QString timeText = locale.toString(time, "h.mm.ss aP");
    QString name = Localization::string("Recording Filename").arg(dateText, timeText);
    if (!extension.isEmpty()) {
        name += "." + extension;
    }
    return name;
}

void AudioController::showSavePanel(const QString& fileURL, double duration) {
    const QDateTime startTime =
        QDateTime::currentDateTime().addMSecs(-static_cast<qint64>(duration * 1000.0));
    const QString proposedName = fileName(startTime, "m4a");

    auto* panel = new SavePanel(this);
    panel->setAllowedFileTypes({"m4a"});
    panel->setCanSelectHiddenExtension(true);
    panel->setNameFieldStringValue(proposedName);
    panel->setTitle(Localization::string("Save Panel Title"));
    // Clips are sound: the user's music folder when there is one, else home (never the program's own
    // working folder).
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    panel->setDirectory(!music.isEmpty() && QFileInfo(music).isDir() ? music : QDir::homePath());
    panel->beginWithCompletion([this, panel, fileURL, duration](SavePanel::Response response, QString path) {
        savePanelClosed(response, path, fileURL, duration);
        panel->deleteLater();
    });
    // Brings the panel, and with it the application, in front of whatever the user was doing.
    panel->orderFrontRegardless();
    emit savePanelOpened(panel);
}

void AudioController::savePanelClosed(SavePanel::Response response, const QString& chosenPath,
                                      const QString& fileURL, double duration) {
    if (response != SavePanel::Response::ok || chosenPath.isEmpty()) {
        QFile::remove(fileURL);
        return;
    }
    // Moving copies the clip when it goes to another file system: never on the main thread.
    const QPointer<AudioController> controller(this);
    QThreadPool::globalInstance()->start([controller, fileURL, chosenPath, duration] {
        // The existing file is replaced only by a complete clip, also across file systems.
        QString error;
        const bool moved = FileMover::moveReplacing(fileURL, chosenPath, &error);
        if (moved) {
            // A saved clip is the user's file now: give it the mode their own files get.
            FileMover::applyDefaultMode(chosenPath);
        } else {
            QFile::remove(fileURL);
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [controller, moved, error, duration] {
                if (controller) {
                    controller->clipMoved(moved, error, duration);
                }
            },
            Qt::QueuedConnection);
    });
}

void AudioController::clipMoved(bool moved, const QString& error, double duration) {
    if (!moved) {
        Log::write("Error: AudioController: Error moving the recording into place. (" + error.toStdString() +
                   ")");
        emit exportError();
        return;
    }
    emit exportFinished(duration);
    Defaults::setInteger(Defaults::recordingsSavedKey, Defaults::integer(Defaults::recordingsSavedKey) + 1);
}
