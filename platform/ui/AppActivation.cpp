#include "AppActivation.h"

#include <QWidget>
#include <QWindow>

void AppActivation::activateIgnoringOtherApps(QWidget* window) {
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
    if (QWindow* handle = window->windowHandle())
        handle->requestActivate();
}
