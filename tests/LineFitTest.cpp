// The line fit of pairfit-lines: its shapes against central differences and a numerical
// integral, its two-line fit against pairfit4's on the bundled titration, and its standard
// errors over noise seeds for each shape, a line that fades away included.
#include "LineFit.h"

#include "Failure.h"
#include "FitSeries.h"
#include "ReadSeries.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A series of `slices` noise draws (seeded) of the same lines on `points` points of (0, 1) ppm.
struct Truth {
    LineShape shape;
    double position, half_width, height, eta;
};

double truth_value(const Truth& line, double x) {
    const double u = (x - line.position) / line.half_width;
    const double lorentz = 1.0 / (1.0 + u * u);
    const double gauss = std::exp(-std::log(2.0) * u * u);
    switch (line.shape) {
    case LineShape::lorentzian:
        return line.height * lorentz;
    case LineShape::gaussian:
        return line.height * gauss;
    case LineShape::pseudo_voigt:
        break;
    }
    return line.height * (line.eta * lorentz + (1.0 - line.eta) * gauss);
}

WindowedSeries noisy_series(const std::vector<std::vector<Truth>>& slices, std::size_t points,
                            double noise, std::uint64_t seed) {
    WindowedSeries series;
    std::mt19937_64 random(seed);
    std::normal_distribution<double> gaussian(0.0, noise);
    for (const std::vector<Truth>& lines : slices) {
        for (std::size_t p = 0; p < points; ++p) {
            const double x = 1.0 - (static_cast<double>(p) + 0.5) / static_cast<double>(points);
            double y = gaussian(random);
            for (const Truth& line : lines) {
                y += truth_value(line, x);
            }
            series.ppm.push_back(x);
            series.intensity.push_back(y);
        }
        series.slice_start.push_back(series.ppm.size());
    }
    return series;
}

LineFitSettings settings_for(const std::vector<Truth>& lines) {
    LineFitSettings settings;
    settings.window_lower = 0.0;
    settings.window_upper = 1.0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        settings.lines.push_back({"L" + std::to_string(i + 1), lines[i].position,
                                  lines[i].half_width * 1.3, lines[i].shape});
    }
    return settings;
}

TEST(LineShapes, DerivativesAndAreasAgreeWithDifferencesAndIntegrals) {
    for (const LineShape shape :
         {LineShape::lorentzian, LineShape::gaussian, LineShape::pseudo_voigt}) {
        const double P = 0.41, W = 0.037, eta = 0.3;
        for (const double x : {0.3, 0.4, 0.41, 0.45, 0.6}) {
            const ShapePoint at = shape_point(shape, x, P, W, eta);
            const double h = 1e-7;
            const auto value = [&](double p, double w, double e) {
                return shape_point(shape, x, p, w, e).value;
            };
            EXPECT_NEAR(at.d_position, (value(P + h, W, eta) - value(P - h, W, eta)) / (2 * h),
                        1e-5 * (1.0 + std::fabs(at.d_position)));
            EXPECT_NEAR(at.d_half_width, (value(P, W + h, eta) - value(P, W - h, eta)) / (2 * h),
                        1e-5 * (1.0 + std::fabs(at.d_half_width)));
            if (shape == LineShape::pseudo_voigt) {
                EXPECT_NEAR(at.d_eta, (value(P, W, eta + h) - value(P, W, eta - h)) / (2 * h),
                            1e-6);
            }
        }
        EXPECT_DOUBLE_EQ(shape_point(shape, P, P, W, eta).value, 1.0);
        EXPECT_NEAR(shape_point(shape, P + W, P, W, eta).value, 0.5, 1e-15);
        // Midpoint rule far into the tails; a Lorentzian's beyond +-R ppm hold 2 W / R of pi W.
        const double R = 2000.0;
        const int steps = 8000000;
        double sum = 0.0;
        for (int k = 0; k < steps; ++k) {
            const double x = P - R + (k + 0.5) * (2 * R / steps);
            sum += shape_point(shape, x, P, W, eta).value;
        }
        const double integral = sum * (2 * R / steps);
        const double tail = shape == LineShape::gaussian     ? 0.0
                            : shape == LineShape::lorentzian ? 2 * W * W / R
                                                             : eta * 2 * W * W / R;
        EXPECT_NEAR(integral + tail, W * unit_area(shape, eta), 1e-7) << line_shape_name(shape);
    }
}

