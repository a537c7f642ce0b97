// The trend over noise seeds where a user cannot see it go wrong: a weak line that fades away
// in a series fitted with --signed and --noise (whose late slices can collapse a half-width to
// its bound), a bi-exponential decay fitted as one exponential, and the F test of decay2.
#include "Failure.h"
#include "FitSeries.h"
#include "Stats.h"
#include "Trend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

double gaussian(std::mt19937_64& engine) {
    const double u1 = (static_cast<double>(engine() >> 11) + 1.0) * 0x1p-53; // (0, 1]
    const double u2 = static_cast<double>(engine() >> 11) * 0x1p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

double lorentzian_line(double area, double half_width, double position, double x) {
    const double d = (x - position) / half_width;
    return area / (3.141592653589793 * half_width * (1.0 + d * d));
}

// A decay of two lines on one axis, 12 slices: line A strong (area 4, T 0.3), line B weak
// (area `area_B`, T 0.05) fading into the noise (sigma 1 per point) by the last slices, and a
// signal-free region of 128 points per slice.
constexpr double T_B = 0.05;
const std::vector<double> fading_z = {0.005, 0.02, 0.035, 0.05, 0.065, 0.08,
                                      0.095, 0.11, 0.125, 0.14, 0.155, 0.17};

WindowedSeries fading_series(double area_B, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    WindowedSeries series;
    for (const double z : fading_z) {
        for (int i = 0; i < 160; ++i) {
            const double x = 1.5 - 0.9 * (i + 0.5) / 160;
            series.ppm.push_back(x);
            series.intensity.push_back(lorentzian_line(4.0 * std::exp(-z / 0.3), 0.02, 1.2, x) +
                                       lorentzian_line(area_B * std::exp(-z / T_B), 0.02, 0.9, x) +
                                       gaussian(engine));
        }
        series.slice_start.push_back(series.ppm.size());
        for (int i = 0; i < 128; ++i) {
            series.noise_intensity.push_back(gaussian(engine));
        }
        series.noise_start.push_back(series.noise_intensity.size());
    }
    return series;
}

double column(const SeriesFit& fit, const std::string& name, std::size_t slice) {
    for (const ReportColumn& c : report_columns()) {
        if (c.name == name) {
            return c.value(fit, slice, fading_z);
        }
    }
    ADD_FAILURE() << "no column " << name;
    return NAN;
}

struct Outcome {
    bool within_3se = false;
    bool within_3se_or_flagged = false;   // or the trend says it is a misfit
    bool kept_within_3se = false;         // with --keep-bound
    bool status_only_within_3se = false;  // leaving out only the slices a status names
    bool spacing_only_within_3se = false; // and those narrower than half the spacing
    std::size_t left_out = 0;
    std::size_t narrow = 0;       // left out for a half-width below half the point spacing alone
    std::size_t contradicted = 0; // left out for a width the other slices contradict alone
    bool reasons_name_line_B = true;
};

Outcome fading_trend(double area_B, std::uint64_t seed) {
    FitSettings settings;
    settings.peak_A = 1.2;
    settings.peak_B = 0.9;
    settings.signed_amplitudes = true;
    settings.with_noise = true;
    const WindowedSeries series = fading_series(area_B, seed);
    const SeriesFit fit = fit_series(series, settings);
    // What pairfit-trend reads from 2d.txt: the spacing of the first slice's points.
    const double spacing =
        mean_point_spacing(series.ppm[0], series.ppm[series.points_in(0) - 1], series.points_in(0));
    std::vector<double> y, se;
    FittedHalfWidths half_widths{"LWB", {}, {}};
    std::vector<std::string> statuses;
    for (std::size_t s = 0; s < fit.slices.size(); ++s) {
        y.push_back(column(fit, "area_B", s));
        se.push_back(column(fit, "area_B_se", s));
        half_widths.ppm.push_back(column(fit, "LWB", s));
        half_widths.se.push_back(column(fit, "LWB_se", s));
        statuses.push_back(slice_status(fit.slices[s]));
    }
    const TrendSelection selection =
        select_trend_slices(statuses, {"B"}, false, {half_widths}, spacing, true);
    const TrendSelection by_status = select_trend_slices(statuses, {"B"}, false);
    const TrendSelection by_spacing =
        select_trend_slices(statuses, {"B"}, false, {half_widths}, spacing);
    Outcome outcome;
    outcome.left_out = selection.left_out.size();
    outcome.narrow = by_spacing.left_out.size() - by_status.left_out.size();
    outcome.contradicted = selection.left_out.size() - by_spacing.left_out.size();
    for (std::size_t k = 0; k < selection.left_out.size(); ++k) {
        const std::string& reason = selection.reasons[k];
        const bool narrow = half_widths.ppm[selection.left_out[k]] < spacing / 2;
        const bool first_kind = std::find(by_spacing.left_out.begin(), by_spacing.left_out.end(),
                                          selection.left_out[k]) != by_spacing.left_out.end();
        outcome.reasons_name_line_B =
            outcome.reasons_name_line_B && (reason.find("MB") == 0 || reason.find("LWB") == 0) &&
            (narrow == (reason.find("narrower than half the point spacing") != std::string::npos) ||
             reason.find("LWB at a bound") != std::string::npos) &&
            (first_kind == (reason.find("se from the other slices'") == std::string::npos));
    }
    TrendOptions options;
    options.monte_carlo = 0;
    const TrendFit trend =
        fit_trend(fading_z, y, se, TrendModel::decay, options, selection.left_out);
    EXPECT_EQ(trend.n + trend.excluded.size() <= fading_z.size(), true);
    EXPECT_EQ(trend.excluded, selection.left_out);
    const auto within_3se = [](const TrendFit& fit) {
        const TrendParameter& t = fit.parameters[1];
        return std::fabs(t.value - T_B) <= 3.0 * t.se;
    };
    outcome.within_3se = within_3se(trend);
    outcome.within_3se_or_flagged = outcome.within_3se || trend.status == "misfit";
    outcome.kept_within_3se = within_3se(fit_trend(fading_z, y, se, TrendModel::decay, options));
    outcome.status_only_within_3se =
        within_3se(fit_trend(fading_z, y, se, TrendModel::decay, options, by_status.left_out));
    outcome.spacing_only_within_3se =
        within_3se(fit_trend(fading_z, y, se, TrendModel::decay, options, by_spacing.left_out));
    return outcome;
}

} // namespace

