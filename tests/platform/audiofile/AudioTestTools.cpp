#include "AudioTestTools.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sys/wait.h>

std::string shellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

CommandResult runCommand(const std::string& commandLine) {
    CommandResult result;
    FILE* pipe = popen(commandLine.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

std::optional<std::map<std::string, std::string>> probeFile(const std::string& path) {
    const CommandResult probe = runCommand(
        "ffprobe -v error -select_streams a:0 -show_entries "
        "format=format_name,nb_streams:stream=codec_name,sample_rate,channels,time_base,duration_ts "
        "-of flat " +
        shellQuote(path));
    if (probe.exitCode != 0) {
        return std::nullopt;
    }
    // Lines like: format.nb_streams=1, streams.stream.0.duration_ts=1025, format.format_name="mov,mp4,..."
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < probe.output.size()) {
        size_t end = probe.output.find('\n', start);
        if (end == std::string::npos) {
            end = probe.output.size();
        }
        const std::string line = probe.output.substr(start, end - start);
        start = end + 1;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (key.rfind("streams.stream.0.", 0) == 0) {
            key = "stream." + key.substr(17);
        }
        values[key] = value;
    }
    return values;
}

std::vector<int16_t> makeTone(double frequencyHz, double amplitude, int sampleRate, size_t count) {
    std::vector<int16_t> samples(count);
    for (size_t i = 0; i < count; ++i) {
        const double phase = 2 * std::numbers::pi * frequencyHz * static_cast<double>(i) / sampleRate;
        samples[i] = static_cast<int16_t>(std::lrint(amplitude * 32767 * std::sin(phase)));
    }
    return samples;
}

std::vector<int16_t> makeToneAndNoise(size_t count, uint32_t seed) {
    std::vector<int16_t> samples = makeTone(440, 0.3, 44100, count);
    uint32_t state = seed;
    for (auto& sample : samples) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<int16_t>(sample + static_cast<int>(state >> 24) - 128);
    }
    return samples;
}

bool writeRawFile(const std::string& path, const std::vector<int16_t>& samples) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * 2));
    return static_cast<bool>(out);
}

std::optional<std::vector<int16_t>> readRawFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        return std::nullopt;
    }
    const auto size = static_cast<size_t>(in.tellg());
    std::vector<int16_t> samples(size / 2);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 2));
    if (!in) {
        return std::nullopt;
    }
    return samples;
}

namespace {

// The index range [begin, end) of `reference` that has a partner in `decoded` at `lag`.
std::pair<long, long> overlap(size_t referenceSize, size_t decodedSize, int lag) {
    const long begin = std::max(0L, -static_cast<long>(lag));
    const long end = std::min(static_cast<long>(referenceSize), static_cast<long>(decodedSize) - lag);
    return {begin, std::max(begin, end)};
}

} // namespace

double snrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded, int lag) {
    const auto [begin, end] = overlap(reference.size(), decoded.size(), lag);
    double signal = 0;
    double noise = 0;
    for (long i = begin; i < end; ++i) {
        const double r = reference[static_cast<size_t>(i)];
        const double d = decoded[static_cast<size_t>(i + lag)];
        signal += r * r;
        noise += (r - d) * (r - d);
    }
    if (noise == 0) {
        return 200;
    }
    return 10 * std::log10(signal / noise);
}

double correlation(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded, int lag) {
    const auto [begin, end] = overlap(reference.size(), decoded.size(), lag);
    double product = 0;
    double referenceEnergy = 0;
    double decodedEnergy = 0;
    for (long i = begin; i < end; ++i) {
        const double r = reference[static_cast<size_t>(i)];
        const double d = decoded[static_cast<size_t>(i + lag)];
        product += r * d;
        referenceEnergy += r * r;
        decodedEnergy += d * d;
    }
    if (referenceEnergy == 0 || decodedEnergy == 0) {
        return 0;
    }
    return product / std::sqrt(referenceEnergy * decodedEnergy);
}

int bestLag(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded, int maxLag,
            size_t windowStart, size_t windowLength) {
    int best = 0;
    double bestScore = -2;
    const long windowEnd = static_cast<long>(std::min(reference.size(), windowStart + windowLength));
    for (int lag = -maxLag; lag <= maxLag; ++lag) {
        double product = 0;
        double referenceEnergy = 0;
        double decodedEnergy = 0;
        for (long i = static_cast<long>(windowStart); i < windowEnd; ++i) {
            const long j = i + lag;
            if (j < 0 || j >= static_cast<long>(decoded.size())) {
                continue;
            }
            const double r = reference[static_cast<size_t>(i)];
            const double d = decoded[static_cast<size_t>(j)];
            product += r * d;
            referenceEnergy += r * r;
            decodedEnergy += d * d;
        }
        const double score = referenceEnergy > 0 && decodedEnergy > 0
                                 ? product / std::sqrt(referenceEnergy * decodedEnergy)
                                 : -1;
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}
