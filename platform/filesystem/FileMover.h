#pragma once

#include <QString>

// Moves files into place the way a user expects of "Save": an existing file at the destination is replaced
// in one step (never deleted before the new one is there), across file systems too.
class FileMover {
public:
    // Moves `source` to `destination`, replacing it. On failure answers false, leaves the destination as it
    // was and sets `error` to what went wrong. Across file systems this copies the whole file: call it off
    // the main thread. Safe on any thread.
    static bool moveReplacing(const QString& source, const QString& destination, QString* error);

    // Creates an empty file only this user can read, failing if anything already exists at `path`.
    static bool createPrivateFile(const QString& path, QString* error);

    // Gives a file the mode a newly created file of this user would have (0666 less the umask the program
    // started with). Safe on any thread.
    static void applyDefaultMode(const QString& path);
};
