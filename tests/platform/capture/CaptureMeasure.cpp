// What capturing costs: CPU seconds and memory of this process while one PulseCaptureSession records a
// virtual microphone (private PulseAudio server, audio playing) for a while. Not a test; run it by hand:
//   capture_measure [seconds=60]
#include "PulseCaptureSession.h"
#include "PulseServer.h"
#include "TestSignal.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A line of /proc/self/status, e.g. "VmRSS" or "VmHWM", in kB.
long statusKilobytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stol(line.substr(key.size() + 1));
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const double seconds = argc > 1 ? std::stod(argv[1]) : 60.0;
    constexpr int sampleRate = 44100;

    PulseServer server;
    const auto microphone = server.addMicrophone("rec_mic", "Test Microphone");
    if (!server.isRunning() || !microphone) {
        std::fprintf(stderr, "no test server: %s\n", server.error().c_str());
        return 1;
    }
    const long rssBeforeKb = statusKilobytes("VmRSS");

    std::atomic<std::size_t> bytes{0};
    std::atomic<std::size_t> blocks{0};
    PulseCaptureSession session;
    session.setOutput(sampleRate, [&](const void*, std::size_t byteCount) {
        bytes += byteCount;
        ++blocks;
    });
    std::string error;
    if (!session.setInput({microphone->sourceName, "Test Microphone"}, &error) ||
        !session.startRunning(&error)) {
        std::fprintf(stderr, "capture did not start: %s\n", error.c_str());
        return 1;
    }
    server.play(microphone->sinkName, testSignal(static_cast<std::size_t>(sampleRate * (seconds + 30))),
                sampleRate);
    if (!QTest::qWaitFor([&] { return bytes > 0; }, 20000)) {
        std::fprintf(stderr, "no audio arrived\n");
        return 1;
    }

    // Peak RSS from here on (the played signal was built in this process); the main thread sleeps in its
    // event loop, as the application's does.
    std::ofstream("/proc/self/clear_refs") << "5";
    const double cpuBefore = cpuSeconds();
    const std::size_t bytesBefore = bytes;
    const std::size_t blocksBefore = blocks;
    const auto start = std::chrono::steady_clock::now();
    QEventLoop idle;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &idle, &QEventLoop::quit);
    idle.exec();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;
    const double frames = static_cast<double>(bytes - bytesBefore) / 2;
    session.stopRunning();

    std::printf("captured %.1f s (%.0f frames, %.4f of real time)\n", wall, frames,
                frames / (wall * sampleRate));
    std::printf("blocks: %zu, %.0f bytes on average\n", blocks - blocksBefore,
                2 * frames / static_cast<double>(blocks - blocksBefore));
    std::printf("CPU: %.3f s for the whole process (%.2f%% of one core)\n", cpu, 100 * cpu / wall);
    std::printf("RSS: %.1f MB before the session, %.1f MB after capturing, peak while capturing %.1f MB\n",
                rssBeforeKb / 1024.0, statusKilobytes("VmRSS") / 1024.0, statusKilobytes("VmHWM") / 1024.0);
    return 0;
}
