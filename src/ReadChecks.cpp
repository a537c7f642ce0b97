// The refusals and warnings of a fit's input: peaks.txt and the window points of 2d.txt.
#include "ReadChecks.h"

#include "ReadCheckParts.h"

#include "Failure.h"
#include "ReadNumbers.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace {

// What each needed data row of peaks.txt holds, by row.
const char* const peaks_row_contents[] = {
    "the positions peak_A and peak_B (ppm)",
    "the two limits of the window to cut (ppm)",
    "the fixed half-widths LWA and LWB (ppm)",
};

std::string values_found(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " value" : " values");
}

std::string point_count_message(std::size_t slice, std::size_t points, std::size_t first_points) {
    return "2d.txt: slice " + std::to_string(slice) + " holds " + std::to_string(points) +
           " points inside the window, " + (points < first_points ? "fewer" : "more") +
           " than the " + std::to_string(first_points) +
           " of slice 0; every slice must share the ppm axis of the first";
}

} // namespace

// ` in "LINE"`, control bytes shown as \xNN, and a hint when a comma stands in the line.
std::string quoted(const LineExcerpt& line) {
    std::string text =
        " in \"" + escaped(line.text, line.text.size()) + (line.cut ? "...\"" : "\"");
    if (line.has_comma) {
        text += "; commas do not separate numbers, use blanks or tabs";
    }
    return text;
}

std::string single_value_message(std::size_t block, std::size_t row, const LineExcerpt& line,
                                 const std::string& file) {
    return file + ": block " + std::to_string(block) + ", row " + std::to_string(row) +
           " must hold a chemical shift (ppm) and an intensity, found 1 value" +
           (line.text.empty() && !line.cut ? "" : quoted(line));
}

void check_read(const char* name, const ReadReport& report) {
    if (report.read_to_end) {
        return;
    }
    if (report.overlong_line != 0) {
        throw Failure(
            FailureKind::malformed_input,
            std::string(name) + ": line " + std::to_string(report.overlong_line) +
                " is longer than " + std::to_string(max_line_length >> 20) +
                " MiB; a line holds one row of numbers, so this is no text table (binary data, or "
                "a link to a device such as /dev/zero?)");
    }
    if (report.is_directory) {
        throw Failure(FailureKind::malformed_input,
                      std::string(name) + ": is a directory, not a file; give a text file");
    }
    const std::string why =
        !report.opened ? "it cannot be opened" : "a read error stopped the reading before the end";
    throw Failure(FailureKind::unreadable_input,
                  std::string(name) + ": cannot be read: " + why +
                      (report.error_number != 0
                           ? std::string(": ") + std::strerror(report.error_number)
                           : std::string()));
}

std::string check_peaks(const Table& peaks, std::size_t rows_needed,
                        const std::vector<LineExcerpt>& lines) {
    for (std::size_t i = 0; i < rows_needed; ++i) {
        const std::string row = "peaks.txt: data row " + std::to_string(i + 1);
        if (i >= peaks.size()) {
            return row + " is missing; it must hold " + peaks_row_contents[i];
        }
        if (peaks[i].size() < 2) {
            return row + " must hold " + peaks_row_contents[i] + ", found " +
                   values_found(peaks[i].size()) + (i < lines.size() ? quoted(lines[i]) : "");
        }
    }
    // A zero half-width is left to the fit, which fails on its infinite line.
    if (rows_needed > 2 && (peaks[2][0] < 0.0 || peaks[2][1] < 0.0)) {
        std::string found;
        for (int k = 0; k < 2; ++k) {
            if (peaks[2][k] < 0.0) {
                found += (found.empty() ? "" : ", ") + std::string(k == 0 ? "LWA " : "LWB ") +
                         shortest_text(peaks[2][k]);
            }
        }
        return "peaks.txt: data row 3 must hold the fixed half-widths LWA and LWB (ppm) above "
               "0, found " +
               found;
    }
    return "";
}

std::string check_window_points(const WindowedSeries& series, double window_lower,
                                double window_upper) {
    if (series.slice_count() == 0) {
        return "2d.txt: no block of data lines is closed by a line starting with '&', so there "
               "is no slice to fit; end the lines of every slice with such a line";
    }
    const std::size_t count = series.points_in(0);
    if (count == 0) {
        const std::string window = "2d.txt: slice 0 holds no point inside the window " +
                                   shortest_text(window_lower) + " to " +
                                   shortest_text(window_upper) + " ppm (row 2 of peaks.txt)";
        if (!(series.ppm_low <= series.ppm_high)) {
            return window + "; no block holds a point of a chemical shift and an intensity";
        }
        return window + "; the points of 2d.txt lie between " + shortest_text(series.ppm_low) +
               " and " + shortest_text(series.ppm_high) + " ppm" +
               (series.ppm.empty() ? " and no slice has any point inside" : "") +
               "; give the window in ppm, the unit of the first column of 2d.txt";
    }
    const double* const first = &series.ppm[0];
    for (std::size_t s = 1; s < series.slice_count(); ++s) {
        if (series.points_in(s) != count) {
            return point_count_message(s, series.points_in(s), count);
        }
        const double* const ppm = &series.ppm[series.slice_start[s]];
        for (std::size_t k = 0; k < count; ++k) {
            // The spacing around point k of slice 0; a lone point has the window's width.
            const double spacing = count == 1       ? window_upper - window_lower
                                   : k == 0         ? std::fabs(first[1] - first[0])
                                   : k + 1 == count ? std::fabs(first[k] - first[k - 1])
                                                    : std::fabs(first[k + 1] - first[k - 1]) / 2;
            if (!(std::fabs(ppm[k] - first[k]) <= 0.01 * spacing)) {
                return "2d.txt: slice " + std::to_string(s) + " has its point " +
                       std::to_string(k + 1) + " inside the window at " + shortest_text(ppm[k]) +
                       " ppm where slice 0 has " + shortest_text(first[k]) +
                       " ppm; every slice must share the ppm axis of the first (within 1 % of "
                       "the point spacing)";
            }
        }
    }
    return "";
}