// 150 seeds at a good (line B 24 sigma high at first) and at a low (9.5 sigma) signal-to-noise,
// line B fading to a third of sigma, with pairfit-trend's selection for a decay: the slices
// whose half-width collapsed to its bound, or narrowed below half the point spacing (0.0028
// ppm here, a seventh of the true 0.02) onto a noise point, or lies more than 3.29 se from
// the other slices' (a relaxation series has one width per line) are left out and named by
// line B's values. Measured: the rate lies within 3 se of the truth in 148 and 148 of 150
// seeds (145 and 146 without the width check, 145 and 142 leaving out only the slices a
// status names, 144 and 139 keeping them all). The seeds are fixed, so the counts are the
// same on every run of one build; the bound below leaves one seed for another compiler's
// last digits.
TEST(TrendReliability, AFadingLineGivesAnHonestRateWithTheCollapsedSlicesLeftOut) {
    for (const double area_B : {1.5, 0.6}) {
        int within = 0, within_or_flagged = 0, kept_within = 0, status_only_within = 0;
        int spacing_only_within = 0, seeds_with_left_out = 0, seeds_with_narrow = 0;
        std::size_t contradicted = 0;
        const int seeds = 150;
        for (int seed = 1; seed <= seeds; ++seed) {
            const Outcome outcome = fading_trend(area_B, 1000 + static_cast<std::uint64_t>(seed));
            within += outcome.within_3se ? 1 : 0;
            within_or_flagged += outcome.within_3se_or_flagged ? 1 : 0;
            kept_within += outcome.kept_within_3se ? 1 : 0;
            status_only_within += outcome.status_only_within_3se ? 1 : 0;
            spacing_only_within += outcome.spacing_only_within_3se ? 1 : 0;
            seeds_with_left_out += outcome.left_out > 0 ? 1 : 0;
            seeds_with_narrow += outcome.narrow > 0 ? 1 : 0;
            contradicted += outcome.contradicted;
            EXPECT_TRUE(outcome.reasons_name_line_B) << "seed " << seed;
        }
        SCOPED_TRACE("area_B " + std::to_string(area_B));
        std::printf("area_B %g: T within 3 se in %d of %d seeds (%d without the width check, %d "
                    "leaving out only the slices a status names, %d keeping them all), within or "
                    "flagged misfit in %d; %d seeds had slices left out, %d for a half-width "
                    "below half the spacing; %zu slices left out for a contradicted width\n",
                    area_B, within, seeds, spacing_only_within, status_only_within, kept_within,
                    within_or_flagged, seeds_with_left_out, seeds_with_narrow, contradicted);
        EXPECT_GE(seeds_with_left_out, 1);
        EXPECT_GE(seeds_with_narrow, 1);
        EXPECT_GE(contradicted, 1u);
        EXPECT_GE(within, spacing_only_within);
        EXPECT_GE(spacing_only_within, status_only_within);
        EXPECT_GE(status_only_within, kept_within);
        EXPECT_GE(within, 146);
        RecordProperty("seeds_with_left_out_" + std::to_string(area_B), seeds_with_left_out);
    }
}

