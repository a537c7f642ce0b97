// Sums of squared residuals between two tables of {x, y} rows, and the statistics of a
// slice's fit built on them.
#pragma once

#include "Read.h"

#include <cmath>
#include <cstddef>
#include <optional>

// Sum over the rows of `model` of (model[i][1] - data[i][1])^2, in row order from 0.0.
// `data` must have at least as many rows as `model`; column 0 is not compared.
double calc_residuals(const Table& model, const Table& data);

// Prints calc_residuals(model, data) with 3 decimals in a field of 2: no separator, no
// newline, and std::cout left in fixed notation with precision 3. `data` shorter than
// `model`, or a compared row with fewer than two values, is refused with std::out_of_range
// before anything is printed.
void print_residuals(const Table& model, const Table& data);

// ---------------------------------------------------------------------------------------
// How well a slice's fit determines its values (report.csv)
// ---------------------------------------------------------------------------------------

// The box the minimiser keeps every fitted parameter in.
constexpr double parameter_lower_bound = 1e-4;
constexpr double parameter_upper_bound = 10.0;
// The amplitudes' lower bound when they may take either sign (--signed).
constexpr double signed_amplitude_lower_bound = -10.0;
// A fitted value this close to a bound counts as held there by the bound; the report and the
// warning share it.
constexpr double at_bound_tolerance = 1e-9;
// True when a fitted value lies within at_bound_tolerance of `lower` or `upper`.
bool at_bound(double value, double lower = parameter_lower_bound,
              double upper = parameter_upper_bound);

// The point of the F distribution with (numerator_dof, denominator_dof) degrees of freedom
// below which a share `probability` of it lies.
double f_quantile(double probability, double numerator_dof, double denominator_dof);
// The share of the chi-square distribution with `dof` degrees of freedom above `chi2`, and of
// the F distribution with (numerator_dof, denominator_dof) above `f`: the p-values of a fit's
// chi2 and of an F test. NaN for a dof <= 0 or a non-finite statistic.
double chi2_survival(double chi2, double dof);
double f_survival(double f, double numerator_dof, double denominator_dof);
// A slice's reduced chi-square above this share of its F distribution is flagged as a misfit.
constexpr double misfit_probability = 0.999;

// A value and its standard error; the error is empty where it is not defined.
struct Estimate {
    double value = 0.0;
    std::optional<double> se;
};

// The statistics of one fitted slice. Parameters, heights and areas are in the scaled
// intensity units of the fit (heights: intensity; MA, MB, areas: intensity x ppm).
struct SliceReport {
    std::size_t points = 0;
    Estimate MA, MB, LWA, LWB;
    Estimate height_A, height_B; // M/W, the line's maximum
    Estimate area_A, area_B;     // pi*M
    Estimate fraction_A;         // MA/(MA + MB)
    double rss = 0.0;            // sum of ((b + a) - y)^2, as residual_square_tot
    std::optional<double> sigma; // sqrt(rss/(points - free parameters))
    // Which of MA, MB, LWA, LWB (in this order) were fitted and ended within
    // at_bound_tolerance of a bound. Half-widths held fixed are never at a bound.
    bool at_bound[4] = {false, false, false, false};
    // With a noise estimate: the standard deviation of the slice's noise (scaled intensity),
    // rss / ((points - free parameters) noise^2), and whether that exceeds the
    // misfit_probability point of F(points - free parameters, noise points - 1).
    std::optional<double> noise;
    std::optional<double> chi2_red;
    bool misfit = false;
};

// How report_slice takes the fit: the amplitudes' box, and the noise of the slice's spectrum
// measured in a signal-free region of noise_points points, when there is one.
struct SliceReportOptions {
    bool signed_amplitudes = false;
    std::optional<double> noise;
    std::size_t noise_points = 0;
};

// The points of one slice: (ppm[i], intensity[i]) for i < count.
struct SlicePoints {
    const double* ppm = nullptr;
    const double* intensity = nullptr;
    std::size_t count = 0;
};

// The two lines of a slice: their positions (ppm), amplitudes (intensity x ppm) and half-widths
// (ppm). Also the model state the slice objective writes.
struct LinePairValues {
    double peak_A = 0.0;
    double peak_B = 0.0;
    double MA = 0.0;
    double MB = 0.0;
    double LWA = 0.0;
    double LWB = 0.0;
};

// The statistics of one slice fitted with two lines, of whose MA, MB, LWA, LWB the first
// free_params (4, or 2 when the half-widths were held fixed) were fitted.
// Standard errors: J is the Jacobian of the two-line model at the fitted values with respect
// to the fitted parameters not at a bound (analytic derivatives of the line shape);
// covariance = sigma^2 (J^T J)^-1, or noise^2 (J^T J)^-1 with a noise estimate. A half-width
// whose line's amplitude is 0 is not determined and is left out of J. Heights, areas and fraction_A
// get theirs by first-order propagation through that covariance; a half-width held fixed counts as
// exact. An error is empty for a parameter at a bound or held fixed, for a derived value that
// depends on such a fitted parameter, for every value when points <= free_params or J^T J is
// singular.
SliceReport report_slice(const SlicePoints& points, const LinePairValues& fitted, int free_params,
                         const SliceReportOptions& options = {});

// The inverse of the symmetric positive definite n x n matrix `a` (row by row, n <= 4) into
// `inverse`. False, with `inverse` unspecified, when `a` is singular for double precision
// (its correlation form has a Cholesky pivot below 1e-12) or holds non-finite values.
bool invert_symmetric(const double* a, int n, double* inverse);
