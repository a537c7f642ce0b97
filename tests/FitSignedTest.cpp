// fit_series with signed amplitudes against an independent least-squares solver: on the bundled
// inversion-recovery experiment and on synthetic series whose lines change sign mid-series, every
// slice's residual sum must be as low as the best this solver finds in the same box.
#include "FitSeries.h"
#include "ReadImport.h"
#include "SignedReferenceFit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double lowest_width = 1e-4;
constexpr double highest_width = 10.0;
constexpr double amplitude_limit = 10.0;

struct Points {
    std::vector<double> x;
    std::vector<double> y;
};

Points slice_points(const WindowedSeries& series, std::size_t slice) {
    const auto first = series.ppm.begin() + static_cast<long>(series.slice_start[slice]);
    const auto end = series.ppm.begin() + static_cast<long>(series.slice_start[slice + 1]);
    const auto y_first = series.intensity.begin() + (first - series.ppm.begin());
    return {{first, end}, {y_first, y_first + (end - first)}};
}

// A line of unit amplitude, written out here rather than taken from Fit.h.
double unit_line(double width, double position, double x) {
    const double d = (x - position) / width;
    return 1.0 / (width * (1.0 + d * d));
}

struct Solution {
    double MA = 0.0, MB = 0.0, LWA = 0.0, LWB = 0.0;
    double rss = HUGE_VAL;
};

// For fixed half-widths the rss is a convex quadratic in (MA, MB): its minimum over the box
// [-10, 10]^2 is the unconstrained one when inside, else the best clamped 1-D minimum on an edge.
Solution best_amplitudes(const Points& p, double peak_A, double peak_B, double LWA, double LWB) {
    const std::size_t n = p.x.size();
    std::vector<double> a(n), b(n);
    double saa = 0, sab = 0, sbb = 0, say = 0, sby = 0;
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = unit_line(LWA, peak_A, p.x[i]);
        b[i] = unit_line(LWB, peak_B, p.x[i]);
        saa += a[i] * a[i];
        sab += a[i] * b[i];
        sbb += b[i] * b[i];
        say += a[i] * p.y[i];
        sby += b[i] * p.y[i];
    }
    const auto rss = [&](double MA, double MB) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double r = MA * a[i] + MB * b[i] - p.y[i];
            sum += r * r;
        }
        return sum;
    };
    const auto clamp = [](double m) { return std::clamp(m, -amplitude_limit, amplitude_limit); };
    std::vector<std::array<double, 2>> candidates;
    const double det = saa * sbb - sab * sab;
    if (det > 1e-14 * saa * sbb) {
        double MA = (sbb * say - sab * sby) / det;
        double MB = (saa * sby - sab * say) / det;
        // One step of refinement on the residual of the normal equations.
        const double ra = say - (saa * MA + sab * MB);
        const double rb = sby - (sab * MA + sbb * MB);
        MA += (sbb * ra - sab * rb) / det;
        MB += (saa * rb - sab * ra) / det;
        if (std::fabs(MA) <= amplitude_limit && std::fabs(MB) <= amplitude_limit) {
            candidates.push_back({MA, MB});
        }
    }
    for (const double edge : {-amplitude_limit, amplitude_limit}) {
        candidates.push_back({edge, clamp((sby - sab * edge) / sbb)});
        candidates.push_back({clamp((say - sab * edge) / saa), edge});
    }
    Solution best;
    for (const auto& [MA, MB] : candidates) {
        const double value = rss(MA, MB);
        if (value < best.rss) {
            best = {MA, MB, LWA, LWB, value};
        }
    }
    return best;
}

