// pairfit-lines as a program: its command line, the reading of a folder, the fit, the console
// and the result files. A detail of the programs, not installed.
#pragma once

#include "LineFit.h"
#include "LinesInput.h"

#include <utility>

#include <string>
#include <vector>

// What the command line of pairfit-lines asks for.
struct LinesOptions {
    bool help = false;
    std::string folder = ".";
    bool window_given = false;
    double window_lower = 0.0, window_upper = 0.0;
    LineShape shape = LineShape::lorentzian;
    BaselineKind baseline = BaselineKind::none;
    double float_ppm = 0.0;
    WidthMode widths = WidthMode::free;
    bool positive = false;
    NoiseRegion noise;
    std::string z_name; // as given; empty without --z
};

// Reads the options of pairfit-lines (args without the program's name). Throws Failure:
// bad_arguments for an unknown option, a missing or non-numeric value or a word an option
// does not take; malformed_input for --float below 0.
LinesOptions parse_lines_options(const std::vector<std::string>& args);

// The steps of a run that the Python module takes too, so that both refuse and fit alike.

// The window of a series cut beforehand (lines.txt without --window or peaks.txt): slice 0's
// ppm range widened by half a point spacing at each end, so that every point lies inside.
std::pair<double, double> series_window(const WindowedSeries& series);

// The settings of a fit of `rows` (sources[i] names row i's file and line for messages) with
// the options' shape, baseline, float, widths, positive and noise. Throws Failure
// (malformed_input) naming the row: a line outside the window, a half-width <= 0, a line
// without a half-width with --widths fixed.
LineFitSettings line_fit_settings(const std::vector<LineRow>& rows,
                                  const std::vector<std::string>& sources,
                                  const LinesOptions& options, double window_lower,
                                  double window_upper);

// A warning per line inside the noise region.
std::vector<std::string> noise_line_warnings(const LineFitSettings& settings,
                                             const NoiseRegion& noise);

// Throws Failure (malformed_input) when slice 0 holds fewer points than the fit's parameters.
void check_parameter_count(const WindowedSeries& series, const LineFitSettings& settings);

// What a run prints on standard error after the fit: the summed fit at a bound, slices ended
// by the iteration limit, at a bound, flagged as misfits.
std::vector<std::string> line_series_warnings(const LineSeriesFit& fit);

// The text of --help.
std::string lines_usage_text();

// The whole run of pairfit-lines.
int pairfit_lines_main(int argc, char** argv);
