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

    // How placing without replacing went.
    enum class Placement { placed, exists, failed };
    // Puts `source` at `destination` only if nothing is there, atomically: a file that appears meanwhile
    // (made by this program or another) is never replaced. Across file systems the clip is first copied into
    // a private temporary file next to the destination. `exists` when the name is taken; `failed` with
    // `error` set otherwise. The source is gone once placed. Call it off the main thread.
    static Placement placeWithoutReplacing(const QString& source, const QString& destination, QString* error);
    // Puts `source` into `folder` as `name`, or "name (2).ext", "name (3).ext" and so on when taken, each
    // tried atomically as above. Answers the path used, or an empty string with `error` set.
    static QString placeInFolder(const QString& source, const QString& folder, const QString& name,
                                 QString* error);
    // For file systems that refuse an atomic rename without replacing (the kernel answers EINVAL), placing
    // links the file under its new name and unlinks the old one instead; where hard links are refused too,
    // it claims the name by creating it exclusively and renames the file over its claim. Tests turn the
    // rename and the links off to reach those ways.
    static void setRenameWithoutReplacingAllowed(bool allowed);
    static void setHardLinksAllowed(bool allowed);

    // Creates an empty file only this user can read, failing if anything already exists at `path`.
    static bool createPrivateFile(const QString& path, QString* error);

    // Gives a file the mode a newly created file of this user would have (0666 less the umask the program
    // started with). Safe on any thread.
    static void applyDefaultMode(const QString& path);
};
