#include "FitSeries.h"
#include "SliceFit.h"

#include "../tools/synthetic_series.h"
#include "ReferenceFit.h"
#include "TestFiles.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

TEST(Lorentzian, HeightHalfWidthAndArea) {
    EXPECT_EQ(lorentzian(2.0, 0.5, 1.25, 1.25), 4.0);
    EXPECT_EQ(lorentzian(2.0, 0.5, 1.25, 1.75), 2.0);
    EXPECT_EQ(lorentzian(2.0, 0.5, 1.25, 0.75), 2.0);
    // The area is pi * M, with no 1/pi factor in the model.
    double area = 0.0;
    const double step = 1e-3;
    for (double x = -2000.0; x < 2000.0; x += step) {
        area += lorentzian(0.7, 0.05, 0.0, x) * step;
    }
    EXPECT_NEAR(area, M_PI * 0.7, 1e-4);
}

TEST(WindowObjective, StoresTheEvaluatedPointInTheModelState) {
    const TableSeries slices = {{{1.0, 0.5}, {1.1, 0.25}}, {}};
    const WindowedSeries series = reference::windowed_series_of(slices, slices);
    int slice_index = 0;
    LinePairValues state{1.0, 1.2, 0.0, 0.0, 0.3, 0.4};

    const WindowObjective<2> two(series, slice_index, state);
    const double value = two(params_type<2>{0.5, 0.25});
    EXPECT_EQ(state.MA, 0.5);
    EXPECT_EQ(state.MB, 0.25);
    EXPECT_EQ(state.LWA, 0.3); // fixed half-widths are only read
    EXPECT_EQ(state.LWB, 0.4);
    double expected = 0.0;
    for (const Row& point : slices[0]) {
        const double model =
            lorentzian(0.5, 0.3, 1.0, point[0]) + lorentzian(0.25, 0.4, 1.2, point[0]);
        expected += (model - point[1]) * (model - point[1]);
    }
    EXPECT_EQ(value, expected);

    const WindowObjective<4> four(series, slice_index, state);
    four(params_type<4>{0.1, 0.2, 0.05, 0.07});
    EXPECT_EQ(state.MA, 0.1);
    EXPECT_EQ(state.MB, 0.2);
    EXPECT_EQ(state.LWA, 0.05);
    EXPECT_EQ(state.LWB, 0.07);

    slice_index = 1; // the objective follows the driver's index
    EXPECT_EQ(four(params_type<4>{0.3, 0.3, 1.0, 1.0}), 0.0);
}

namespace {

// Fits every slice of a noiseless synthetic series as the programs do; the table path's fit of
// the same series has the same bits.
template <long FreeParams> SeriesFit fit_synthetic(const SeriesSettings& settings) {
    testfiles::TempDir dir;
    EXPECT_TRUE(write_series(settings, dir.path().string()));
    ReadReport report;
    FitSettings fit_settings;
    fit_settings.peak_A = settings.peak_A;
    fit_settings.peak_B = settings.peak_B;
    if (FreeParams == 2) {
        fit_settings.fixed_widths = std::array<double, 2>{settings.hwhh_A, settings.hwhh_B};
    }
    const SeriesFit fit =
        fit_series(read_windowed_series(dir.file("2d.txt").c_str(), settings.window_low,
                                        settings.window_high, 2, report),
                   fit_settings);

    const TableSeries raw = fileIn3(dir.file("2d.txt").c_str());
    const double scale_factor =
        reference::global_scale_factor(raw, settings.window_low, settings.window_high);
    const TableSeries slices =
        reference::cut_slices(raw, settings.window_low, settings.window_high, scale_factor);
    const auto expected = reference::fit_every_slice<FreeParams>(
        slices, settings.peak_A, settings.peak_B, settings.hwhh_A, settings.hwhh_B);
    EXPECT_EQ(fit.scale_factor, scale_factor);
    EXPECT_EQ(fit.slices.size(), expected.size());
    for (std::size_t s = 0; s < expected.size() && s < fit.slices.size(); ++s) {
        const SliceFit& f = fit.slices[s];
        const double fitted[4] = {f.MA, f.MB, f.LWA, f.LWB};
        for (long i = 0; i < FreeParams; ++i) {
            EXPECT_EQ(fitted[i], expected[s](i)) << "slice " << s << ", parameter " << i;
        }
    }
    return fit;
}

double relative_error(double fitted, double truth) {
    return std::abs(fitted - truth) / truth;
}

} // namespace

TEST(Recovery, FourFreeParametersOfANoiselessSeries) {
    SeriesSettings settings;
    settings.slices = 8;
    settings.points = 400;
    settings.hwhh_A = 0.06;
    settings.hwhh_B = 0.11;
    const SeriesFit fit = fit_synthetic<4>(settings);
    const double scale_factor = fit.scale_factor;
    ASSERT_EQ(fit.slices.size(), 8u);
    for (int s = 0; s < settings.slices; ++s) {
        SCOPED_TRACE("slice " + std::to_string(s));
        const SliceFit& fitted = fit.slices[s];
        EXPECT_LE(relative_error(fitted.MA * scale_factor, amplitude_A(settings, s)), 1e-4);
        EXPECT_LE(relative_error(fitted.MB * scale_factor, amplitude_B(settings, s)), 1e-4);
        EXPECT_LE(relative_error(fitted.LWA, settings.hwhh_A), 1e-4);
        EXPECT_LE(relative_error(fitted.LWB, settings.hwhh_B), 1e-4);
        EXPECT_EQ(fitted.end, SliceEnd::settled);
    }
}

