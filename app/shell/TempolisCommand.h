#pragma once

#include <QStringList>

// The `tempolis` command's verbs, which talk to the running program over the session bus:
//   tempolis save [SECONDS] [--output PATH]   tempolis status   tempolis pause   tempolis resume   tempolis
//   --help
// Plain `tempolis` (no verb) starts the program instead. Each failure prints one sentence on stderr and
// ends with its own status.
class TempolisCommand {
public:
    enum ExitStatus {
        success = 0,
        usageError = 2,
        notRunning = 3,
        nothingToSave = 4,
        invalidArgument = 5,
        fileExists = 6,
        exportFailed = 7,
        otherError = 8,
    };

    // Whether the arguments (without the program name) name a verb of this command.
    static bool handles(const QStringList& arguments);
    // Runs the verb; a QCoreApplication must exist.
    static int run(const QStringList& arguments);
};
