// The general line fit of pairfit-lines: any number of lines of a shape each, on a baseline,
// fitted slice by slice by variable projection (heights and baseline linear, the half-widths,
// free centres and eta by a bounded Levenberg-Marquardt trust region). Values stay in the
// spectrum's own units: nothing is scaled.
#pragma once

#include "LineShapes.h"
#include "ReadSeries.h"
#include "Stats.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// One row of lines.txt, its shape resolved.
struct LineDefinition {
    std::string name;
    double position = 0.0;            // ppm: the start, and the centre of its --float range
    std::optional<double> half_width; // ppm: the start, or the value held with --widths fixed
    LineShape shape = LineShape::lorentzian;
};

enum class BaselineKind { none, constant, linear };
enum class WidthMode {
    free,  // fitted in every slice, from the previous slice's result
    fixed, // held at lines.txt's values
    sum,   // fitted once, with the centres and eta, on the sum of all slices, then held
};

const char* baseline_kind_name(BaselineKind kind);
const char* width_mode_name(WidthMode mode);

struct LineFitSettings {
    std::vector<LineDefinition> lines;
    double window_lower = 0.0; // ppm; the baseline's c1 multiplies x - the window's centre
    double window_upper = 0.0;
    BaselineKind baseline = BaselineKind::none;
    double float_ppm = 0.0; // every centre free within this much of its position; 0: fixed
    WidthMode widths = WidthMode::free;
    bool positive = false;   // heights >= 0 (non-negative least squares)
    bool with_noise = false; // the series holds noise points: errors from the noise, chi2_red
    unsigned threads = 1;    // slices fitted side by side where they do not depend on each other
};

// The fitted values of one line in one slice. An se is empty for a value held fixed, at a
// bound or not determined by the data.
struct FittedLine {
    Estimate position, half_width, eta, height, area;
    bool position_free = false, half_width_free = false, eta_free = false; // fitted in the slice
    bool position_at_bound = false, half_width_at_bound = false, eta_at_bound = false;
    bool height_at_bound = false; // 0 with positive heights
};

struct LineSliceFit {
    std::vector<FittedLine> lines;
    std::optional<Estimate> baseline_0, baseline_1;
    std::size_t points = 0;
    std::size_t fitted_parameters = 0; // linear and nonlinear
    double rss = 0.0;
    std::optional<double> sigma;
    std::optional<double> noise;
    std::optional<double> chi2_red;
    bool misfit = false;
    bool settled = true;     // false when the iteration limit ended the fit
    unsigned iterations = 0; // the trust region's steps, tried again from the start included
    std::vector<std::string> at_bound; // "NAME.PARAM" of the values that ended at a bound
};

struct LineSeriesFit {
    LineFitSettings settings; // with every line's start half-width filled in
    std::vector<LineSliceFit> slices;
    // --widths sum: the fit of the summed slices, whose half-widths, centres and eta every
    // slice holds.
    std::optional<LineSliceFit> summed;
};

// The fewest and most a half-width may be: half the point spacing of slice 0 (a line
// narrower than the sampling cannot be told from a spike) and the window's width.
struct HalfWidthBounds {
    double lower = 0.0;
    double upper = 0.0;
};
HalfWidthBounds half_width_bounds(const WindowedSeries& series, const LineFitSettings& settings);

// The parameters a slice fit determines: heights, baseline coefficients, and the nonlinear
// ones (half-widths, free centres, eta) unless held.
std::size_t free_parameter_count(const LineFitSettings& settings);

// Called with each slice's record in slice order, as soon as it (and every slice before it)
// is fitted; from one thread at a time, which with settings.threads > 1 need not be the
// caller's.
using LineSliceFitted = std::function<void(std::size_t slice, const LineSliceFit& fit)>;

// Requires: a series check_fit_series accepts, settings that check_line_settings accepts,
// with_noise only for a series check_noise_region accepts.
// Ensures: slice 0 starts from lines.txt (a missing half-width estimated at the line's
// position from the data), every later slice from the previous slice's result (--widths free)
// or from the same start (fixed, sum: the slices are then independent and fitted on
// settings.threads threads; free: with two or more, a slice's errors are worked out on a
// second thread while the next slice is fitted); a fit that ends with a nonlinear value at a
// bound is fitted again from slice 0's start and the lower rss kept. Throws Failure
// (non_finite_fit) naming the slice when the model or the data meet non-finite values.
LineSeriesFit fit_line_series(const WindowedSeries& series, const LineFitSettings& settings,
                              const LineSliceFitted& on_slice = {});

// A fitted line (its shape from `definition`) at x, and the baseline at x.
double line_value(const FittedLine& line, LineShape shape, double x);
double baseline_value(const LineSliceFit& slice, const LineFitSettings& settings, double x);

// slices.csv's status: "settled" or "iteration_limit", ";bound:" and the values at a bound,
// ";misfit" for a slice --noise flags.
std::string line_slice_status(const LineSliceFit& slice);
