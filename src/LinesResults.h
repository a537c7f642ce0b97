// The result files of pairfit-lines: lines.csv, slices.csv and the curve files, every number
// in the spectrum's own units as the shortest text that reads back to the same double.
#pragma once

#include "LineFit.h"

#include <cstddef>
#include <string>
#include <vector>

// The column names of lines.csv and slices.csv, in order.
extern const char* const lines_csv_header;
extern const char* const slices_csv_header;

// lines.csv: one row per slice and line. `z` holds one value per slice or none. A value not
// defined (an se of a value held, at a bound or undetermined; eta of a pure shape; z without
// one) and any non-finite value is an empty cell.
std::string format_lines_csv(const LineSeriesFit& fit, const std::vector<double>& z);
// slices.csv: one row per slice.
std::string format_slices_csv(const LineSeriesFit& fit, const std::vector<double>& z);

// The curve files, in the layout of the matrix files (a point per line, its ppm, then a
// column per slice) after one comment line: lines_dat.txt (the data), lines_sim_K.txt (line
// K of lines.txt, from 1), lines_baseline.txt (with a baseline) and lines_res.txt (data minus
// every line and the baseline).
std::vector<std::string> curve_file_names(const LineFitSettings& settings);
// The comment line of curve file `index` of curve_file_names, and the row of point `point`
// appended to `text`: a file is the head, then a row per point of slice 0, written as it goes.
std::string curve_file_head(const LineSeriesFit& fit, std::size_t index);
void append_curve_row(const LineSeriesFit& fit, const WindowedSeries& series, std::size_t index,
                      std::size_t point, std::string& text);
