#include "Csa.h"

#include "CsaDriver.h"
#include "CsaResultFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
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

std::string single_value_message(std::size_t block, std::size_t row) {
    return "2d.txt: block " + std::to_string(block) + ", row " + std::to_string(row) +
           " must hold a chemical shift (ppm) and an intensity, found 1 value";
}

std::string fewer_points_message(std::size_t slice, std::size_t points, std::size_t first_points) {
    return "2d.txt: slice " + std::to_string(slice) + " holds " + std::to_string(points) +
           " points inside the window, fewer than the " + std::to_string(first_points) +
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

std::string check_peaks(const Table& peaks, std::size_t rows_needed) {
    for (std::size_t i = 0; i < rows_needed; ++i) {
        const std::string row = "peaks.txt: data row " + std::to_string(i + 1);
        if (i >= peaks.size()) {
            return row + " is missing; it must hold " + peaks_row_contents[i];
        }
        if (peaks[i].size() < 2) {
            return row + " must hold " + peaks_row_contents[i] + ", found " +
                   values_found(peaks[i].size());
        }
    }
    return "";
}

std::string check_series(const TableSeries& raw_series) {
    for (std::size_t b = 0; b < raw_series.size(); ++b) {
        for (std::size_t r = 0; r < raw_series[b].size(); ++r) {
            if (raw_series[b][r].size() == 1) {
                return single_value_message(b + 1, r + 1);
            }
        }
    }
    return "";
}

std::string check_slice_lengths(const TableSeries& slices) {
    for (std::size_t s = 1; s < slices.size(); ++s) {
        if (slices[s].size() < slices[0].size()) {
            return fewer_points_message(s, slices[s].size(), slices[0].size());
        }
    }
    return "";
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
    const Table peaks = read_table("peaks.txt", report);
    const std::string unreadable = check_read("peaks.txt", report);
    if (!unreadable.empty()) {
        std::cerr << unreadable << std::endl;
        return unreadable_status(report);
    }
    const std::string problem = check_peaks(peaks, rows_needed);
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
    return exit_success;
}

namespace {

// The problem that keeps a cut series from being fitted, or "".
std::string check_windowed_series(const WindowedSeries& series) {
    if (series.single_value_block != 0) {
        return single_value_message(series.single_value_block, series.single_value_row);
    }
    for (std::size_t s = 1; s < series.slice_count(); ++s) {
        if (series.points_in(s) < series.points_in(0)) {
            return fewer_points_message(s, series.points_in(s), series.points_in(0));
        }
    }
    return "";
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
    const std::string problem = check_windowed_series(series);
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
