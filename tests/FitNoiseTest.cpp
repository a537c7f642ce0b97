// fit_series with a noise region, over series of known noise: the noise it measures, chi2_red,
// the coverage of the noise-based standard errors over noise seeds, and the misfit flag of a
// slice holding a third line.
#include "FitSeries.h"

#include <algorithm>
#include <boost/math/distributions/fisher_f.hpp>
#include <cmath>
#include <gtest/gtest.h>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double peak_A = 1.20, peak_B = 0.90, width_A = 0.02, width_B = 0.025;
constexpr double sigma = 1.0; // the noise of every point, raw units
constexpr int window_points = 200, noise_points = 256;

double line(double amplitude, double width, double position, double x) {
    const double d = (x - position) / width;
    return amplitude / (width * (1.0 + d * d));
}

double gaussian(std::mt19937_64& engine) {
    const double u1 = (static_cast<double>(engine() >> 11) + 1.0) * 0x1p-53; // (0, 1]
    const double u2 = static_cast<double>(engine() >> 11) * 0x1p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

// Slices of lines A (MA) and B (MB) with noise on every point, a third line beside B of the
// given height (in units of sigma) on each slice, and a signal-free noise region.
WindowedSeries noisy_series(double MA, double MB, const std::vector<double>& third_line_heights,
                            std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    WindowedSeries series;
    for (const double third : third_line_heights) {
        for (int i = 0; i < window_points; ++i) {
            const double x = 1.4 - 0.7 * (i + 0.5) / window_points;
            series.ppm.push_back(x);
            series.intensity.push_back(line(MA, width_A, peak_A, x) + line(MB, width_B, peak_B, x) +
                                       line(third * sigma * 0.01, 0.01, peak_B - 0.05, x) +
                                       sigma * gaussian(engine));
        }
        series.slice_start.push_back(series.ppm.size());
        for (int i = 0; i < noise_points; ++i) {
            series.noise_intensity.push_back(sigma * gaussian(engine));
        }
        series.noise_start.push_back(series.noise_intensity.size());
    }
    return series;
}

FitSettings noise_settings() {
    FitSettings settings;
    settings.peak_A = peak_A;
    settings.peak_B = peak_B;
    settings.with_noise = true;
    return settings;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// 1000 slices of the same truth, heights 100 and 60 sigma, each with its own noise. With 1000
// cases the share within one standard error has a binomial spread of 1.5 % about 68.3 %, so 6 % is
// four spreads; a clean slice is flagged with probability 0.001, and more than 5 of 1000 happen by
// chance about once in 1700 runs.
TEST(NoiseFit, NoiseChi2AndErrorsMatchTheKnownNoiseOverSeeds) {
    const double MA = 2.0, MB = 1.5;
    const std::size_t cases = 1000;
    const WindowedSeries series = noisy_series(MA, MB, std::vector<double>(cases, 0.0), 1);
    const SeriesFit fit = fit_series(series, noise_settings());
    ASSERT_EQ(fit.slices.size(), cases);
    const double scale = fit.scale_factor;

    std::vector<double> noise, chi2_red;
    std::size_t within_A = 0, within_B = 0, flagged = 0;
    for (const SliceFit& slice : fit.slices) {
        const SliceReport& report = *slice.report;
        ASSERT_TRUE(report.noise && report.chi2_red && report.MA.se && report.MB.se);
        noise.push_back(*report.noise * scale);
        chi2_red.push_back(*report.chi2_red);
        within_A += std::fabs(slice.MA * scale - MA) <= *report.MA.se * scale;
        within_B += std::fabs(slice.MB * scale - MB) <= *report.MB.se * scale;
        flagged += report.misfit;
    }
    EXPECT_NEAR(median(noise), sigma, 0.05 * sigma);
    EXPECT_GE(median(chi2_red), 0.9);
    EXPECT_LE(median(chi2_red), 1.1);
    EXPECT_LE(flagged, 5u);
    EXPECT_NEAR(static_cast<double>(within_A) / cases, 0.683, 0.06);
    EXPECT_NEAR(static_cast<double>(within_B) / cases, 0.683, 0.06);

    // The errors scale with the measured noise, not with the slice's own sigma.
    FitSettings without_noise = noise_settings();
    without_noise.with_noise = false;
    without_noise.with_report = true;
    const SeriesFit by_sigma = fit_series(series, without_noise);
    for (std::size_t s = 0; s < 3; ++s) {
        const SliceReport& with = *fit.slices[s].report;
        const SliceReport& plain = *by_sigma.slices[s].report;
        ASSERT_TRUE(plain.sigma && plain.MA.se);
        EXPECT_NEAR(*with.MA.se / *plain.MA.se, *with.noise / *plain.sigma,
                    1e-9 * *with.noise / *plain.sigma)
            << "slice " << s;
    }
}

// A third line 0.05 ppm beside B, absent on the first 8 slices, then growing from 1 to about 180
// times the noise: every slice where it stands 20 times above the noise is a misfit, and of the
// 8 clean slices at most one is flagged (two happen by chance once in 30000 runs).
TEST(NoiseFit, ThirdLineAboveTheNoiseIsFlaggedAsMisfit) {
    std::vector<double> heights(8, 0.0);
    for (int k = 0; k < 16; ++k) {
        heights.push_back(std::pow(2.0, k / 2.0));
    }
    const SeriesFit fit = fit_series(noisy_series(2.0, 1.5, heights, 11), noise_settings());
    std::vector<std::size_t> flagged;
    std::size_t clean_flagged = 0;
    for (std::size_t s = 0; s < heights.size(); ++s) {
        const bool misfit = fit.slices[s].report->misfit;
        if (misfit) {
            flagged.push_back(s);
            EXPECT_NE(slice_status(fit.slices[s]).find(";misfit"), std::string::npos);
        }
        if (heights[s] >= 20.0) {
            EXPECT_TRUE(misfit) << "slice " << s << ", third line " << heights[s]
                                << " x noise, chi2_red " << *fit.slices[s].report->chi2_red;
        }
        clean_flagged += heights[s] == 0.0 && misfit;
    }
    EXPECT_LE(clean_flagged, 1u);
    ASSERT_FALSE(flagged.empty());
    EXPECT_NE(misfit_warning(fit).find("slices " + slice_ranges(flagged)), std::string::npos)
        << misfit_warning(fit);
}

} // namespace

// The exact definitions, on a narrow window (40 points, so points - 4 differs from points) and
// a noise region standing on an offset: noise is the n - 1 standard deviation about the mean,
// chi2_red = rss / ((points - 4) noise^2), and the misfit flag lies at the 99.9 % point of
// F(points - 4, noise points - 1), computed here with Boost; slice 0 is placed between the 99 %
// and the 99.9 % points (not flagged), slice 1 above the 99.9 % point (flagged).
TEST(NoiseFit, NoiseChi2RedAndTheMisfitPointAreExact) {
    constexpr int points = 40, region = 20;
    WindowedSeries series;
    std::mt19937_64 engine(11);
    for (int s = 0; s < 2; ++s) {
        for (int i = 0; i < points; ++i) {
            const double x = 1.3 - 0.5 * (i + 0.5) / points;
            series.ppm.push_back(x);
            series.intensity.push_back(line(40.0, width_A, peak_A, x) +
                                       line(30.0, width_B, peak_B, x) + gaussian(engine));
        }
        series.slice_start.push_back(series.ppm.size());
    }
    // A standardized shape for the noise region: mean 0, n - 1 standard deviation 1.
    std::vector<double> shape(region);
    for (double& v : shape) {
        v = gaussian(engine);
    }
    const double mean = std::accumulate(shape.begin(), shape.end(), 0.0) / region;
    double squares = 0.0;
    for (double& v : shape) {
        v -= mean;
        squares += v * v;
    }
    for (double& v : shape) {
        v /= std::sqrt(squares / (region - 1));
    }
    const auto with_noise = [&](const double(&sd)[2]) {
        WindowedSeries fitted = series;
        for (int s = 0; s < 2; ++s) {
            for (const double v : shape) {
                fitted.noise_intensity.push_back(500.0 + sd[s] * v);
            }
            fitted.noise_start.push_back(fitted.noise_intensity.size());
        }
        return fit_series(fitted, noise_settings());
    };
    const boost::math::fisher_f_distribution<double> f(points - 4, region - 1);
    const double q99 = boost::math::quantile(f, 0.99), q999 = boost::math::quantile(f, 0.999);
    const SeriesFit first = with_noise({1.0, 1.0});
    // The noise that puts each slice's chi2_red where it is wanted, in raw units.
    const double wanted[2] = {0.5 * (q99 + q999), 1.5 * q999};
    double sd[2];
    for (int s = 0; s < 2; ++s) {
        sd[s] = first.scale_factor *
                std::sqrt(first.slices[s].report->rss / ((points - 4) * wanted[s]));
    }
    const SeriesFit fit = with_noise(sd);
    for (int s = 0; s < 2; ++s) {
        SCOPED_TRACE("slice " + std::to_string(s));
        const SliceReport& report = *fit.slices[s].report;
        const double* noise = fit.scaled.noise_intensity.data() + fit.scaled.noise_start[s];
        long double sum = 0.0L;
        for (int i = 0; i < region; ++i) {
            sum += noise[i];
        }
        const long double noise_mean = sum / region;
        long double deviations = 0.0L;
        for (int i = 0; i < region; ++i) {
            deviations += (noise[i] - noise_mean) * (noise[i] - noise_mean);
        }
        const double expected_noise = static_cast<double>(std::sqrt(deviations / (region - 1)));
        ASSERT_TRUE(report.noise && report.chi2_red);
        EXPECT_NEAR(*report.noise, expected_noise, 1e-12 * expected_noise);
        const double expected_chi2 = report.rss / ((points - 4) * expected_noise * expected_noise);
        EXPECT_NEAR(*report.chi2_red, expected_chi2, 1e-10 * expected_chi2);
        EXPECT_NEAR(*report.chi2_red, wanted[s], 1e-6 * wanted[s]);
        EXPECT_EQ(report.misfit, *report.chi2_red > q999);
    }
    EXPECT_FALSE(fit.slices[0].report->misfit);
    EXPECT_TRUE(fit.slices[1].report->misfit);
}