// Past negligible_gaussian_exponent a pseudo-Voigt's Gaussian part changes no bit of its
// value or derivatives, so the fit may skip its exponential: checked on every point from the
// bound out to where G underflows, for eta from 1e-12 to 1.
TEST(LineShapes, TheGaussianPartPastItsNegligibleExponentChangesNoBit) {
    for (double eta = 1e-12; eta <= 1.0; eta *= 1.7) {
        const double start = negligible_gaussian_exponent(eta) / ln_two;
        ASSERT_GT(start, 0.0);
        for (double u2 = start; u2 < 746.0 / ln_two; u2 += 0.37) {
            const double x = std::sqrt(u2) * 0.01 + 0.5;
            const double u2_at_x = squared_offset(x, 0.5, 0.01);
            const ShapePoint with = shape_point_with(LineShape::pseudo_voigt, x, 0.5, 0.01, eta,
                                                     unit_gaussian(u2_at_x));
            const ShapePoint without =
                shape_point_with(LineShape::pseudo_voigt, x, 0.5, 0.01, eta, 0.0);
            ASSERT_EQ(with.value, without.value) << eta << " " << u2;
            ASSERT_EQ(with.d_position, without.d_position) << eta << " " << u2;
            ASSERT_EQ(with.d_half_width, without.d_half_width) << eta << " " << u2;
            ASSERT_EQ(with.d_eta, without.d_eta) << eta << " " << u2;
        }
    }
}

TEST(LineFit, TwoLorentziansAgreeWithPairfit4OnTheTitration) {
    ReadReport report;
    const std::string example = std::string(EXAMPLES_DIR) + "/titration/";
    WindowedSeries series = read_windowed_series((example + "2d.txt").c_str(), 0.2, 2.0, 1, report);
    ASSERT_TRUE(report.read_to_end);
    ASSERT_GT(series.slice_count(), 10u);
    FitSettings two_lines;
    two_lines.peak_A = 1.2;
    two_lines.peak_B = 0.9;
    two_lines.with_report = true;
    const SeriesFit reference = fit_series(series, two_lines);

    LineFitSettings settings;
    settings.window_lower = 0.2;
    settings.window_upper = 2.0;
    settings.lines = {{"A", 1.2, std::nullopt, LineShape::lorentzian},
                      {"B", 0.9, std::nullopt, LineShape::lorentzian}};
    const LineSeriesFit fit = fit_line_series(series, settings);
    ASSERT_EQ(fit.slices.size(), reference.slices.size());
    std::size_t compared = 0;
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        const SliceFit& two = reference.slices[s];
        if (two.at_bound[0] || two.at_bound[1] || two.at_bound[2] || two.at_bound[3]) {
            continue;
        }
        ++compared;
        const double scale = reference.scale_factor;
        const double expected[4] = {two.MA / two.LWA * scale, two.MB / two.LWB * scale, two.LWA,
                                    two.LWB};
        const double found[4] = {
            fit.slices[s].lines[0].height.value, fit.slices[s].lines[1].height.value,
            fit.slices[s].lines[0].half_width.value, fit.slices[s].lines[1].half_width.value};
        for (int k = 0; k < 4; ++k) {
            EXPECT_NEAR(found[k], expected[k], 1e-6 * std::fabs(expected[k]))
                << "slice " << s << ", value " << k;
        }
        // The same errors too, the scatter being the same up to the fit's last digits.
        const SliceReport& errors = *two.report;
        EXPECT_NEAR(*fit.slices[s].lines[0].half_width.se, *errors.LWA.se, 1e-4 * *errors.LWA.se);
        EXPECT_NEAR(*fit.slices[s].lines[1].area.se, *errors.area_B.se * scale,
                    1e-4 * *errors.area_B.se * scale);
    }
    EXPECT_GT(compared, fit.slices.size() / 2);
}

