// The save pipeline of AudioController: export into a private temporary file, name the clip from the time
// the save was asked for, place it without replacing anything (or where the user chose), report.
#include "AudioController.h"

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

namespace {

AudioController::SaveOutcome failure(const char* name, const QString& message) {
    return AudioController::SaveOutcome{{}, QString::fromLatin1(name), message, 0};
}

// Clips are sound: the user's music folder when there is one, else home (never the program's own working
// folder).
QString defaultSaveFolder() {
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    return !music.isEmpty() && QFileInfo(music).isDir() ? music : QDir::homePath();
}

// Runs `work` off the main thread (placing copies the clip when it goes to another file system), then
// `done` with its result on the main thread.
template <typename Result>
void offTheMainThread(std::function<Result()> work, std::function<void(const Result&)> done) {
    QThreadPool::globalInstance()->start([work = std::move(work), done = std::move(done)] {
        const Result result = work();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [done, result] { done(result); }, Qt::QueuedConnection);
    });
}

} // namespace

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

double AudioController::heldSeconds() const {
    const int64_t bytes = audioBuffer_->heldBytes();
    return std::floor(static_cast<double>(bytes / 2) / captureSampleRate);
}

// The export step, shared by every save.
void AudioController::exportClip(int seconds, const QDateTime& requestTime, ExportHandler exported) {
    emit processingStarted();
    const QString temporary =
        QDir(QDir::tempPath())
            .filePath(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + ".m4a");
    // The clip holds what was said near the microphone: only this user may read it until it is placed.
    QString error;
    if (!FileMover::createPrivateFile(temporary, &error)) {
        Log::write("Error: AudioController: Error creating the temporary recording file. (" +
                   error.toStdString() + ")");
        emit processingComplete();
        emit exportError();
        exported(std::nullopt, failure("ExportFailed",
                                       QStringLiteral("The temporary clip cannot be made (%1).").arg(error)));
        return;
    }
    // What is on its way into the buffer (both sides of a call wait for each other) goes in first.
    if (audioCapture_) {
        audioCapture_->prepareForSave();
    }
    const QPointer<AudioController> controller(this);
    audioBuffer_->exportClip(
        temporary.toStdString(), seconds, minimumClipSeconds,
        [controller, temporary, requestTime, exported](AudioBuffer::ExportResult result, double duration) {
            // On the buffer's queue, which quitting waits for: nothing unfinished outlives the program.
            if (result != AudioBuffer::ExportResult::written) {
                QFile::remove(temporary);
            }
            // The rest belongs to the main thread.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [controller, temporary, requestTime, exported, result, duration] {
                    if (!controller) {
                        QFile::remove(temporary);
                        return;
                    }
                    controller->exportCompleted(result, duration, temporary, requestTime, exported);
                },
                Qt::QueuedConnection);
        });
}

void AudioController::exportCompleted(AudioBuffer::ExportResult result, double duration,
                                      const QString& temporary, const QDateTime& requestTime,
                                      const ExportHandler& exported) {
    emit processingComplete();
    switch (result) {
    case AudioBuffer::ExportResult::tooShort:
        // A pause or reset got there first: there is nothing to save, which is no error of the export.
        exported(std::nullopt,
                 failure("NothingToSave",
                         QStringLiteral("Less than %1 seconds of audio are held.").arg(minimumClipSeconds)));
        return;
    case AudioBuffer::ExportResult::failed:
        emit exportError();
        exported(std::nullopt, failure("ExportFailed", QStringLiteral("The clip could not be encoded.")));
        return;
    case AudioBuffer::ExportResult::written:
        break;
    }
    const QDateTime clipStart = requestTime.addMSecs(-std::llround(duration * 1000.0));
    exported(ExportedClip{temporary, duration, clipStart}, {});
}

// Saves placed by the user.

void AudioController::exportRecording(int seconds, const QDateTime& requestTime) {
    const QPointer<AudioController> controller(this);
    exportClip(seconds, requestTime,
               [controller](const std::optional<ExportedClip>& clip, const SaveOutcome&) {
                   if (clip && controller) {
                       emit controller->clipExported(*clip);
                   }
               });
}

void AudioController::placeExportedClip(const ExportedClip& clip, const QString& chosenPath) {
    const QPointer<AudioController> controller(this);
    offTheMainThread<SaveOutcome>(
        [clip, chosenPath] {
            // The user confirmed replacing an existing file; it is replaced only by a complete clip.
            QString error;
            if (!FileMover::moveReplacing(clip.temporaryPath, chosenPath, &error)) {
                QFile::remove(clip.temporaryPath);
                return failure("ExportFailed", error);
            }
            // A saved clip is the user's file now: give it the mode their own files get.
            FileMover::applyDefaultMode(chosenPath);
            return SaveOutcome{chosenPath, {}, {}, clip.seconds};
        },
        [controller, clip](const SaveOutcome& outcome) {
            if (controller) {
                controller->clipPlaced(clip, outcome, {});
            }
        });
}

