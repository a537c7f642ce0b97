// Deterministic synthetic pseudo-2D series: two Lorentzian lines whose amplitudes trade
// places from the first slice to the last, as in a titration or slow exchange. Used by the
// example generator, the tests and the benchmarks, which need series with known truth.
#pragma once

#include <cstdint>
#include <fstream>
#include <iomanip>
#include <limits>
#include <string>
#include <vector>

struct SeriesSpec {
    int slices = 40;
    int points = 256;           // per slice, on a descending ppm axis
    double ppm_high = 2.5;      // first point of the axis
    double ppm_low = -0.5;      // last point of the axis
    double peak_A = 1.20;       // ppm
    double peak_B = 0.90;       // ppm
    double hwhh_A = 0.08;       // ppm
    double hwhh_B = 0.10;       // ppm
    double amplitude = 1.0e5;   // MA + MB in every slice (raw units: intensity x ppm)
    double first_share_A = 0.9; // MA / amplitude in the first slice; 1 - this in the last
    double noise = 0.0;         // standard deviation, as a fraction of the tallest line height
    std::uint64_t seed = 1;
    double window_low = 0.2; // second row of peaks.txt
    double window_high = 2.0;
};

// Amplitudes of slice s: MA falls linearly from first_share_A to 1 - first_share_A.
inline double amplitude_A(const SeriesSpec& spec, int s) {
    const double f = spec.slices > 1 ? static_cast<double>(s) / (spec.slices - 1) : 0.0;
    const double share = spec.first_share_A + (1.0 - 2.0 * spec.first_share_A) * f;
    return spec.amplitude * share;
}
inline double amplitude_B(const SeriesSpec& spec, int s) {
    return spec.amplitude - amplitude_A(spec, s);
}

inline double ppm_of_point(const SeriesSpec& spec, int i) {
    const double step = spec.points > 1 ? (spec.ppm_high - spec.ppm_low) / (spec.points - 1) : 0.0;
    return spec.ppm_high - step * i;
}

inline double line_value(double amplitude, double hwhh, double position, double x) {
    const double w = 1.0 / hwhh;
    const double d = x - position;
    return amplitude * w / (1 + (w * w) * (d * d));
}

// splitmix64 and a sum of uniforms: the same noise on every platform and standard library.
inline double next_uniform(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
}
inline double next_gaussian(std::uint64_t& state) {
    double sum = 0.0;
    for (int i = 0; i < 12; ++i) {
        sum += next_uniform(state);
    }
    return sum - 6.0; // Irwin-Hall: mean 0, variance 1
}

// Writes 2d.txt (and peaks.txt, for pairfit2 with a third row of the true half-widths)
// into `folder`. Returns false when a file cannot be written.
inline bool write_series(const SeriesSpec& spec, const std::string& folder) {
    std::ofstream peaks(folder + "/peaks.txt");
    peaks << std::setprecision(15);
    peaks << "# peak_A peak_B (ppm)\n" << spec.peak_A << " " << spec.peak_B << "\n";
    peaks << "# window to cut (ppm)\n" << spec.window_low << " " << spec.window_high << "\n";
    peaks << "# fixed half-widths LWA LWB for pairfit2 (ppm)\n"
          << spec.hwhh_A << " " << spec.hwhh_B << "\n";

    const double tallest = std::max(spec.amplitude * spec.first_share_A / spec.hwhh_A,
                                    spec.amplitude * spec.first_share_A / spec.hwhh_B);
    std::uint64_t state = spec.seed;
    std::ofstream series(folder + "/2d.txt");
    series << std::setprecision(12);
    for (int s = 0; s < spec.slices; ++s) {
        series << "# slice " << s << "\n";
        for (int i = 0; i < spec.points; ++i) {
            const double x = ppm_of_point(spec, i);
            double y = line_value(amplitude_A(spec, s), spec.hwhh_A, spec.peak_A, x) +
                       line_value(amplitude_B(spec, s), spec.hwhh_B, spec.peak_B, x);
            if (spec.noise > 0.0) {
                y += spec.noise * tallest * next_gaussian(state);
            }
            series << x << " " << y << "\n";
        }
        series << "&\n";
    }
    peaks.close();
    series.close();
    return !peaks.fail() && !series.fail();
}
