// What a fit takes from peaks.txt, and the refusals of a series that cannot be fitted.
#pragma once

#include "ReadSeries.h"

#include <cstddef>
#include <string>
#include <vector>

// What a fit takes from peaks.txt.
struct PeakSettings {
    double peak_A = 0.0; // positions of the lines, ppm
    double peak_B = 0.0;
    double window_lower = 0.0; // the window to cut, ppm, lower limit first
    double window_upper = 0.0;
    bool has_widths = false; // a third data row with two values
    double LWA = 0.0;        // its half-widths, ppm
    double LWB = 0.0;
};

// Reads peaks.txt from `path` (named "peaks.txt" in messages). Requires the first two data
// rows (and the third, the fixed half-widths, when widths_needed) to hold two values each, the
// half-widths not below 0. Throws Failure: unreadable_input when the file cannot be read,
// malformed_input for a missing or short row, a negative half-width or a line over
// max_line_length. Appends a warning for a peak outside the window to `warnings`.
PeakSettings read_peak_settings(const std::string& path, bool widths_needed,
                                std::vector<std::string>& warnings);

// What the fit needs of a series read with read_windowed_series: the file read to its end, no
// row of a single value, at least one slice, a point of slice 0 inside the window, and in
// every later slice the points of slice 0 (as many, each ppm within 1 % of the local point
// spacing of slice 0's at the same place). Throws Failure as read_peak_settings does; appends
// a warning for data lines after the last '&' line to `warnings`.
void check_fit_series(const WindowedSeries& series, const ReadReport& report,
                      const PeakSettings& peaks, std::vector<std::string>& warnings);

// The fewest points a noise region must hold in every slice.
constexpr std::size_t min_noise_points = 16;
// Refuses (Failure, malformed_input) a noise region with fewer than min_noise_points points,
// or with no spread of intensity, in any slice; appends a warning to `warnings` when it
// overlaps the window or holds a peak position.
void check_noise_region(const WindowedSeries& series, const NoiseRegion& noise,
                        const PeakSettings& peaks, std::vector<std::string>& warnings);
