// The longest time the user interface stood still (the main thread's event loop did not turn) while the
// recording controller did something slow underneath:
//   frozen-server   capture starts again while the audio server is frozen (SIGSTOP)
//   resize-save     the buffer length changes while a 60-minute clip is being encoded
//   other-fs        a 60-minute clip is saved to another file system (/dev/shm)
//   quit-save       the program quits while a 60-minute clip is being encoded
//   settings-frozen the settings open (five times) while the audio server is frozen (SIGSTOP)
//   ramfs-start     the program starts with an 8-hour ring on a file system without fallocate (ramfs, where
//                   reserving writes every block; needs root)
//
//   stall_bench [SCENARIO...]     (under scripts/test-session; all scenarios when none is named)
//
// Prints one line per scenario: scenario=<name> longest_stall_ms=<x> [more figures]
#include "AudioController.h"
#include "ClipSavePanel.h"
#include "Defaults.h"
#include "DefaultsRecordingSettings.h"
#include "DesktopCaptureAuthorization.h"
#include "FakeCaptureAuthorization.h"
#include "FakeCaptureSystem.h"
#include "Localization.h"
#include "MainStoryboard.h"
#include "PulseCaptureSystem.h"
#include "SavePanel.h"
#include "SettingsController.h"
#include "SettingsEnvironment.h"
#include "StallProbe.h"
#include "StatusBar.h"
#include "StatusBarButton.h"
#include "StatusItem.h"
#include "TemporaryCaches.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int clipSeconds = 3600;

pid_t audioServerPid() {
    std::ifstream file(
        std::string(std::getenv("PULSE_RUNTIME_PATH") ? std::getenv("PULSE_RUNTIME_PATH") : "") + "/pid");
    pid_t pid = 0;
    file >> pid;
    return pid;
}

void report(const char* scenario, const StallProbe& probe, const std::string& more = {}) {
    std::printf("scenario=%s longest_stall_ms=%.1f%s\n", scenario, probe.longestStallMilliseconds(),
                more.c_str());
    std::fflush(stdout);
}

