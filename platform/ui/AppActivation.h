#pragma once

class QWidget;

// Makes the application the active one, as when the user switches to it.
class AppActivation {
public:
    // Shows `window`, raises it above the other applications' windows and asks the window manager to give it
    // the keyboard even though another application is active.
    static void activateIgnoringOtherApps(QWidget* window);
};
