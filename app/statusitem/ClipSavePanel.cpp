#include "ClipSavePanel.h"

#include "AudioController.h"
#include "Localization.h"
#include "SavePanel.h"
#include "StatusAnchor.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>

ClipSavePanel::ClipSavePanel(AudioController& audioController, QObject* parent)
    : QObject(parent)
    , audioController_(audioController) {
    connect(&audioController_, &AudioController::clipExported, this, &ClipSavePanel::show);
}

void ClipSavePanel::show(const ExportedClip& clip) {
    auto* panel = new SavePanel(this);
    panel->setAllowedFileTypes({"m4a"});
    panel->setCanSelectHiddenExtension(true);
    panel->setNameFieldStringValue(AudioController::fileName(clip.clipStart, "m4a"));
    panel->setTitle(Localization::string("Save Panel Title"));
    // Clips are sound: the user's music folder when there is one, else home (never the program's own
    // working folder).
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    panel->setDirectory(!music.isEmpty() && QFileInfo(music).isDir() ? music : QDir::homePath());
    const QPointer<AudioController> controller(&audioController_);
    panel->beginWithCompletion([controller, panel, clip](SavePanel::Response response, const QString& path) {
        if (controller) {
            if (response == SavePanel::Response::ok && !path.isEmpty()) {
                controller->placeExportedClip(clip, path);
            } else {
                controller->discardExportedClip(clip);
            }
        }
        panel->deleteLater();
    });
    // Near where the user acted (the status item, the tray icon's click, the panel's end), fully on the
    // screen.
    QFileDialog* dialog = panel->dialog();
    dialog->move(StatusAnchor::current().placeWindow(dialog->sizeHint()));
    // Brings the panel, and with it the application, in front of whatever the user was doing.
    panel->orderFrontRegardless();
    emit panelOpened(panel);
}
