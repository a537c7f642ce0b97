#include "Csa.h"

#include "CsaDriver.h"
#include "CsaResultFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

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

// The shortest text that reads back as the same double.
std::string number_text(double value) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return std::string(digits, end);
}

// ` in "LINE"`, control bytes shown as \xNN, and a hint when a comma stands in the line.
std::string quoted(const LineExcerpt& line) {
    std::string text = " in \"";
    for (const char c : line.text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            static const char hex[] = "0123456789abcdef";
            text += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        } else {
            text += c;
        }
    }
    text += line.cut ? "...\"" : "\"";
    if (line.has_comma) {
        text += "; commas do not separate numbers, use blanks or tabs";
    }
    return text;
}

std::string single_value_message(std::size_t block, std::size_t row, const LineExcerpt& line) {
    return "2d.txt: block " + std::to_string(block) + ", row " + std::to_string(row) +
           " must hold a chemical shift (ppm) and an intensity, found 1 value" +
           (line.text.empty() && !line.cut ? "" : quoted(line));
}

std::string point_count_message(std::size_t slice, std::size_t points, std::size_t first_points) {
    return "2d.txt: slice " + std::to_string(slice) + " holds " + std::to_string(points) +
           " points inside the window, " + (points < first_points ? "fewer" : "more") +
           " than the " + std::to_string(first_points) +
           " of slice 0; every slice must share the ppm axis of the first";
}

void append_matrix_number(std::string& line, double value) {
    append_fixed(line, value, 6, 10);
    line += ' ';
}

// Writes a whole line and flushes, as `<< std::endl` does after the line's text.
void write_line(std::ofstream& file, const std::string& line) {
    file.write(line.data(), static_cast<std::streamsize>(line.size()));
    file.flush();
}

} // namespace

double global_scale_factor(const TableSeries& raw_series, double window_lower,
                           double window_upper) {
    double scale_factor = 0.0;
    for (const Table& block : raw_series) {
        for (const Row& row : block) {
            if (row.size() < 2) {
                continue; // a line of blanks carries no point
            }
            const double x = row[0];
            const double y = row[1];
            if (window_lower < x && x < window_upper && y > scale_factor) {
                scale_factor = y;
            }
        }
    }
    return scale_factor;
}

TableSeries cut_slices(const TableSeries& raw_series, double window_lower, double window_upper,
                       double scale_factor) {
    TableSeries slices;
    for (const Table& block : raw_series) {
        Table slice;
        for (const Row& row : block) {
            if (row.size() < 2) {
                continue;
            }
            const double x = row[0];
            const double y = row[1];
            if (window_lower < x && x < window_upper) {
                slice.push_back({x, y / scale_factor});
            }
        }
        // Empty slices keep their place so that slice i is always block i.
        slices.push_back(std::move(slice));
    }
    return slices;
}

std::string check_read(const char* name, const ReadReport& report) {
    if (report.read_to_end) {
        return "";
    }
    if (report.overlong_line != 0) {
        return std::string(name) + ": line " + std::to_string(report.overlong_line) +
               " is longer than " + std::to_string(max_line_length >> 20) +
               " MiB; a line holds one row of numbers, so this is no text table (binary data, or "
               "a link to a device such as /dev/zero?)";
    }
    std::error_code ignored;
    const char* const why = !report.opened ? "it cannot be opened"
                            : std::filesystem::is_directory(name, ignored)
                                ? "it is a directory, not a file"
                                : "a read error stopped the reading before the end of the file";
    return std::string(name) + ": cannot be read: " + why;
}

int unreadable_status(const ReadReport& report) {
    return report.overlong_line != 0 ? exit_malformed_input : exit_missing_input;
}

bool report_missing_inputs() {
    const char* const names[] = {"2d.txt", "peaks.txt"};
    const bool found[] = {fileExists(names[0]), fileExists(names[1])};
    if (found[0] && found[1]) {
        return false;
    }
    write_usage_text();
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::current_path(error);
    const std::string where = error ? "the working directory" : folder.string();
    for (int i = 0; i < 2; ++i) {
        if (!found[i]) {
            std::cerr << names[i]
                      << (std::filesystem::exists(names[i], error)
                              ? ": cannot be opened for reading in "
                              : ": not found in ")
                      << where << std::endl;
        }
    }
    return true;
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
                         number_text(peaks[2][k]);
            }
        }
        return "peaks.txt: data row 3 must hold the fixed half-widths LWA and LWB (ppm) above "
               "0, found " +
               found;
    }
    return "";
}

