// The steps of the checks of ReadChecks.h, each returning one message or none; for the
// reference stages and fuzz targets that compare with them. Not installed.
#pragma once

#include "ReadChecks.h"

#include <cstddef>
#include <string>
#include <vector>

// The parts of check_fit_series, each one message or none.
// Throws Failure when the file could not be read to its end: a line too long is malformed
// input, anything else unreadable; `name` names it.
void check_read(const char* name, const ReadReport& report);
// Empty, or the message refusing the window points.
std::string check_window_points(const WindowedSeries& series, double window_lower,
                                double window_upper);
// The message refusing a row of one value, in block `block` at data row `row` of `file`.
std::string single_value_message(std::size_t block, std::size_t row, const LineExcerpt& line,
                                 const std::string& file = "2d.txt");
// A warning for data lines after the last '&' of 2d.txt, which no slice holds; else empty.
std::string unfinished_block_warning(const ReadReport& series_report);
// A warning for a peak position outside the window, naming the peak ("peak_A"); else empty.
std::string peak_window_warning(const char* peak, double position, double window_lower,
                                double window_upper);
// Rows too short, and with rows_needed 3 a fixed half-width below 0; empty when sound. A short
// row is quoted from `lines`, the excerpts of the first data lines, when they reach it.
std::string check_peaks(const Table& peaks, std::size_t rows_needed,
                        const std::vector<LineExcerpt>& lines = {});
// ` in "LINE"` with its bytes escaped, and a hint when a comma stands in the line.
std::string quoted(const LineExcerpt& line);
