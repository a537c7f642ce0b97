// The straightforward stages of a run, as the programs had them before their readers, writers
// and objective were made fast: a string stream per line, every block read whole and cut into
// a table per slice, stream formatting, and a model table built afresh in every evaluation.
// They follow the same rules, written plainly, so the tests compare the programs' bytes with
// an independent implementation and the benchmarks measure every speed-up as a ratio in the
// same run. Built only in the test and benchmark tree.
#pragma once

#include "Read.h"
#include "ReadCheckParts.h"
#include "SliceFit.h"

#include <array>
#include <complex>
#include <cstddef>
#include <string>
#include <vector>

namespace reference {

// `stream >> value` in the classic locale until it fails.
Row parse_row(const std::string& line);
// std::getline over an std::ifstream, each data line through parse_row.
Table read_table(const char* name, ReadReport& report);
TableSeries read_series(const char* name, ReadReport& report);
// The same, keeping the excerpts of the first lines_kept data lines, or of the first row of a
// single value in the blocks read.
Table read_table_with_lines(const char* name, ReadReport& report, std::vector<LineExcerpt>& lines,
                            std::size_t lines_kept);
TableSeries read_series_with_line(const char* name, ReadReport& report,
                                  LineExcerpt& single_value_line);

// The largest intensity strictly inside (window_lower, window_upper) over the whole series,
// or 0.0 when none is above 0. Intensities keep their sign.
double global_scale_factor(const TableSeries& raw_series, double window_lower, double window_upper);
// One table per block, in order and of the same count: the {ppm, intensity/scale_factor}
// rows strictly inside the window, in file order. Rows without values are skipped.
TableSeries cut_slices(const TableSeries& raw_series, double window_lower, double window_upper,
                       double scale_factor);
// A row of a single value, quoted from single_value_line when it is given; else empty.
std::string check_series(const TableSeries& raw_series, const LineExcerpt& single_value_line = {});
// Every slice must hold at least as many window points as the first; else the message.
std::string check_slice_lengths(const TableSeries& slices);
// The window points of slices cut from raw_series, in the form check_window_points takes,
// with the ppm range of every point of raw_series.
WindowedSeries windowed_series_of(const TableSeries& raw_series, const TableSeries& slices);

// Slices whose fit ended with a parameter within 1e-9 of a bound (1e-4 or 10), gathered for
// the warning after the last slice.
struct BoundHits {
    std::vector<std::size_t> slices;
    std::array<bool, 4> parameters{}; // MA, MB, LWA, LWB
};
// Notes slice `slice` when any of the first free_count fitted values lies at a bound.
void note_bound_hits(BoundHits& hits, std::size_t slice, const std::array<double, 4>& fitted,
                     std::size_t free_count);

// The result files through std::ofstream, every number through
// `<< std::fixed << std::setprecision(p) << std::setw(w)`, every line ended by std::endl.
std::vector<std::string> write_result_files(const TableSeries& slices,
                                            const TableSeries& sim_a_series,
                                            const TableSeries& sim_b_series,
                                            const TableSeries& res_series,
                                            const Table& results_table);

// The slice objective on a table per slice, with a model table built afresh, row by row, in
// every evaluation: the sum of squared differences between the two lines and the points of
// slices[slice_index], which it reads at every evaluation. Like WindowObjective it stores the
// parameters it is evaluated at into the model state.
template <long FreeParams>
auto make_slice_objective(const TableSeries& slices, const int& slice_index,
                          const std::complex<double>& peak_A, const std::complex<double>& peak_B,
                          std::complex<double>& MA, std::complex<double>& MB, double& LWA,
                          double& LWB) {
    return [&](const params_type<FreeParams>& p) {
        MA = {p(0), 0.0};
        MB = {p(1), 0.0};
        if constexpr (FreeParams == 4) {
            LWA = p(2);
            LWB = p(3);
        }
        const Table& data = slices[slice_index];
        Table model;
        for (const Row& point : data) {
            const double ppm = point[0];
            const double a = lorentzian(MA.real(), LWA, peak_A.real(), ppm);
            const double b = lorentzian(MB.real(), LWB, peak_B.real(), ppm);
            model.push_back({ppm, a + b});
        }
        return calc_residuals(model, data);
    };
}

// The fit of one slice with dlib's own central differences (step 1e-7) as the gradient: what
// WindowObjective's batched central_differences must match bit for bit.
template <long FreeParams, typename Objective>
bool fit_slice(const Objective& slice_objective, params_type<FreeParams>& x,
               unsigned long& iterations) {
    const auto [lower, upper] = parameter_box<FreeParams>(false);
    return fit_slice_in_box<FreeParams>(slice_objective, dlib::derivative(slice_objective, 1e-7), x,
                                        iterations, lower, upper);
}
template <long FreeParams, typename Objective>
bool fit_slice(const Objective& slice_objective, params_type<FreeParams>& x) {
    unsigned long iterations = 0;
    return reference::fit_slice<FreeParams>(slice_objective, x, iterations);
}

// The stages for run_series_fit (ReferenceDriver.h).
struct Stages {
    static Table read_table(const char* name, ReadReport& report, std::vector<LineExcerpt>& lines,
                            std::size_t lines_kept) {
        return reference::read_table_with_lines(name, report, lines, lines_kept);
    }
    static TableSeries read_series(const char* name, ReadReport& report,
                                   LineExcerpt& single_value_line) {
        return reference::read_series_with_line(name, report, single_value_line);
    }
    template <long FreeParams, typename... ModelState>
    static auto make_slice_objective(const TableSeries& slices, ModelState&... state) {
        return reference::make_slice_objective<FreeParams>(slices, state...);
    }
    static std::vector<std::string> write_result_files(const TableSeries& slices,
                                                       const TableSeries& sim_a_series,
                                                       const TableSeries& sim_b_series,
                                                       const TableSeries& res_series,
                                                       const Table& results_table) {
        return reference::write_result_files(slices, sim_a_series, sim_b_series, res_series,
                                             results_table);
    }
};

} // namespace reference