std::string check_series(const TableSeries& raw_series, const LineExcerpt& single_value_line) {
    for (std::size_t b = 0; b < raw_series.size(); ++b) {
        for (std::size_t r = 0; r < raw_series[b].size(); ++r) {
            if (raw_series[b][r].size() == 1) {
                return single_value_message(b + 1, r + 1, single_value_line);
            }
        }
    }
    return "";
}

std::string check_slice_lengths(const TableSeries& slices) {
    for (std::size_t s = 1; s < slices.size(); ++s) {
        if (slices[s].size() < slices[0].size()) {
            return point_count_message(s, slices[s].size(), slices[0].size());
        }
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
                                   number_text(window_lower) + " to " + number_text(window_upper) +
                                   " ppm (row 2 of peaks.txt)";
        if (!(series.ppm_low <= series.ppm_high)) {
            return window + "; no block holds a point of a chemical shift and an intensity";
        }
        return window + "; the points of 2d.txt lie between " + number_text(series.ppm_low) +
               " and " + number_text(series.ppm_high) + " ppm" +
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
                       std::to_string(k + 1) + " inside the window at " + number_text(ppm[k]) +
                       " ppm where slice 0 has " + number_text(first[k]) +
                       " ppm; every slice must share the ppm axis of the first (within 1 % of "
                       "the point spacing)";
            }
        }
    }
    return "";
}

WindowedSeries windowed_series_of(const TableSeries& raw_series, const TableSeries& slices) {
    WindowedSeries series;
    for (const Table& block : raw_series) {
        for (const Row& row : block) {
            if (row.size() >= 2) {
                series.ppm_low = std::min(series.ppm_low, row[0]);
                series.ppm_high = std::max(series.ppm_high, row[0]);
            }
        }
    }
    for (const Table& slice : slices) {
        for (const Row& point : slice) {
            series.ppm.push_back(point[0]);
            series.intensity.push_back(point[1]);
        }
        series.slice_start.push_back(series.ppm.size());
    }
    return series;
}

std::string peak_window_warning(const char* peak, double position, double window_lower,
                                double window_upper) {
    if (window_lower < position && position < window_upper) {
        return "";
    }
    return std::string("peaks.txt: warning: ") + peak + " at " + number_text(position) +
           " ppm lies outside the window " + number_text(window_lower) + " to " +
           number_text(window_upper) +
           " ppm; its line is fitted from its tail alone and will likely end at a bound";
}

void note_bound_hits(BoundHits& hits, std::size_t slice, const FixedColumn& fitted,
                     std::size_t free_count) {
    bool hit = false;
    for (std::size_t i = 0; i < free_count; ++i) {
        if (fitted[i] - 1e-4 <= 1e-9 || 10.0 - fitted[i] <= 1e-9) {
            hits.parameters[i] = true;
            hit = true;
        }
    }
    if (hit) {
        hits.slices.push_back(slice);
    }
}

