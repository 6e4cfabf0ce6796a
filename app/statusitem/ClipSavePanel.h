#pragma once

#include "ExportedClip.h"

#include <QObject>

class AudioController;
class SavePanel;

// Asks the user where each clip exported for them goes: a save dialog in their music folder (else home),
// proposing the name made from the clip's start. Confirming places the clip (over a file the user chose
// to replace); cancelling drops it. One per application, on the main thread.
class ClipSavePanel : public QObject {
    Q_OBJECT
public:
    explicit ClipSavePanel(AudioController& audioController, QObject* parent = nullptr);

signals:
    // A dialog opened (lets tests reach it).
    void panelOpened(SavePanel* panel);

private:
    void show(const ExportedClip& clip);

    AudioController& audioController_;
};
