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

struct SeriesSettings {
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

// The benchmark's medium series: 128 slices of 4096 points, noisy, with a window of a quarter
// of the axis around both lines (bench/run.sh makes it and a big one with make_series).
inline SeriesSettings medium_series() {
    SeriesSettings settings;
    settings.slices = 128;
    settings.points = 4096;
    settings.noise = 0.01;
    settings.window_low = 0.65;
    settings.window_high = 1.4;
    return settings;
}

// Amplitudes of slice s: MA falls linearly from first_share_A to 1 - first_share_A.
inline double amplitude_A(const SeriesSettings& settings, int s) {
    const double f = settings.slices > 1 ? static_cast<double>(s) / (settings.slices - 1) : 0.0;
    const double share = settings.first_share_A + (1.0 - 2.0 * settings.first_share_A) * f;
    return settings.amplitude * share;
}
inline double amplitude_B(const SeriesSettings& settings, int s) {
    return settings.amplitude - amplitude_A(settings, s);
}

inline double ppm_of_point(const SeriesSettings& settings, int i) {
    const double step =
        settings.points > 1 ? (settings.ppm_high - settings.ppm_low) / (settings.points - 1) : 0.0;
    return settings.ppm_high - step * i;
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
inline bool write_series(const SeriesSettings& settings, const std::string& folder) {
    std::ofstream peaks(folder + "/peaks.txt");
    peaks << std::setprecision(15);
    peaks << "# peak_A peak_B (ppm)\n" << settings.peak_A << " " << settings.peak_B << "\n";
    peaks << "# window to cut (ppm)\n"
          << settings.window_low << " " << settings.window_high << "\n";
    peaks << "# fixed half-widths LWA LWB for pairfit2 (ppm)\n"
          << settings.hwhh_A << " " << settings.hwhh_B << "\n";

    const double tallest = std::max(settings.amplitude * settings.first_share_A / settings.hwhh_A,
                                    settings.amplitude * settings.first_share_A / settings.hwhh_B);
    std::uint64_t state = settings.seed;
    std::ofstream series(folder + "/2d.txt");
    series << std::setprecision(12);
    for (int s = 0; s < settings.slices; ++s) {
        series << "# slice " << s << "\n";
        for (int i = 0; i < settings.points; ++i) {
            const double x = ppm_of_point(settings, i);
            double y = line_value(amplitude_A(settings, s), settings.hwhh_A, settings.peak_A, x) +
                       line_value(amplitude_B(settings, s), settings.hwhh_B, settings.peak_B, x);
            if (settings.noise > 0.0) {
                y += settings.noise * tallest * next_gaussian(state);
            }
            series << x << " " << y << "\n";
        }
        series << "&\n";
    }
    peaks.close();
    series.close();
    return !peaks.fail() && !series.fail();
}
