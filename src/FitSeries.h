// The run as a function of values: a windowed series in memory and the fit settings in, the
// scale factor and one record per fitted slice out. The programs, the Python module and any
// library caller fit a series through fit_series.
#pragma once

#include "ReadChecks.h"
#include "Stats.h"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// How a series is fitted.
struct FitSettings {
    double peak_A = 0.0; // positions of the lines, ppm
    double peak_B = 0.0;
    // The half-widths LWA, LWB held fixed (two free parameters, MA and MB), or none: the
    // half-widths are fitted with the amplitudes (four free parameters).
    std::optional<std::array<double, 2>> fixed_widths;
    bool with_report = false; // compute each slice's standard errors (report.csv)
    // Amplitudes within [-10, 10] instead of [1e-4, 10], the scale factor the largest absolute
    // intensity, and with free half-widths each slice fitted also with each amplitude held to
    // each sign, then released, keeping the lowest residual sum (at an amplitude of 0 a width
    // has no gradient).
    bool signed_amplitudes = false;
    // The series holds noise points (WindowedSeries::noise_intensity): each slice's noise,
    // chi2_red and misfit flag are computed, and the standard errors use the noise (implies
    // with_report).
    bool with_noise = false;
};

// How the fit of a slice ended.
enum class SliceEnd {
    settled,         // the objective stopped changing
    iteration_limit, // max_fit_iterations ended the fit; its values may be off
    non_finite,      // the objective met non-finite values; the values are the fit's start
};

// What this represents: one fitted slice, made once by fit_series and read by the console
// table, the warnings, the five result files and report.csv.
struct SliceFit {
    double MA = 0.0; // fitted amplitudes (scaled intensity x ppm)
    double MB = 0.0;
    double LWA = 0.0; // half widths at half height (ppm), fitted or fixed
    double LWB = 0.0;
    double integ_A = 0.0; // the sum of line A over the slice's points (results.txt)
    double integ_B = 0.0;
    double residual_square_tot = 0.0; // the sum of ((b + a) - y)^2 over the points
    unsigned long iterations = 0;     // the minimiser's
    SliceEnd end = SliceEnd::settled;
    std::string end_message; // why the fit did not settle (the warning or refusal); else empty
    // MA, MB, LWA, LWB: fitted and ended within at_bound_tolerance of a bound.
    std::array<bool, 4> at_bound{};
    std::optional<SliceReport> report; // when FitSettings::with_report or with_noise
};

// What this represents: a fitted series. `scaled` is the series as fitted, its intensities
// divided by scale_factor; slices[s] is the fit of slice s of it.
struct SeriesFit {
    FitSettings settings;
    double scale_factor = 0.0; // the largest intensity inside the window over the series
    WindowedSeries scaled;
    std::vector<SliceFit> slices;

    int free_parameters() const { return settings.fixed_widths ? 2 : 4; }
};

// Called with each slice's record as soon as the slice is fitted.
using SliceFitted = std::function<void(std::size_t slice, const SliceFit& fit)>;

// Requires: `series` as check_fit_series accepts it (every slice holds the points of slice 0),
// and with_noise only for a series check_noise_region accepts.
// Ensures: the intensities are divided by the largest of them (intensities keep their sign;
// the largest absolute one with signed_amplitudes);
// the slices are fitted in order with dlib's box-constrained BFGS, each within 1e-4 and 10 in
// every parameter (amplitudes within -10 and 10 with signed_amplitudes) and starting from the
// previous slice's result (the first from MA = MB = 0.2, LWA = 1, LWB = 3); on_slice, when given,
// is called after each. A slice whose objective meets non-finite values (no positive intensity
// to scale by, a zero fixed half-width) ends SliceEnd::non_finite with the refusal's message,
// its start values as its parameters, and the next slice starts where it started; every slice
// has its record. What on_slice throws ends the fit and leaves fit_series.
SeriesFit fit_series(WindowedSeries series, const FitSettings& settings,
                     const SliceFitted& on_slice = {});

// The refusal of a slice that ended SliceEnd::non_finite: Failure (non_finite_fit) with its
// message. Does nothing for any other slice.
void refuse_non_finite(const SliceFit& slice);
// The same for the first such slice of a fitted series.
void refuse_non_finite(const SeriesFit& fit);

// Line A and line B of a fitted slice at one point, as the result files hold them.
struct LinePoint {
    double a = 0.0;
    double b = 0.0;
};
LinePoint lines_at(const SliceFit& fit, const FitSettings& settings, double ppm);

// report.csv's status of a slice: "settled", "iteration_limit" or "non_finite", then ";bound:"
// and the parameters at a bound ("settled;bound:MA,MB").
std::string slice_status(const SliceFit& fit);

// The warning after the last slice for the slices that ended at a bound, or empty; and its
// text for `slices` (in order) of slice_count, with `parameters` (MA, MB, LWA, LWB) at a bound.
std::string bound_warning(const SeriesFit& fit);
std::string bound_warning(const std::vector<std::size_t>& slices,
                          const std::array<bool, 4>& parameters, std::size_t slice_count,
                          bool signed_amplitudes = false);
// The warning after the last slice for the slices flagged as a misfit, or empty.
std::string misfit_warning(const SeriesFit& fit);
// "6-9" and "2, 4" forms of a list of slices in increasing order.
std::string slice_ranges(const std::vector<std::size_t>& slices);
// The warning for a slice fit ended by max_fit_iterations.
std::string iteration_limit_warning(std::size_t slice);
// The message of a slice fit that met non-finite values: the minimiser's error, then what to
// check.
std::string non_finite_fit_message(const std::string& minimiser_error, std::size_t slice,
                                   bool half_widths_free, bool signed_amplitudes = false);

// report.csv, column by column: each column's name and how a slice's cell is made. The writer,
// the Python module and the drawing scripts all take the columns from this one table.
enum class ReportColumnKind {
    integer, // slice, points, iterations
    number,  // a double; NaN where the cell is empty (undefined or not finite)
    text,    // status
};
struct ReportColumn {
    std::string name;
    ReportColumnKind kind;
    // The slice's value, for integer and number columns; `z` holds one value per slice or none.
    std::function<double(const SeriesFit& fit, std::size_t slice, const std::vector<double>& z)>
        value;
};
// The columns in file order. Requires, for any value, a fit made with_report.
const std::vector<ReportColumn>& report_columns();
// The header line of report.csv: the column names joined by commas.
std::string report_header();

// The text of report.csv (numbers in their shortest round-trip form; undefined or non-finite
// values as empty cells). `z` holds one value per slice or none. Requires a fit made
// with_report.
std::string format_report(const SeriesFit& fit, const std::vector<double>& z);