TEST(Recovery, AmplitudesWithFixedHalfWidths) {
    SeriesSettings settings;
    settings.slices = 6;
    settings.points = 300;
    const SeriesFit fit = fit_synthetic<2>(settings);
    const double scale_factor = fit.scale_factor;
    ASSERT_EQ(fit.slices.size(), 6u);
    for (int s = 0; s < settings.slices; ++s) {
        SCOPED_TRACE("slice " + std::to_string(s));
        const SliceFit& fitted = fit.slices[s];
        EXPECT_LE(relative_error(fitted.MA * scale_factor, amplitude_A(settings, s)), 1e-4);
        EXPECT_LE(relative_error(fitted.MB * scale_factor, amplitude_B(settings, s)), 1e-4);
        EXPECT_EQ(fitted.LWA, settings.hwhh_A); // held fixed
        EXPECT_EQ(fitted.LWB, settings.hwhh_B);
    }
}

TEST(FitSlice, KeepsTheResultInsideTheBounds) {
    // Line A asks for more amplitude than the bounds allow; line B for a negative one.
    const TableSeries slices = {{{-0.01, 900.0},
                                 {0.0, 1000.0},
                                 {0.01, 900.0},
                                 {99.99, -5.0},
                                 {100.0, -5.0},
                                 {100.01, -5.0}}};
    const WindowedSeries series = reference::windowed_series_of(slices, slices);
    int slice_index = 0;
    LinePairValues state{0.0, 100.0, 0.0, 0.0, 0.0, 0.0};
    const WindowObjective<4> objective(series, slice_index, state);
    params_type<4> x = {0.2, 0.2, 1.0, 3.0};
    unsigned long iterations = 0;
    fit_slice<4>(objective, x, iterations);
    for (long i = 0; i < 4; ++i) {
        EXPECT_GE(x(i), 1e-4);
        EXPECT_LE(x(i), 10.0);
    }
    EXPECT_EQ(x(0), 10.0);
    EXPECT_EQ(x(1), 1e-4);
}

TEST(FitSlice, NonFiniteDataRaisesTheMinimisersError) {
    const TableSeries slices = {{{0.0, -INFINITY}}};
    const WindowedSeries series = reference::windowed_series_of(slices, slices);
    int slice_index = 0;
    LinePairValues state{0.0, 1.0, 0.0, 0.0, 0.0, 0.0};
    const WindowObjective<4> objective(series, slice_index, state);
    params_type<4> x = {0.2, 0.2, 1.0, 3.0};
    unsigned long iterations = 0;
    try {
        fit_slice<4>(objective, x, iterations);
        FAIL() << "no error";
    } catch (const dlib::error& e) {
        EXPECT_STREQ(e.what(), "The objective function generated non-finite outputs");
    }
}

namespace {

// One random slice through both objectives and both derivatives, at random points of the box
// and just outside it, as the minimiser's probes go.
template <long FreeParams> void expect_lone_bits(std::mt19937_64& random) {
    std::uniform_real_distribution<double> ppm(-0.5, 2.5), intensity(-0.1, 1.0), param(1e-4, 10.0);
    const std::size_t points = random() % 60;
    WindowedSeries series;
    Table slice;
    for (std::size_t i = 0; i < points; ++i) {
        slice.push_back({ppm(random), intensity(random)});
        series.ppm.push_back(slice.back()[0]);
        series.intensity.push_back(slice.back()[1]);
    }
    series.slice_start.push_back(points);
    const TableSeries slices = {slice};
    int slice_index = 0;
    const std::complex<double> peak_A = ppm(random), peak_B = ppm(random);
    const double fixed_LWA = param(random) / 10.0, fixed_LWB = param(random) / 10.0;
    std::complex<double> table_MA = 0.0, table_MB = 0.0;
    double table_LWA = fixed_LWA, table_LWB = fixed_LWB;
    LinePairValues state{peak_A.real(), peak_B.real(), 0.0, 0.0, fixed_LWA, fixed_LWB};
    const WindowObjective<FreeParams> window(series, slice_index, state);
    const auto table = reference::make_slice_objective<FreeParams>(
        slices, slice_index, peak_A, peak_B, table_MA, table_MB, table_LWA, table_LWB);
    params_type<FreeParams> x;
    for (long i = 0; i < FreeParams; ++i) {
        x(i) = random() % 4 == 0 ? (random() % 2 ? 1e-4 : 10.0) : param(random);
    }
    const auto same_bits = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    EXPECT_TRUE(same_bits(window(x), table(x)));
    const params_type<FreeParams> batched = window.central_differences(x, 1e-7);
    const params_type<FreeParams> lone = dlib::derivative(table, 1e-7)(x);
    for (long i = 0; i < FreeParams; ++i) {
        EXPECT_TRUE(same_bits(batched(i), lone(i))) << "parameter " << i;
    }
    EXPECT_EQ(state.MA, table_MA.real());
    EXPECT_EQ(state.MB, table_MB.real());
    EXPECT_EQ(state.LWA, table_LWA);
    EXPECT_EQ(state.LWB, table_LWB);
}

} // namespace

TEST(WindowObjective, ValuesAndBatchedDerivativesHaveTheBitsOfLoneEvaluations) {
    std::mt19937_64 random(11);
    for (int trial = 0; trial < 500; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        expect_lone_bits<4>(random);
        expect_lone_bits<2>(random);
    }
}