// Variable projection: the rss with the best amplitudes as a function of the log half-widths,
// clamped to the box, minimised by a shrinking pattern search from the eight lowest local minima
// of a coarse grid.
Solution independent_best(const Points& p, double peak_A, double peak_B) {
    const double low = std::log(lowest_width), high = std::log(highest_width);
    const auto solve = [&](double u, double v) {
        const auto width = [](double w) {
            return std::clamp(std::exp(w), lowest_width, highest_width);
        };
        return best_amplitudes(p, peak_A, peak_B, width(u), width(v));
    };
    constexpr int grid = 81;
    const auto at = [&](int i) { return low + (high - low) * i / (grid - 1); };
    std::vector<double> value(grid * grid);
    for (int i = 0; i < grid * grid; ++i) {
        value[i] = solve(at(i / grid), at(i % grid)).rss;
    }
    std::vector<std::pair<double, int>> starts;
    for (int i = 0; i < grid * grid; ++i) {
        bool lowest = true;
        for (const int k : {i - grid, i + grid, i % grid ? i - 1 : i, (i + 1) % grid ? i + 1 : i}) {
            lowest = lowest && (k < 0 || k >= grid * grid || value[k] >= value[i]);
        }
        if (lowest) {
            starts.push_back({value[i], i});
        }
    }
    std::sort(starts.begin(), starts.end());
    starts.resize(std::min<std::size_t>(starts.size(), 8));
    Solution best;
    for (const auto& [ignored, cell] : starts) {
        double u = at(cell / grid), v = at(cell % grid), fx = solve(u, v).rss;
        for (double h = 0.1; h > 1e-13; h /= 2) {
            for (bool moved = true; moved;) {
                moved = false;
                for (const auto& [du, dv] : {std::pair{1, 0},
                                             {-1, 0},
                                             {0, 1},
                                             {0, -1},
                                             {1, 1},
                                             {-1, -1},
                                             {1, -1},
                                             {-1, 1}}) {
                    const double qu = std::clamp(u + du * h, low, high);
                    const double qv = std::clamp(v + dv * h, low, high);
                    const double fq = solve(qu, qv).rss;
                    if (fq < fx) {
                        u = qu, v = qv, fx = fq, moved = true;
                    }
                }
            }
        }
        const Solution found = solve(u, v);
        if (found.rss < best.rss) {
            best = found;
        }
    }
    return best;
}

// Every slice's rss no higher than the independent best, beyond rounding.
void expect_lowest_rss(const SeriesFit& fit, const std::string& series_name) {
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        const SliceFit& slice = fit.slices[s];
        const Solution best =
            independent_best(slice_points(fit.scaled, s), fit.settings.peak_A, fit.settings.peak_B);
        EXPECT_LE(slice.residual_square_tot, best.rss * (1.0 + 1e-7) + 1e-14)
            << series_name << ", slice " << s << ": fitted MA " << slice.MA << " MB " << slice.MB
            << " LWA " << slice.LWA << " LWB " << slice.LWB << "; the independent best MA "
            << best.MA << " MB " << best.MB << " LWA " << best.LWA << " LWB " << best.LWB;
    }
}

// Every slice's rss no higher than that of the fit by sign restarts (the signed fit before
// variable projection), beyond 1e-9 relative and rounding; with fixed half-widths too.
void expect_no_worse_than_restarts(const WindowedSeries& series, const FitSettings& settings,
                                   const std::string& series_name) {
    const SeriesFit fit = fit_series(series, settings);
    const std::vector<reference::SignedSlice> restarts =
        settings.fixed_widths ? reference::fit_signed_by_restarts<2>(fit.scaled, settings)
                              : reference::fit_signed_by_restarts<4>(fit.scaled, settings);
    ASSERT_EQ(restarts.size(), fit.slices.size());
    // Where the data have no noise, both rss are rounding: n (1e-15)^2 of the scaled data.
    const double rounding = 1e-30 * static_cast<double>(fit.scaled.ppm.size());
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        const SliceFit& slice = fit.slices[s];
        const reference::SignedSlice& old = restarts[s];
        EXPECT_EQ(slice.end, SliceEnd::settled) << series_name << ", slice " << s;
        EXPECT_LE(slice.residual_square_tot, old.rss * (1.0 + 1e-9) + rounding)
            << series_name << ", slice " << s << ": MA " << slice.MA << " MB " << slice.MB
            << " LWA " << slice.LWA << " LWB " << slice.LWB << "; by restarts MA " << old.MA
            << " MB " << old.MB << " LWA " << old.LWA << " LWB " << old.LWB;
    }
}

double largest_absolute(const WindowedSeries& series) {
    double largest = 0.0;
    for (const double y : series.intensity) {
        largest = std::max(largest, std::fabs(y));
    }
    return largest;
}

