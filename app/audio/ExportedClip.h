#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// A clip the recording controller has exported into a private temporary file, waiting for the user to say
// where it goes (AudioController::placeExportedClip) or to drop it (discardExportedClip).
struct ExportedClip {
    QString temporaryPath;
    double seconds = 0;
    // When the clip's audio begins: the time the save was asked for, less the clip's length. It names the
    // clip and is the time the confirmation shows.
    QDateTime clipStart;
};

Q_DECLARE_METATYPE(ExportedClip)
