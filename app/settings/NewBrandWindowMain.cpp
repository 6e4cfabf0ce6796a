// The announcement helper of Tempolis: shows the new-brand window in a process of its own, so the recorder
// never loads Qt Quick. It writes one line to its standard output for each press of the window's button and
// one when the window closes, and ends then, or as soon as its standard input ends (Tempolis has gone).
#include "Images.h"
#include "Localization.h"
#include "Log.h"
#include "NewBrandWindow.h"
#include "NewBrandWindowController.h"

#include <QApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {
void report(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
} // namespace

int main(int argc, char** argv) {
    Log::setIdentity("Tempolis");
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication application(argc, argv);
    // The window is Tempolis's: the same names, icon and string table.
    QApplication::setOrganizationName(QStringLiteral("Orvane"));
    QApplication::setApplicationName(QStringLiteral("Tempolis"));
    QApplication::setDesktopFileName(QStringLiteral("com.Orvane.Tempolis"));
    Localization::install(application);
    QApplication::setWindowIcon(Images::named(QStringLiteral("Tempolis")));

    NewBrandWindow window;
    QObject::connect(&window, &NewBrandWindow::productWebPageRequested,
                     [] { report(NewBrandWindowController::productWebPageRequestedLine); });
    QObject::connect(&window, &NewBrandWindow::closed, &application, [] {
        report(NewBrandWindowController::windowClosedLine);
        QCoreApplication::quit();
    });

    // Tempolis writes nothing; the end of the input is its end.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &application, [&input] {
        char buffer[64];
        const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
        if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });

    window.present();
    return QApplication::exec();
}
