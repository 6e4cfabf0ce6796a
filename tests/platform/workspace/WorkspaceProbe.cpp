// workspace_probe register <identifier>: registers, prints "registered" or "refused", holds the registration
//                                        until stdin closes.
// workspace_probe nobus: uses a Workspace, sleep/wake included (the test takes the buses away), and prints
// what
//                       it answered.
#include "Workspace.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    Workspace workspace;
    if (argc == 3 && std::strcmp(argv[1], "register") == 0) {
        const bool registered = workspace.registerRunningApplication(QString::fromUtf8(argv[2]));
        std::printf("%s\n", registered ? "registered" : "refused");
        std::fflush(stdout);
        // Qt's bus connection has its own thread; the registration lasts while this process does.
        while (std::getchar() != EOF) {
        }
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "nobus") == 0) {
        QObject::connect(&workspace, &Workspace::willSleep, [] {});
        QObject::connect(&workspace, &Workspace::didWake, [] {});
        const auto running = workspace.runningApplications(QStringLiteral("com.Orvane.Tempolis"));
        const bool registered = workspace.registerRunningApplication(QStringLiteral("com.Orvane.Tempolis"));
        std::printf("running=%d registered=%s\n", int(running.size()), registered ? "true" : "false");
        return 0;
    }
    std::fprintf(stderr, "usage: workspace_probe register <identifier> | nobus\n");
    return 2;
}
