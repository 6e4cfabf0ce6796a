// What recording both sides of a call costs: the CPU time CallMixer takes per second of audio, for a minute
// of two inputs on clocks 50 ppm apart (the system audio resampled), in the blocks an audio server hands out.
// `percent_of_a_core` is that time as a share of one core while recording.
#include "CallMixer.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <numbers>
#include <random>
#include <time.h>
#include <vector>

namespace {

constexpr double seconds = 60;
constexpr double rate = CallMixer::sampleRate;

struct Block {
    CallMixer::Input input;
    std::size_t first;
    std::size_t frames;
    CallMixer::LocalTime captureTime;
};

// A minute of both inputs (speech-like noise on the microphone, a tone on the system audio) and the order
// their blocks arrive in, made before timing.
struct Call {
    std::vector<int16_t> microphone, systemAudio;
    std::vector<Block> blocks;

    Call(double blockSeconds, double systemPpm, bool systemAudioToo, double amplitude) {
        std::mt19937_64 random(1);
        std::normal_distribution<double> noise(0, amplitude / 3);
        std::uniform_real_distribution<double> jitter(-0.003, 0.003);
        const double systemRate = rate * (1 + systemPpm * 1e-6);
        microphone.resize(static_cast<std::size_t>(seconds * rate));
        systemAudio.resize(systemAudioToo ? static_cast<std::size_t>(seconds * systemRate) : 0);
        for (auto& sample : microphone) {
            sample = static_cast<int16_t>(std::clamp(noise(random), -1.0, 1.0) * 32'767);
        }
        for (std::size_t i = 0; i < systemAudio.size(); ++i) {
            systemAudio[i] = static_cast<int16_t>(amplitude * 32'767 *
                                                  std::sin(2 * std::numbers::pi * 440 * i / systemRate));
        }
        const auto blockFrames = static_cast<std::size_t>(blockSeconds * rate);
        std::size_t nextMicrophone = 0, nextSystemAudio = 0;
        auto localTime = [](double at) {
            return CallMixer::LocalTime(std::chrono::nanoseconds(std::llround((100 + at) * 1e9)));
        };
        while (nextMicrophone + blockFrames <= microphone.size()) {
            const double microphoneEnds = static_cast<double>(nextMicrophone + blockFrames) / rate;
            const double systemEnds = 0.05 + static_cast<double>(nextSystemAudio + blockFrames) / systemRate;
            if (nextSystemAudio + blockFrames <= systemAudio.size() && systemEnds < microphoneEnds) {
                blocks.push_back(
                    {CallMixer::Input::systemAudio, nextSystemAudio, blockFrames,
                     localTime(0.05 + static_cast<double>(nextSystemAudio) / systemRate + jitter(random))});
                nextSystemAudio += blockFrames;
            } else {
                blocks.push_back({CallMixer::Input::microphone, nextMicrophone, blockFrames,
                                  localTime(static_cast<double>(nextMicrophone) / rate + jitter(random))});
                nextMicrophone += blockFrames;
            }
        }
    }
};

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void mix(benchmark::State& state, double blockSeconds, bool systemAudioToo, double amplitude) {
    const Call call(blockSeconds, 50, systemAudioToo, amplitude);
    int64_t outputFrames = 0;
    const double cpuBefore = threadCpuSeconds();
    for (auto _ : state) {
        CallMixer mixer([&](const int16_t* samples, std::size_t frameCount) {
            benchmark::DoNotOptimize(samples);
            outputFrames += static_cast<int64_t>(frameCount);
        });
        for (const Block& block : call.blocks) {
            const auto& samples =
                block.input == CallMixer::Input::microphone ? call.microphone : call.systemAudio;
            mixer.append(block.input, samples.data() + block.first, block.frames, block.captureTime);
        }
    }
    const double cpuSeconds = threadCpuSeconds() - cpuBefore;
    const double audioSeconds = static_cast<double>(outputFrames) / rate;
    state.counters["audio_seconds"] = audioSeconds / static_cast<double>(state.iterations());
    state.counters["percent_of_a_core"] = 100 * cpuSeconds / audioSeconds;
}

} // namespace

// Blocks of 100 ms (the capture session's fragment), 10 ms (another client asking for low latency), both
// sides quiet enough to add up, both loud (the limiter at work), and the microphone alone (no resampling).
BENCHMARK_CAPTURE(mix, bothInputs100ms, 0.100, true, 0.3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(mix, bothInputs10ms, 0.010, true, 0.3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(mix, bothInputsLoud100ms, 0.100, true, 0.9)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(mix, microphoneAlone100ms, 0.100, false, 0.3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
