// Measures the writer on a real input: encodes a raw s16le mono file into an .m4a the way the buffer's export
// does (writes of at most 1 MiB) and prints the wall-clock and CPU time. Compare with
//   ffmpeg -f s16le -ar 44100 -ac 1 -i input.raw -c:a aac -aac_coder fast output.m4a
// Usage: aac_encode_measure input.raw output.m4a [sample rate, default 44100]

#include "AacFileWriter.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s input.raw output.m4a [sample rate]\n", argv[0]);
        return 2;
    }
    const double rate = argc > 3 ? std::stod(argv[3]) : 44100;
    FILE* input = std::fopen(argv[1], "rb");
    if (input == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();

    AacFileWriter writer;
    int32_t status = writer.create(argv[2], AudioStreamFormat::aacMono(rate));
    if (status == 0) {
        status = writer.setClientFormat(AudioStreamFormat::pcm16Mono(rate));
    }
    std::vector<char> chunk(1 << 20);
    uint64_t frames = 0;
    size_t n = 0;
    while (status == 0 && (n = std::fread(chunk.data(), 1, chunk.size(), input)) > 0) {
        status = writer.writeFrames(static_cast<uint32_t>(n / 2), chunk.data(), static_cast<uint32_t>(n));
        frames += n / 2;
    }
    const int32_t disposeStatus = writer.dispose();
    std::fclose(input);
    if (status == 0) {
        status = disposeStatus;
    }

    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    std::printf("status %d, %llu frames (%.1f s of audio), wall %.2f s, cpu %.2f s, %.0fx real time\n",
                status, static_cast<unsigned long long>(frames), frames / rate, wall, cpu,
                frames / rate / wall);
    return status == 0 ? 0 : 1;
}
