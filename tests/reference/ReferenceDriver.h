// The series fitter's run as the programs had it before the series was cut while reading:
// every block of 2d.txt read whole, cut into a table per slice, each slice fitted with dlib's
// own central differences, the curves held as tables until they are written. The reference
// programs run it with the stages of ReferenceStages.h, which provides
//   static Table read_table(const char* name, ReadReport& report,
//                           std::vector<LineExcerpt>& lines, std::size_t lines_kept);
//   static TableSeries read_series(const char* name, ReadReport& report,
//                                  LineExcerpt& single_value_line);
//   template <long FreeParams> static auto make_slice_objective(...);
//   static std::vector<std::string> write_result_files(...);
// The messages are the library's, and a refusal ends the run with the programs' status.
#pragma once

#include "Program.h"
#include "ReadCheckParts.h"
#include "ReadFolder.h"
#include "ReadUsage.h"
#include "ReferenceStages.h"
#include "Stats.h"

#include <complex>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace reference {

// Every line on standard output ends with a newline and a flush.
inline void say(const char* line) {
    std::cout << line << std::endl;
}

// A refusal of malformed input, unless `problem` is empty.
inline void refuse(const std::string& problem) {
    if (!problem.empty()) {
        throw Failure(FailureKind::malformed_input, problem);
    }
}

template <long FreeParams, typename Stages> int fit_in_working_directory() {
    static_assert(FreeParams == 4 || FreeParams == 2, "two or four free parameters");
    constexpr bool half_widths_free = FreeParams == 4;

    const std::string missing = missing_inputs_message(".");
    if (!missing.empty()) {
        write_usage_text();
        std::cerr << missing << std::endl;
        return exit_missing_input;
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
    reference::say("# Reading \"peaks.txt\" file. ");
    ReadReport peaks_report;
    std::vector<LineExcerpt> peaks_lines;
    const std::size_t rows_needed = half_widths_free ? 2 : 3;
    const Table peaks = Stages::read_table("peaks.txt", peaks_report, peaks_lines, rows_needed);
    check_read("peaks.txt", peaks_report);
    refuse(check_peaks(peaks, rows_needed, peaks_lines));
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
    for (const std::string& warning :
         {peak_window_warning("peak_A", peak_A.real(), window_lower, window_upper),
          peak_window_warning("peak_B", peak_B.real(), window_lower, window_upper)}) {
        if (!warning.empty()) {
            std::cerr << warning << std::endl;
        }
    }

    TableSeries slices;
    { // the raw series is needed only until its slices are cut
        ReadReport series_report;
        LineExcerpt single_value_line;
        const TableSeries raw_series =
            Stages::read_series("2d.txt", series_report, single_value_line);
        reference::say("# Reading \"2d.txt\" file. ");
        check_read("2d.txt", series_report);
        const std::string unfinished_warning = unfinished_block_warning(series_report);
        if (!unfinished_warning.empty()) {
            std::cerr << unfinished_warning << std::endl;
        }
        refuse(check_series(raw_series, single_value_line));
        if (!raw_series.empty()) {
            const double scale_factor = global_scale_factor(raw_series, window_lower, window_upper);
            slices = cut_slices(raw_series, window_lower, window_upper, scale_factor);
        }
        refuse(check_window_points(windowed_series_of(raw_series, slices), window_lower,
                                   window_upper));
    }

    reference::say("# Writing simulation \"sim.txt\" file. ");
    reference::say("# Writing residuals \"res.txt\" file. ");
    reference::say("# Writing results \"results.txt\" file. ");
    reference::say("# Writing scaled original data \"dat.txt\" file. ");
    std::cout << std::endl;
    reference::say("# index MA MB LWA LWB ");

    int slice_index = 0;
    const auto slice_objective = Stages::template make_slice_objective<FreeParams>(
        slices, slice_index, peak_A, peak_B, MA, MB, LWA, LWB);

    TableSeries sim_a_series;
    TableSeries sim_b_series;
    TableSeries res_series;
    Table results_table;
    BoundHits bound_hits;

    for (slice_index = 0; slice_index < static_cast<int>(slices.size()); ++slice_index) {
        bool settled = true;
        try {
            settled = reference::fit_slice<FreeParams>(slice_objective, x);
        } catch (const dlib::error& e) {
            throw Failure(FailureKind::non_finite_fit,
                          non_finite_fit_message(e.what(), slice_index, half_widths_free));
        }
        if (!settled) {
            std::cerr << iteration_limit_warning(slice_index) << std::endl;
        }
        // The last evaluation may have been a derivative probe beside the result.
        MA = {x(0), 0.0};
        MB = {x(1), 0.0};
        if constexpr (half_widths_free) {
            LWA = x(2);
            LWB = x(3);
        }
        print_slice_line(std::cout, slice_index, MA.real(), MB.real(), LWA, LWB);
        note_bound_hits(bound_hits, slice_index, {MA.real(), MB.real(), LWA, LWB}, FreeParams);

        const Table& slice = slices[slice_index];
        Table sim_a;
        Table sim_b;
        Table sim;
        Table residuals;
        for (Table* table : {&sim_a, &sim_b, &sim, &residuals}) {
            table->reserve(slice.size());
        }
        double integ_A = 0.0;
        double integ_B = 0.0;
        for (const Row& point : slice) {
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
        const double residual_square_tot = calc_residuals(sim, slice);
        results_table.push_back(
            {MA.real(), MB.real(), LWA, LWB, integ_A, integ_B, residual_square_tot});
        sim_a_series.push_back(std::move(sim_a));
        sim_b_series.push_back(std::move(sim_b));
        res_series.push_back(std::move(residuals));
    }
    const std::string bound_hits_warning =
        bound_warning(bound_hits.slices, bound_hits.parameters, slices.size());
    if (!bound_hits_warning.empty()) {
        std::cerr << bound_hits_warning << std::endl;
    }

    std::cout << std::endl;
    std::cout << std::endl;
    const std::vector<std::string> failed =
        Stages::write_result_files(slices, sim_a_series, sim_b_series, res_series, results_table);
    for (const std::string& name : failed) {
        std::cerr << name << ": could not be written" << std::endl;
    }
    return failed.empty() ? exit_success : exit_write_failed;
}

// The run, with a refusal or failure printed and turned into its exit status as the programs
// do it.
template <long FreeParams, typename Stages> int run_series_fit() {
    return run_guarded("pairfit_reference", "",
                       [] { return fit_in_working_directory<FreeParams, Stages>(); });
}

} // namespace reference