namespace {

// Values of a decay with errors of 1 % of the first value, 12 slices over 5 times the slower
// time: one exponential, or two of equal share with times 5-fold apart.
struct Values {
    std::vector<double> z, y, se;
};
Values decay_values(bool two_times, std::uint64_t seed) {
    std::mt19937_64 engine(seed);
    Values values;
    for (int i = 0; i < 12; ++i) {
        const double z = 0.02 * std::pow(1.45, i);
        const double clean = two_times ? 50.0 * std::exp(-z / 0.06) + 50.0 * std::exp(-z / 0.3)
                                       : 100.0 * std::exp(-z / 0.15);
        values.z.push_back(z);
        values.se.push_back(0.5);
        values.y.push_back(clean + 0.5 * gaussian(engine));
    }
    return values;
}

} // namespace

// 150 seeds each. The bi-exponential series is a misfit of one exponential with chi2/dof in
// the hundreds, and decay2 wins its F test by orders of magnitude below 0.001; a one-exponential
// series prefers decay2 at p < 0.001 in 0.1 % of seeds, so 95 % leaves a wide margin.
TEST(TrendReliability, ASecondTimeIsFlaggedAndFoundOnlyWhereItIs) {
    TrendOptions options;
    options.monte_carlo = 0;
    int flagged = 0, found = 0, wrongly_found = 0, wrongly_flagged = 0;
    const int seeds = 150;
    for (int seed = 1; seed <= seeds; ++seed) {
        for (const bool two_times : {true, false}) {
            const Values v = decay_values(two_times, 77 + static_cast<std::uint64_t>(seed));
            const TrendFit one = fit_trend(v.z, v.y, v.se, TrendModel::decay, options);
            TrendComparison comparison;
            try {
                const TrendFit two = fit_trend(v.z, v.y, v.se, TrendModel::decay2, options);
                ASSERT_LT(two.parameters[1].value, two.parameters[4].value); // Ta < Tb
                comparison = compare_trends("A", one, TrendModel::decay2, &two, "");
                // The one-exponential fit lies in decay2's family: never a lower chi2.
                EXPECT_LE(two.chi2, one.chi2 * (1 + 1e-9));
            } catch (const Failure& failure) {
                comparison = compare_trends("A", one, TrendModel::decay2, nullptr, failure.what());
            }
            const bool prefers_two = comparison.preferred == TrendModel::decay2;
            if (two_times) {
                flagged += one.status == "misfit" ? 1 : 0;
                found += prefers_two && comparison.p_value < 0.001 ? 1 : 0;
                EXPECT_NE(trend_misfit_warning("A", one).find("largest |residual|/se"),
                          std::string::npos);
            } else {
                wrongly_found += prefers_two ? 1 : 0;
                wrongly_flagged += one.status == "misfit" ? 1 : 0;
                // Where decay2 is not supported, it is said.
                if (!prefers_two && comparison.note.empty()) {
                    EXPECT_GE(comparison.p_value, 0.001);
                }
            }
        }
    }
    EXPECT_GE(flagged, 143);
    EXPECT_GE(found, 143);
    EXPECT_LE(wrongly_found, 7);
    EXPECT_LE(wrongly_flagged, 7);
}