// The share of fits whose area lies within one se of the truth, per line.
std::vector<double> area_coverage(const std::vector<Truth>& truth, const LineSeriesFit& fit) {
    std::vector<double> covered(truth.size(), 0.0);
    for (const LineSliceFit& slice : fit.slices) {
        for (std::size_t i = 0; i < truth.size(); ++i) {
            const double area =
                truth[i].height * truth[i].half_width * unit_area(truth[i].shape, truth[i].eta);
            const FittedLine& line = slice.lines[i];
            EXPECT_TRUE(line.area.se.has_value());
            if (line.area.se && std::fabs(line.area.value - area) <= *line.area.se) {
                covered[i] += 1.0;
            }
        }
    }
    for (double& share : covered) {
        share /= static_cast<double>(fit.slices.size());
    }
    return covered;
}

// 1000 seeds per shape: the share has a spread of 1.5 %, so 68 % +- 6 % is four of them.
TEST(LineFit, AreasLieWithinOneStandardErrorOfTheTruthInTwoThirdsOfTheSeeds) {
    constexpr std::size_t seeds = 1000;
    for (const LineShape shape :
         {LineShape::lorentzian, LineShape::gaussian, LineShape::pseudo_voigt}) {
        const std::vector<Truth> truth = {{shape, 0.35, 0.03, 1.0, 0.3},
                                          {shape, 0.6, 0.05, -0.6, 0.7}};
        LineFitSettings settings = settings_for(truth);
        settings.baseline = BaselineKind::linear;
        settings.float_ppm = 0.01;
        std::vector<std::vector<Truth>> slices(seeds, truth);
        for (std::vector<Truth>& lines : slices) {
            lines.push_back(
                {LineShape::lorentzian, 0.5, 100.0, 0.05, 0.0}); // a broad baseline hump
        }
        const WindowedSeries series = noisy_series(slices, 240, 0.02, 11);
        const LineSeriesFit fit = fit_line_series(series, settings);
        const std::vector<double> coverage = area_coverage(truth, fit);
        for (std::size_t i = 0; i < truth.size(); ++i) {
            EXPECT_NEAR(coverage[i], 0.6827, 0.06) << line_shape_name(shape) << ", line " << i + 1;
        }
    }
}

TEST(LineFit, ALineThatFadesAwayEndsNearZeroWithAFiniteErrorNotAsASpike) {
    std::vector<std::vector<Truth>> slices;
    constexpr int count = 24;
    for (int s = 0; s < count; ++s) {
        const double fading = std::max(0.0, 1.0 - s / 16.0);
        slices.push_back({{LineShape::lorentzian, 0.4, 0.02, 1.0, 0.0},
                          {LineShape::lorentzian, 0.6, 0.02, fading, 0.0}});
    }
    const WindowedSeries series = noisy_series(slices, 256, 0.01, 5);
    for (const bool positive : {false, true}) {
        LineFitSettings settings = settings_for(slices[0]);
        settings.positive = positive;
        const LineSeriesFit fit = fit_line_series(series, settings);
        const HalfWidthBounds bounds = half_width_bounds(series, fit.settings);
        for (int s = 17; s < count; ++s) {
            const FittedLine& gone = fit.slices[static_cast<std::size_t>(s)].lines[1];
            if (!positive || !gone.height_at_bound) {
                ASSERT_TRUE(gone.area.se.has_value()) << "slice " << s;
                EXPECT_TRUE(std::isfinite(*gone.area.se));
                EXPECT_LE(std::fabs(gone.area.value), 4.0 * *gone.area.se) << "slice " << s;
            }
            // A spike: a half-width at the sampling's limit that carries a height well above
            // the noise.
            EXPECT_FALSE(gone.half_width.value <= 1.01 * bounds.lower &&
                         std::fabs(gone.height.value) > 0.03)
                << "slice " << s << ": " << gone.height.value << " at " << gone.half_width.value;
            EXPECT_NEAR(gone.area.value, 0.0, 0.005) << "slice " << s;
        }
    }
}

