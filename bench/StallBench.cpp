// The longest time the user interface stood still (the main thread's event loop did not turn) while the
// recording controller did something slow underneath:
//   frozen-server   capture starts again while the audio server is frozen (SIGSTOP)
//   resize-save     the buffer length changes while a 60-minute clip is being encoded
//   other-fs        a 60-minute clip is saved to another file system (/dev/shm)
//   quit-save       the program quits while a 60-minute clip is being encoded
//
//   stall_bench [SCENARIO...]     (under scripts/test-session; all scenarios when none is named)
//
// Prints one line per scenario: scenario=<name> longest_stall_ms=<x> [more figures]
#include "AudioController.h"
#include "DesktopCaptureAuthorization.h"
#include "FakeCaptureAuthorization.h"
#include "FakeCaptureSystem.h"
#include "PulseCaptureSystem.h"
#include "StallProbe.h"
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
#include <sys/stat.h>

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
    AudioController controller(system, authorization);
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
        controller = std::make_unique<AudioController>(capture, authorization);
        QObject::connect(controller.get(), &AudioController::savePanelOpened,
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
    std::unique_ptr<AudioController> controller;
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

} // namespace

int main(int argc, char** argv) {
    // A private ring: a measurement must never touch the ring of a Tempolis the user is running.
    TemporaryCaches caches;
    setenv("XDG_CACHE_HOME", caches.path().c_str(), 1);
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QStringList scenarios = QApplication::arguments().mid(1);
    if (scenarios.isEmpty())
        scenarios = {"frozen-server", "resize-save", "other-fs", "quit-save"};
    if (scenarios.contains("frozen-server"))
        frozenServer();
    if (scenarios.contains("resize-save") || scenarios.contains("other-fs"))
        resizeDuringSave(scenarios.contains("other-fs"));
    if (scenarios.contains("quit-save"))
        quitDuringSave();
    return 0;
}
