#pragma once

#include <QStringList>

// The `tempolis` command's verbs, which talk to the running program over the session bus:
//   tempolis save [SECONDS] [--output PATH]   tempolis status   tempolis pause   tempolis resume   tempolis
//   --help
// Plain `tempolis` (no verb, or only the toolkit's own options such as -platform or -display) starts the
// program instead. Anything else is this command's: an unknown verb is a usage error and never starts a
// second program. Each failure prints one sentence on stderr and ends with its own status.
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

    // Whether the arguments (without the program name) are for this command rather than for starting the
    // program.
    static bool handles(const QStringList& arguments);
    // Runs the verb; a QCoreApplication must exist.
    static int run(const QStringList& arguments);
};
