// Tempolis: keeps the recent past of an audio input and saves it on demand from its status item.
#include "AppDelegate.h"
#include "Bundle.h"
#include "DesktopCaptureAuthorization.h"
#include "DistributedNotificationCenter.h"
#include "Images.h"
#include "Localization.h"
#include "Log.h"
#include "MainStoryboard.h"
#include "PulseCaptureSystem.h"
#include "RecorderService.h"
#include "TempolisCommand.h"
#include "TerminationSignalWatcher.h"
#include "UserNotificationCenter.h"
#include "Workspace.h"

#include <QApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QTimer>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <unistd.h>

namespace {

// The ring holds the last hour of what the microphone heard: it goes with the program, also when the program
// ends through exit() without unwinding (the toolkit does that when the display goes away first, as at many
// logouts, or when a terminal's Ctrl-C took the display down).
char ringPathAtExit[PATH_MAX] = {};
char packetPathAtExit[PATH_MAX] = {};

void eraseRingAtExit() {
    for (const char* path : {ringPathAtExit, packetPathAtExit}) {
        if (path[0] != '\0') {
            unlink(path);
        }
    }
}

// Without its folder the program can keep nothing: it says so in the log, on the terminal and in a
// notification (it may have been started at login, with nobody watching a terminal), and ends with a failure.
int failWithoutCacheFolder(const std::string& reason) {
    Log::write("AudioBuffer: Error locating the cache folder.");
    Log::write("Error: Tempolis: Error creating the cache folder. (" + reason + ")");
    const QString sentence = Localization::string("Cache Folder Error").arg(QString::fromStdString(reason));
    std::fprintf(stderr, "%s\n", sentence.toLocal8Bit().constData());
    UserNotificationCenter notifications;
    notifications.schedule(QCoreApplication::applicationName(), sentence, {}, QDateTime());
    // The notification is sent asynchronously: give the server a moment to take it before the process ends.
    const QDeadlineTimer deadline(2000);
    while (notifications.notificationCount() == 0 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return EXIT_FAILURE;
}

} // namespace

int main(int argc, char** argv) {
    // glibc gives each thread that allocates an arena of its own, which keeps what it once held; the
    // recorder's few worker threads allocate little and can share two (about 0.25 MB less resident).
    mallopt(M_ARENA_MAX, 2);
    // `tempolis save`, `tempolis status` and the like talk to the running program and need no display.
    QStringList verbArguments;
    for (int i = 1; i < argc; ++i) {
        verbArguments << QString::fromLocal8Bit(argv[i]);
    }
    if (TempolisCommand::handles(verbArguments)) {
        QCoreApplication command(argc, argv);
        return TempolisCommand::run(verbArguments);
    }
    Log::setIdentity("Tempolis");
    // The status item must be a window we can place and keep on top: X11, or XWayland on a Wayland session.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Orvane"));
    QApplication::setApplicationName(QStringLiteral("Tempolis"));
    QApplication::setDesktopFileName(QStringLiteral("com.Orvane.Tempolis"));
    QApplication::setQuitOnLastWindowClosed(false);
    Localization::install(application);
    QApplication::setWindowIcon(Images::named(QStringLiteral("Tempolis")));

    const Bundle& bundle = Bundle::main();
    const QString identifier =
        bundle.identifier().isEmpty() ? QStringLiteral("com.Orvane.Tempolis") : bundle.identifier();
    Workspace workspace;
    // A second copy would write the same ring file as the first: leave the running one alone.
    if (!workspace.registerRunningApplication(identifier)) {
        Log::write("Error: Tempolis: Another copy is already running for this user; this one exits.");
        return 0;
    }
    // Only the one copy that runs gets here: the ring is ours to clear and to erase.
    const std::filesystem::path caches = AudioBuffer::userCachesFolder();
    std::string cacheFolderError;
    if (!AudioBuffer::makeRingFolder(caches, &cacheFolderError)) {
        return failWithoutCacheFolder(cacheFolderError);
    }
    const std::string ringPath = AudioBuffer::ringFilePath(caches).string();
    const std::string packetPath = AudioBuffer::packetFilePath(caches).string();
    if (ringPath.size() < sizeof ringPathAtExit && packetPath.size() < sizeof packetPathAtExit) {
        std::strcpy(ringPathAtExit, ringPath.c_str());
        std::strcpy(packetPathAtExit, packetPath.c_str());
        std::atexit(eraseRingAtExit);
    }
    // Rings left behind by a copy that crashed hold someone's past: they go before recording starts anew.
    unlink(ringPath.c_str());
    unlink(packetPath.c_str());

    PulseCaptureSystem captureSystem;
    DesktopCaptureAuthorization authorization;
    DistributedNotificationCenter distributedNotifications;
    UserNotificationCenter userNotifications;
    MainStoryboard::registerScenes();

    AppDelegate delegate(
        {captureSystem, authorization, workspace, distributedNotifications, userNotifications, bundle});
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    RecorderService recorder(delegate.audioController());
    if (!recorder.registerOn(QDBusConnection::sessionBus())) {
        Log::write(
            "Error: Tempolis: Error offering the recorder on the session bus; scripts cannot reach it.");
    }
    TerminationSignalWatcher termination;
    QObject::connect(&termination, &TerminationSignalWatcher::terminationRequested, &application,
                     [] { QCoreApplication::quit(); });
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
