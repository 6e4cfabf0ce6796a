// Streams a raw s16le mono 44.1 kHz file through AudioBuffer::append as fast as possible, then exports the
// last N seconds to an .m4a file and reports how long the export took.
//
//   export_bench --input FILE --window-seconds W --block-bytes B --export-seconds N --output OUT.m4a
//                [--mode export|background]
//
// "export" (the default) encodes the clip when saving. "background" lets the background encoder encode the
// blocks as they arrive (it waits until it has caught up), then times the save, which copies packets; while
// the save runs it appends 0.25 s more audio in real time, as capture would, since the encoder hands out the
// newest packets only once later input arrives.
#include "AacFileWriter.h"
#include "AudioBuffer.h"
#include "TemporaryCaches.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <malloc.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    std::string input;
    double windowSeconds = 3'600;
    std::size_t blockBytes = 4'410;
    double exportSeconds = 0;
    std::string output;
    bool background = false;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--input") {
            options.input = value;
        } else if (name == "--window-seconds") {
            options.windowSeconds = std::atof(value);
        } else if (name == "--block-bytes") {
            options.blockBytes = static_cast<std::size_t>(std::atoll(value));
        } else if (name == "--export-seconds") {
            options.exportSeconds = std::atof(value);
        } else if (name == "--output") {
            options.output = value;
        } else if (name == "--mode" &&
                   (std::strcmp(value, "export") == 0 || std::strcmp(value, "background") == 0)) {
            options.background = std::strcmp(value, "background") == 0;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !options.input.empty() && !options.output.empty() && options.windowSeconds > 0 &&
           options.blockBytes > 0 && options.exportSeconds > 0;
}

void resetPeakResidentSize() {
    malloc_trim(0); // hand the queued blocks' memory back first, or it would count as the export's
    std::ofstream("/proc/self/clear_refs") << "5";
}

long peakResidentSizeKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: export_bench --input FILE --window-seconds W --block-bytes B "
                             "--export-seconds N --output OUT.m4a [--mode export|background]\n");
        return 2;
    }
    std::ifstream input(options.input, std::ios::binary);
    if (!input) {
        std::fprintf(stderr, "export_bench: cannot read %s\n", options.input.c_str());
        return 1;
    }

    // The ring lives in a private caches folder so a benchmark never touches the user's recording.
    TemporaryCaches caches;
    AudioBuffer::WriterFactory encodeOnSave;
    if (!options.background) {
        encodeOnSave = [] { return std::make_unique<AacFileWriter>(); };
    }
    AudioBuffer buffer(options.windowSeconds, 44'100, caches.path(), encodeOnSave);
    buffer.queue().sync([] {}); // the ring is reserved on the buffer's queue
    if (buffer.keptDurationSeconds() < buffer.requestedDurationSeconds()) {
        std::fprintf(stderr, "export_bench: the disk holds a ring of only %.0f of the %.0f seconds asked\n",
                     buffer.keptDurationSeconds(), buffer.requestedDurationSeconds());
    }
    buffer.start();
    std::vector<uint8_t> block(options.blockBytes);
    while (input.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size())) ||
           input.gcount() > 0) {
        buffer.append(std::make_shared<SampleBlock>(block.data(), static_cast<std::size_t>(input.gcount())));
    }
    buffer.queue().sync([] {});
    if (BackgroundEncoder* encoder = buffer.backgroundEncoder()) {
        encoder->queue().sync([] {});
    }
    // From here on the peak resident size is the export's own (the appends above can queue up faster than
    // the buffer stores them).
    resetPeakResidentSize();

    struct Outcome {
        bool success;
        double seconds;
        std::chrono::steady_clock::time_point finished;
    };
    std::promise<Outcome> outcome;
    std::future<Outcome> result = outcome.get_future();
    const auto started = std::chrono::steady_clock::now();
    buffer.exportAudio(options.output, options.exportSeconds, [&](bool success, double seconds) {
        outcome.set_value({success, seconds, std::chrono::steady_clock::now()});
    });
    if (options.background) {
        // Up to 0.25 s more, a block at a time as capture delivers them (the bytes repeat the input's start).
        input.clear();
        input.seekg(0);
        const auto blockDuration = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(static_cast<double>(block.size()) / 2 / 44'100));
        for (auto due = started; due - started < std::chrono::milliseconds(250);) {
            input.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
            buffer.append(std::make_shared<SampleBlock>(block.data(), block.size()));
            due += blockDuration;
            if (result.wait_until(due) == std::future_status::ready) {
                break;
            }
        }
    }
    const auto [success, seconds, finished] = result.get();
    const double wallSeconds = std::chrono::duration<double>(finished - started).count();
    if (!success) {
        std::fprintf(stderr, "export_bench: the export failed\n");
        return 1;
    }
    std::printf("exported_seconds=%.3f export_wall_seconds=%.3f realtime_factor=%.1f\n", seconds, wallSeconds,
                seconds / wallSeconds);
    std::fprintf(stderr, "export_peak_rss_kb=%ld\n", peakResidentSizeKilobytes());
    return 0;
}
