// Records from the default input with the real recording controller for a while, without any window,
// optionally saves the last N seconds, and reports what that cost this process.
//
//   capture_bench --seconds S [--export-seconds N --output OUT.m4a]
#include "AudioController.h"
#include "DefaultsRecordingSettings.h"
#include "DesktopCaptureAuthorization.h"
#include "PulseCaptureSystem.h"
#include "TemporaryCaches.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <sys/resource.h>

namespace {

double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 0, exportSeconds = 0;
    std::string output;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--export-seconds") == 0) {
            exportSeconds = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--output") == 0) {
            output = argv[i + 1];
        }
    }
    if (seconds <= 0 || argc % 2 == 0 || (exportSeconds > 0) != !output.empty()) {
        std::fprintf(stderr, "usage: capture_bench --seconds S [--export-seconds N --output OUT.m4a]\n");
        return 2;
    }

    // A private ring: a measurement must never touch the ring of a Tempolis the user is running.
    TemporaryCaches caches;
    setenv("XDG_CACHE_HOME", caches.path().c_str(), 1);

    QCoreApplication application(argc, argv);
    PulseCaptureSystem captureSystem;
    DesktopCaptureAuthorization authorization;
    DefaultsRecordingSettings recordingSettings;
    AudioController controller(captureSystem, authorization, recordingSettings);
    controller.startRecording();

    int status = 0;
    QTimer::singleShot(static_cast<int>(seconds * 1000), [&] {
        if (!controller.isRecording()) {
            std::fprintf(stderr, "capture_bench: not recording at the end (is there an input device?)\n");
            status = 1;
        }
        if (exportSeconds > 0) {
            std::promise<bool> exported;
            controller.audioBuffer().exportAudio(output, exportSeconds,
                                                 [&](bool success, double) { exported.set_value(success); });
            if (!exported.get_future().get()) {
                std::fprintf(stderr, "capture_bench: the export failed\n");
                status = 1;
            }
        }
        controller.stopRecording();
        QCoreApplication::quit();
    });
    QCoreApplication::exec();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("cpu_seconds=%.3f peak_rss_kb=%ld\n", cpuSeconds(usage), usage.ru_maxrss);
    return status;
}
