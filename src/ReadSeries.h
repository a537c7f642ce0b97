// The fit's input: the settings of peaks.txt and the points of 2d.txt inside the window,
// cut while the file is read, with the refusals of what cannot be fitted.
#pragma once

#include "Read.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// The points of a block file (2d.txt) that lie strictly inside (window_lower, window_upper)
// ppm, cut while the file is read: the {ppm, intensity} of every such row, slice after slice,
// in file order. One slice per block; rows of no value are skipped, and a row of one value
// is not a point (the first is named in the ReadReport, for the caller to refuse).
struct WindowedSeries {
    std::vector<double> ppm;
    std::vector<double> intensity;
    // Slice s holds the points slice_start[s] <= i < slice_start[s + 1].
    std::vector<std::size_t> slice_start{0};
    // The smallest and largest ppm of all points of the slices, inside the window or not
    // (+inf and -inf when they hold none): what the data cover, when the window misses it.
    double ppm_low = std::numeric_limits<double>::infinity();
    double ppm_high = -std::numeric_limits<double>::infinity();
    // With a noise region: the intensities of each slice's points strictly inside it, inside
    // the window or not, slice after slice (slice s: noise_start[s] <= i < noise_start[s + 1]).
    // They never enter the fit.
    std::vector<double> noise_intensity;
    std::vector<std::size_t> noise_start{0};

    std::size_t slice_count() const { return slice_start.size() - 1; }
    std::size_t points_in(std::size_t slice) const {
        return slice_start[slice + 1] - slice_start[slice];
    }
};

// A signal-free region of the spectrum, ppm, lower limit first; `given` false when none.
struct NoiseRegion {
    bool given = false;
    double lower = 0.0;
    double upper = 0.0;
};

// Reads `name` as read_series does, with up to `threads` threads on pieces of a regular file
// split at line ends (each at least smallest_piece bytes), keeping only the window's points.
// The report is that of read_series.
WindowedSeries read_windowed_series(const char* name, double window_lower, double window_upper,
                                    unsigned threads, ReadReport& report,
                                    std::uint64_t smallest_piece = 4 << 20);
// The same, keeping also each slice's intensities inside the noise region.
WindowedSeries read_windowed_series(const char* name, double window_lower, double window_upper,
                                    const NoiseRegion& noise, unsigned threads, ReadReport& report,
                                    std::uint64_t smallest_piece = 4 << 20);

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

// The parts of check_fit_series, each one message or none.
// Throws Failure when the file could not be read to its end: a line too long is malformed
// input, anything else unreadable; `name` names it.
void check_read(const char* name, const ReadReport& report);
// Empty, or the message refusing the window points.
std::string check_window_points(const WindowedSeries& series, double window_lower,
                                double window_upper);
// The message refusing a row of one value, in block `block` at data row `row`.
std::string single_value_message(std::size_t block, std::size_t row, const LineExcerpt& line);
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

// The fewest points a noise region must hold in every slice.
constexpr std::size_t min_noise_points = 16;
// Refuses (Failure, malformed_input) a noise region with fewer than min_noise_points points,
// or with no spread of intensity, in any slice; appends a warning to `warnings` when it
// overlaps the window or holds a peak position.
void check_noise_region(const WindowedSeries& series, const NoiseRegion& noise,
                        const PeakSettings& peaks, std::vector<std::string>& warnings);
