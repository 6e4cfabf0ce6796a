#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

// Measurements on 16-bit output: where a click is, how loud a stretch is, how far a stretch is from pure
// tones.
namespace SignalMeasure {

// The frame with the largest magnitude in [first, first + count).
inline std::size_t loudestFrame(const int16_t* samples, std::size_t first, std::size_t count) {
    std::size_t loudest = first;
    for (std::size_t i = first; i < first + count; ++i) {
        if (std::abs(samples[i]) > std::abs(samples[loudest])) {
            loudest = i;
        }
    }
    return loudest;
}

// Root mean square relative to full scale (32,768), in dB.
inline double levelDecibels(const int16_t* samples, std::size_t count) {
    double energy = 0;
    for (std::size_t i = 0; i < count; ++i) {
        energy += static_cast<double>(samples[i]) * samples[i];
    }
    return 10 * std::log10(energy / static_cast<double>(count) / (32'768.0 * 32'768.0));
}

// Fits tones at the given frequencies (radians per frame), each with an amplitude and a phase that may drift
// smoothly (quadratically) across the stretch, plus a constant, by least squares; answers what is left over
// relative to the stretch, in dB. A pure tone through a good resampler leaves its quantisation (below -70 dB
// at -20 dBFS); a jump, a dropped frame or clipping leaves far more.
inline double toneResidualDecibels(const int16_t* samples, std::size_t count,
                                   const std::vector<double>& radiansPerFrame) {
    constexpr std::size_t termsPerTone = 6;
    const std::size_t terms = 1 + termsPerTone * radiansPerFrame.size();
    std::vector<double> normal(terms * terms, 0.0), right(terms, 0.0), basis(terms);
    const double middle = static_cast<double>(count) / 2;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = static_cast<double>(i) - middle;
        basis[0] = 1;
        for (std::size_t t = 0; t < radiansPerFrame.size(); ++t) {
            const double s = std::sin(radiansPerFrame[t] * x), c = std::cos(radiansPerFrame[t] * x);
            const double drift = x / middle;
            double scale = 1;
            for (std::size_t power = 0; power < termsPerTone / 2; ++power, scale *= drift) {
                basis[1 + termsPerTone * t + 2 * power] = scale * s;
                basis[2 + termsPerTone * t + 2 * power] = scale * c;
            }
        }
        for (std::size_t r = 0; r < terms; ++r) {
            right[r] += basis[r] * samples[i];
            for (std::size_t k = 0; k < terms; ++k) {
                normal[r * terms + k] += basis[r] * basis[k];
            }
        }
    }
    // Gaussian elimination with partial pivoting.
    for (std::size_t col = 0; col < terms; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < terms; ++r) {
            if (std::abs(normal[r * terms + col]) > std::abs(normal[pivot * terms + col])) {
                pivot = r;
            }
        }
        for (std::size_t k = 0; k < terms; ++k) {
            std::swap(normal[col * terms + k], normal[pivot * terms + k]);
        }
        std::swap(right[col], right[pivot]);
        for (std::size_t r = col + 1; r < terms; ++r) {
            const double factor = normal[r * terms + col] / normal[col * terms + col];
            for (std::size_t k = col; k < terms; ++k) {
                normal[r * terms + k] -= factor * normal[col * terms + k];
            }
            right[r] -= factor * right[col];
        }
    }
    std::vector<double> coefficients(terms);
    for (std::size_t r = terms; r-- > 0;) {
        double sum = right[r];
        for (std::size_t k = r + 1; k < terms; ++k) {
            sum -= normal[r * terms + k] * coefficients[k];
        }
        coefficients[r] = sum / normal[r * terms + r];
    }
    double residual = 0, total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = static_cast<double>(i) - middle;
        double fitted = coefficients[0];
        for (std::size_t t = 0; t < radiansPerFrame.size(); ++t) {
            const double s = std::sin(radiansPerFrame[t] * x), c = std::cos(radiansPerFrame[t] * x);
            const double drift = x / middle;
            double scale = 1;
            for (std::size_t power = 0; power < termsPerTone / 2; ++power, scale *= drift) {
                fitted += scale * (coefficients[1 + termsPerTone * t + 2 * power] * s +
                                   coefficients[2 + termsPerTone * t + 2 * power] * c);
            }
        }
        residual += (samples[i] - fitted) * (samples[i] - fitted);
        total += static_cast<double>(samples[i]) * samples[i];
    }
    return 10 * std::log10(residual / total);
}

} // namespace SignalMeasure