// On two threads the slices of held widths are fitted side by side and those of free widths
// in turn with their errors worked out beside: every value the same as on one thread, and the
// records handed on in slice order.
TEST(LineFit, SlicesAreTheSameOnOneThreadOrTwo) {
    const std::vector<Truth> truth = {{LineShape::pseudo_voigt, 0.3, 0.04, 2.0, 0.4},
                                      {LineShape::gaussian, 0.6, 0.03, 1.0, 0.0}};
    const WindowedSeries series =
        noisy_series(std::vector<std::vector<Truth>>(9, truth), 128, 0.01, 3);
    for (const WidthMode mode : {WidthMode::free, WidthMode::sum, WidthMode::fixed}) {
        SCOPED_TRACE(width_mode_name(mode));
        LineFitSettings settings = settings_for(truth);
        settings.widths = mode;
        settings.baseline = BaselineKind::constant;
        settings.float_ppm = 0.005;
        settings.threads = 1;
        const LineSeriesFit one = fit_line_series(series, settings);
        settings.threads = 2;
        std::vector<std::size_t> order;
        const LineSeriesFit two = fit_line_series(
            series, settings, [&](std::size_t s, const LineSliceFit&) { order.push_back(s); });
        ASSERT_EQ(order.size(), series.slice_count());
        for (std::size_t s = 0; s < series.slice_count(); ++s) {
            EXPECT_EQ(order[s], s);
            EXPECT_EQ(one.slices[s].rss, two.slices[s].rss);
            EXPECT_EQ(one.slices[s].iterations, two.slices[s].iterations);
            for (std::size_t i = 0; i < truth.size(); ++i) {
                EXPECT_EQ(one.slices[s].lines[i].area.value, two.slices[s].lines[i].area.value);
                EXPECT_EQ(one.slices[s].lines[i].area.se, two.slices[s].lines[i].area.se);
                EXPECT_EQ(one.slices[s].lines[i].half_width.value,
                          two.slices[s].lines[i].half_width.value);
            }
        }
        if (mode == WidthMode::sum) {
            // Held from the sum: the same half-width in every slice, and no error of it.
            EXPECT_EQ(one.slices[0].lines[0].half_width.value,
                      one.slices[8].lines[0].half_width.value);
            EXPECT_FALSE(one.slices[3].lines[0].half_width.se.has_value());
            EXPECT_NEAR(one.slices[3].lines[0].half_width.value, 0.04, 0.002);
        }
    }
}

// A failure ends a run of free widths as it would one slice after the other, on either
// thread: every slice before it handed on in order, none after, and the earlier failure told.
TEST(LineFit, AFailureEndsTheRunAtItsSliceOnOneThreadOrTwo) {
    const std::vector<Truth> truth = {{LineShape::lorentzian, 0.4, 0.03, 1.0, 0.0}};
    WindowedSeries series = noisy_series(std::vector<std::vector<Truth>>(8, truth), 64, 0.01, 4);
    for (std::size_t p = series.slice_start[5]; p < series.slice_start[6]; ++p) {
        series.intensity[p] = p % 2 == 0 ? 1e308 : -1e308; // the model overflows
    }
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        LineFitSettings settings = settings_for(truth);
        settings.threads = threads;
        for (const std::size_t refused : {std::size_t{3}, std::size_t{99}}) {
            std::vector<std::size_t> order;
            try {
                fit_line_series(series, settings, [&](std::size_t s, const LineSliceFit&) {
                    order.push_back(s);
                    if (s == refused) {
                        throw std::runtime_error("refused");
                    }
                });
                ADD_FAILURE() << "no failure";
            } catch (const Failure& failure) {
                EXPECT_EQ(refused, 99u);
                EXPECT_EQ(failure.kind, FailureKind::non_finite_fit);
                EXPECT_NE(std::string(failure.what()).find("slice 5"), std::string::npos)
                    << failure.what();
            } catch (const std::runtime_error& error) {
                EXPECT_EQ(refused, 3u) << error.what();
            }
            const std::size_t last = std::min<std::size_t>(refused, 4);
            ASSERT_EQ(order.size(), last + 1);
            for (std::size_t s = 0; s <= last; ++s) {
                EXPECT_EQ(order[s], s);
            }
        }
    }
}

} // namespace
