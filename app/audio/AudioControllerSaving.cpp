// The save flow of AudioController: export to a private temporary file, then a save panel.
#include "AudioController.h"

#include "Defaults.h"
#include "FileMover.h"
#include "Localization.h"
#include "Log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPointer>
#include <QStandardPaths>
#include <QThreadPool>
#include <QUuid>

#include <cmath>

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

// Saves without a panel (scripts, keyboard shortcuts).

namespace {

QString defaultSaveFolder() {
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    return !music.isEmpty() && QFileInfo(music).isDir() ? music : QDir::homePath();
}

// `name` in `folder`, or "name (2).m4a" and so on when that is taken.
QString freePathIn(const QString& folder, const QString& name) {
    const QFileInfo info(name);
    const QString base = info.completeBaseName();
    const QString suffix = info.suffix().isEmpty() ? QString() : "." + info.suffix();
    QString path = QDir(folder).filePath(name);
    for (int number = 2; QFileInfo::exists(path); ++number) {
        path = QDir(folder).filePath(QStringLiteral("%1 (%2)%3").arg(base).arg(number).arg(suffix));
    }
    return path;
}

} // namespace

double AudioController::heldSeconds() const {
    const int64_t bytes = audioBuffer_->fileBufferCurrentSize() + audioBuffer_->memoryBufferCurrentSize();
    return std::floor(static_cast<double>(bytes / 2) / captureSampleRate);
}

void AudioController::saveClip(int seconds, const QString& destination, SaveCompletion completion) {
    const auto fail = [&completion](const char* name, const QString& message) {
        completion(SaveOutcome{{}, QString::fromLatin1(name), message, 0});
    };
    if (seconds < minimumClipSeconds) {
        return fail("InvalidArgument",
                    QStringLiteral("A clip is at least %1 seconds long.").arg(minimumClipSeconds));
    }
    const double held = heldSeconds();
    if (held < minimumClipSeconds) {
        return fail("NothingToSave", QStringLiteral("Less than %1 seconds of audio are held yet (%2 s).")
                                         .arg(minimumClipSeconds)
                                         .arg(held));
    }
    const int clipSeconds = static_cast<int>(std::min<double>(seconds, held));
    const QString target =
        destination.isEmpty() ? defaultSaveFolder() : QFileInfo(destination).absoluteFilePath();
    const bool intoFolder = QFileInfo(target).isDir();
    if (!intoFolder && QFileInfo::exists(target)) {
        return fail("FileExists",
                    QStringLiteral("%1 exists already; Tempolis does not replace it.").arg(target));
    }
    if (!intoFolder && !QFileInfo(QFileInfo(target).absolutePath()).isDir()) {
        return fail("InvalidArgument",
                    QStringLiteral("The folder %1 does not exist.").arg(QFileInfo(target).absolutePath()));
    }

    const QString temporary =
        QDir(QDir::tempPath())
            .filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + ".m4a");
    QString error;
    if (!FileMover::createPrivateFile(temporary, &error)) {
        return fail("ExportFailed", QStringLiteral("The temporary clip cannot be made (%1).").arg(error));
    }
    emit processingStarted();
    const QPointer<AudioController> controller(this);
    audioBuffer_->exportAudio(
        temporary.toStdString(), clipSeconds,
        [controller, temporary, target, intoFolder, completion](bool success, double duration) {
            // On the buffer's queue: the rest belongs to the main thread.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [controller, temporary, target, intoFolder, completion, success, duration] {
                    if (!controller) {
                        QFile::remove(temporary);
                        return;
                    }
                    controller->clipExported(success, temporary, target, intoFolder, duration, completion);
                },
                Qt::QueuedConnection);
        });
}

void AudioController::clipExported(bool success, const QString& temporary, const QString& target,
                                   bool intoFolder, double duration, const SaveCompletion& completion) {
    emit processingComplete();
    if (!success) {
        QFile::remove(temporary);
        emit exportError();
        completion(SaveOutcome{
            {}, QStringLiteral("ExportFailed"), QStringLiteral("The clip could not be encoded."), 0});
        return;
    }
    const QDateTime start = QDateTime::currentDateTime().addMSecs(-static_cast<qint64>(duration * 1000.0));
    const QString path = intoFolder ? freePathIn(target, fileName(start, "m4a")) : target;
    const QPointer<AudioController> controller(this);
    QThreadPool::globalInstance()->start([controller, temporary, path, duration, completion] {
        QString error;
        // Never replaces: a file that appeared meanwhile under that name stays.
        const bool moved = !QFileInfo::exists(path) && FileMover::moveReplacing(temporary, path, &error);
        if (moved) {
            FileMover::applyDefaultMode(path);
        } else {
            QFile::remove(temporary);
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [controller, moved, error, path, duration, completion] {
                if (!moved) {
                    completion(SaveOutcome{
                        {},
                        QStringLiteral("ExportFailed"),
                        QStringLiteral("The clip could not be put at %1 (%2).")
                            .arg(path, error.isEmpty() ? QStringLiteral("the name is taken") : error),
                        0});
                    if (controller) {
                        emit controller->exportError();
                    }
                    return;
                }
                if (controller) {
                    emit controller->exportFinished(duration);
                    emit controller->clipSaved(path, duration);
                    Defaults::setInteger(Defaults::recordingsSavedKey,
                                         Defaults::integer(Defaults::recordingsSavedKey) + 1);
                }
                completion(SaveOutcome{path, {}, {}, duration});
            },
            Qt::QueuedConnection);
    });
}
