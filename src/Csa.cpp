#include "Csa.h"

#include "Fit.h"
#include "Stats.h"

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

// Every line on standard output ends with a newline and a flush.
void say(const char* line) {
    std::cout << line << std::endl;
}

// What each needed data row of peaks.txt holds, by row.
const char* const peaks_row_contents[] = {
    "the positions peak_A and peak_B (ppm)",
    "the two limits of the window to cut (ppm)",
    "the fixed half-widths LWA and LWB (ppm)",
};

std::string values_found(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " value" : " values");
}

void write_matrix_number(std::ostream& out, double value) {
    out << std::fixed << std::setprecision(6) << std::setw(10) << value << " ";
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
        slices.push_back(slice);
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

    results << "# index height_A height_B hwhh_A hwhh_B integ_A integ_B residual_square_tot "
            << std::endl;
    for (std::size_t i = 0; i < results_table.size(); ++i) {
        write_DATA_row(results, i, results_table[i]);
    }

    // Points down, slices across; the ppm column comes from the first slice.
    std::ofstream* const matrix_files[] = {&dat, &sim_a, &sim_b, &res};
    const TableSeries* const matrix_values[] = {&slices, &sim_a_series, &sim_b_series, &res_series};
    const std::size_t point_count = slices.empty() ? 0 : slices[0].size();
    for (std::size_t r = 0; r < point_count; ++r) {
        for (std::ofstream* file : matrix_files) {
            write_matrix_number(*file, slices[0][r][0]);
        }
        for (std::size_t s = 0; s < slices.size(); ++s) {
            for (int f = 0; f < 4; ++f) {
                write_matrix_number(*matrix_files[f], (*matrix_values[f])[s][r][1]);
            }
        }
        for (std::ofstream* file : matrix_files) {
            *file << std::endl;
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

template <long FreeParams> int pairfit_main() {
    static_assert(FreeParams == 4 || FreeParams == 2, "two or four free parameters");
    constexpr bool half_widths_free = FreeParams == 4;

    if (!fileExists("2d.txt")) {
        print_help();
    }
    if (!fileExists("peaks.txt")) {
        print_help();
    }

    params_type<FreeParams> x; // start point of each fit, then its result
    if constexpr (half_widths_free) {
        x = 0.2, 0.2, 1.0, 3.0; // MA, MB, LWA, LWB
    } else {
        x = 0.2, 0.2; // MA, MB
    }

    // Model state: read and written by the slice objective on every evaluation.
    std::complex<double> peak_A;
    std::complex<double> peak_B;
    std::complex<double> MA = 0.0;
    std::complex<double> MB = 0.0;
    double LWA = 0.0;
    double LWB = 0.0;

    std::cout << std::endl;
    say("# Reading \"peaks.txt\" file. ");
    ReadReport peaks_report;
    const Table peaks = read_table("peaks.txt", peaks_report);
    const std::string peaks_unreadable = check_read("peaks.txt", peaks_report);
    if (!peaks_unreadable.empty()) {
        std::cerr << peaks_unreadable << std::endl;
        return exit_missing_input;
    }
    const std::string peaks_problem = check_peaks(peaks, half_widths_free ? 2 : 3);
    if (!peaks_problem.empty()) {
        std::cerr << peaks_problem << std::endl;
        return exit_malformed_input;
    }
    peak_A = {peaks[0][0], 0.0};
    peak_B = {peaks[0][1], 0.0};
    double window_lower = peaks[1][0];
    double window_upper = peaks[1][1];
    if (window_lower > window_upper) {
        std::swap(window_lower, window_upper);
    }
    if constexpr (!half_widths_free) {
        LWA = peaks[2][0];
        LWB = peaks[2][1];
    }

    ReadReport series_report;
    const TableSeries raw_series = read_series("2d.txt", series_report);
    say("# Reading \"2d.txt\" file. ");
    const std::string series_unreadable = check_read("2d.txt", series_report);
    if (!series_unreadable.empty()) {
        std::cerr << series_unreadable << std::endl;
        return exit_missing_input;
    }
    const std::string unfinished_warning = unfinished_block_warning(series_report);
    if (!unfinished_warning.empty()) {
        std::cerr << unfinished_warning << std::endl;
    }
    const std::string series_problem = check_series(raw_series);
    if (!series_problem.empty()) {
        std::cerr << series_problem << std::endl;
        return exit_malformed_input;
    }

    TableSeries slices;
    if (!raw_series.empty()) {
        const double scale_factor = global_scale_factor(raw_series, window_lower, window_upper);
        slices = cut_slices(raw_series, window_lower, window_upper, scale_factor);
    }
    const std::string slices_problem = check_slice_lengths(slices);
    if (!slices_problem.empty()) {
        std::cerr << slices_problem << std::endl;
        return exit_malformed_input;
    }

    say("# Writing simulation \"sim.txt\" file. ");
    say("# Writing residuals \"res.txt\" file. ");
    say("# Writing results \"results.txt\" file. ");
    say("# Writing scaled original data \"dat.txt\" file. ");
    std::cout << std::endl;
    say("# index MA MB LWA LWB ");

    int slice_index = 0;
    const auto slice_objective =
        make_slice_objective<FreeParams>(slices, slice_index, peak_A, peak_B, MA, MB, LWA, LWB);

    TableSeries sim_a_series;
    TableSeries sim_b_series;
    TableSeries res_series;
    Table results_table;

    for (slice_index = 0; slice_index < static_cast<int>(slices.size()); ++slice_index) {
        bool settled = true;
        try {
            settled = fit_slice<FreeParams>(slice_objective, x);
        } catch (const dlib::error& e) {
            std::cerr << e.what() << "\n"
                      << "slice " << slice_index
                      << ": check the intensities of 2d.txt inside the window (a window without "
                         "any positive intensity cannot be scaled)"
                      << (half_widths_free ? "" : " and the half-widths of peaks.txt (not 0)")
                      << std::endl;
            return exit_non_finite_fit;
        }
        if (!settled) {
            std::cerr << "slice " << slice_index << ": warning: the fit stopped after "
                      << max_fit_iterations
                      << " iterations before its objective settled; its values may be off"
                      << std::endl;
        }
        // The last evaluation may have been a derivative probe beside the result.
        MA = {x(0), 0.0};
        MB = {x(1), 0.0};
        if constexpr (half_widths_free) {
            LWA = x(2);
            LWB = x(3);
        }
        print_slice_line(std::cout, slice_index, MA.real(), MB.real(), LWA, LWB);

        Table sim_a;
        Table sim_b;
        Table sim;
        Table residuals;
        double integ_A = 0.0;
        double integ_B = 0.0;
        for (const Row& point : slices[slice_index]) {
            const double ppm = point[0];
            const double intensity = point[1];
            const double a = lorentzian(MA.real(), LWA, peak_A.real(), ppm);
            const double b = lorentzian(MB.real(), LWB, peak_B.real(), ppm);
            sim_a.push_back({ppm, a});
            sim_b.push_back({ppm, b});
            sim.push_back({ppm, b + a});
            residuals.push_back({ppm, (intensity - a) - b});
            integ_A += a;
            integ_B += b;
        }
        const double residual_square_tot = calc_residuals(sim, slices[slice_index]);
        results_table.push_back(
            {MA.real(), MB.real(), LWA, LWB, integ_A, integ_B, residual_square_tot});
        sim_a_series.push_back(sim_a);
        sim_b_series.push_back(sim_b);
        res_series.push_back(residuals);
    }

    std::cout << std::endl;
    std::cout << std::endl;
    const std::vector<std::string> failed =
        write_result_files(slices, sim_a_series, sim_b_series, res_series, results_table);
    for (const std::string& name : failed) {
        std::cerr << name << ": could not be written" << std::endl;
    }
    return failed.empty() ? exit_success : exit_write_failed;
}

template int pairfit_main<4>();
template int pairfit_main<2>();
