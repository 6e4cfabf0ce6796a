#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// A known signal with no zero sample, so that its start stands out from the silence around it.
inline std::vector<int16_t> testSignal(std::size_t sampleCount, uint32_t seed = 12345) {
    std::vector<int16_t> samples(sampleCount);
    uint32_t state = seed;
    for (auto& sample : samples) {
        state = state * 1664525u + 1013904223u;
        const int value = static_cast<int>((state >> 16) % 40001) - 20000;
        sample = static_cast<int16_t>(value == 0 ? 1 : value);
    }
    return samples;
}

// Where `signal` begins in `recorded`: at the first sample that is not silence. None when nothing was heard
// yet.
inline std::optional<std::size_t> signalStart(const std::vector<int16_t>& recorded) {
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        if (recorded[i] != 0) {
            return i;
        }
    }
    return std::nullopt;
}