std::string peak_window_warning(const char* peak, double position, double window_lower,
                                double window_upper) {
    if (window_lower < position && position < window_upper) {
        return "";
    }
    return std::string("peaks.txt: warning: ") + peak + " at " + shortest_text(position) +
           " ppm lies outside the window " + shortest_text(window_lower) + " to " +
           shortest_text(window_upper) +
           " ppm; its line is fitted from its tail alone and will likely end at a bound";
}

std::string unfinished_block_warning(const ReadReport& series_report) {
    const std::size_t rows = series_report.unfinished_rows;
    if (rows == 0) {
        return "";
    }
    return "2d.txt: warning: the last " + std::to_string(rows) +
           (rows == 1 ? " data line follows" : " data lines follow") +
           " the last '&' line, so no slice holds them; close every block with a line "
           "starting with '&'";
}

PeakSettings read_peak_settings(const std::string& path, bool widths_needed,
                                std::vector<std::string>& warnings) {
    const std::size_t rows_needed = widths_needed ? 3 : 2;
    ReadReport report;
    std::vector<LineExcerpt> lines;
    const Table peaks = read_table(path.c_str(), report, lines, rows_needed);
    check_read("peaks.txt", report);
    const std::string problem = check_peaks(peaks, rows_needed, lines);
    if (!problem.empty()) {
        throw Failure(FailureKind::malformed_input, problem);
    }
    PeakSettings settings;
    settings.peak_A = peaks[0][0];
    settings.peak_B = peaks[0][1];
    settings.window_lower = std::min(peaks[1][0], peaks[1][1]);
    settings.window_upper = std::max(peaks[1][0], peaks[1][1]);
    if (peaks.size() > 2 && peaks[2].size() >= 2) {
        settings.has_widths = true;
        settings.LWA = peaks[2][0];
        settings.LWB = peaks[2][1];
    }
    for (const auto& [peak, position] :
         {std::pair{"peak_A", settings.peak_A}, std::pair{"peak_B", settings.peak_B}}) {
        const std::string warning =
            peak_window_warning(peak, position, settings.window_lower, settings.window_upper);
        if (!warning.empty()) {
            warnings.push_back(warning);
        }
    }
    return settings;
}

void check_fit_series(const WindowedSeries& series, const ReadReport& report,
                      const PeakSettings& peaks, std::vector<std::string>& warnings) {
    check_read("2d.txt", report);
    const std::string unfinished = unfinished_block_warning(report);
    if (!unfinished.empty()) {
        warnings.push_back(unfinished);
    }
    if (report.single_value_block != 0) {
        throw Failure(FailureKind::malformed_input,
                      single_value_message(report.single_value_block, report.single_value_row,
                                           report.single_value_line));
    }
    const std::string problem = check_window_points(series, peaks.window_lower, peaks.window_upper);
    if (!problem.empty()) {
        throw Failure(FailureKind::malformed_input, problem);
    }
}

void check_noise_region(const WindowedSeries& series, const NoiseRegion& noise,
                        const PeakSettings& peaks, std::vector<std::string>& warnings) {
    if (!noise.given) {
        return;
    }
    const std::string region =
        "--noise " + shortest_text(noise.lower) + " " + shortest_text(noise.upper);
    for (std::size_t s = 0; s < series.slice_count(); ++s) {
        const std::size_t first = series.noise_start[s];
        const std::size_t count = series.noise_start[s + 1] - first;
        if (count < min_noise_points) {
            throw Failure(FailureKind::malformed_input,
                          region + ": slice " + std::to_string(s) + " holds " +
                              std::to_string(count) + (count == 1 ? " point" : " points") +
                              " strictly inside the noise region, fewer than the " +
                              std::to_string(min_noise_points) +
                              " needed; the points of 2d.txt lie between " +
                              shortest_text(series.ppm_low) + " and " +
                              shortest_text(series.ppm_high) +
                              " ppm: choose a wider signal-free region inside them");
        }
        const double* const values = &series.noise_intensity[first];
        if (std::all_of(values, values + count, [&](double v) { return v == values[0]; })) {
            throw Failure(FailureKind::malformed_input,
                          region + ": slice " + std::to_string(s) +
                              " has the same intensity at every point of the noise region, so "
                              "it tells no noise level; choose a region of the measured "
                              "spectrum (not zero-filled)");
        }
    }
    if (noise.lower < peaks.window_upper && peaks.window_lower < noise.upper) {
        warnings.push_back(
            region + ": warning: the noise region overlaps the window " +
            shortest_text(peaks.window_lower) + " to " + shortest_text(peaks.window_upper) +
            " ppm; the noise is measured on signal there unless it is free of lines");
    }
    for (const auto& [peak, position] :
         {std::pair{"peak_A", peaks.peak_A}, std::pair{"peak_B", peaks.peak_B}}) {
        if (noise.lower < position && position < noise.upper) {
            warnings.push_back(region + ": warning: the noise region holds " + peak + " at " +
                               shortest_text(position) +
                               " ppm; the noise would be measured on its line");
        }
    }
}