void append_slice(WindowedSeries& series, const std::vector<double>& x,
                  const std::vector<double>& y) {
    series.ppm.insert(series.ppm.end(), x.begin(), x.end());
    series.intensity.insert(series.intensity.end(), y.begin(), y.end());
    series.slice_start.push_back(series.ppm.size());
}

double gaussian(std::mt19937_64& engine) {
    const double u1 = (static_cast<double>(engine() >> 11) + 1.0) * 0x1p-53; // (0, 1]
    const double u2 = static_cast<double>(engine() >> 11) * 0x1p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

FitSettings signed_settings(double peak_A, double peak_B) {
    FitSettings settings;
    settings.peak_A = peak_A;
    settings.peak_B = peak_B;
    settings.signed_amplitudes = true;
    return settings;
}

TEST(SignedFit, InversionRecoveryExperimentReachesTheLowestResidualOnEverySlice) {
    const ImportedSeries imported = read_bruker_pseudo2d(
        std::filesystem::path(DATA_DIR) / "bruker/inversion_recovery/1/pdata/1", "");
    WindowedSeries series;
    for (const ImportedSpectrum& spectrum : imported.slices) {
        const ImportedSpectrum cut = cut_to_window(spectrum, 0.76, 0.69);
        append_slice(series, cut.ppm, cut.intensity);
    }
    ASSERT_EQ(series.slice_count(), 10u);
    const double largest = largest_absolute(series);
    const SeriesFit fit = fit_series(series, signed_settings(0.7293, 0.7176));
    EXPECT_EQ(fit.scale_factor, largest);
    expect_lowest_rss(fit, "inversion recovery");
    expect_no_worse_than_restarts(series, signed_settings(0.7293, 0.7176), "inversion recovery");
    FitSettings fixed = signed_settings(0.7293, 0.7176);
    fixed.fixed_widths = std::array<double, 2>{0.0012, 0.0015};
    expect_no_worse_than_restarts(series, fixed, "inversion recovery, fixed half-widths");
}

// Two lines recovering with different T1, so that each crosses zero on its own slice, in both
// orders of the delays, at a few noise seeds. The most negative intensity is the largest in size,
// so the scale factor must be taken by absolute value.
TEST(SignedFit, SyntheticSeriesChangingSignReachTheLowestResidualOnEverySlice) {
    const double peak_A = 1.20, peak_B = 0.90, width_A = 0.02, width_B = 0.025;
    const double T1_A = 1.0, T1_B = 1.6, amplitude = 1e4;
    constexpr int slices = 16, points = 200;
    std::vector<double> x(points);
    for (int i = 0; i < points; ++i) {
        x[i] = 1.4 - 0.7 * (i + 0.5) / points;
    }
    for (const bool ascending : {true, false}) {
        for (const std::uint64_t seed : {1u, 2u, 3u}) {
            std::mt19937_64 engine(seed);
            const double noise = 0.01 * amplitude / width_A;
            WindowedSeries series;
            for (int k = 0; k < slices; ++k) {
                const double z = 0.02 + 2.5 * (ascending ? k : slices - 1 - k) / (slices - 1);
                const double MA = amplitude * (1.0 - 2.0 * std::exp(-z / T1_A));
                const double MB = amplitude * (1.0 - 2.0 * std::exp(-z / T1_B));
                std::vector<double> y(points);
                for (int i = 0; i < points; ++i) {
                    y[i] = MA * unit_line(width_A, peak_A, x[i]) +
                           MB * unit_line(width_B, peak_B, x[i]) + noise * gaussian(engine);
                }
                append_slice(series, x, y);
            }
            const double largest = largest_absolute(series);
            const SeriesFit fit = fit_series(series, signed_settings(peak_A, peak_B));
            EXPECT_EQ(fit.scale_factor, largest);
            const std::string name = std::string(ascending ? "ascending" : "descending") +
                                     " delays, seed " + std::to_string(seed);
            expect_lowest_rss(fit, name);
            expect_no_worse_than_restarts(series, signed_settings(peak_A, peak_B), name);
            FitSettings fixed = signed_settings(peak_A, peak_B);
            fixed.fixed_widths = std::array<double, 2>{width_A, width_B * 1.3};
            expect_no_worse_than_restarts(series, fixed, name + ", fixed half-widths");
        }
    }
}

// Series where the restarts had their reasons: a line that passes exactly through 0 (a slice
// with none of it), a weak line at the noise level beside a strong one, two lines closer
// than their widths, one of them inverted, and slices without noise.
TEST(SignedFit, NoSliceFitsWorseThanBySignRestarts) {
    struct Case {
        const char* name;
        double peak_A, peak_B, width_A, width_B;
        double MA_first, MA_last, MB_first, MB_last; // amplitudes, linear over the slices
        double noise;                                // of the largest line height
    };
    const Case cases[] = {
        {"through zero", 1.2, 0.9, 0.02, 0.025, 1.0, 0.8, -1.0, 1.0, 0.01},
        {"weak line", 1.2, 0.9, 0.02, 0.025, -1.0, 1.0, 0.004, 0.002, 0.01},
        {"close lines", 1.05, 1.02, 0.03, 0.02, -1.0, 0.6, 0.7, -0.4, 0.005},
        {"no noise", 1.2, 0.9, 0.02, 0.025, -1.0, 1.0, 0.5, -0.5, 0.0},
        {"noise only", 1.2, 0.9, 0.02, 0.025, 0.0, 0.0, 0.0, 0.0, 0.01},
    };
    constexpr int slices = 11, points = 160;
    std::vector<double> x(points);
    for (int i = 0; i < points; ++i) {
        x[i] = 1.4 - 0.7 * (i + 0.5) / points;
    }
    for (const Case& c : cases) {
        for (const std::uint64_t seed : {4u, 5u}) {
            std::mt19937_64 engine(seed);
            WindowedSeries series;
            for (int k = 0; k < slices; ++k) {
                const double t = static_cast<double>(k) / (slices - 1);
                const double MA = c.MA_first + (c.MA_last - c.MA_first) * t;
                const double MB = c.MB_first + (c.MB_last - c.MB_first) * t;
                std::vector<double> y(points);
                for (int i = 0; i < points; ++i) {
                    y[i] = MA * unit_line(c.width_A, c.peak_A, x[i]) +
                           MB * unit_line(c.width_B, c.peak_B, x[i]) +
                           c.noise / c.width_A * gaussian(engine);
                }
                append_slice(series, x, y);
            }
            const std::string name = std::string(c.name) + ", seed " + std::to_string(seed);
            expect_no_worse_than_restarts(series, signed_settings(c.peak_A, c.peak_B), name);
            FitSettings fixed = signed_settings(c.peak_A, c.peak_B);
            fixed.fixed_widths = std::array<double, 2>{c.width_A, c.width_B};
            expect_no_worse_than_restarts(series, fixed, name + ", fixed half-widths");
        }
    }
}

// An amplitude held at -10 is at a bound of the signed box and is named so.
TEST(SignedFit, AmplitudeHeldAtMinusTenIsFlaggedAtItsBound) {
    std::vector<double> x(100);
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = 1.0 - 2.0 * static_cast<double>(i) / 99.0;
    }
    // Line A broad (fixed half-width 20 ppm), line B narrow. The largest size is slice 1's line A,
    // about 1.5, so slice 1 asks for MA near -20 after scaling, beyond the box; slice 0 for +6.7.
    WindowedSeries series;
    for (const double MA : {10.0, -30.0}) {
        std::vector<double> y(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            y[i] = MA * unit_line(20.0, 0.2, x[i]) + 0.05 * unit_line(0.05, -0.3, x[i]);
        }
        append_slice(series, x, y);
    }
    FitSettings settings = signed_settings(0.2, -0.3);
    settings.fixed_widths = std::array<double, 2>{20.0, 0.05};
    const SeriesFit fit = fit_series(series, settings);
    ASSERT_EQ(fit.slices.size(), 2u);
    EXPECT_FALSE(fit.slices[0].at_bound[0]);
    EXPECT_NEAR(fit.slices[1].MA, -10.0, 1e-9);
    EXPECT_TRUE(fit.slices[1].at_bound[0]);
    EXPECT_NE(slice_status(fit.slices[1]).find("bound:MA"), std::string::npos);
    const std::string warning = bound_warning(fit);
    EXPECT_NE(warning.find("-10 or 10"), std::string::npos) << warning;
    EXPECT_NE(warning.find("slice 1,"), std::string::npos) << warning;
}

} // namespace
