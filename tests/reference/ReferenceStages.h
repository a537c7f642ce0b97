// The straightforward stages of a run, as the programs had them before their readers, writers
// and objective were made fast: a string stream per line, stream formatting, and a model
// table built afresh in every evaluation. They follow the same rules, written plainly, so the
// tests compare the programs' bytes with an independent implementation and the benchmarks
// measure every speed-up as a ratio in the same run. Built only in the test and benchmark tree.
#pragma once

#include "Fit.h"
#include "Read.h"

#include <complex>
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

// The result files through std::ofstream, every number through
// `<< std::fixed << std::setprecision(p) << std::setw(w)`, every line ended by std::endl.
std::vector<std::string> write_result_files(const TableSeries& slices,
                                            const TableSeries& sim_a_series,
                                            const TableSeries& sim_b_series,
                                            const TableSeries& res_series,
                                            const Table& results_table);

// The slice objective of Fit.h with a model table built afresh, row by row, in every
// evaluation.
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

// The stages for run_series_fit (CsaDriver.h).
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
