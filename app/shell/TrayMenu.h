#pragma once

#include "DBusMenu.h"

#include <QObject>

#include <functional>

class AudioController;

// The menu of Tempolis's tray icon, which the tray draws (GNOME Shell on a click, KDE Plasma on a right
// click): save the last 30 seconds, 5 minutes, 30 minutes or everything held (what is held when that is less,
// as `tempolis save` does; off while less than the shortest clip is held), each through the save dialog as
// the gesture saves; the settings; pause or resume recording, as More Settings does; quit. The enabled states
// and the pause entry's label are those of the moment the tray asks to show the menu. Main thread only.
class TrayMenu : public QObject {
    Q_OBJECT
public:
    // What the menu cannot do itself.
    struct Actions {
        std::function<void()> showSettings;
        std::function<void()> quit;
    };

    // The keys of the entries, in their order (separators aside).
    static constexpr const char* saveLast30SecondsKey = "save-30";
    static constexpr const char* saveLast5MinutesKey = "save-300";
    static constexpr const char* saveLast30MinutesKey = "save-1800";
    static constexpr const char* saveEverythingKey = "save-all";
    static constexpr const char* settingsKey = "settings";
    static constexpr const char* recordingKey = "recording";
    static constexpr const char* quitKey = "quit";

    TrayMenu(AudioController& audioController, Actions actions, QObject* parent = nullptr);

    DBusMenu& menu() { return menu_; }
    // Sets the enabled states and the pause entry's label from what is held and paused now.
    void refresh();

signals:
    // An entry was chosen; what it shows has no place of its own (no click position).
    void entryChosen(const QString& key);

private:
    void choose(const QString& key);
    void save(int seconds);

    AudioController& audioController_;
    Actions actions_;
    DBusMenu menu_;
};