// The p-value of chi2 and of F against their distributions' defining integrals, summed here by
// the midpoint rule.
TEST(TrendReliability, PValuesAreTheDistributionsTails) {
    for (const double dof : {1.0, 4.0, 9.0}) {
        for (const double chi2 : {0.5, 3.0, 12.0}) {
            // Density of chi-square(dof), integrated from chi2 to far out.
            double tail = 0.0;
            const double step = 1e-4;
            for (double x = chi2 + step / 2; x < chi2 + 200.0; x += step) {
                tail += std::exp((dof / 2 - 1) * std::log(x) - x / 2 - std::lgamma(dof / 2) -
                                 dof / 2 * std::log(2.0)) *
                        step;
            }
            EXPECT_NEAR(chi2_survival(chi2, dof), tail, 1e-6) << dof << " " << chi2;
        }
    }
    EXPECT_NEAR(f_survival(1.0, 2.0, 2.0), 0.5, 1e-12); // F(2, 2): P(F > f) = 1 / (1 + f)
    EXPECT_NEAR(f_survival(3.0, 2.0, 2.0), 0.25, 1e-12);
    EXPECT_TRUE(std::isnan(chi2_survival(1.0, 0.0)));
}

// The width check on honest widths (each drawn about the line's width with its own se) loses
// a slice in at most 0.1 % of series of 12 (the normal's two-sided tail of 0.001 / 12 per
// slice, less with the scale that widths scattering beyond their errors get): 100 of 100000
// at most, 35 measured, so at least 15 (3.4 Poisson sds below 35) and at most 130 (3 above
// 100). A slice fitted to noise, at half the width with a tenth of its
// error, is left out and named, and the others stay although its tiny error dominates their
// mean; a titration (no one width), --keep-bound and widths without errors keep it.
TEST(TrendReliability, AContradictedWidthIsLeftOutAtItsTail) {
    std::mt19937_64 engine(29);
    const std::vector<std::string> statuses(12, "settled");
    std::size_t left_out = 0, series_losing = 0;
    const int series = 100000;
    for (int k = 0; k < series; ++k) {
        FittedHalfWidths widths{"LWB", {}, {}};
        for (std::size_t s = 0; s < statuses.size(); ++s) {
            const double se = 0.001 * (1.0 + static_cast<double>(s % 4));
            widths.se.push_back(se);
            widths.ppm.push_back(0.02 + se * gaussian(engine));
        }
        const std::size_t lost =
            select_trend_slices(statuses, {"B"}, false, {widths}, 0.005, true).left_out.size();
        left_out += lost;
        series_losing += lost > 0 ? 1 : 0;
    }
    std::printf("honest widths: %zu of %d series lost %zu slices\n", series_losing, series,
                left_out);
    EXPECT_GE(series_losing, 15u);
    EXPECT_LE(series_losing, 130u);

    // Widths that all differ far beyond their errors (a model short of lines, with noise-based
    // errors) say nothing about any one slice.
    FittedHalfWidths spread{"LWB", {}, std::vector<double>(12, 1e-6)};
    for (std::size_t s = 0; s < statuses.size(); ++s) {
        spread.ppm.push_back(0.0135 + 1e-4 * static_cast<double>((s * 7) % 12));
    }
    EXPECT_TRUE(
        select_trend_slices(statuses, {"B"}, false, {spread}, 0.005, true).left_out.empty());

    FittedHalfWidths widths{"LWB", std::vector<double>(12, 0.02), std::vector<double>(12, 0.002)};
    widths.ppm[9] = 0.01;
    widths.se[9] = 0.0002;
    const TrendSelection selection =
        select_trend_slices(statuses, {"B"}, false, {widths}, 0.005, true);
    ASSERT_EQ(selection.left_out, std::vector<std::size_t>{9});
    EXPECT_EQ(selection.reasons[0], "LWB 0.01 ppm, 16 se from the other slices' 0.02 ppm");
    EXPECT_NE(left_out_warning("B", selection).find("slice 9: LWB 0.01 ppm"), std::string::npos);
    EXPECT_TRUE(select_trend_slices(statuses, {"B"}, false, {widths}, 0.005).left_out.empty());
    EXPECT_TRUE(select_trend_slices(statuses, {"B"}, true, {widths}, 0.005, true).left_out.empty());
    widths.se.clear();
    EXPECT_TRUE(
        select_trend_slices(statuses, {"B"}, false, {widths}, 0.005, true).left_out.empty());
}

