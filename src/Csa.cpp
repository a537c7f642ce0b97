#include "Csa.h"

#include "CsaDriver.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

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
    std::error_code ignored;
    const char* const why = !report.opened ? "it cannot be opened"
                            : std::filesystem::is_directory(name, ignored)
                                ? "it is a directory, not a file"
                                : "a read error stopped the reading before the end of the file";
    return std::string(name) + ": cannot be read: " + why;
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
                return "2d.txt: block " + std::to_string(b + 1) + ", row " + std::to_string(r + 1) +
                       " must hold a chemical shift (ppm) and an intensity, found 1 value";
            }
        }
    }
    return "";
}

std::string check_slice_lengths(const TableSeries& slices) {
    for (std::size_t s = 1; s < slices.size(); ++s) {
        if (slices[s].size() < slices[0].size()) {
            return "2d.txt: slice " + std::to_string(s) + " holds " +
                   std::to_string(slices[s].size()) + " points inside the window, fewer than the " +
                   std::to_string(slices[0].size()) +
                   " of slice 0; every slice must share the ppm axis of the first";
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

namespace {

// The stages of the programs' runs.
struct ShippedStages {
    static Table read_table(const char* name, ReadReport& report) {
        return ::read_table(name, report);
    }
    static TableSeries read_series(const char* name, ReadReport& report) {
        return ::read_series(name, report);
    }
    template <long FreeParams, typename... ModelState>
    static auto make_slice_objective(const TableSeries& slices, ModelState&... state) {
        return ::make_slice_objective<FreeParams>(slices, state...);
    }
    static std::vector<std::string> write_result_files(const TableSeries& slices,
                                                       const TableSeries& sim_a_series,
                                                       const TableSeries& sim_b_series,
                                                       const TableSeries& res_series,
                                                       const Table& results_table) {
        return ::write_result_files(slices, sim_a_series, sim_b_series, res_series, results_table);
    }
};

} // namespace

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
    return run_series_fit<FreeParams, ShippedStages>(options);
}

template int pairfit_main<4>(int argc, char** argv);
template int pairfit_main<2>(int argc, char** argv);
