// The fit's input: the points of 2d.txt inside the window (and a noise region), cut while the
// file is read.
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

// The mean distance between neighbouring points of `points` points (at least 2) running from
// first_ppm to last_ppm: |last_ppm - first_ppm| / (points - 1), the point spacing of an axis.
// A line narrower than half of it cannot be told from a spike (pairfit-lines' lowest
// half-width, the slices pairfit-trend leaves out).
double mean_point_spacing(double first_ppm, double last_ppm, std::size_t points);

// The point spacing of the series in the 2d.txt `name`, from its first block alone (every
// slice holds the window points of the first): the mean_point_spacing of that block's rows,
// read up to its closing '&' line and no further. `problem` says why it is not known, naming
// the file and, for a row of one value, the block and row.
struct PointSpacing {
    double ppm = std::numeric_limits<double>::quiet_NaN(); // finite and > 0 when known
    std::string problem;                                   // empty when known
};
PointSpacing read_point_spacing(const std::string& name);

// The standard deviation (n - 1) about their mean of slice `slice`'s noise intensities: the
// noise of the slice in the programs' reports. Requires at least two noise points.
double noise_of(const WindowedSeries& series, std::size_t slice);
