// Append throughput: 4,410-byte blocks (50 ms of audio each) through the buffer's queue into the ring.
#include "AudioBuffer.h"
#include "TemporaryCaches.h"

#include <benchmark/benchmark.h>

#include <vector>

static void appendBlocks(benchmark::State& state) {
    TemporaryCaches caches;
    AudioBuffer buffer(900, 44'100, caches.path());
    buffer.start();
    const std::vector<uint8_t> block(4'410, 0x5a);
    int64_t blocks = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1'000; ++i) {
            buffer.append(std::make_shared<SampleBlock>(block.data(), block.size()));
        }
        buffer.queue().sync([] {});
        blocks += 1'000;
    }
    const double audioSeconds = static_cast<double>(blocks) * 0.05;
    state.counters["audio_seconds_per_second"] =
        benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(blocks * 4'410);
}
BENCHMARK(appendBlocks)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