void AudioController::discardExportedClip(const ExportedClip& clip) {
    QFile::remove(clip.temporaryPath);
}

// Saves that ask nothing (scripts, keyboard shortcuts, menus).

void AudioController::saveClip(int seconds, const QString& destination, SaveCompletion completion) {
    if (seconds < minimumClipSeconds || seconds > maximumClipSeconds) {
        return completion(failure("InvalidArgument", QStringLiteral("A clip is %1 to %2 seconds long.")
                                                         .arg(minimumClipSeconds)
                                                         .arg(maximumClipSeconds)));
    }
    const QDateTime requestTime = QDateTime::currentDateTime();
    // Told at once when nothing could come of it; the export checks again against what it really reads.
    const double held = heldSeconds();
    if (held < minimumClipSeconds) {
        return completion(
            failure("NothingToSave", QStringLiteral("Less than %1 seconds of audio are held yet (%2 s).")
                                         .arg(minimumClipSeconds)
                                         .arg(held)));
    }
    const QString target =
        destination.isEmpty() ? defaultSaveFolder() : QFileInfo(destination).absoluteFilePath();
    const bool intoFolder = QFileInfo(target).isDir();
    if (!intoFolder && QFileInfo::exists(target)) {
        return completion(failure(
            "FileExists", QStringLiteral("%1 exists already; Tempolis does not replace it.").arg(target)));
    }
    if (!intoFolder && !QFileInfo(QFileInfo(target).absolutePath()).isDir()) {
        return completion(
            failure("InvalidArgument",
                    QStringLiteral("The folder %1 does not exist.").arg(QFileInfo(target).absolutePath())));
    }
    const QPointer<AudioController> controller(this);
    exportClip(seconds, requestTime,
               [controller, target, intoFolder, completion](const std::optional<ExportedClip>& clip,
                                                            const SaveOutcome& exportFailure) {
                   if (!clip) {
                       completion(exportFailure);
                   } else if (!controller) {
                       QFile::remove(clip->temporaryPath);
                   } else {
                       controller->placeClip(*clip, target, intoFolder, completion);
                   }
               });
}

// The name is taken, and the clip put there, in one step: a clip saved meanwhile, or a file another program
// made, keeps its name and this clip gets the next free one (or, for a file path, fails).
void AudioController::placeClip(const ExportedClip& clip, const QString& target, bool intoFolder,
                                const SaveCompletion& completion) {
    const QString name = fileName(clip.clipStart, "m4a");
    const QPointer<AudioController> controller(this);
    offTheMainThread<SaveOutcome>(
        [clip, target, intoFolder, name] {
            QString error;
            QString placed;
            if (intoFolder) {
                placed = FileMover::placeInFolder(clip.temporaryPath, target, name, &error);
            } else {
                switch (FileMover::placeWithoutReplacing(clip.temporaryPath, target, &error)) {
                case FileMover::Placement::placed:
                    placed = target;
                    break;
                case FileMover::Placement::exists:
                    QFile::remove(clip.temporaryPath);
                    return failure(
                        "FileExists",
                        QStringLiteral("%1 exists already; Tempolis does not replace it.").arg(target));
                case FileMover::Placement::failed:
                    break;
                }
            }
            if (placed.isEmpty()) {
                QFile::remove(clip.temporaryPath);
                return failure("ExportFailed",
                               QStringLiteral("The clip could not be put in %1 (%2).").arg(target, error));
            }
            FileMover::applyDefaultMode(placed);
            return SaveOutcome{placed, {}, {}, clip.seconds};
        },
        [controller, clip, completion](const SaveOutcome& outcome) {
            if (controller) {
                controller->clipPlaced(clip, outcome, completion);
            } else if (completion) {
                completion(outcome);
            }
        });
}

// The report step, shared by every save.
void AudioController::clipPlaced(const ExportedClip& clip, const SaveOutcome& outcome,
                                 const SaveCompletion& completion) {
    if (!outcome.errorName.isEmpty()) {
        if (outcome.errorName == QLatin1String("ExportFailed")) {
            Log::write("Error: AudioController: Error moving the recording into place. (" +
                       outcome.message.toStdString() + ")");
            emit exportError();
        }
    } else {
        emit exportFinished(clip.seconds, clip.clipStart);
        emit clipSaved(outcome.savedPath, clip.seconds);
    }
    if (completion) {
        completion(outcome);
    }
}
