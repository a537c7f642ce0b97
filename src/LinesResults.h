// The result files of pairfit-lines: lines.csv, slices.csv and the curve files, every number
// in the spectrum's own units as the shortest text that reads back to the same double.
#pragma once

#include "LineFit.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The column names of lines.csv and slices.csv, in order.
extern const char* const lines_csv_header;
extern const char* const slices_csv_header;

// A column of lines.csv or slices.csv, read by the writer and the Python module alike, so that
// both give a cell the same value: a number (empty when undefined or not finite), a whole
// number, or text (the line's name and shape, the status).
enum class LinesCellKind { number, integer, text };
struct LinesColumn {
    const char* name;
    LinesCellKind kind;
    // The value of the row of slice `slice` and line `line` (0 in slices.csv); `z` holds one
    // value per slice or none.
    std::optional<double> (*number)(const LineSeriesFit& fit, std::size_t slice, std::size_t line,
                                    const std::vector<double>& z);
    std::string (*text)(const LineSeriesFit& fit, std::size_t slice, std::size_t line);
};
const std::vector<LinesColumn>& lines_csv_columns();
const std::vector<LinesColumn>& slices_csv_columns();

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
// The value of curve file `index` at point `point` of slice `slice`, as its file holds it.
double curve_value(const LineSeriesFit& fit, const WindowedSeries& series, std::size_t index,
                   std::size_t slice, std::size_t point);
// The comment line of curve file `index` of curve_file_names, and the row of point `point`
// appended to `text`: a file is the head, then a row per point of slice 0, written as it goes.
std::string curve_file_head(const LineSeriesFit& fit, std::size_t index);
void append_curve_row(const LineSeriesFit& fit, const WindowedSeries& series, std::size_t index,
                      std::size_t point, std::string& text);