// The collapse itself, at the trend: a decay over 150 seeds with errors of 2 % of the first
// value, one late slice replaced by what a half-width at its bound gives (a hundredth of the
// value, with a 250th of the error, as pairfit4 --signed reports a line fitted to one noise
// point). Left out by default, T lies within 3 se of the truth as often as honest errors give
// (99.7 %; 97 % required); kept, it drags T more than 5 se away in nearly every seed.
TEST(TrendReliability, ASliceAtABoundNoLongerSteersTheRate) {
    TrendOptions options;
    options.monte_carlo = 0;
    int within = 0, dragged = 0;
    const int seeds = 150;
    for (int seed = 1; seed <= seeds; ++seed) {
        std::mt19937_64 engine(500 + static_cast<std::uint64_t>(seed));
        std::vector<double> z, y, se;
        std::vector<std::string> statuses(12, "settled");
        for (int i = 0; i < 12; ++i) {
            z.push_back(0.01 * (i + 1));
            se.push_back(0.02);
            y.push_back(std::exp(-z.back() / T_B) + 0.02 * gaussian(engine));
        }
        y[9] = 0.01 * std::exp(-z[9] / T_B);
        se[9] = 0.02 / 250.0;
        statuses[9] = "settled;bound:LWB";
        const TrendSelection selection = select_trend_slices(statuses, {"B"}, false);
        ASSERT_EQ(selection.left_out, std::vector<std::size_t>{9});
        EXPECT_NE(left_out_warning("B", selection).find("slice 9: LWB at a bound"),
                  std::string::npos);
        const TrendParameter t =
            fit_trend(z, y, se, TrendModel::decay, options, selection.left_out).parameters[1];
        within += std::fabs(t.value - T_B) <= 3.0 * t.se ? 1 : 0;
        const TrendSelection kept = select_trend_slices(statuses, {"B"}, true);
        const TrendParameter k =
            fit_trend(z, y, se, TrendModel::decay, options, kept.left_out).parameters[1];
        dragged += std::fabs(k.value - T_B) > 5.0 * k.se ? 1 : 0;
    }
    EXPECT_GE(within, 146);
    EXPECT_GE(dragged, 140);
}
