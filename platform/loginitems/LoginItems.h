#pragma once

#include <QString>

// Programs started at login. A login item is a bundle inside the main bundle at
// Contents/Library/LoginItems/*.app, found by its bundle identifier; enabling it writes an XDG autostart
// entry ($XDG_CONFIG_HOME/autostart/<identifier>.desktop) that runs its executable.
class LoginItems {
public:
    // Enables or disables the login item. Disabling one that is not enabled succeeds. False when no login
    // item has that identifier or when the entry cannot be written or removed; `error`, when given, then
    // says why in a few words.
    static bool setEnabled(const QString& loginItemIdentifier, bool enabled, QString* error = nullptr);

private:
    static QString autostartFolderPath();
    // The executable of the login item `identifier` in the main bundle; empty when there is none.
    static QString loginItemExecutablePath(const QString& identifier, QString* name);
    // `path` as one quoted argument of an Exec key, escaped for a desktop entry's string value.
    static QString execValue(const QString& path);
    static QString escapedString(const QString& value);
};
