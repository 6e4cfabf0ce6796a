#pragma once

// Helpers of the audio file tests: external tools, test signals, and measures of what came back.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct CommandResult {
    int exitCode = -1;  // -1 when the command could not be run or did not exit normally
    std::string output; // stdout only
};

// Runs a shell command line; arguments must already be quoted.
CommandResult runCommand(const std::string& commandLine);
// Single-quotes a word for the shell.
std::string shellQuote(const std::string& word);

// What ffprobe reports about a file: format keys ("format.format_name", ...) and the first audio
// stream's keys ("stream.duration_ts", "stream.codec_name", ...). nullopt when ffprobe fails on the file.
std::optional<std::map<std::string, std::string>> probeFile(const std::string& path);

// Test signals: deterministic, 16-bit.
std::vector<int16_t> makeTone(double frequencyHz, double amplitude, int sampleRate, size_t count);
// A 440 Hz tone at -10 dBFS with pseudo-random noise (±128) on it: content that never repeats.
std::vector<int16_t> makeToneAndNoise(size_t count, uint32_t seed = 1);

bool writeRawFile(const std::string& path, const std::vector<int16_t>& samples);
std::optional<std::vector<int16_t>> readRawFile(const std::string& path);

// Signal-to-noise ratio of `decoded` against `reference` in dB, over their common length, with `decoded`
// shifted by `lag` samples (decoded[i + lag] is compared with reference[i]).
double snrDb(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded, int lag = 0);
// Normalised correlation (-1..1) of the two at `lag`, over their common length.
double correlation(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded, int lag = 0);
// The lag in [-maxLag, maxLag] at which `decoded` best matches `reference` (highest correlation), judged on a
// window of the reference starting at `windowStart`, `windowLength` samples long.
int bestLag(const std::vector<int16_t>& reference, const std::vector<int16_t>& decoded, int maxLag,
            size_t windowStart, size_t windowLength);