void frozenServer() {
    const pid_t server = audioServerPid();
    if (server <= 0) {
        std::printf(
            "scenario=frozen-server skipped (no private audio server: run under scripts/test-session)\n");
        return;
    }
    PulseCaptureSystem system;
    DesktopCaptureAuthorization authorization;
    DefaultsRecordingSettings recordingSettings;
    AudioController controller(system, authorization, recordingSettings);
    controller.startRecording();
    if (!QTest::qWaitFor([&] { return controller.isRecording(); }, 10'000)) {
        std::printf("scenario=frozen-server skipped (not recording)\n");
        return;
    }
    StallProbe probe;
    kill(server, SIGSTOP);
    controller.stopRecording();
    controller.startRecording();
    // Longer than every bound on a start against a server that does not answer.
    QTest::qWait(8'000);
    kill(server, SIGCONT);
    report("frozen-server", probe);
}

// A controller fed an hour of audio through a capture the bench drives.
struct HourHeld {
    HourHeld() {
        capture.connectedDevices = {microphone};
        capture.defaultDeviceID = microphone.uniqueID;
        authorization.currentStatus = CaptureAuthorization::Status::authorized;
        controller = std::make_unique<AudioController>(capture, authorization, recordingSettings);
        savePanel = std::make_unique<ClipSavePanel>(*controller);
        QObject::connect(savePanel.get(), &ClipSavePanel::panelOpened,
                         [this](SavePanel* opened) { panel = opened; });
        controller->startRecording();
        const std::vector<int16_t> tone = [] {
            std::vector<int16_t> samples(44'100);
            for (std::size_t i = 0; i < samples.size(); ++i)
                samples[i] = static_cast<int16_t>((i * 37) % 2000 - 1000);
            return samples;
        }();
        for (int second = 0; second < clipSeconds; ++second)
            capture.lastSession()->blockHandler(tone.data(), tone.size() * 2);
        controller->audioBuffer().queue().sync([] {});
    }

    const CaptureDevice microphone{"bench.microphone", "Bench Microphone"};
    FakeCaptureSystem capture;
    FakeCaptureAuthorization authorization;
    DefaultsRecordingSettings recordingSettings;
    std::unique_ptr<AudioController> controller;
    std::unique_ptr<ClipSavePanel> savePanel;
    SavePanel* panel = nullptr;
};

void resizeDuringSave(bool thenOtherFileSystem) {
    HourHeld held;
    held.controller->exportRecording(clipSeconds);
    QTest::qWait(500); // the encoding is under way
    StallProbe probe;
    held.controller->setCaptureMaxMinutes(30);
    // Up to the end of the encoding; opening the save dialog afterwards is measured on its own (any save
    // pays for it).
    double untilEncodedMilliseconds = -1;
    QObject::connect(held.controller.get(), &AudioController::processingComplete, held.controller.get(), [&] {
        if (untilEncodedMilliseconds < 0)
            untilEncodedMilliseconds = probe.longestStallMilliseconds();
    });
    if (!QTest::qWaitFor([&] { return held.panel != nullptr; }, 120'000)) {
        std::printf("scenario=resize-save failed (no save dialog)\n");
        return;
    }
    QTest::qWait(100);
    char more[96];
    std::snprintf(more, sizeof more, " until_encoded_ms=%.1f", untilEncodedMilliseconds);
    report("resize-save", probe, more);
    if (!thenOtherFileSystem)
        return;

    const QString destination = QStringLiteral("/dev/shm/tempolis-stall-bench.m4a");
    struct stat shm {
    }, temporary{};
    if (stat("/dev/shm", &shm) != 0 ||
        stat(QFile::encodeName(QDir::tempPath()).constData(), &temporary) != 0 ||
        shm.st_dev == temporary.st_dev) {
        std::printf("scenario=other-fs skipped (/dev/shm is not another file system here)\n");
        return;
    }
    bool saved = false;
    QObject::connect(held.controller.get(), &AudioController::exportFinished, [&saved] { saved = true; });
    probe.restart();
    held.panel->dialog()->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(destination);
    static_cast<QDialog*>(held.panel->dialog())->accept();
    if (!QTest::qWaitFor([&] { return saved; }, 60'000))
        std::printf("scenario=other-fs failed (not saved)\n");
    QTest::qWait(100);
    const qint64 bytes = QFile(destination).size();
    QFile::remove(destination);
    report("other-fs", probe, " clip_bytes=" + std::to_string(bytes));
}

void quitDuringSave() {
    HourHeld held;
    held.controller->exportRecording(clipSeconds);
    QTest::qWait(1'000); // the encoding is under way
    StallProbe probe;
    QElapsedTimer quitting;
    quitting.start();
    held.controller.reset(); // what quitting does to it
    const double quitSeconds = static_cast<double>(quitting.nsecsElapsed()) / 1e9;
    QTest::qWait(50);
    report("quit-save", probe, " quit_seconds=" + std::to_string(quitSeconds));
}

// The settings list the inputs the audio server last told of: a frozen server never holds them up.
void settingsWhileFrozen() {
    const pid_t server = audioServerPid();
    if (server <= 0) {
        std::printf(
            "scenario=settings-frozen skipped (no private audio server: run under scripts/test-session)\n");
        return;
    }
    MainStoryboard::registerScenes();
    PulseCaptureSystem system;
    DesktopCaptureAuthorization authorization;
    DefaultsRecordingSettings recordingSettings;
    AudioController controller(system, authorization, recordingSettings);
    controller.startRecording();
    SettingsEnvironment::shared() =
        SettingsEnvironment{&controller, &system, {}, {}, QStringLiteral("1.0"), {}};
    std::unique_ptr<StatusItem> item = StatusBar::system().statusItem(StatusBar::variableLength);
    item->button()->setImage(QStringLiteral("Status-Icon-Template"));
    if (!QTest::qWaitFor([&] { return controller.isRecording() && !system.knownDevices().empty(); },
                         10'000) ||
        !QTest::qWaitForWindowExposed(item->button()->window(), 10'000)) {
        std::printf("scenario=settings-frozen skipped (not recording, or no status item)\n");
        return;
    }
    kill(server, SIGSTOP);
    StallProbe probe;
    double slowestOpeningMilliseconds = 0;
    std::size_t devicesShown = 0;
    for (int opening = 0; opening < 5; ++opening) {
        QElapsedTimer timer;
        timer.start();
        SettingsController::toggle(item->button());
        SettingsController* settings = SettingsController::activeController();
        if (!settings || !QTest::qWaitForWindowExposed(settings->popover()->window(), 5'000)) {
            std::printf("scenario=settings-frozen failed (the settings did not show)\n");
            break;
        }
        slowestOpeningMilliseconds =
            std::max(slowestOpeningMilliseconds, static_cast<double>(timer.nsecsElapsed()) / 1e6);
        devicesShown = system.knownDevices().size();
        settings->popover()->close();
        QTest::qWait(100);
    }
    kill(server, SIGCONT);
    char more[96];
    std::snprintf(more, sizeof more, " slowest_opening_ms=%.1f devices_shown=%zu", slowestOpeningMilliseconds,
                  devicesShown);
    report("settings-frozen", probe, more);
    SettingsEnvironment::shared() = SettingsEnvironment{};
}

// Reserving 2.5 GB where every block is written takes seconds: the status item and recording must not wait.
void ramfsStart() {
    TemporaryCaches ramfs;
    if (geteuid() != 0 || mount("none", ramfs.path().c_str(), "ramfs", 0, nullptr) != 0) {
        std::printf("scenario=ramfs-start skipped (needs root to mount a ramfs)\n");
        return;
    }
    const QByteArray savedCaches = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(ramfs.path().string()));
    Defaults::setInteger(Defaults::captureMaximumMinutesKey, 480);
    {
        const CaptureDevice microphone{"bench.microphone", "Bench Microphone"};
        FakeCaptureSystem capture;
        capture.connectedDevices = {microphone};
        capture.defaultDeviceID = microphone.uniqueID;
        FakeCaptureAuthorization authorization;
        authorization.currentStatus = CaptureAuthorization::Status::authorized;
        DefaultsRecordingSettings recordingSettings;
        StallProbe probe;
        QElapsedTimer reserving;
        reserving.start();
        AudioController controller(capture, authorization, recordingSettings);
        controller.audioBuffer().reset();
        controller.startRecording();
        const double toRecordingMilliseconds = static_cast<double>(reserving.nsecsElapsed()) / 1e6;
        if (!QTest::qWaitFor([&] { return controller.audioBuffer().keptDurationSeconds() > 0; }, 120'000))
            std::printf("scenario=ramfs-start: the ring was not made within 2 minutes\n");
        const double reservedSeconds = static_cast<double>(reserving.nsecsElapsed()) / 1e9;
        QTest::qWait(50);
        char more[128];
        std::snprintf(more, sizeof more, " to_recording_ms=%.1f reservation_seconds=%.2f ring_seconds=%.0f",
                      toRecordingMilliseconds, reservedSeconds,
                      controller.audioBuffer().keptDurationSeconds());
        report("ramfs-start", probe, more);
    }
    Defaults::store().remove(Defaults::captureMaximumMinutesKey);
    qputenv("XDG_CACHE_HOME", savedCaches);
    umount2(ramfs.path().c_str(), MNT_DETACH);
}

} // namespace

int main(int argc, char** argv) {
    // A private ring: a measurement must never touch the ring of a Tempolis the user is running.
    TemporaryCaches caches;
    setenv("XDG_CACHE_HOME", caches.path().c_str(), 1);
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Localization::install(application);
    QStringList scenarios = QApplication::arguments().mid(1);
    if (scenarios.isEmpty())
        scenarios = {"frozen-server", "resize-save",     "other-fs",
                     "quit-save",     "settings-frozen", "ramfs-start"};
    if (scenarios.contains("frozen-server"))
        frozenServer();
    if (scenarios.contains("resize-save") || scenarios.contains("other-fs"))
        resizeDuringSave(scenarios.contains("other-fs"));
    if (scenarios.contains("quit-save"))
        quitDuringSave();
    if (scenarios.contains("settings-frozen"))
        settingsWhileFrozen();
    if (scenarios.contains("ramfs-start"))
        ramfsStart();
    return 0;
}