std::string bound_warning(const BoundHits& hits, std::size_t slice_count) {
    if (hits.slices.empty()) {
        return "";
    }
    std::string ranges;
    for (std::size_t i = 0; i < hits.slices.size();) {
        std::size_t last = i;
        while (last + 1 < hits.slices.size() && hits.slices[last + 1] == hits.slices[last] + 1) {
            ++last;
        }
        ranges += (ranges.empty() ? "" : ", ") + std::to_string(hits.slices[i]) +
                  (last == i ? "" : "-" + std::to_string(hits.slices[last]));
        i = last + 1;
    }
    std::string parameters;
    const char* const names[] = {"MA", "MB", "LWA", "LWB"};
    for (int i = 0; i < 4; ++i) {
        if (hits.parameters[i]) {
            parameters += (parameters.empty() ? "" : ", ") + std::string(names[i]);
        }
    }
    return "warning: " + std::to_string(hits.slices.size()) + " of " + std::to_string(slice_count) +
           " slices ended with a fitted value at a bound (1e-4 or 10), " +
           (hits.slices.size() == 1 ? "slice " : "slices ") + ranges +
           (parameters.find(',') == std::string::npos ? ", parameter " : ", parameters ") +
           parameters +
           "; usual causes: an inverted or missing line, a peak outside the window, or an "
           "intensity spike that set the scale factor";
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

std::string non_finite_fit_message(const std::string& minimiser_error, int slice,
                                   bool half_widths_free) {
    return minimiser_error + "\nslice " + std::to_string(slice) +
           ": check the intensities of 2d.txt inside the window (a window without any positive "
           "intensity cannot be scaled)" +
           (half_widths_free ? "" : " and the half-widths of peaks.txt (not 0)");
}

std::string iteration_limit_warning(int slice) {
    return "slice " + std::to_string(slice) + ": warning: the fit stopped after " +
           std::to_string(max_fit_iterations) +
           " iterations before its objective settled; its values may be off";
}

void print_slice_line(std::ostream& out, int index, double p1, double p2, double p3, double p4) {
    out << std::setw(2) << index << std::setw(2) << " ";
    out << std::fixed << std::setprecision(3) << p1 << " ";
    out << std::fixed << std::setprecision(3) << p2 << " ";
    out << std::fixed << std::setprecision(3) << p3 << " ";
    out << std::fixed << std::setprecision(3) << p4 << std::endl;
}

std::vector<std::string> write_result_files(const TableSeries& slices,
                                            const TableSeries& sim_a_series,
                                            const TableSeries& sim_b_series,
                                            const TableSeries& res_series,
                                            const Table& results_table) {
    const char* const names[] = {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt", "results.txt"};
    std::ofstream dat(names[0]);
    std::ofstream sim_a(names[1]);
    std::ofstream sim_b(names[2]);
    std::ofstream res(names[3]);
    std::ofstream results(names[4]);

    std::string line = "# index height_A height_B hwhh_A hwhh_B integ_A integ_B "
                       "residual_square_tot \n";
    write_line(results, line);
    for (std::size_t i = 0; i < results_table.size(); ++i) {
        line.clear();
        append_DATA_row(line, i, results_table[i]);
        write_line(results, line);
    }

    // Points down, slices across; the ppm column comes from the first slice. The values of a
    // few points are gathered before their lines are made: the rows of one slice lie
    // together in memory, so going down them before going across the slices reads memory
    // in order, and the loads wait for memory together.
    std::ofstream* const matrix_files[] = {&dat, &sim_a, &sim_b, &res};
    const TableSeries* const matrix_values[] = {&slices, &sim_a_series, &sim_b_series, &res_series};
    const std::size_t point_count = slices.empty() ? 0 : slices[0].size();
    const std::size_t slice_count = slices.size();
    constexpr std::size_t points_per_pass = 32;
    std::vector<double> gathered(points_per_pass * slice_count); // [point][slice]
    for (std::size_t first = 0; first < point_count; first += points_per_pass) {
        const std::size_t points = std::min(points_per_pass, point_count - first);
        for (int f = 0; f < 4; ++f) {
            for (std::size_t s = 0; s < slice_count; ++s) {
                const Table& slice_values = (*matrix_values[f])[s];
                for (std::size_t k = 0; k < points; ++k) {
                    gathered[k * slice_count + s] = slice_values[first + k][1];
                }
            }
            for (std::size_t k = 0; k < points; ++k) {
                line.clear();
                append_matrix_number(line, slices[0][first + k][0]);
                for (std::size_t s = 0; s < slice_count; ++s) {
                    append_matrix_number(line, gathered[k * slice_count + s]);
                }
                line += '\n';
                write_line(*matrix_files[f], line);
            }
        }
    }

    std::ofstream* const files[] = {&dat, &sim_a, &sim_b, &res, &results};
    std::vector<std::string> failed;
    for (int f = 0; f < 5; ++f) {
        files[f]->close();
        if (files[f]->fail()) {
            failed.push_back(names[f]);
        }
    }
    return failed;
}

unsigned thread_count() {
    if (const char* setting = std::getenv("PAIRFIT_THREADS")) {
        unsigned threads = 0;
        const char* const end = setting + std::strlen(setting);
        const auto [stop, error] = std::from_chars(setting, end, threads);
        if (error == std::errc() && stop == end && threads >= 1) {
            return std::min(threads, 256u);
        }
        std::cerr << "PAIRFIT_THREADS: warning: '" << setting
                  << "' is not a whole number from 1 on; using every core" << std::endl;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

int read_peak_settings(std::size_t rows_needed, PeakSettings& settings) {
    ReadReport report;
    std::vector<LineExcerpt> lines;
    const Table peaks = read_table("peaks.txt", report, lines, rows_needed);
    const std::string unreadable = check_read("peaks.txt", report);
    if (!unreadable.empty()) {
        std::cerr << unreadable << std::endl;
        return unreadable_status(report);
    }
    const std::string problem = check_peaks(peaks, rows_needed, lines);
    if (!problem.empty()) {
        std::cerr << problem << std::endl;
        return exit_malformed_input;
    }
    settings.peak_A = peaks[0][0];
    settings.peak_B = peaks[0][1];
    settings.window_lower = peaks[1][0];
    settings.window_upper = peaks[1][1];
    if (settings.window_lower > settings.window_upper) {
        std::swap(settings.window_lower, settings.window_upper);
    }
    if (rows_needed > 2) {
        settings.LWA = peaks[2][0];
        settings.LWB = peaks[2][1];
    }
    for (const auto& [peak, position] :
         {std::pair{"peak_A", settings.peak_A}, std::pair{"peak_B", settings.peak_B}}) {
        const std::string warning =
            peak_window_warning(peak, position, settings.window_lower, settings.window_upper);
        if (!warning.empty()) {
            std::cerr << warning << std::endl;
        }
    }
    return exit_success;
}

namespace {

// The problem that keeps a cut series from being fitted, or "".
std::string check_windowed_series(const WindowedSeries& series, const PeakSettings& settings) {
    if (series.single_value_block != 0) {
        return single_value_message(series.single_value_block, series.single_value_row,
                                    series.single_value_line);
    }
    return check_window_points(series, settings.window_lower, settings.window_upper);
}

} // namespace

int read_and_cut_series(const PeakSettings& settings, unsigned threads, WindowedSeries& series,
                        double& scale_factor) {
    ReadReport report;
    series = read_windowed_series("2d.txt", settings.window_lower, settings.window_upper, threads,
                                  report);
    std::cout << "# Reading \"2d.txt\" file. " << std::endl;
    const std::string unreadable = check_read("2d.txt", report);
    if (!unreadable.empty()) {
        std::cerr << unreadable << std::endl;
        return unreadable_status(report);
    }
    const std::string unfinished_warning = unfinished_block_warning(report);
    if (!unfinished_warning.empty()) {
        std::cerr << unfinished_warning << std::endl;
    }
    const std::string problem = check_windowed_series(series, settings);
    if (!problem.empty()) {
        std::cerr << problem << std::endl;
        return exit_malformed_input;
    }
    // One factor for the whole series: the largest intensity inside the window, as
    // global_scale_factor finds it.
    scale_factor = 0.0;
    for (const double intensity : series.intensity) {
        if (intensity > scale_factor) {
            scale_factor = intensity;
        }
    }
    for (double& intensity : series.intensity) {
        intensity /= scale_factor;
    }
    return exit_success;
}

void announce_result_files(bool with_report) {
    for (const char* line :
         {"# Writing simulation \"sim.txt\" file. ", "# Writing residuals \"res.txt\" file. ",
          "# Writing results \"results.txt\" file. ",
          "# Writing scaled original data \"dat.txt\" file. "}) {
        std::cout << line << std::endl;
    }
    if (with_report) {
        std::cout << "# Writing fit report \"report.csv\" file. " << std::endl;
    }
    std::cout << std::endl;
    std::cout << "# index MA MB LWA LWB " << std::endl;
}

namespace {

bool write_results_table(const char* name, mode_t mode, const Table& results_table) {
    ResultFile file(name, mode);
    file.text() = "# index height_A height_B hwhh_A hwhh_B integ_A integ_B residual_square_tot \n";
    for (std::size_t i = 0; i < results_table.size(); ++i) {
        append_DATA_row(file.text(), i, results_table[i]);
        file.flush_if_large();
    }
    return file.commit();
}

enum class MatrixFile { dat, sim_a, sim_b, res };

// Points down, slices across; the ppm column comes from the first slice. The values of a few
// points are gathered slice by slice before their lines are made, so that memory is read in
// order. The curves are computed as in the fit's completion of each slice.
bool write_matrix_file(const char* name, mode_t mode, MatrixFile kind, const WindowedSeries& series,
                       const Table& results_table, double peak_A, double peak_B) {
    ResultFile file(name, mode);
    const std::size_t slice_count = series.slice_count();
    const std::size_t point_count = slice_count == 0 ? 0 : series.points_in(0);
    constexpr std::size_t points_per_pass = 32;
    std::vector<double> gathered(points_per_pass * slice_count); // [point][slice]
    for (std::size_t first = 0; first < point_count; first += points_per_pass) {
        const std::size_t points = std::min(points_per_pass, point_count - first);
        for (std::size_t s = 0; s < slice_count; ++s) {
            const Row& fitted = results_table[s];
            const std::size_t start = series.slice_start[s] + first;
            for (std::size_t k = 0; k < points; ++k) {
                const double ppm = series.ppm[start + k];
                const double intensity = series.intensity[start + k];
                double value = intensity;
                if (kind != MatrixFile::dat) {
                    const double a = lorentzian(fitted[0], fitted[2], peak_A, ppm);
                    const double b = lorentzian(fitted[1], fitted[3], peak_B, ppm);
                    value = kind == MatrixFile::sim_a   ? a
                            : kind == MatrixFile::sim_b ? b
                                                        : (intensity - a) - b;
                }
                gathered[k * slice_count + s] = value;
            }
        }
        for (std::size_t k = 0; k < points; ++k) {
            std::string& line = file.text();
            append_matrix_number(line, series.ppm[first + k]);
            for (std::size_t s = 0; s < slice_count; ++s) {
                append_matrix_number(line, gathered[k * slice_count + s]);
            }
            line += '\n';
        }
        file.flush_if_large();
    }
    return file.commit();
}

} // namespace

int write_results(const WindowedSeries& series, const Table& results_table, double peak_A,
                  double peak_B, unsigned threads) {
    const char* const names[] = {"dat.txt", "sim_a.txt", "sim_b.txt", "res.txt", "results.txt"};
    constexpr std::size_t file_count = 5;
    bool written[file_count] = {};
    // A file-size limit must fail a write, which leaves the old file, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    const mode_t mode = new_file_mode();
    const auto write_file = [&](std::size_t f) {
        written[f] = f == 4 ? write_results_table(names[f], mode, results_table)
                            : write_matrix_file(names[f], mode, static_cast<MatrixFile>(f), series,
                                                results_table, peak_A, peak_B);
    };
    // Each thread takes the next file not yet taken, results.txt first.
    constexpr std::size_t writing_order[file_count] = {4, 0, 1, 2, 3};
    std::atomic<std::size_t> next_file{0};
    const auto take_files = [&] {
        for (std::size_t taken = next_file++; taken < file_count; taken = next_file++) {
            write_file(writing_order[taken]);
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < std::min<unsigned>(threads, file_count); ++t) {
        helpers.emplace_back(take_files);
    }
    take_files();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    int status = exit_success;
    for (std::size_t f = 0; f < file_count; ++f) {
        if (!written[f]) {
            std::cerr << names[f] << ": could not be written" << std::endl;
            status = exit_write_failed;
        }
    }
    return status;
}

template <long FreeParams> int pairfit_main(int argc, char** argv) {
    RunOptions options = parse_options(argc, argv);
    const std::string program =
        argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "pairfit";
    if (!options.refused.empty()) {
        std::cerr << program << ": " << options.refused << "\n\n" << usage_text(program);
        return exit_bad_arguments;
    }
    if (options.help) {
        std::cout << usage_text(program);
        return exit_success;
    }
    if (!options.z_name.empty()) { // the count is checked once 2d.txt has been read
        options.z = read_z_file(options.z_name);
        if (!options.z.problem.empty()) {
            std::cerr << options.z.problem << std::endl;
            return options.z.opened ? exit_malformed_input : exit_missing_input;
        }
    }
    return run_series_fit<FreeParams>(options);
}

template int pairfit_main<4>(int argc, char** argv);
template int pairfit_main<2>(int argc, char** argv);
